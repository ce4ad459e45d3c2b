#include "app/options.h"

#include "switch/web_port.h"

#include <array>

namespace {

// Digits only, from 1 to the limit; no sign, no blanks, no trailing text.
bool parse_count(std::string_view text, std::size_t limit, std::size_t& value)
{
    value = 0;
    if (text.empty())
        return false;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<std::size_t>(c - '0');
        if (value > limit)
            return false;
    }
    return value > 0;
}

// Digits only, from 1 to 65535.
bool parse_listen_port(std::string_view text, std::uint16_t& port)
{
    std::size_t value = 0;
    if (!parse_count(text, 65535, value))
        return false;
    port = static_cast<std::uint16_t>(value);
    return true;
}

// "host:port", the host of an IPv6 address in brackets. The host is checked
// when it is bound, where the system reads it.
bool parse_host_port(std::string_view text, HostPort& out)
{
    std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0)
        return false;
    std::string_view host = text.substr(0, colon);
    if (host.front() == '[') {
        if (host.size() < 3 || host.back() != ']')
            return false;
        host = host.substr(1, host.size() - 2);
    } else if (host.find(':') != std::string_view::npos) {
        return false;
    }
    out.host = host;
    return parse_listen_port(text.substr(colon + 1), out.port);
}

// Appended one piece at a time: GCC 12 warns wrongly about a chain of
// string additions that begins with a literal.
std::string quoted(std::string_view value)
{
    std::string text(1, '\'');
    text += value;
    text += '\'';
    return text;
}

template <auto field>
void reset_field(Settings& settings)
{
    settings.*field = Settings{}.*field;
}

template <std::size_t Settings::*field, std::size_t limit>
bool apply_count(Settings& settings, std::string_view value, std::string& reason)
{
    if (parse_count(value, limit, settings.*field))
        return true;
    reason = "takes a number from 1 to " + std::to_string(limit) + ", not " + quoted(value);
    return false;
}

template <std::string Settings::*field>
bool apply_text(Settings& settings, std::string_view value, std::string&)
{
    settings.*field = value;
    return true;
}

template <bool Settings::*field>
bool apply_flag(Settings& settings, std::string_view value, std::string&)
{
    settings.*field = value == "true";
    return true;
}

bool apply_port(Settings& settings, std::string_view value, std::string& reason)
{
    std::uint16_t port = 0;
    if (!parse_listen_port(value, port)) {
        reason = "takes a port from 1 to 65535, not " + quoted(value);
        return false;
    }
    settings.port = std::to_string(port);
    return true;
}

bool apply_login(Settings& settings, std::string_view value, std::string&)
{
    settings.login = value;
    return true;
}

bool apply_login_failures(Settings& settings, std::string_view value, std::string& reason)
{
    // 0 is allowed here: it turns the throttling off.
    std::size_t count = 0;
    if (value != "0" && !parse_count(value, LOGIN_FAILURES_LIMIT, count)) {
        reason = "takes a number from 0 to " + std::to_string(LOGIN_FAILURES_LIMIT) + ", not " + quoted(value);
        return false;
    }
    settings.login_failures = count;
    return true;
}

// A repeatable option: one more value, up to its bound.
template <std::vector<std::string> Settings::*field, std::size_t most>
bool apply_list(Settings& settings, std::string_view value, std::string& reason)
{
    if ((settings.*field).size() == most) {
        reason = "may be given at most " + std::to_string(most) + " times";
        return false;
    }
    (settings.*field).emplace_back(value);
    return true;
}

bool apply_metrics(Settings& settings, std::string_view value, std::string& reason)
{
    if (parse_host_port(value, settings.metrics))
        return true;
    reason = "takes ADDRESS:PORT (an IPv6 address in brackets), not " + quoted(value);
    return false;
}

template <std::uint16_t Settings::*field>
bool apply_listen_port(Settings& settings, std::string_view value, std::string& reason)
{
    if (parse_listen_port(value, settings.*field))
        return true;
    reason = "takes a port from 1 to 65535, not " + quoted(value);
    return false;
}

