#pragma once

#include "app/options.h"

#include <cstdint>
#include <string>
#include <string_view>
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

// An option as the command line gave it, kept to be laid again over the
// configuration file each time it is read.
struct GivenOption {
    const OptionRow* option;
    std::string value; // "true" or "false" for a flag
};

struct CommandLine {
    CommandAction action = CommandAction::serve;
    std::string error; // one line, for CommandAction::error
    // --config: the settings come from this file first.
    std::string config_path;
    bool check_only = false; // --check-config
    std::vector<GivenOption> options;
    // The arguments after the options, in order: the port, the login and
    // the password, as many as the way of logging in takes (checked by
    // settle_settings). The password's argument is copied and then blanked.
    std::vector<char*> positionals;
};

// Options come first, each beginning with "--" ("--name value" or
// "--name=value"); the first other argument, or a lone "--", ends them, so a
// port written "-1" is a port.
CommandLine parse_command_line(int argc, char** argv);

// The first line of the file, without its LF or CRLF. On failure returns
// false with a one-line reason (the system's own where there is one).
bool read_password_file(const std::string& path, std::string& password, std::string& error);

// Reads a port argument the way atoi does (blanks, one sign, digits up to the
// first non-digit, 32-bit wrap-around), without atoi's undefined overflow.
// Its low 16 bits name the port.
std::int32_t parse_port_argument(const char* text);
