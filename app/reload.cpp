#include "app/reload.h"

#include "app/setting_files.h"
#include "app/settings.h"
#include "platform/text_file.h"
#include "platform/tls.h"

#include <string>

namespace {

void say(Server& server, const std::string& subject)
{
    log_event(server.log, platform.now(), "srv", subject);
}

bool same_values(const ConfigValue* a, const ConfigValue* b)
{
    if (!a || !b)
        return a == b;
    return a->values == b->values;
}

// A value the running server cannot take is said and put back in the new
// file as it runs; so is each time it is still changed at a later reload.
void keep_restart_values(Server& server, const Configuration& running, ConfigFile& next)
{
    for (const OptionRow& option : option_table()) {
        if (option.reload == OnReload::live || option.place == OptionPlace::command_line ||
            given_on_command_line(running.line, option))
            continue;
        const ConfigValue* now = config_value(running.file, option);
        const ConfigValue* asked = config_value(next, option);
        if (same_values(now, asked))
            continue;
        say(server, "reload: " + std::string(option.name) + " needs a restart");
        std::erase_if(next.values, [&](const ConfigValue& value) { return value.option == &option; });
        if (now)
            next.values.push_back(*now);
    }
}

// Users or one password: the way of logging in is chosen at the start.
void keep_login_mode(Server& server, const Settings& running, Settings& next)
{
    if (running.users_file.empty() == next.users_file.empty())
        return;
    say(server, std::string("reload: ") + (running.users_file.empty() ? "users" : "password-file") +
                    " needs a restart");
    next.users_file = running.users_file;
    next.rights_file = running.rights_file;
    next.password_file = running.password_file;
    next.login = running.login;
}

// The settings the file asks for now, or the running ones when it does not
// read or does not make sense.
Settings reread_file(Server& server, Configuration& running)
{
    ConfigFile file;
    std::string error;
    Settings next;
    if (!read_config_file(running.file.path, file, error)) {
        say(server, "reload failed, configuration kept: " + error);
        return running.settings;
    }
    keep_restart_values(server, running, file);
    if (!settle_settings(running.line, &file, next, error)) {
        say(server, "reload failed, configuration kept: " + error);
        return running.settings;
    }
    keep_login_mode(server, running.settings, next);
    running.file = std::move(file);
    return next;
}

// One login and password: a new login, or a new password in its file,
// counts from the next dialogue.
void reload_credentials(Server& server, const Configuration& running, const Settings& next)
{
    std::string password = server.password; // the argument was blanked at start
    std::string error;
    if (!password_argument(running.line) && !read_password(running.line, next, password, error)) {
        say(server, "reload failed, password kept: " + error);
        return;
    }
    set_credentials(server, next.login->c_str(), password.c_str());
}

// New paths are tried; a file that does not read keeps the old set and paths.
void reload_logins(Server& server, const Settings& next)
{
    Logins& logins = server.logins;
    const std::string users = logins.users_path;
    const std::string rights = logins.rights_path;
    const bool rights_given = logins.rights_given;
    logins.users_path = next.users_file;
    logins.rights_path = next.rights_file;
    logins.rights_given = !next.rights_file.empty();
    if (reload_accounts(server))
        return;
    logins.users_path = users;
    logins.rights_path = rights;
    logins.rights_given = rights_given;
}

// Open connections keep the certificate they were made with.
void reload_tls(Server& server, const Settings& next)
{
    if (!server.tls_context)
        return;
    std::string error;
    if (tls_server_context_reload(&server.tls_context, tls_files(next), &error))
        say(server, "TLS certificate reloaded");
    else
        say(server, "TLS certificate kept: " + error);
}

} // namespace

void apply_live_settings(Server& server, const Settings& settings)
{
    server.registry.max_per_holder = settings.max_addresses;
    server.max_dialogues_per_address = settings.max_dialogues_per_address;
    server.numeric_peer_names = settings.numeric;
    server.log.echo_to_stdout = !settings.quiet;
    server.log_frames = settings.log_frames;
    // The classic server shuts nobody out: only asked for, or with a users
    // file, are refused logins counted.
    server.logins.failures_allowed =
        settings.login_failures.value_or(server.logins.users_given ? DEFAULT_LOGIN_FAILURES : 0);
}

bool config_file_changed(Configuration& configuration, std::int64_t now_ms)
{
    if (!configuration.from_file || reload_asked_by_signal() || now_ms < configuration.stamp_due_ms)
        return false;
    configuration.stamp_due_ms = now_ms + ACCOUNT_FILES_LOOK_MS;
    const long long stamp = text_file_stamp(configuration.file.path.c_str());
    const bool changed = stamp != configuration.file_stamp;
    configuration.file_stamp = stamp;
    return changed;
}

std::int64_t config_file_due_ms(const Configuration& configuration)
{
    if (!configuration.from_file || reload_asked_by_signal())
        return 0;
    return configuration.stamp_due_ms;
}

void reload(Server& server, Configuration& running)
{
    // The file is opened afresh, for whoever moved it away.
    log_reopen(server.log, platform.now());
    say(server, "reloading");
    if (!running.from_file) {
        reload_accounts(server);
        reload_tls(server, running.settings);
        return;
    }
    const Settings next = reread_file(server, running);
    if (next.log_path != running.settings.log_path) {
        log_reopen(server.log, platform.now());
        server.log.path = next.log_path;
    }
    apply_live_settings(server, next);
    if (server.logins.users_given)
        reload_logins(server, next);
    else
        reload_credentials(server, running, next);
    reload_tls(server, next);
    running.settings = next;
}
