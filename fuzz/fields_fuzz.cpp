// split_fields on arbitrary text. Every field must lie inside the text, in
// order and apart; the count is at most 31 with a null after the last field
// and no slot beyond it touched; nothing is written past the terminator.
// A text without quotes must split exactly as plain whitespace words.
// Split with a limit, the text gives the same first fields, and a text
// closed by a check byte (as every frame is) never fails to split.
#include "fuzz/fuzz_support.h"
#include "protocol/fields.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int SLOTS = MAX_FIELDS + 9; // room to see a write past the end mark

bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::vector<std::string> plain_words(const char* text)
{
    std::vector<std::string> words;
    const char* p = text;
    while (static_cast<int>(words.size()) < MAX_FIELDS) {
        while (is_space(*p))
            p++;
        if (*p == '\0')
            break;
        const char* start = p;
        while (*p != '\0' && !is_space(*p))
            p++;
        words.emplace_back(start, p);
    }
    return words;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // Exactly the input and one terminator, so AddressSanitizer sees any
    // write past it. Bytes behind an early zero must stay as they were.
    auto text = std::make_unique<char[]>(size + 1);
    if (size > 0)
        std::memcpy(text.get(), data, size);
    text[size] = '\0';
    const std::string original(text.get(), size + 1);
    const std::size_t length = std::strlen(text.get());
    const bool has_quote = std::memchr(text.get(), '"', length) != nullptr;
    const std::vector<std::string> expected = plain_words(original.c_str());
    const bool closed_by_check_byte = length > 0 && static_cast<unsigned char>(text[length - 1]) >= 0x80;
    std::string limited_text = original;
    char* limited[4];
    std::size_t limited_lengths[3];
    const int limited_count = split_fields(limited, limited_text.data(), limited_lengths, 3);

    char untouched = 0;
    char* fields[SLOTS];
    for (char*& slot : fields)
        slot = &untouched;
    std::size_t lengths[MAX_FIELDS];
    int count = split_fields(fields, text.get(), lengths);

    fuzz_require(count >= 0 && count <= MAX_FIELDS, "field count out of range");
    fuzz_require(std::memcmp(text.get() + length, original.data() + length, size + 1 - length) == 0,
                 "bytes past the text's terminator changed");
    if (!has_quote) {
        fuzz_require(count == static_cast<int>(expected.size()), "unquoted text split into other words");
        for (int i = 0; i < count; i++)
            fuzz_require(fields[i] == expected[static_cast<std::size_t>(i)], "an unquoted word differs");
    }
    fuzz_require(count > 0 || !closed_by_check_byte || length != size, "a frame's text failed to split");
    if (count > 0) {
        fuzz_require(limited_count == std::min(count, 3), "a limited split took another count");
        for (int i = 0; i < limited_count; i++)
            fuzz_require(limited_lengths[i] == lengths[i] &&
                             std::memcmp(limited[i], fields[i], lengths[i]) == 0,
                         "a limited split gave another field");
    }
    if (count == 0 && has_quote)
        return 0; // a failed split: the array is of no use
    fuzz_require(fields[count] == nullptr, "no null after the last field");
    for (int i = count + 1; i < SLOTS; i++)
        fuzz_require(fields[i] == &untouched, "a slot past the end mark was written");
    // Compared as addresses, so that a stray pointer is reported, not used.
    const auto begin = reinterpret_cast<std::uintptr_t>(text.get());
    const std::uintptr_t end = begin + length;
    std::uintptr_t next_free = begin;
    for (int i = 0; i < count; i++) {
        const auto field = reinterpret_cast<std::uintptr_t>(fields[i]);
        fuzz_require(field >= next_free && field <= end, "a field lies outside the text or overlaps");
        std::uintptr_t field_end = field + std::strlen(fields[i]);
        fuzz_require(field_end <= end, "a field runs past the text");
        next_free = field_end + 1;
    }
    return 0;
}