// One NATS server URL as nats.c reads it: [nats:// or tls://][user[:password]@]
// host[:port], the host of an IPv6 address in brackets. Checked here so
// that a slip is said at start, not as a link that never comes up.
bool valid_server_url(std::string_view url)
{
    if (const std::size_t scheme = url.find("://"); scheme != std::string_view::npos) {
        if (url.substr(0, scheme) != "nats" && url.substr(0, scheme) != "tls")
            return false;
        url.remove_prefix(scheme + 3);
    }
    if (const std::size_t at = url.rfind('@'); at != std::string_view::npos)
        url.remove_prefix(at + 1);
    if (url.ends_with('/'))
        url.remove_suffix(1);
    std::string_view host = url;
    std::string_view port;
    if (url.starts_with('[')) {
        const std::size_t close = url.find(']');
        if (close == std::string_view::npos || close == 1)
            return false;
        host = url.substr(0, close + 1);
        if (close + 1 < url.size()) {
            if (url[close + 1] != ':')
                return false;
            port = url.substr(close + 2);
        }
    } else if (const std::size_t colon = url.find(':'); colon != std::string_view::npos) {
        host = url.substr(0, colon);
        port = url.substr(colon + 1);
        if (port.empty())
            return false;
    }
    std::uint16_t number = 0;
    return !host.empty() && host.find_first_of("/ ") == std::string_view::npos &&
           (port.empty() || parse_listen_port(port, number));
}

bool apply_cluster(Settings& settings, std::string_view value, std::string& reason)
{
    for (std::string_view servers = value;;) {
        const std::size_t comma = servers.find(',');
        std::string_view url = servers.substr(0, comma);
        while (url.starts_with(' '))
            url.remove_prefix(1);
        while (url.ends_with(' '))
            url.remove_suffix(1);
        if (!valid_server_url(url)) {
            reason = "takes nats://HOST:PORT or tls://HOST:PORT, comma-separated, not " + quoted(value);
            return false;
        }
        if (comma == std::string_view::npos)
            break;
        servers.remove_prefix(comma + 1);
    }
    settings.cluster_servers = value;
    return true;
}

// Blanks and control bytes are refused in both names; a NATS subject token
// takes neither a dot nor a wildcard.
bool valid_name(std::string_view name, std::string_view also_refused)
{
    if (name.empty() || name.size() > NODE_NAME_MAX)
        return false;
    for (char c : name)
        if (static_cast<unsigned char>(c) <= ' ' || c == 0x7F || also_refused.find(c) != std::string_view::npos)
            return false;
    return true;
}

bool apply_cluster_name(Settings& settings, std::string_view value, std::string& reason)
{
    if (valid_name(value, ".*>")) {
        settings.cluster_name = value;
        return true;
    }
    reason = "takes a name without '.', '*', '>', blanks or control characters, not " + quoted(value);
    return false;
}

bool apply_node_name(Settings& settings, std::string_view value, std::string& reason)
{
    if (valid_name(value, "")) {
        settings.node_name = value;
        return true;
    }
    reason = "takes a name of 1 to " + std::to_string(NODE_NAME_MAX) +
             " bytes without blanks or control characters, not " + quoted(value);
    return false;
}

bool apply_cluster_buffer(Settings& settings, std::string_view value, std::string& reason)
{
    if (parse_count(value, CLUSTER_BUFFER_MOST, settings.cluster_buffer) &&
        settings.cluster_buffer >= CLUSTER_BUFFER_LEAST)
        return true;
    reason = "takes a number of bytes from " + std::to_string(CLUSTER_BUFFER_LEAST) + " to " +
             std::to_string(CLUSTER_BUFFER_MOST) + ", not " + quoted(value);
    return false;
}

// The help text below names these figures.
static_assert(DEFAULT_MAX_CLIENTS == 63 && MAX_CLIENTS_LIMIT == 100000);
static_assert(DEFAULT_MAX_ADDRESSES == 4096 && MAX_ADDRESSES_LIMIT == 1000000);
static_assert(DEFAULT_MAX_DIALOGUES_PER_ADDRESS == 8 && DEFAULT_LOGIN_FAILURES == 10);
static_assert(DEFAULT_CLUSTER_BUFFER == 8388608 && std::string_view(DEFAULT_CLUSTER_NAME) == "quillmarsh");

using enum ValueType;
using enum OnReload;
using enum OptionPlace;

