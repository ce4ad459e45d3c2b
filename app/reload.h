// What the server takes from its settings while it runs, and the reload
// (SIGHUP) that reads them again.
#pragma once

#include "app/command_line.h"
#include "app/config_file.h"
#include "switch/server.h"

#include <cstdint>

// What the server was started with, kept for each reload.
struct Configuration {
    CommandLine line;
    bool from_file = false; // --config
    // The file as last taken, with the values that need a restart as the
    // server runs them.
    ConfigFile file;
    Settings settings; // running now
    // Where no signal asks for a reload: the file's stamp when last read,
    // and when it is next looked at.
    long long file_stamp = 0;
    std::int64_t stamp_due_ms = 0;
};

// The settings that count for what happens from now on: the limits on new
// sessions and addresses, the throttling of refused logins, peer names,
// the log's echo and its received blocks.
void apply_live_settings(Server& server, const Settings& settings);

// Where no signal asks for a reload: whether the configuration file has
// changed since it was last read; looks at most once a second.
bool config_file_changed(Configuration& configuration, std::int64_t now_ms);
// When the file is next looked at, for the loop to wake by; 0 where a
// signal asks for reloads, or without --config.
std::int64_t config_file_due_ms(const Configuration& configuration);

// Reopens the log, and rereads the configuration file (with --config), the
// password, users, rights and TLS files. A value that can change live
// does; one that cannot is logged ("srv: reload: port needs a restart") and
// kept, and a file that no longer reads keeps what runs and says why.
void reload(Server& server, Configuration& configuration);
