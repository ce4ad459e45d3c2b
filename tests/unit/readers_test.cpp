// The readers that take the login dialogue's lines and the frames off a
// session's input queue.
#include "relay/frame.h"
#include "relay/login.h"
#include "tests/support/fake_platform.h"

#include <gtest/gtest.h>
#include <string>

namespace {

struct ReaderTest : ::testing::Test {
    ~ReaderTest() override { platform.release(queue.block); }
    void feed(const std::string& bytes)
    {
        ASSERT_EQ(queue_append(&queue, bytes.data(), static_cast<std::uint32_t>(bytes.size())), 1);
    }
    std::string left() const { return std::string(queue.block, queue.length); }

    FakePlatform net;
    ByteQueue queue{};
    char buffer[4096 + 1] = {};
};

using LineReaderTest = ReaderTest;

TEST_F(LineReaderTest, WaitsForTheLineFeed)
{
    char line[256];
    EXPECT_EQ(read_line(&queue, line, 255), 0u) << "no block yet";
    feed("alice");
    EXPECT_EQ(read_line(&queue, line, 255), 0u);
    EXPECT_EQ(left(), "alice");
    feed("\r\nsecret\n");
    EXPECT_EQ(read_line(&queue, line, 255), 6u);
    EXPECT_STREQ(line, "alice");
    EXPECT_EQ(read_line(&queue, line, 255), 7u);
    EXPECT_STREQ(line, "secret");
    EXPECT_EQ(queue.length, 0u);
}

TEST_F(LineReaderTest, DropsOneCarriageReturnOnlyAndOnlyBeforeTheLineFeed)
{
    char line[256];
    feed("abc\r\r\n\n");
    EXPECT_EQ(read_line(&queue, line, 255), 5u);
    EXPECT_EQ(std::string(line), "abc\r");
    EXPECT_EQ(read_line(&queue, line, 255), 1u) << "an empty line still counts";
    EXPECT_STREQ(line, "");
    feed("a\rb\n");
    read_line(&queue, line, 255);
    EXPECT_EQ(std::string(line), "a\rb");
}

TEST_F(LineReaderTest, OverlongLineKeepsTheLimitLosesOneByteAndLeavesTheRest)
{
    char line[256];
    std::string login(300, 'L');
    for (int i = 0; i < 300; i++)
        login[i] = static_cast<char>('a' + i % 26);
    feed(login + "\n");
    EXPECT_EQ(read_line(&queue, line, 255), 256u);
    EXPECT_EQ(std::string(line), login.substr(0, 255));
    EXPECT_EQ(left(), login.substr(256) + "\n") << "byte 256 is consumed and lost";
    EXPECT_EQ(read_line(&queue, line, 255), 45u);
    EXPECT_EQ(std::string(line), login.substr(256));
}

TEST_F(LineReaderTest, ZeroInsideALineIsCopiedAndEndsTheText)
{
    char line[256];
    feed(std::string("ab\0cd\n", 6));
    EXPECT_EQ(read_line(&queue, line, 255), 6u);
    EXPECT_STREQ(line, "ab");
}

using FrameReaderTest = ReaderTest;

TEST_F(FrameReaderTest, CheckByteOfTheWorkedExamples)
{
    EXPECT_EQ(frame_check_byte("abc"), 0xA6);
    EXPECT_EQ(frame_check_byte("ab"), 0xC3);
    EXPECT_EQ(frame_check_byte(""), 0x80);
}

TEST_F(FrameReaderTest, TakesOneFrameAndLeavesTheNextBytes)
{
    feed("abc\xA6" "a");
    EXPECT_EQ(read_frame(&queue, buffer, 4095), 5u);
    EXPECT_EQ(std::string(buffer, 5), std::string("abc\xA6\0", 5));
    EXPECT_EQ(left(), "a");
    EXPECT_EQ(read_frame(&queue, buffer, 4095), 0u) << "waits for a check byte";
    EXPECT_EQ(left(), "a");
    feed("b\xC3" "\x80");
    EXPECT_EQ(read_frame(&queue, buffer, 4095), 4u) << "a and b: 0xC3";
    EXPECT_EQ(std::string(buffer, 3), "ab\xC3");
    EXPECT_EQ(read_frame(&queue, buffer, 4095), 2u) << "the empty frame";
    EXPECT_EQ(std::string(buffer, 2), std::string("\x80\0", 2));
}

TEST_F(FrameReaderTest, InvalidFramesAreRemovedAndDropped)
{
    feed("abc\xA7" "ab\xC3");
    EXPECT_EQ(read_frame(&queue, buffer, 4095), 0u) << "wrong check byte";
    EXPECT_EQ(left(), "ab\xC3");
    EXPECT_EQ(read_frame(&queue, buffer, 4095), 4u);

    feed(std::string("a\0b\xC3", 4));
    EXPECT_EQ(read_frame(&queue, buffer, 4095), 0u) << "a zero in the payload";
    EXPECT_EQ(queue.length, 0u);
}

TEST_F(FrameReaderTest, LineEndsAreOrdinaryPayload)
{
    std::string payload = "a\r\nb";
    feed(payload + static_cast<char>(frame_check_byte(payload)));
    EXPECT_EQ(read_frame(&queue, buffer, 4095), 6u);
}

std::string frame_of_length(std::size_t length)
{
    std::string payload(length - 1, 'q');
    return payload + static_cast<char>(frame_check_byte(payload));
}

TEST_F(FrameReaderTest, LongestFrameIs4095Bytes)
{
    feed(frame_of_length(4095));
    EXPECT_EQ(read_frame(&queue, buffer, 4095), 4096u);
    EXPECT_EQ(buffer[4095], '\0');
    EXPECT_EQ(queue.length, 0u);
}

TEST_F(FrameReaderTest, LongerFramesAreDroppedInPiecesOfTheLimit)
{
    std::string frame = frame_of_length(4096);
    feed(frame);
    EXPECT_EQ(read_frame(&queue, buffer, 4095), 0u);
    EXPECT_EQ(queue.length, 1u) << "the check byte stands alone";
    EXPECT_EQ(read_frame(&queue, buffer, 4095), 0u) << "valid only if it were 0x80";

    std::string payload(4095, '\x01');
    feed(payload + "\x80");
    EXPECT_EQ(read_frame(&queue, buffer, 4095), 0u);
    EXPECT_EQ(read_frame(&queue, buffer, 4095), 2u) << "a lone 0x80 is the empty frame";

    feed(frame_of_length(10000));
    int pieces = 0;
    while (queue.length > 0 && pieces < 10) {
        read_frame(&queue, buffer, 4095);
        pieces++;
    }
    EXPECT_EQ(pieces, 3) << "4095 + 4095 + 1810";
}

TEST(FrameChecksum, RejectsAnythingButOneWholeFrame)
{
    EXPECT_EQ(frame_checksum_ok("abc\xA6"), 1);
    EXPECT_EQ(frame_checksum_ok("\x80"), 1);
    EXPECT_EQ(frame_checksum_ok(""), 0);
    EXPECT_EQ(frame_checksum_ok("abc"), 0);
    EXPECT_EQ(frame_checksum_ok("abc\xA6x"), 0) << "bytes after the check byte";
    EXPECT_EQ(frame_checksum_ok("abc\xA6\x80"), 0);
}

} // namespace