// A new option is one row here: the command line, --help and the
// configuration file all take it from this table.
constexpr OptionRow OPTIONS[] = {
    {"config", string, restart, command_line, "--config FILE",
     "read the settings from FILE (TOML; keys as these options,\n"
     "plus port and login); options given here win",
     nullptr, nullptr},
    {"check-config", boolean, restart, command_line, "--check-config",
     "check the settings and every file they name, then exit", nullptr, nullptr},
    {"port", integer, restart, file, "", "", apply_port, reset_field<&Settings::port>},
    {"login", string, live, file, "", "", apply_login, reset_field<&Settings::login>},
    {"max-clients", integer, restart, anywhere, "--max-clients N",
     "serve at most N sessions at once (default 63, at most 100000)",
     apply_count<&Settings::max_clients, MAX_CLIENTS_LIMIT>, reset_field<&Settings::max_clients>},
    {"max-addresses", integer, live, anywhere, "--max-addresses N",
     "addresses one session may hold (default 4096, at most 1000000)",
     apply_count<&Settings::max_addresses, MAX_ADDRESSES_LIMIT>, reset_field<&Settings::max_addresses>},
    {"max-dialogues-per-address", integer, live, anywhere, "--max-dialogues-per-address N",
     "an address's share of the logins pending once every\n"
     "slot is taken (default 8)",
     apply_count<&Settings::max_dialogues_per_address, MAX_DIALOGUES_LIMIT>,
     reset_field<&Settings::max_dialogues_per_address>},
    {"log-file", string, live, anywhere, "--log-file PATH",
     "write the event log to PATH (default QuillmarshSrv.log.txt)", apply_text<&Settings::log_path>,
     reset_field<&Settings::log_path>},
    {"quiet", boolean, live, anywhere, "--quiet", "do not echo events on standard output",
     apply_flag<&Settings::quiet>, reset_field<&Settings::quiet>},
    {"numeric", boolean, live, anywhere, "--numeric", "name peers by address only, without a reverse look-up",
     apply_flag<&Settings::numeric>, reset_field<&Settings::numeric>},
    {"log-identity", boolean, restart, anywhere, "--log-identity",
     "name each session in the log by login, source port and\nnumber",
     apply_flag<&Settings::log_identity>, reset_field<&Settings::log_identity>},
    {"log-frames", boolean, live, anywhere, "--no-log-frames",
     "leave the received blocks out of the log (events stay)", apply_flag<&Settings::log_frames>,
     reset_field<&Settings::log_frames>},
    {"password-file", string, live, anywhere, "--password-file PATH",
     "take the password from the first line of PATH", apply_text<&Settings::password_file>,
     reset_field<&Settings::password_file>},
    {"users", string, live, anywhere, "--users FILE", "log in the users of FILE (made with qmpasswd)",
     apply_text<&Settings::users_file>, reset_field<&Settings::users_file>},
    {"rights", string, live, anywhere, "--rights FILE", "the addresses each login may speak for",
     apply_text<&Settings::rights_file>, reset_field<&Settings::rights_file>},
    {"login-failures", integer, live, anywhere, "--login-failures N",
     "shut an address out for 60 s after N refused logins\n"
     "at once, or more than N a minute (default 10 with\n"
     "--users, else never; 0: never)",
     apply_login_failures, reset_field<&Settings::login_failures>},
    {"bind", strings, restart, anywhere, "--bind ADDRESS",
     "listen on this IPv4 or IPv6 address only (repeatable;\n"
     "default: every IPv4 address)",
     apply_list<&Settings::bind_addresses, MAX_BIND_ADDRESSES>, reset_field<&Settings::bind_addresses>},
    {"tls-port", integer, restart, anywhere, "--tls-port PORT",
     "also listen for TLS on PORT, with --tls-cert and --tls-key", apply_listen_port<&Settings::tls_port>,
     reset_field<&Settings::tls_port>},
    {"tls-cert", string, live, anywhere, "--tls-cert PEM", "the TLS port's certificate (and chain)",
     apply_text<&Settings::tls_cert>, reset_field<&Settings::tls_cert>},
    {"tls-key", string, live, anywhere, "--tls-key PEM", "the TLS port's private key",
     apply_text<&Settings::tls_key>, reset_field<&Settings::tls_key>},
    {"tls-client-ca", string, live, anywhere, "--tls-client-ca PEM",
     "ask TLS clients for a certificate this CA signed", apply_text<&Settings::tls_client_ca>,
     reset_field<&Settings::tls_client_ca>},
    {"metrics", string, restart, anywhere, "--metrics ADDR:PORT",
     "serve /metrics and /sessions over HTTP (no password:\n"
     "bind it to loopback)",
     apply_metrics, reset_field<&Settings::metrics>},
    {"cluster", string, restart, anywhere, "--cluster URL[,URL...]",
     "join the other switches on these NATS servers\n"
     "(nats://HOST:PORT or tls://HOST:PORT)",
     apply_cluster, reset_field<&Settings::cluster_servers>},
    {"cluster-creds", string, restart, anywhere, "--cluster-creds FILE", "log in to NATS with this .creds file",
     apply_text<&Settings::cluster_credentials>, reset_field<&Settings::cluster_credentials>},
    {"cluster-ca", string, restart, anywhere, "--cluster-ca PEM",
     "trust the NATS servers (tls://) this CA signed", apply_text<&Settings::cluster_ca>,
     reset_field<&Settings::cluster_ca>},
    {"cluster-name", string, restart, anywhere, "--cluster-name NAME",
     "the cluster's subject prefix (default quillmarsh)", apply_cluster_name,
     reset_field<&Settings::cluster_name>},
    {"node-name", string, restart, anywhere, "--node-name NAME",
     "this switch's name to the others (default: the host's)", apply_node_name,
     reset_field<&Settings::node_name>},
    {"cluster-buffer", integer, restart, anywhere, "--cluster-buffer BYTES",
     "frames held for the cluster each way (default 8388608)", apply_cluster_buffer,
     reset_field<&Settings::cluster_buffer>},
    {"ws-port", integer, restart, anywhere, "--ws-port PORT",
     "also serve browsers on PORT: a page to log in from,\n"
     "and the same protocol over WebSocket",
     apply_listen_port<&Settings::ws_port>, reset_field<&Settings::ws_port>},
    {"wss-port", integer, restart, anywhere, "--wss-port PORT",
     "the same inside TLS, with --tls-cert and --tls-key", apply_listen_port<&Settings::wss_port>,
     reset_field<&Settings::wss_port>},
    {"ws-origin", strings, restart, anywhere, "--ws-origin PATTERN",
     "pages from origins the pattern matches may connect\n"
     "too (repeatable; '*' and '?' as in a rights file)",
     apply_list<&Settings::ws_origins, MAX_WS_ORIGINS>, reset_field<&Settings::ws_origins>},
    {"ws-trusted-proxy", strings, restart, anywhere, "--ws-trusted-proxy ADDRESS",
     "take a WebSocket client's address from\n"
     "X-Forwarded-For on connections from ADDRESS (repeatable)",
     apply_list<&Settings::ws_trusted_proxies, MAX_TRUSTED_PROXIES>, reset_field<&Settings::ws_trusted_proxies>},
    {"help", boolean, restart, command_line, "--help", "print this text and exit", nullptr, nullptr},
    {"version", boolean, restart, command_line, "--version", "print the version and exit", nullptr, nullptr},
};

