#include "app/settings.h"

#include <set>

namespace {

bool apply_file(const ConfigFile& file, Settings& settings, std::string& error)
{
    for (const ConfigValue& value : file.values)
        for (const std::string& text : value.values) {
            std::string reason;
            if (!apply_option(settings, *value.option, value.option->name, text, reason)) {
                error = file.path + ":" + std::to_string(value.line) + ":" + std::to_string(value.column) +
                        ": " + reason;
                return false;
            }
        }
    return true;
}

// A repeatable option given on the command line replaces the file's list
// rather than adding to it. Each value was checked when the command line
// was read; only a repeatable option's bound is left to be met here.
bool apply_command_line(const CommandLine& line, Settings& settings, std::string& error)
{
    std::set<const OptionRow*> reset;
    for (const GivenOption& given : line.options)
        if (reset.insert(given.option).second)
            given.option->reset(settings);
    for (const GivenOption& given : line.options)
        if (!apply_option(settings, *given.option, "--" + std::string(given.option->name), given.value, error))
            return false;
    return true;
}

// The positional arguments each way of logging in takes.
std::size_t wanted_positionals(const Settings& settings)
{
    if (!settings.users_file.empty())
        return 1;
    return settings.password_file.empty() ? 3 : 2;
}

std::string positionals_text(std::size_t wanted)
{
    switch (wanted) {
    case 1: return "<port_number>";
    case 2: return "<port_number> <login>";
    default: return "<port_number> <login> <password>";
    }
}

// Without a file the command line names every value; with one, the
// leading ones may come from the file instead.
bool apply_positionals(const CommandLine& line, const ConfigFile* file, Settings& settings, std::string& error)
{
    const std::size_t wanted = wanted_positionals(settings);
    const std::size_t given = line.positionals.size();
    if (file ? given > wanted : given != wanted) {
        error = "expected " + positionals_text(wanted) + " after the options, got " + std::to_string(given) +
                " arguments";
        return false;
    }
    if (given >= 1)
        settings.port = line.positionals[0];
    if (given >= 2)
        settings.login = line.positionals[1];
    if (!file)
        return true;
    const std::string where = " in " + file->path + " or on the command line";
    if (!settings.port)
        error = "no port: give port" + where;
    else if (wanted >= 2 && !settings.login)
        error = "no login: give login" + where;
    else if (wanted == 3 && given < 3)
        error = "no password: give password-file or users in " + file->path +
                ", or the password on the command line";
    else if (wanted == 1 && settings.login)
        error = "login and users do not go together: each user logs in with its own";
    return error.empty();
}

bool cluster_settings_given(const Settings& settings)
{
    const Settings defaults;
    return !settings.cluster_credentials.empty() || !settings.cluster_ca.empty() || !settings.node_name.empty() ||
           settings.cluster_name != defaults.cluster_name || settings.cluster_buffer != defaults.cluster_buffer;
}

// Options that only make sense together.
bool check_option_pairs(const Settings& settings, std::string& error)
{
    const bool tls_files = !settings.tls_cert.empty() || !settings.tls_key.empty() || !settings.tls_client_ca.empty();
    if (!settings.users_file.empty() && !settings.password_file.empty())
        error = "--users and --password-file do not go together";
    else if (!settings.rights_file.empty() && settings.users_file.empty())
        error = "--rights needs --users: rights are given to the logins of a users file";
    else if (settings.tls_port != 0 && (settings.tls_cert.empty() || settings.tls_key.empty()))
        error = "--tls-port needs --tls-cert and --tls-key";
    else if (settings.wss_port != 0 && (settings.tls_cert.empty() || settings.tls_key.empty()))
        error = "--wss-port needs --tls-cert and --tls-key";
    else if (settings.tls_port == 0 && settings.wss_port == 0 && tls_files)
        error = "--tls-cert, --tls-key and --tls-client-ca need --tls-port or --wss-port";
    else if (settings.cluster_servers.empty() && cluster_settings_given(settings))
        error = "--cluster-creds, --cluster-ca, --cluster-name, --node-name and --cluster-buffer need --cluster";
    else if (settings.ws_port == 0 && settings.wss_port == 0 &&
             (!settings.ws_origins.empty() || !settings.ws_trusted_proxies.empty()))
        error = "--ws-origin and --ws-trusted-proxy need --ws-port or --wss-port";
    return error.empty();
}

} // namespace

bool settle_settings(const CommandLine& line, const ConfigFile* file, Settings& settings, std::string& error)
{
    settings = Settings{};
    if (file && !apply_file(*file, settings, error))
        return false;
    return apply_command_line(line, settings, error) && check_option_pairs(settings, error) &&
           apply_positionals(line, file, settings, error);
}

char* password_argument(const CommandLine& line)
{
    return line.positionals.size() == 3 ? line.positionals[2] : nullptr;
}

const ConfigValue* config_value(const ConfigFile& file, const OptionRow& option)
{
    for (const ConfigValue& value : file.values)
        if (value.option == &option)
            return &value;
    return nullptr;
}

bool given_on_command_line(const CommandLine& line, const OptionRow& option)
{
    // The positional values: the port first, then the login.
    if (option.place == OptionPlace::file)
        return line.positionals.size() > (option.name == "port" ? 0u : 1u);
    for (const GivenOption& given : line.options)
        if (given.option == &option)
            return true;
    return false;
}
