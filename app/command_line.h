#pragma once

#include <cstdint>

// Reads a port argument the way atoi does (blanks, one sign, digits up to the
// first non-digit, 32-bit wrap-around), without atoi's undefined overflow.
// Its low 16 bits name the port.
std::int32_t parse_port_argument(const char* text);