constexpr std::size_t SYNOPSIS_WIDTH = 20;

void add_help_line(std::string& text, std::string_view synopsis, std::string_view help)
{
    text += "  ";
    text += synopsis;
    if (synopsis.size() > SYNOPSIS_WIDTH)
        text += "\n" + std::string(SYNOPSIS_WIDTH + 2, ' ');
    else
        text += std::string(SYNOPSIS_WIDTH - synopsis.size(), ' ');
    text += "  ";
    for (char c : help) {
        text += c;
        if (c == '\n')
            text += std::string(SYNOPSIS_WIDTH + 4, ' ');
    }
    text += '\n';
}

} // namespace

std::span<const OptionRow> option_table()
{
    return OPTIONS;
}

const OptionRow* find_option(std::string_view name)
{
    for (const OptionRow& option : OPTIONS)
        if (option.name == name)
            return &option;
    return nullptr;
}

std::string full_usage()
{
    std::string text = "Usage: QuillmarshSrv [options] <port_number> <login> <password>\n"
                       "       QuillmarshSrv [options] --password-file PATH <port_number> <login>\n"
                       "       QuillmarshSrv [options] --users FILE <port_number>\n"
                       "       QuillmarshSrv [options] --config FILE [<port_number> [<login>]]\n"
                       "Options:\n";
    for (const OptionRow& option : OPTIONS)
        if (!option.synopsis.empty())
            add_help_line(text, option.synopsis, option.help);
    add_help_line(text, "--", "end of options");
    return text;
}

bool apply_option(Settings& settings, const OptionRow& option, std::string_view spelled,
                  std::string_view value, std::string& reason)
{
    if (option.type != ValueType::boolean && value.empty()) {
        reason = std::string(spelled) + " needs a value";
        return false;
    }
    if (option.apply(settings, value, reason))
        return true;
    reason = std::string(spelled) + " " + reason;
    return false;
}
