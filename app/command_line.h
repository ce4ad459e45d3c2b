#pragma once

#include "switch/server.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// What the server was asked to do, read from its arguments without acting on
// any of them.
enum class CommandAction {
    serve,         // start the server
    classic_usage, // no options and not three arguments: the short usage, exit 0
    help,          // --help
    version,       // --version
    error,         // a wrong option or argument; error says which
};

constexpr std::size_t MAX_CLIENTS_LIMIT = 100000;
constexpr std::size_t MAX_ADDRESSES_LIMIT = 1000000;
constexpr std::size_t MAX_DIALOGUES_LIMIT = 100000;
constexpr std::size_t DEFAULT_LOGIN_FAILURES = 10;
constexpr std::size_t LOGIN_FAILURES_LIMIT = 100000;
// Listening addresses an operator may name with --bind.
constexpr std::size_t MAX_BIND_ADDRESSES = 16;

// An address and port written "a.b.c.d:port" or "[v6]:port".
struct HostPort {
    std::string host;
    std::uint16_t port = 0;
};

struct CommandLine {
    CommandAction action = CommandAction::serve;
    std::string error; // one line, for CommandAction::error
    const char* port = nullptr;
    const char* login = nullptr;
    // Null when the password comes from password_file; otherwise its
    // argument, which the caller copies and then blanks.
    char* password = nullptr;
    std::string password_file;
    std::size_t max_clients = DEFAULT_MAX_CLIENTS;
    std::size_t max_addresses = DEFAULT_MAX_ADDRESSES;
    std::size_t max_dialogues_per_address = DEFAULT_MAX_DIALOGUES_PER_ADDRESS;
    std::string log_path = "QuillmarshSrv.log.txt";
    bool quiet = false;
    bool numeric = false;
    // Accounts: a users file instead of the one login and password, and
    // the addresses each login may speak for.
    std::string users_file;
    std::string rights_file;
    std::size_t login_failures = DEFAULT_LOGIN_FAILURES; // 0: no throttling
    bool login_failures_given = false;
    // Empty: every IPv4 address, as the classic server listens.
    std::vector<std::string> bind_addresses;
    // Empty host: no metrics port.
    HostPort metrics;
    // 0: no TLS port.
    std::uint16_t tls_port = 0;
    std::string tls_cert;
    std::string tls_key;
    std::string tls_client_ca;
};

// Options come first, each beginning with "--" ("--name value" or
// "--name=value"); the first other argument, or a lone "--", ends them, so a
// port written "-1" is a port.
CommandLine parse_command_line(int argc, char** argv);

// The usage with every option, for --help and after an error.
std::string full_usage();

// The first line of the file, without its LF or CRLF. On failure returns
// false with a one-line reason (the system's own where there is one).
bool read_password_file(const std::string& path, std::string& password, std::string& error);

// Reads a port argument the way atoi does (blanks, one sign, digits up to the
// first non-digit, 32-bit wrap-around), without atoi's undefined overflow.
// Its low 16 bits name the port.
std::int32_t parse_port_argument(const char* text);
