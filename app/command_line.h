#pragma once

#include "switch/server.h"

#include <cstddef>
#include <cstdint>
#include <string>

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
    std::string log_path = "QuillmarshSrv.log.txt";
    bool quiet = false;
    bool numeric = false;
};

// Options come first, each beginning with "--" ("--name value" or
// "--name=value"); the first other argument, or a lone "--", ends them, so a
// port written "-1" is a port.
CommandLine parse_command_line(int argc, char** argv);

// The usage with every option, for --help and after an error.
constexpr const char* FULL_USAGE =
    "Usage: QuillmarshSrv [options] <port_number> <login> <password>\n"
    "       QuillmarshSrv [options] --password-file PATH <port_number> <login>\n"
    "Options:\n"
    "  --max-clients N       serve at most N sessions at once (default 63, at most 100000)\n"
    "  --log-file PATH       write the event log to PATH (default QuillmarshSrv.log.txt)\n"
    "  --quiet               do not echo events on standard output\n"
    "  --numeric             name peers by address only, without a reverse look-up\n"
    "  --password-file PATH  take the password from the first line of PATH\n"
    "  --help                print this text and exit\n"
    "  --version             print the version and exit\n"
    "  --                    end of options\n";

// The first line of the file, without its LF or CRLF. On failure returns
// false with a one-line reason (the system's own where there is one).
bool read_password_file(const std::string& path, std::string& password, std::string& error);

// Reads a port argument the way atoi does (blanks, one sign, digits up to the
// first non-digit, 32-bit wrap-around), without atoi's undefined overflow.
// Its low 16 bits name the port.
std::int32_t parse_port_argument(const char* text);
