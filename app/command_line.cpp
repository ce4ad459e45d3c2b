#include "app/command_line.h"

#include "protocol/fields.h"

std::int32_t parse_port_argument(const char* text)
{
    // atoi skips exactly the blanks that separate fields.
    while (is_field_space(*text))
        text++;
    bool negative = *text == '-';
    if (*text == '-' || *text == '+')
        text++;
    // Unsigned arithmetic wraps by definition; the final conversion to a
    // signed 32-bit value is modular in C++20.
    std::uint32_t value = 0;
    while (*text >= '0' && *text <= '9')
        value = value * 10u + static_cast<std::uint32_t>(*text++ - '0');
    if (negative)
        value = 0u - value;
    return static_cast<std::int32_t>(value);
}
