#include "protocol/fields.h"

#include <cassert>
#include <cstdint>

namespace {

int digit_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return 99;
}

// Reads a number the way strtoul does with a 32-bit unsigned long: leading
// blanks, one sign, a 0x prefix in base 16, every digit that follows, and the
// largest value when it does not fit. *end is left at start when no digit
// was taken. Written out because strtoul's width differs between systems.
std::uint32_t read_unsigned(const char* start, int base, const char** end)
{
    const char* p = start;
    while (is_field_space(*p))
        p++;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+')
        p++;
    if (base == 16 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && digit_value(p[2]) < 16)
        p += 2;
    const char* digits = p;
    std::uint64_t value = 0;
    bool overflow = false;
    for (; digit_value(*p) < base; p++) {
        value = value * static_cast<unsigned>(base) + static_cast<unsigned>(digit_value(*p));
        if (value > UINT32_MAX) {
            overflow = true;
            value = UINT32_MAX;
        }
    }
    if (p == digits) {
        *end = start;
        return 0;
    }
    *end = p;
    if (overflow)
        return UINT32_MAX;
    auto result = static_cast<std::uint32_t>(value);
    return negative ? 0u - result : result;
}

char simple_escape(char c)
{
    switch (c) {
    case 'a': return '\a';
    case 'b': return '\b';
    case 'f': return '\f';
    case 'n': return '\n';
    case 'r': return '\r';
    case 't': return '\t';
    case 'v': return '\v';
    default: return c; // the quote, the backslash and every other byte
    }
}

// unquote_field that also reports where the decoded text ends.
char* decode_quoted(char* position, char** decoded_end)
{
    char* read = position;
    char* write = position;
    while (*read != '\0' && *read != '"') {
        if (*read != '\\') {
            *write++ = *read++;
            continue;
        }
        char kind = read[1];
        if (kind == '\0')
            return nullptr;
        if (kind >= '0' && kind <= '7') {
            const char* after;
            *write++ = static_cast<char>(read_unsigned(read + 1, 8, &after) & 0xFF);
            read += after - read;
        } else if (kind == 'x') {
            const char* after;
            *write++ = static_cast<char>(read_unsigned(read + 2, 16, &after) & 0xFF);
            read += after - read;
        } else {
            *write++ = simple_escape(kind);
            read += 2;
        }
    }
    // Test for the closing quote before the terminator goes in: with no
    // escape the terminator lands on the quote itself.
    bool closed = *read == '"';
    if (closed)
        read++;
    *write = '\0';
    *decoded_end = write;
    return read;
}

} // namespace

char* unquote_field(char* position)
{
    char* decoded_end;
    return decode_quoted(position, &decoded_end);
}

int split_fields(char** fields, char* text, std::size_t* lengths, int most_fields)
{
    assert(most_fields >= 1 && most_fields <= MAX_FIELDS);
    int count = 0;
    char* p = text;
    for (;;) {
        while (is_field_space(*p))
            p++;
        if (*p == '\0') {
            fields[count] = nullptr;
            return count;
        }
        bool quoted = *p == '"';
        if (quoted)
            p++;
        char* field = fields[count] = p;
        char* field_end;
        if (quoted) {
            p = decode_quoted(p, &field_end);
            if (!p)
                return 0;
        } else {
            while (*p != '\0' && !is_field_space(*p))
                p++;
            field_end = p;
        }
        if (lengths)
            lengths[count] = static_cast<std::size_t>(field_end - field);
        count++;
        // Ends the field; after a closing quote this eats whatever byte
        // follows, which is how the protocol has always read it.
        if (*p != '\0')
            *p++ = '\0';
        if (count >= most_fields) {
            fields[count] = nullptr;
            return count;
        }
    }
}
