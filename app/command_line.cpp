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

// The options the command line acts on itself rather than store.
bool apply_command_option(CommandLine& line, std::string_view name, std::string_view value)
{
    if (name == "help")
        line.action = CommandAction::help;
    else if (name == "version")
        line.action = CommandAction::version;
    else if (name == "check-config")
        line.check_only = true;
    else if (name == "config")
        line.config_path = value;
    return true;
}

// A flag is "--name", or "--no-name" for false. Null for a name no row has.
const OptionRow* find_command_option(std::string_view name, bool& negated)
{
    negated = false;
    const OptionRow* option = find_option(name);
    if (!option && name.starts_with("no-")) {
        option = find_option(name.substr(3));
        negated = option && option->type == ValueType::boolean && option->place == OptionPlace::anywhere;
        if (!negated)
            option = nullptr;
    }
    if (option && option->place == OptionPlace::file)
        return nullptr;
    return option;
}

// One "--name", "--name value" or "--name=value"; returns whether it was
// taken.
bool take_option(CommandLine& line, std::string_view argument, int& i, int argc, char** argv)
{
    const std::size_t equals = argument.find('=');
    const std::string_view spelled = argument.substr(0, equals);
    bool negated = false;
    const OptionRow* option = find_command_option(spelled.substr(2), negated);
    if (!option)
        return set_error(line, "unknown option " + std::string(spelled));
    std::string_view value;
    if (option->type == ValueType::boolean) {
        if (equals != std::string_view::npos)
            return set_error(line, "option " + std::string(spelled) + " takes no value");
        value = negated ? "false" : "true";
    } else {
        if (equals != std::string_view::npos)
            value = argument.substr(equals + 1);
        else if (i < argc)
            value = argv[i++];
        if (value.empty())
            return set_error(line, "option " + std::string(spelled) + " needs a value");
    }
    if (option->place == OptionPlace::command_line)
        return apply_command_option(line, option->name, value);
    // Checked now, so a mistake is said before anything else happens; kept
    // to be laid over the configuration file's values.
    Settings scratch;
    std::string reason;
    if (!apply_option(scratch, *option, spelled, value, reason))
        return set_error(line, reason);
    line.options.push_back({option, std::string(value)});
    return true;
}

} // namespace

CommandLine parse_command_line(int argc, char** argv)
{
    CommandLine line;
    int i = 1;
    while (i < argc && std::string_view(argv[i]).starts_with("--")) {
        std::string_view argument = argv[i++];
        if (argument == "--")
            break;
        if (!take_option(line, argument, i, argc, argv))
            return line;
    }
    if (line.action != CommandAction::serve)
        return line;
    line.positionals.assign(argv + i, argv + argc);
    // The classic server knew only its three arguments.
    if (i == 1 && line.positionals.size() != 3)
        line.action = CommandAction::classic_usage;
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
