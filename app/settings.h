// The settings a start or a reload runs with, from the configuration file
// and the command line.
#pragma once

#include "app/command_line.h"
#include "app/config_file.h"

#include <string>

// The defaults, then the file's values (none without --config), then the
// command line's options and positional arguments, then the checks of the
// options that only make sense together. On failure returns false with the
// reason; a file's value is named as "FILE:LINE:COLUMN: reason".
bool settle_settings(const CommandLine& line, const ConfigFile* file, Settings& settings, std::string& error);

// The password's own argument, or null when a file holds the password.
char* password_argument(const CommandLine& line);

// The file's value for an option, or null when the file does not name it.
const ConfigValue* config_value(const ConfigFile& file, const OptionRow& option);

// Whether the command line gives the option, which then wins over the file.
bool given_on_command_line(const CommandLine& line, const OptionRow& option);
