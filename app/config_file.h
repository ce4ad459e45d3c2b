// The configuration file: TOML, flat, one key per option of the table
// (options.h), read whole at start and at each reload.
#pragma once

#include "app/options.h"

#include <cstdint>
#include <string>
#include <vector>

// One key as the file gives it, its type checked, its value as the command
// line would spell it.
struct ConfigValue {
    const OptionRow* option;
    std::vector<std::string> values; // one; a list's in order
    std::uint32_t line;
    std::uint32_t column;
};

struct ConfigFile {
    std::string path;
    std::vector<ConfigValue> values; // in the file's order
};

// Whether this build reads configuration files; the reason when it does not.
bool config_files_supported();
const char* config_files_unsupported_reason();

// Reads and checks the file's syntax, its keys and their types. On failure
// returns false with "FILE:LINE:COLUMN: reason" (or "FILE: reason" when no
// place can be named); an unknown key names the nearest known one when one
// is close. The values themselves are checked when they are applied.
bool read_config_file(const std::string& path, ConfigFile& file, std::string& error);

// The file's value for an option, or null when the file does not name it.
const ConfigValue* config_value(const ConfigFile& file, const OptionRow& option);
