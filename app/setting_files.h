// The files the settings name, read and checked the same way for a start,
// a --check-config and a reload. Each failure comes back as one line.
#pragma once

#include "app/command_line.h"
#include "platform/tls.h"
#include "switch/server.h"

#include <string>

// The password: its argument's bytes as they are, or the first line of the
// password file.
bool read_password(const CommandLine& line, const Settings& settings, std::string& password,
                   std::string& error);

// The TLS port's certificate and key, loaded and matched; null without a
// TLS port, or with the reason when they do not load.
TlsContext* load_tls(const Settings& settings, std::string& error);

TlsServerFiles tls_files(const Settings& settings);

// The WebSocket ports' rules: the Origin patterns and the trusted proxies'
// addresses. A build without SHA-1 refuses the ports, and a proxy must be
// an address literal.
bool load_web_rules(WebRules& rules, const Settings& settings, std::string& error);

// The users file (and rights file) named by the settings, into the logins;
// a build that cannot check a password refuses them.
bool load_logins(Logins& logins, const Settings& settings, std::string& error);

// Whether the switch can join the cluster the settings name: a build with a
// NATS client, and credentials and certificates that can be read (nats.c
// reads the credentials itself at each connect). True without --cluster.
bool check_cluster(const Settings& settings, std::string& error);
