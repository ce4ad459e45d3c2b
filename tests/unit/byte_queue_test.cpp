#include "common/byte_queue.h"
#include "tests/support/fake_platform.h"

#include <gtest/gtest.h>
#include <string>

namespace {

// Bytes the queue asked the heap for, so that copying work can be counted
// without timing anything.
std::size_t bytes_requested;
void* (*real_resize)(void*, std::size_t);
void* counting_resize(void* block, std::size_t size)
{
    bytes_requested += size;
    return real_resize(block, size);
}

struct ByteQueueTest : ::testing::Test {
    ByteQueueTest()
    {
        bytes_requested = 0;
        real_resize = platform.resize;
        platform.resize = counting_resize;
    }
    ~ByteQueueTest() override
    {
        queue_free(queue);
        EXPECT_EQ(net.live_blocks, 0);
    }
    std::string held() const { return std::string(queue_bytes(queue)); }

    FakePlatform net;
    ByteQueue queue{};
};

TEST_F(ByteQueueTest, BytesComeOutInOrderAcrossAppendsAndConsumes)
{
    EXPECT_EQ(held(), "") << "the zero-filled queue is empty";
    std::string expected;
    for (int round = 0; round < 300; round++) {
        std::string piece(static_cast<std::size_t>(round * 37 % 700), static_cast<char>('a' + round % 26));
        ASSERT_TRUE(queue_append(queue, piece));
        expected += piece;
        auto count = static_cast<std::uint32_t>(round * 53 % 900);
        queue_consume(queue, count);
        expected.erase(0, count);
        ASSERT_EQ(held(), expected) << "round " << round;
    }
    queue_consume(queue, UINT32_MAX);
    EXPECT_EQ(held(), "") << "consuming more than is there empties the queue";
    ASSERT_TRUE(queue_append(queue, "again"));
    EXPECT_EQ(held(), "again");
}

TEST_F(ByteQueueTest, FailedAllocationLosesNothing)
{
    ASSERT_TRUE(queue_append(queue, "keep"));
    queue_consume(queue, 1);
    net.fail_all_allocations = true;
    EXPECT_FALSE(queue_append(queue, std::string(100000, 'z')));
    EXPECT_EQ(held(), "eep");

    // A large queue shrinks as it drains; when the heap refuses even that,
    // the larger block still holds every byte.
    net.fail_all_allocations = false;
    std::string big(100000, 'b');
    big.back() = 'e';
    ASSERT_TRUE(queue_append(queue, big));
    net.fail_all_allocations = true;
    queue_consume(queue, 99990);
    EXPECT_EQ(held(), big.substr(99987));
    net.fail_all_allocations = false;
}

TEST_F(ByteQueueTest, DrainedLargeQueueGivesItsBlockBack)
{
    ASSERT_TRUE(queue_append(queue, std::string(65536, 'x')));
    queue_consume(queue, 65536);
    EXPECT_EQ(net.live_blocks, 0);
    ASSERT_TRUE(queue_append(queue, "usable"));
    EXPECT_EQ(held(), "usable");
}

// A 1 MiB backlog of small frames, built up and then consumed one frame at a
// time, must cost work in proportion to its size: a queue that resizes or
// moves the rest on every call would ask for gigabytes here.
TEST_F(ByteQueueTest, BacklogTakenFrameByFrameCostsLinearWork)
{
    constexpr std::uint32_t FRAME = 100;
    constexpr std::uint32_t BACKLOG = 1 << 20;
    std::string frame(FRAME, 'f');
    for (std::uint32_t queued = 0; queued < BACKLOG; queued += FRAME)
        ASSERT_TRUE(queue_append(queue, frame));
    while (queue.length > 0)
        queue_consume(queue, FRAME);
    EXPECT_LT(bytes_requested, 16u * BACKLOG) << "quadratic work would be gigabytes";
}

} // namespace
