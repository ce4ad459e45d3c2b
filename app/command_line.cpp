#include "app/command_line.h"

#include "protocol/fields.h"
#include "switch/server.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

bool set_error(CommandLine& line, std::string text)
{
    line.action = CommandAction::error;
    line.error = std::move(text);
    return false;
}

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

bool takes_value(std::string_view name)
{
    constexpr std::string_view VALUED[] = {
        "--max-clients", "--max-addresses", "--max-dialogues-per-address", "--log-file",
        "--password-file", "--users", "--rights", "--login-failures", "--bind", "--metrics",
        "--tls-port", "--tls-cert", "--tls-key", "--tls-client-ca",
    };
    for (std::string_view valued : VALUED)
        if (name == valued)
            return true;
    return false;
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

// Paths named by an option; the last one counts.
struct PathOption {
    std::string_view name;
    std::string CommandLine::*value;
};

constexpr PathOption PATH_OPTIONS[] = {
    {"--log-file", &CommandLine::log_path},         {"--password-file", &CommandLine::password_file},
    {"--users", &CommandLine::users_file},          {"--rights", &CommandLine::rights_file},
    {"--tls-cert", &CommandLine::tls_cert},         {"--tls-key", &CommandLine::tls_key},
    {"--tls-client-ca", &CommandLine::tls_client_ca},
};

// The options whose value is not a path or a count.
bool apply_other_valued_option(CommandLine& line, std::string_view name, std::string_view value)
{
    if (name == "--login-failures") {
        // 0 is allowed here: it turns the throttling off.
        line.login_failures = 0;
        line.login_failures_given = true;
        if (value != "0" && !parse_count(value, LOGIN_FAILURES_LIMIT, line.login_failures))
            return set_error(line, "--login-failures takes a number from 0 to " +
                                       std::to_string(LOGIN_FAILURES_LIMIT) + ", not '" +
                                       std::string(value) + "'");
    } else if (name == "--bind") {
        if (line.bind_addresses.size() == MAX_BIND_ADDRESSES)
            return set_error(line, "--bind may be given at most " +
                                       std::to_string(MAX_BIND_ADDRESSES) + " times");
        line.bind_addresses.emplace_back(value);
    } else if (name == "--metrics") {
        if (!parse_host_port(value, line.metrics))
            return set_error(line, "--metrics takes ADDRESS:PORT (an IPv6 address in brackets), not '" +
                                       std::string(value) + "'");
    } else if (name == "--tls-port") {
        if (!parse_listen_port(value, line.tls_port))
            return set_error(line, "--tls-port takes a port from 1 to 65535, not '" + std::string(value) + "'");
    }
    return true;
}

// A numbered option's value and limit.
struct CountOption {
    std::string_view name;
    std::size_t CommandLine::*value;
    std::size_t limit;
};

constexpr CountOption COUNT_OPTIONS[] = {
    {"--max-clients", &CommandLine::max_clients, MAX_CLIENTS_LIMIT},
    {"--max-addresses", &CommandLine::max_addresses, MAX_ADDRESSES_LIMIT},
    {"--max-dialogues-per-address", &CommandLine::max_dialogues_per_address, MAX_DIALOGUES_LIMIT},
};

bool apply_valued_option(CommandLine& line, std::string_view name, std::string_view value)
{
    if (value.empty())
        return set_error(line, "option " + std::string(name) + " needs a value");
    for (const PathOption& option : PATH_OPTIONS)
        if (name == option.name) {
            line.*option.value = value;
            return true;
        }
    for (const CountOption& option : COUNT_OPTIONS)
        if (name == option.name && !parse_count(value, option.limit, line.*option.value))
            return set_error(line, std::string(name) + " takes a number from 1 to " +
                                       std::to_string(option.limit) + ", not '" + std::string(value) + "'");
    return apply_other_valued_option(line, name, value);
}

// Options that only make sense together.
bool check_option_pairs(CommandLine& line)
{
    if (!line.users_file.empty() && !line.password_file.empty())
        return set_error(line, "--users and --password-file do not go together");
    if (!line.rights_file.empty() && line.users_file.empty())
        return set_error(line, "--rights needs --users: rights are given to the logins of a users file");
    const bool tls_files = !line.tls_cert.empty() || !line.tls_key.empty() || !line.tls_client_ca.empty();
    if (line.tls_port != 0 && (line.tls_cert.empty() || line.tls_key.empty()))
        return set_error(line, "--tls-port needs --tls-cert and --tls-key");
    if (line.tls_port == 0 && tls_files)
        return set_error(line, "--tls-cert, --tls-key and --tls-client-ca need --tls-port");
    return true;
}

// The positional arguments each way of logging in takes.
int wanted_positionals(const CommandLine& line)
{
    if (!line.users_file.empty())
        return 1;
    return line.password_file.empty() ? 3 : 2;
}

std::string_view positionals_text(int wanted)
{
    switch (wanted) {
    case 1: return "<port_number>";
    case 2: return "<port_number> <login>";
    default: return "<port_number> <login> <password>";
    }
}

bool apply_flag(CommandLine& line, std::string_view name)
{
    if (name == "--quiet")
        line.quiet = true;
    else if (name == "--numeric")
        line.numeric = true;
    else if (name == "--help")
        line.action = CommandAction::help;
    else if (name == "--version")
        line.action = CommandAction::version;
    else
        return set_error(line, "unknown option " + std::string(name));
    return true;
}

// Reads the options; returns the index of the first positional argument, or
// -1 after an error.
int parse_options(CommandLine& line, int argc, char** argv)
{
    int i = 1;
    while (i < argc && std::string_view(argv[i]).starts_with("--")) {
        std::string_view argument = argv[i++];
        if (argument == "--")
            break;
        const std::size_t equals = argument.find('=');
        const std::string_view name = argument.substr(0, equals);
        if (!takes_value(name)) {
            if (equals != std::string_view::npos) {
                set_error(line, "option " + std::string(name) + " takes no value");
                return -1;
            }
            if (!apply_flag(line, name))
                return -1;
            continue;
        }
        std::string_view value;
        if (equals != std::string_view::npos)
            value = argument.substr(equals + 1);
        else if (i < argc)
            value = argv[i++];
        if (!apply_valued_option(line, name, value))
            return -1;
    }
    return i;
}

} // namespace

