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
    return name == "--max-clients" || name == "--max-addresses" ||
           name == "--max-dialogues-per-address" || name == "--log-file" || name == "--password-file";
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
    if (name == "--log-file")
        line.log_path = value;
    else if (name == "--password-file")
        line.password_file = value;
    for (const CountOption& option : COUNT_OPTIONS)
        if (name == option.name && !parse_count(value, option.limit, line.*option.value))
            return set_error(line, std::string(name) + " takes a number from 1 to " +
                                       std::to_string(option.limit) + ", not '" + std::string(value) + "'");
    return true;
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
    const int wanted = line.password_file.empty() ? 3 : 2;
    if (positionals != wanted) {
        if (!had_options) {
            line.action = CommandAction::classic_usage;
            return line;
        }
        set_error(line, "expected " + std::string(wanted == 3 ? "<port_number> <login> <password>"
                                                              : "<port_number> <login>") +
                            " after the options, got " + std::to_string(positionals) + " arguments");
        return line;
    }
    line.port = argv[first];
    line.login = argv[first + 1];
    if (wanted == 3)
        line.password = argv[first + 2];
    return line;
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
