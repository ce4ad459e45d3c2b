#pragma once

#include <cstddef>

// A frame's text is whitespace-separated fields; a field may be double-quoted
// with backslash escapes. Splitting works in place and allocates nothing.

constexpr int MAX_FIELDS = 31; // a field array has MAX_FIELDS + 1 slots

// The six bytes isspace gives in the C locale, and no others: a check byte
// (0x80 and up) is an ordinary field byte.
constexpr bool is_field_space(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r'); // \t \n \v \f \r
}

// Cuts text into fields, storing pointers into it and a null after the last.
// Returns the count (at most most_fields, itself at most MAX_FIELDS), or 0
// for an empty text or a quoted field that ends in a lone backslash; the
// text past the last field taken is not looked at. lengths, when given
// (most_fields slots), receives each field's decoded length: an escaped zero
// byte, which ends the field as a C string, is counted with what follows it.
int split_fields(char** fields, char* text, std::size_t* lengths = nullptr, int most_fields = MAX_FIELDS);

// Decodes the quoted field that starts at position (just past the opening
// quote) in place. Returns the position after the closing quote, the text's
// terminator when the quote is never closed, or null when a backslash is the
// text's last byte.
char* unquote_field(char* position);
