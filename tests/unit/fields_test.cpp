#include "protocol/fields.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

// Splits a copy of text; returns the fields, or {"<failed>"} when the split
// returns 0 for a text that is not blank.
struct Split {
    explicit Split(const std::string& text) : buffer(text.begin(), text.end())
    {
        buffer.push_back('\0');
        for (auto& slot : slots)
            slot = reinterpret_cast<char*>(&sentinel);
        count = split_fields(slots, buffer.data());
        for (int i = 0; i < count; i++)
            fields.emplace_back(slots[i]);
    }
    std::vector<char> buffer;
    char* slots[MAX_FIELDS + 2];
    int sentinel = 0;
    int count;
    std::vector<std::string> fields;
};

using Fields = std::vector<std::string>;

TEST(SplitFields, BlankTextsHaveNoFields)
{
    for (const char* text : {"", " \t ", "\n\v\f\r"}) {
        Split split(text);
        EXPECT_EQ(split.count, 0);
        EXPECT_EQ(split.slots[0], nullptr);
    }
}

TEST(SplitFields, OnlyTheSixBlanksSeparate)
{
    EXPECT_EQ(Split("one\ttwo\nthree\vfour\ffive\rsix seven").count, 7);
    EXPECT_EQ(Split("a\x1c" "b\xa0" "c\x85" "d").fields, Fields{"a\x1c" "b\xa0" "c\x85" "d"});
}

TEST(SplitFields, CheckByteSticksToAnUnquotedLastField)
{
    EXPECT_EQ(Split("one two six\xB0").fields, (Fields{"one", "two", "six\xB0"}));
    EXPECT_EQ(Split("one two six \xB0").fields, (Fields{"one", "two", "six", "\xB0"}));
    EXPECT_EQ(Split("one two \"six\"\xB0").fields, (Fields{"one", "two", "six"}))
        << "the byte after a closing quote is the separator";
    EXPECT_EQ(Split("x src \"\"\x80").fields, (Fields{"x", "src", ""}));
}

TEST(SplitFields, QuotedFields)
{
    EXPECT_EQ(Split("\"ab\"cd ef").fields, (Fields{"ab", "d", "ef"})) << "c is eaten";
    EXPECT_EQ(Split("\"a b\" d").fields, (Fields{"a b", "d"}));
    EXPECT_EQ(Split("\"\"").fields, (Fields{""}));
    EXPECT_EQ(Split("\"a\"\"b\"").fields, (Fields{"a", "b\""}));
    EXPECT_EQ(Split("ab\"cd").fields, (Fields{"ab\"cd"}));
    EXPECT_EQ(Split("\"abc\xB5").fields, (Fields{"abc\xB5"})) << "an unclosed quote runs to the end";
}

TEST(SplitFields, FieldsEndWithANullSlotAndNothingPastIt)
{
    Split split("a b c");
    ASSERT_EQ(split.count, 3);
    EXPECT_EQ(split.slots[3], nullptr);
    EXPECT_EQ(split.slots[4], reinterpret_cast<char*>(&split.sentinel)) << "not touched";
}

TEST(SplitFields, AtMost31Fields)
{
    std::string words;
    for (int i = 0; i < 40; i++)
        words += std::string(1, static_cast<char>('a' + i % 26)) + " ";
    Split split(words);
    EXPECT_EQ(split.count, 31);
    EXPECT_EQ(split.slots[31], nullptr);
    EXPECT_EQ(split.fields[30], "e");
}

TEST(SplitFields, TrailingBackslashFailsTheWholeSplit)
{
    EXPECT_EQ(Split("a b \"cd\\").count, 0);
    EXPECT_EQ(Split("\"\\").count, 0);
}

std::string unquoted(const std::string& content)
{
    Split split("\"" + content + "\"");
    return split.count == 1 ? split.fields[0] : "<split " + std::to_string(split.count) + ">";
}

TEST(UnquoteField, SimpleEscapes)
{
    EXPECT_EQ(unquoted("\\\"in\\\"side"), "\"in\"side");
    EXPECT_EQ(unquoted("\\\\"), "\\");
    EXPECT_EQ(unquoted("\\a\\b\\f\\n\\r\\t\\v"), "\a\b\f\n\r\t\v");
    EXPECT_EQ(unquoted("\\q\\8\\9\\X41\\\xC1"), "q89X41\xC1") << "any other byte stands for itself";
}

TEST(UnquoteField, OctalTakesEveryOctalDigit)
{
    EXPECT_EQ(unquoted("\\101"), "A");
    EXPECT_EQ(unquoted("\\1010"), "\x08") << "octal 520, low 8 bits";
    EXPECT_EQ(unquoted("\\1018"), "A8");
    EXPECT_EQ(unquoted("\\7777777777777777"), "\xFF") << "saturates at the 32-bit maximum";
    EXPECT_EQ(unquoted("\\37777777777"), "\xFF");
    EXPECT_EQ(unquoted("\\40000000000"), "\xFF");
    EXPECT_EQ(unquoted("\\377x"), "\xFFx");
}

TEST(UnquoteField, HexReadsAsStrtoulWould)
{
    EXPECT_EQ(unquoted("\\x41"), "A");
    EXPECT_EQ(unquoted("\\x4a\\x4A"), "JJ");
    EXPECT_EQ(unquoted("\\x141"), "A") << "low 8 bits of 0x141";
    EXPECT_EQ(unquoted("\\xg"), "") << "no digits: a zero byte";
    EXPECT_EQ(unquoted("\\x1fffffffff"), "\xFF") << "saturates at the 32-bit maximum";
    EXPECT_EQ(unquoted("\\x0x41"), "A") << "a 0x prefix is part of the number";
    EXPECT_EQ(unquoted("\\x 41"), "A") << "leading blanks are skipped";
    EXPECT_EQ(unquoted("\\x-1z"), "\xFFz") << "a sign is read";
}

TEST(UnquoteField, HexWithNoDigitsGoesOnRightAfterTheX)
{
    Split split("\"a\\xyz\" b");
    ASSERT_EQ(split.count, 2);
    EXPECT_EQ(std::string(split.slots[0], 4), std::string("a\0yz", 4));
}

TEST(UnquoteField, DecodedZeroEndsTheTextButTheFieldIsConsumed)
{
    EXPECT_EQ(Split("\"a\\0b\" next").fields, (Fields{"a", "next"}));
}

} // namespace