CommandLine parse_command_line(int argc, char** argv)
{
    CommandLine line;
    const int first = parse_options(line, argc, argv);
    if (line.action != CommandAction::serve)
        return line;
    const int positionals = argc - first;
    const bool had_options = first > 1;
    if (!check_option_pairs(line))
        return line;
    const int wanted = wanted_positionals(line);
    if (positionals != wanted) {
        if (!had_options) {
            line.action = CommandAction::classic_usage;
            return line;
        }
        set_error(line, "expected " + std::string(positionals_text(wanted)) + " after the options, got " +
                            std::to_string(positionals) + " arguments");
        return line;
    }
    line.port = argv[first];
    if (wanted >= 2)
        line.login = argv[first + 1];
    if (wanted == 3)
        line.password = argv[first + 2];
    return line;
}

std::string full_usage()
{
    return "Usage: QuillmarshSrv [options] <port_number> <login> <password>\n"
           "       QuillmarshSrv [options] --password-file PATH <port_number> <login>\n"
           "       QuillmarshSrv [options] --users FILE <port_number>\n"
           "Options:\n"
           "  --max-clients N       serve at most N sessions at once (default " +
           std::to_string(DEFAULT_MAX_CLIENTS) + ", at most " + std::to_string(MAX_CLIENTS_LIMIT) +
           ")\n"
           "  --max-addresses N     addresses one session may hold (default " +
           std::to_string(DEFAULT_MAX_ADDRESSES) + ", at most " + std::to_string(MAX_ADDRESSES_LIMIT) +
           ")\n"
           "  --max-dialogues-per-address N\n"
           "                        connections from one address still logging in (default " +
           std::to_string(DEFAULT_MAX_DIALOGUES_PER_ADDRESS) +
           ")\n"
           "  --log-file PATH       write the event log to PATH (default QuillmarshSrv.log.txt)\n"
           "  --quiet               do not echo events on standard output\n"
           "  --numeric             name peers by address only, without a reverse look-up\n"
           "  --password-file PATH  take the password from the first line of PATH\n"
           "  --users FILE          log in the users of FILE (made with qmpasswd)\n"
           "  --rights FILE         the addresses each login may speak for\n"
           "  --login-failures N    refused logins from one address in 60 s before it\n"
           "                        is shut out for 60 s (default " +
           std::to_string(DEFAULT_LOGIN_FAILURES) +
           ", 0: never)\n"
           "  --bind ADDRESS        listen on this IPv4 or IPv6 address only (repeatable;\n"
           "                        default: every IPv4 address)\n"
           "  --tls-port PORT       also listen for TLS on PORT, with --tls-cert PEM and\n"
           "                        --tls-key PEM; --tls-client-ca PEM verifies clients\n"
           "  --metrics ADDR:PORT   serve /metrics and /sessions over HTTP (no password:\n"
           "                        bind it to loopback)\n"
           "  --help                print this text and exit\n"
           "  --version             print the version and exit\n"
           "  --                    end of options\n";
}

bool read_password_file(const std::string& path, std::string& password, std::string& error)
{
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        error = "password file " + path + ": " + std::strerror(errno);
        return false;
    }
    // Reads no more than a credential holds, so a file without line breaks
    // cannot make it read on and on.
    password.clear();
    int c = 0;
    while (password.size() < CREDENTIAL_SIZE && (c = std::getc(file)) != EOF && c != '\n')
        password += static_cast<char>(c);
    if (password.size() == CREDENTIAL_SIZE)
        c = std::getc(file);
    if (c == '\n' && !password.empty() && password.back() == '\r')
        password.pop_back();
    const bool failed = std::ferror(file);
    const int reason = errno;
    std::fclose(file);
    if (failed)
        error = "password file " + path + ": " + std::strerror(reason);
    else if (password.empty())
        error = "password file " + path + ": the first line is empty";
    // As a C string the password would end at the zero byte: "\0secret"
    // would be the empty password, "ab\0cd" would be "ab".
    else if (password.find('\0') != std::string::npos)
        error = "password file " + path + ": the first line holds a zero byte";
    else
        return true;
    return false;
}

std::int32_t parse_port_argument(const char* text)
{
    // atoi skips exactly the blanks that separate fields.
    while (is_field_space(*text))
        text++;
    bool negative = *text == '-';
    if (*text == '-' || *text == '+')
        text++;
    // Unsigned arithmetic wraps by definition; the final conversion to a
    // signed 32-bit value is modular in C++20.
    std::uint32_t value = 0;
    while (*text >= '0' && *text <= '9')
        value = value * 10u + static_cast<std::uint32_t>(*text++ - '0');
    if (negative)
        value = 0u - value;
    return static_cast<std::int32_t>(value);
}
