#pragma once

#include <cstdint>

constexpr std::size_t CONFIG_TEXT_SIZE = 256;

// The credentials from the command line, cut to 255 characters.
extern char cfg_login[CONFIG_TEXT_SIZE];
extern char cfg_password[CONFIG_TEXT_SIZE];

// Reads a port argument the way atoi does (blanks, one sign, digits up to the
// first non-digit, 32-bit wrap-around), without atoi's undefined overflow.
std::int32_t parse_port_argument(const char* text);

// Copies text into a 256-byte config field: strncpy of 255 and a zero in the
// last byte, so longer texts are cut.
void copy_config_text(char* field, const char* text);

// Opens the listening socket on every interface, or reports with perror and
// exits with code 1.
void opn_tcp(std::int32_t port);

// Start-up and the main loop; returns only through exit.
[[noreturn]] void server_main(int argc, char** argv);
