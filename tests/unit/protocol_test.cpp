// The login dialogue's lines and the frame codec: pure functions over bytes.
#include "protocol/frame.h"
#include "protocol/login_line.h"

#include <gtest/gtest.h>
#include <string>

namespace {

using namespace std::string_view_literals;

TEST(LoginLine, WaitsForTheLineFeedAndTakesOneLineAtATime)
{
    EXPECT_EQ(cut_login_line("", 255).consumed, 0u);
    EXPECT_EQ(cut_login_line("alice\r", 255).consumed, 0u);
    LineCut first = cut_login_line("alice\r\nsecret\n", 255);
    EXPECT_EQ(first.consumed, 7u);
    EXPECT_EQ(first.text, "alice");
    LineCut second = cut_login_line("secret\n", 255);
    EXPECT_EQ(second.consumed, 7u);
    EXPECT_EQ(second.text, "secret");
}

TEST(LoginLine, DropsOneCarriageReturnOnlyAndOnlyBeforeTheLineFeed)
{
    LineCut cut = cut_login_line("abc\r\r\n\n", 255);
    EXPECT_EQ(cut.consumed, 6u);
    EXPECT_EQ(cut.text, "abc\r");
    cut = cut_login_line("\n", 255);
    EXPECT_EQ(cut.consumed, 1u) << "an empty line still counts";
    EXPECT_EQ(cut.text, "");
    EXPECT_EQ(cut_login_line("a\rb\n", 255).text, "a\rb");
    EXPECT_EQ(cut_login_line("ab\0cd\n"sv, 255).text, "ab\0cd"sv) << "a zero is an ordinary byte";
}

TEST(LoginLine, OverlongLineKeepsTheLimitLosesOneByteAndLeavesTheRest)
{
    std::string login(300, 'L');
    for (int i = 0; i < 300; i++)
        login[i] = static_cast<char>('a' + i % 26);
    std::string input = login + "\n";
    LineCut cut = cut_login_line(input, 255);
    EXPECT_EQ(cut.consumed, 256u) << "byte 256 is consumed and lost";
    EXPECT_EQ(cut.text, login.substr(0, 255));
    LineCut rest = cut_login_line(std::string_view(input).substr(256), 255);
    EXPECT_EQ(rest.consumed, 45u);
    EXPECT_EQ(rest.text, login.substr(256));
    // The carriage return goes only when it is the last byte kept.
    EXPECT_EQ(cut_login_line(std::string(254, 'x') + "\rYZ\n", 255).text, std::string(254, 'x'));
    EXPECT_EQ(cut_login_line(std::string(255, 'x') + "\r\n", 255).text, std::string(255, 'x'));
}

TEST(Frame, CheckByteOfTheWorkedExamples)
{
    EXPECT_EQ(frame_check_byte("abc"), 0xA6);
    EXPECT_EQ(frame_check_byte("ab"), 0xC3);
    EXPECT_EQ(frame_check_byte(""), 0x80);
    EXPECT_EQ(make_frame("abc"), "abc\xA6");
}

TEST(Frame, EndsAtTheFirstCheckByte)
{
    EXPECT_EQ(frame_length("abc\xA6" "a"), 4u);
    EXPECT_EQ(frame_length("a\r\nb"), 0u) << "waits for a check byte; line ends are payload";
    EXPECT_EQ(frame_length("\x80\x80"), 1u);
    EXPECT_EQ(split_frames("abc\xA6" "ab\xC3" "\x80" "tail"),
              (std::vector<std::string_view>{"abc\xA6", "ab\xC3", "\x80"}));
}

TEST(Frame, ValidOnlyAsOneWholeFrameWithTheRightCheckByteAndNoZero)
{
    EXPECT_TRUE(frame_is_valid("abc\xA6"));
    EXPECT_TRUE(frame_is_valid("\x80"));
    EXPECT_TRUE(frame_is_valid(make_frame("a\r\nb")));
    EXPECT_TRUE(frame_is_valid(make_frame(std::string(4094, 'q'))));
    EXPECT_FALSE(frame_is_valid(""));
    EXPECT_FALSE(frame_is_valid("abc"));
    EXPECT_FALSE(frame_is_valid("abc\xA7"));
    EXPECT_FALSE(frame_is_valid("abc\xA6x")) << "bytes after the check byte";
    EXPECT_FALSE(frame_is_valid("abc\xA6\x80"));
    EXPECT_FALSE(frame_is_valid("a\0b\xC3"sv)) << "a zero in the payload";
}

} // namespace

// Frames are searched and validated eight bytes at a time: a zero byte, a
// high bit or a sum error at any offset of any length must still count.
TEST(Frame, EveryOffsetOfEveryLengthIsSeen)
{
    for (std::size_t length = 1; length <= 40; length++) {
        std::string payload;
        for (std::size_t i = 0; i < length; i++)
            payload += static_cast<char>('!' + (i * 37) % 90);
        const std::string frame = make_frame(payload);
        ASSERT_TRUE(frame_is_valid(frame)) << length;
        EXPECT_EQ(frame_length(frame + "tail"), frame.size());
        for (std::size_t at = 0; at < length; at++) {
            std::string broken = frame;
            broken[at] = '\0';
            EXPECT_FALSE(frame_is_valid(broken)) << length << " zero at " << at;
            broken[at] = static_cast<char>(0x80 | broken[at + 1]);
            EXPECT_FALSE(frame_is_valid(broken)) << length << " high bit at " << at;
            EXPECT_EQ(frame_length(broken), at + 1);
            broken = frame;
            broken[at] = static_cast<char>(broken[at] + 1);
            EXPECT_FALSE(frame_is_valid(broken)) << length << " sum off at " << at;
        }
    }
}
