// A build without toml++ reads no configuration file and says so.
#include "app/config_file.h"

bool config_files_supported()
{
    return false;
}

const char* config_files_unsupported_reason()
{
    return "this build cannot read configuration files (built without toml++)";
}

bool read_config_file(const std::string&, ConfigFile&, std::string& error)
{
    error = config_files_unsupported_reason();
    return false;
}
