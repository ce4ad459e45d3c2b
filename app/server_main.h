#pragma once

#include "platform/platform.h"

#include <cstdint>

// Opens the listening socket on every interface, or reports with perror and
// exits with code 1.
socket_handle open_listener(std::int32_t port);

// Start-up and the main loop; returns only through exit.
[[noreturn]] void server_main(int argc, char** argv);
