// The server's settings and the one table of its options. The command line
// and the configuration file both read their values through the table: a
// key of the file is an option's long name without its dashes, so every
// option a row describes is a key as well, unless the row says otherwise.
#pragma once

#include "switch/server.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

constexpr std::size_t MAX_CLIENTS_LIMIT = 100000;
constexpr std::size_t MAX_ADDRESSES_LIMIT = 1000000;
constexpr std::size_t MAX_DIALOGUES_LIMIT = 100000;
constexpr std::size_t DEFAULT_LOGIN_FAILURES = 10;
constexpr std::size_t LOGIN_FAILURES_LIMIT = 100000;
// Listening addresses an operator may name with --bind.
constexpr std::size_t MAX_BIND_ADDRESSES = 16;
constexpr const char* DEFAULT_LOG_PATH = "QuillmarshSrv.log.txt";
// What --cluster-buffer takes: room for the longest frame with its subject
// and header, up to 1 GiB.
constexpr std::size_t CLUSTER_BUFFER_LEAST = 8192;
constexpr std::size_t CLUSTER_BUFFER_MOST = std::size_t{1} << 30;
constexpr std::size_t NODE_NAME_MAX = 255;

// An address and port written "a.b.c.d:port" or "[v6]:port".
struct HostPort {
    std::string host;
    std::uint16_t port = 0;
    bool operator==(const HostPort&) const = default;
};

// What the server runs with: the defaults, then the configuration file's
// keys, then the command line's options and positional arguments.
struct Settings {
    // As the command line gives it, read as atoi reads it when the server
    // starts (a file's port is checked when it is read).
    std::optional<std::string> port;
    std::optional<std::string> login;
    std::string password_file;
    std::size_t max_clients = DEFAULT_MAX_CLIENTS;
    std::size_t max_addresses = DEFAULT_MAX_ADDRESSES;
    std::size_t max_dialogues_per_address = DEFAULT_MAX_DIALOGUES_PER_ADDRESS;
    std::string log_path = DEFAULT_LOG_PATH;
    bool quiet = false;
    bool numeric = false;
    // Accounts: a users file instead of the one login and password, and
    // the addresses each login may speak for.
    std::string users_file;
    std::string rights_file;
    // Unset: counted with a users file only, DEFAULT_LOGIN_FAILURES of them.
    // 0: never.
    std::optional<std::size_t> login_failures;
    // Empty: every IPv4 address, as the classic server listens.
    std::vector<std::string> bind_addresses;
    // Empty host: no metrics port.
    HostPort metrics;
    // 0: no TLS port.
    std::uint16_t tls_port = 0;
    std::string tls_cert;
    std::string tls_key;
    std::string tls_client_ca;
    // Log lines that name a session carry its login, source port and number.
    bool log_identity = false;
    // Received blocks are written to the log.
    bool log_frames = true;
    // The NATS servers of the cluster to join; empty: none.
    std::string cluster_servers;
    std::string cluster_credentials;
    std::string cluster_ca;
    std::string cluster_name = DEFAULT_CLUSTER_NAME;
    // Empty: the host's name.
    std::string node_name;
    std::size_t cluster_buffer = DEFAULT_CLUSTER_BUFFER;
    // 0: no WebSocket port, plain or inside TLS.
    std::uint16_t ws_port = 0;
    std::uint16_t wss_port = 0;
    // Origins besides the page's own that may connect, as patterns.
    std::vector<std::string> ws_origins;
    // Proxies whose X-Forwarded-For names the client, as address text.
    std::vector<std::string> ws_trusted_proxies;
};

// What a key of the configuration file holds.
enum class ValueType {
    boolean, // a flag: --name sets it, --no-name clears it
    integer,
    string,
    strings, // repeatable on the command line, a list in the file
};

// Whether a reload takes a changed value, or keeps the running one until
// the next start.
enum class OnReload { live, restart };

// Where an option may be given.
enum class OptionPlace {
    anywhere,
    command_line, // --help, --config: not a key
    file,         // the positional values' keys (port, login)
};

struct OptionRow {
    std::string_view name; // the key, and the option without its "--"
    ValueType type;
    OnReload reload;
    OptionPlace place;
    // --help's line: the option as written ("--max-clients N"; empty: not
    // listed), and what it does, continued on further lines after "\n".
    std::string_view synopsis;
    std::string_view help;
    // Stores the value, given as text ("true" or "false" for a flag); on a
    // bad value says why as the rest of a sentence that begins with the
    // option's name ("takes a number from 1 to 10, not '0'").
    bool (*apply)(Settings& settings, std::string_view value, std::string& reason);
    // Puts the setting back to its default. Both are null for the options
    // the command line acts on itself (--help, --config).
    void (*reset)(Settings& settings);
};

// Every option, in the order --help lists them.
std::span<const OptionRow> option_table();

// The row of a name; null when there is none.
const OptionRow* find_option(std::string_view name);

// The usage with every option, for --help and after an error.
std::string full_usage();

// Stores a value given on the command line or in a file; the reason is the
// whole sentence, the option's name as the caller spells it first.
bool apply_option(Settings& settings, const OptionRow& option, std::string_view spelled,
                  std::string_view value, std::string& reason);
