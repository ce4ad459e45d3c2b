#include "net/session.h"
#include "tests/support/fake_platform.h"

#include <gtest/gtest.h>
#include <string>

namespace {

struct ByteQueueTest : ::testing::Test {
    ~ByteQueueTest() override { platform.release(queue.block); }

    // The block's true size is what the heap was last asked for; the fake
    // heap does not know it, so the rule is checked through a resize spy.
    std::string held() const { return std::string(queue.block, queue.length); }

    FakePlatform net;
    ByteQueue queue{};
};

std::size_t last_resize;
void* (*real_resize)(void*, std::size_t);
void* spy_resize(void* block, std::size_t size)
{
    last_resize = size;
    return real_resize(block, size);
}

struct CapacityTest : ByteQueueTest {
    CapacityTest()
    {
        real_resize = platform.resize;
        platform.resize = spy_resize;
    }
};

TEST_F(CapacityTest, BlockIsExactlyTheLengthButNeverUnder256)
{
    ASSERT_EQ(queue_append(&queue, std::string(10, 'a').data(), 10), 1);
    EXPECT_EQ(queue.length, 10u);
    EXPECT_EQ(last_resize, 256u);

    ASSERT_EQ(queue_append(&queue, std::string(290, 'b').data(), 290), 1);
    EXPECT_EQ(queue.length, 300u);
    EXPECT_EQ(last_resize, 300u);

    char out[300];
    EXPECT_EQ(queue_take(&queue, out, 100, false), 100u);
    EXPECT_EQ(queue.length, 200u);
    EXPECT_EQ(last_resize, 256u);
    EXPECT_EQ(held(), std::string(200, 'b')) << "the rest moves to the front";

    EXPECT_EQ(queue_take(&queue, out, 300, false), 200u);
    EXPECT_EQ(queue.length, 0u);
    EXPECT_EQ(last_resize, 256u);
    EXPECT_NE(queue.block, nullptr) << "an emptied queue keeps its block";
}

TEST_F(ByteQueueTest, TakeFromAQueueThatNeverHadABlockGivesNothing)
{
    char out[8];
    EXPECT_EQ(queue_take(&queue, out, 8, false), 0u);
    EXPECT_EQ(queue_take(&queue, out, 8, true), 0u);
    EXPECT_EQ(queue_take(&queue, out, 0, false), 0u);
}

TEST_F(ByteQueueTest, RequestOfZeroReportsOneAndCopiesNothing)
{
    ASSERT_EQ(queue_append(&queue, "x", 1), 1);
    char out[2] = {'-', '-'};
    queue_take(&queue, out, 1, false);
    ASSERT_EQ(queue.length, 0u);
    EXPECT_EQ(queue_take(&queue, out, 0, false), 1u) << "even on an empty queue with a block";
    EXPECT_EQ(queue_take(&queue, out, 0, true), 1u);
    EXPECT_EQ(queue_take(&queue, out, 5, false), 0u) << "an empty queue with a block";
    EXPECT_EQ(queue.length, 0u);
}

TEST_F(ByteQueueTest, PeekLeavesTheQueueAndALaterTakeGetsTheSameBytes)
{
    ASSERT_EQ(queue_append(&queue, "hello", 5), 1);
    char peeked[16] = {};
    EXPECT_EQ(queue_take(&queue, peeked, 16, true), 5u);
    EXPECT_EQ(queue.length, 5u);
    char taken[16] = {};
    EXPECT_EQ(queue_take(&queue, taken, 16, false), 5u);
    EXPECT_EQ(std::string(peeked, 5), "hello");
    EXPECT_EQ(std::string(taken, 5), "hello");
    EXPECT_EQ(queue.length, 0u);
}

TEST_F(ByteQueueTest, FailedAppendLeavesBytesAndLengthAsTheyWere)
{
    ASSERT_EQ(queue_append(&queue, "keep", 4), 1);
    net.fail_all_allocations = true;
    EXPECT_EQ(queue_append(&queue, std::string(1000, 'z').data(), 1000), 0);
    net.fail_all_allocations = false;
    EXPECT_EQ(held(), "keep");
}

TEST_F(ByteQueueTest, AppendThatWouldWrapTheLengthIsRefused)
{
    ASSERT_EQ(queue_append(&queue, "ab", 2), 1);
    EXPECT_EQ(queue_append(&queue, "", UINT32_MAX), 0);
    EXPECT_EQ(held(), "ab");
}

// When the heap refuses even to shrink a block after a removal, the bytes
// taken are still reported and the rest stays readable in the larger block.
TEST_F(ByteQueueTest, FailedShrinkAfterATakeLosesNothing)
{
    std::string bytes(1000, 'a');
    bytes.replace(600, 400, std::string(400, 'b'));
    ASSERT_EQ(queue_append(&queue, bytes.data(), 1000), 1);
    net.fail_allocation_number = net.allocation_calls + 1;
    char out[600];
    EXPECT_EQ(queue_take(&queue, out, 600, false), 600u);
    EXPECT_EQ(std::string(out, 600), std::string(600, 'a'));
    EXPECT_EQ(held(), std::string(400, 'b'));
    EXPECT_EQ(queue_take(&queue, out, 600, false), 400u);
}

} // namespace
