#include "protocol/accounts.h"

#include <gtest/gtest.h>
#include <string>

namespace {

// Stands in for the platform's check of a hash field.
bool starts_with_dollar(std::string_view field)
{
    return field.starts_with("$");
}

UsersParse users(std::string_view text)
{
    return parse_users(text, starts_with_dollar);
}

TEST(UsersFile, CommentsBlankLinesAndLineEndsAreSkipped)
{
    UsersParse parsed = users("# operators\n\n  \t\nalice:$a1\r\n   # bob left\nbob:$b2  \ncarol:$c3");
    ASSERT_EQ(parsed.error.line, 0u) << parsed.error.reason;
    EXPECT_EQ(parsed.users, (PasswordHashes{{"alice", "$a1"}, {"bob", "$b2"}, {"carol", "$c3"}}));
}

TEST(UsersFile, AMalformedLineIsNamedByNumber)
{
    struct Case {
        const char* text;
        std::size_t line;
        const char* reason;
    } cases[] = {
        {"alice:$a\n\nbob $b\n", 3, "expected LOGIN:HASH"},
        {"# x\n:$a\n", 2, "not a valid login"},
        {" alice:$a\n", 1, "not a valid login"},
        {"alice:plain-text\n", 1, "not a password hash"},
        {"alice:$a\nbob:$b\nalice:$c\n", 3, "login alice appears again (first on line 1)"},
    };
    for (const Case& c : cases) {
        UsersParse parsed = users(c.text);
        EXPECT_EQ(parsed.error.line, c.line) << c.text;
        EXPECT_NE(parsed.error.reason.find(c.reason), std::string::npos) << parsed.error.reason;
        EXPECT_TRUE(parsed.users.empty());
    }
}

TEST(UsersFile, LoginsTheDialogueCanCarry)
{
    EXPECT_TRUE(account_login_valid("alice.ops-1"));
    EXPECT_TRUE(account_login_valid(std::string(255, 'x')));
    EXPECT_TRUE(account_login_valid("j\xC3\xB6rg"));
    for (std::string bad : {std::string(), std::string("a b"), std::string("a:b"), std::string("#a"),
                            std::string("a\tb"), std::string("a\x7F"), std::string(256, 'x'),
                            std::string("\xEF\xBB\xBF" "a")})
        EXPECT_FALSE(account_login_valid(bad)) << bad;
}

TEST(UsersFile, EditsKeepEveryOtherLineByteForByte)
{
    const std::string text = "# keep\r\nalice:$old\n\nbob:$b";
    EXPECT_EQ(users_text_with(text, "alice", "$new"), "# keep\r\nalice:$new\n\nbob:$b");
    EXPECT_EQ(users_text_with(text, "carol", "$c"), text + "\ncarol:$c\n");
    EXPECT_EQ(users_text_with("", "carol", "$c"), "carol:$c\n");
    // A comment that looks like a line of the login is not its line.
    EXPECT_EQ(users_text_with("#alice:$x\n", "alice", "$a"), "#alice:$x\nalice:$a\n");

    std::string rest;
    ASSERT_TRUE(users_text_without(text, "bob", &rest));
    EXPECT_EQ(rest, "# keep\r\nalice:$old\n\n");
    ASSERT_TRUE(users_text_without(text, "alice", &rest));
    EXPECT_EQ(rest, "# keep\r\n\nbob:$b");
    EXPECT_FALSE(users_text_without(text, "ali", &rest));
}

// Windows editors write one: it is not part of the first login, and an
// edit keeps it where it was.
TEST(UsersFile, AByteOrderMarkIsSkippedAndKept)
{
    const std::string mark = "\xEF\xBB\xBF";
    EXPECT_EQ(users(mark + "alice:$a\r\nbob:$b\r\n").users, (PasswordHashes{{"alice", "$a"}, {"bob", "$b"}}));
    EXPECT_EQ(parse_rights(mark + "alice a*\n").rights, (AddressRights{{"alice", {"a*"}}}));
    EXPECT_EQ(users_text_with(mark + "alice:$a\n", "alice", "$new"), mark + "alice:$new\n");
    EXPECT_EQ(users_text_with(mark, "carol", "$c"), mark + "carol:$c\n");
    std::string rest;
    ASSERT_TRUE(users_text_without(mark + "alice:$a\nbob:$b\n", "alice", &rest));
    EXPECT_EQ(rest, mark + "bob:$b\n");
}

TEST(RightsFile, PatternsPerLoginAndItsErrors)
{
    RightsParse parsed = parse_rights("# who speaks for what\nalice  desk-* ops?\t  \r\n\nbob bob\n");
    ASSERT_EQ(parsed.error.line, 0u) << parsed.error.reason;
    EXPECT_EQ(parsed.rights, (AddressRights{{"alice", {"desk-*", "ops?"}}, {"bob", {"bob"}}}));

    RightsParse lonely = parse_rights("alice a\n\ncarol   \n");
    EXPECT_EQ(lonely.error.line, 3u);
    EXPECT_EQ(lonely.error.reason, "login carol has no address pattern");
    RightsParse twice = parse_rights("alice a\nalice b\n");
    EXPECT_EQ(twice.error.line, 2u);
    EXPECT_EQ(twice.error.reason, "login alice appears again (first on line 1)");
    EXPECT_EQ(parse_rights("a:b x\n").error.line, 1u);
}

TEST(RightsFile, MaySpeakOnlyForWhatAPatternMatches)
{
    AddressRights rights{{"alice", {"desk-*", "ops"}}};
    EXPECT_TRUE(may_speak_for(rights, "alice", "desk-7"));
    EXPECT_TRUE(may_speak_for(rights, "alice", "ops"));
    EXPECT_FALSE(may_speak_for(rights, "alice", "ops2"));
    EXPECT_FALSE(may_speak_for(rights, "bob", "desk-7"));
}

TEST(AddressPattern, StarsQuestionMarksAndLiterals)
{
    struct Case {
        const char* pattern;
        const char* address;
        bool matches;
    } cases[] = {
        {"", "", true},           {"", "a", false},         {"*", "", true},
        {"*", "anything", true},  {"?", "", false},         {"?", "a", true},
        {"a?c", "abc", true},     {"a?c", "ac", false},     {"a*", "a", true},
        {"*c", "abc", true},      {"*c", "abcd", false},    {"a*b*c", "aXbYbZc", true},
        {"a*b*c", "aXcYb", false}, {"**", "x", true},       {"Desk", "desk", false},
        {"*.*", "a.b.c", true},   {"*a", "bbb", false},     {"??*", "a", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(address_pattern_matches(c.pattern, c.address), c.matches)
            << c.pattern << " vs " << c.address;
}

TEST(AddressPattern, ManyStarsAgainstALongNameStayQuick)
{
    // Backtracking into every star would try about n^k splits here.
    std::string address(100000, 'a');
    EXPECT_FALSE(address_pattern_matches("*a*a*a*a*a*a*a*a*b", address));
    address.back() = 'b';
    EXPECT_TRUE(address_pattern_matches("*a*a*a*a*a*a*a*a*b", address));
}

} // namespace
