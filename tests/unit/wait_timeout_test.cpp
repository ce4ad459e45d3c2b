#include "net/switch_wait.h"
#include "relay/relay.h"
#include "tests/support/server_fixture.h"
#include "tests/support/test_client.h"

#include <string>

namespace {

// The time-out the wait gives select when queued work is waiting: none at
// all, unless the build fixes the wait for comparison.
constexpr long READY_TIMEOUT_US = SKIP_WAIT_WHEN_READY ? 0 : WAIT_TIMEOUT_US;

struct WaitTimeoutTest : ServerFixture {
    long timeout_after_wait()
    {
        SWITCH_wait();
        return net.last_timeout_us;
    }
    void hold(Session* session, const std::string& bytes)
    {
        ASSERT_EQ(queue_append(&session->input, bytes.data(), static_cast<std::uint32_t>(bytes.size())), 1);
    }
};

TEST_F(WaitTimeoutTest, SleepsTheFullTimeWhenNoWholeLineOrFrameWaits)
{
    EXPECT_EQ(timeout_after_wait(), WAIT_TIMEOUT_US);
    hold(add_session(ST_LOGIN), "alic");
    hold(add_session(ST_PASSWORD), "secr");
    hold(add_session(ST_ONLINE), "x a \"\" no check byte yet");
    add_session(ST_ONLINE);
    EXPECT_EQ(timeout_after_wait(), WAIT_TIMEOUT_US);
}

TEST_F(WaitTimeoutTest, DoesNotSleepWhileAWholeLineOrFrameWaits)
{
    Session* login = add_session(ST_LOGIN);
    hold(login, "alice\r\n");
    EXPECT_EQ(timeout_after_wait(), READY_TIMEOUT_US);
    process_input();
    EXPECT_EQ(login->session_state, ST_PASSWORD);
    EXPECT_EQ(timeout_after_wait(), WAIT_TIMEOUT_US);

    Session* online = add_session(ST_ONLINE);
    // A bad check byte still ends a frame: the input pass has a step to take.
    hold(online, "x a \"\" \x81");
    EXPECT_EQ(timeout_after_wait(), READY_TIMEOUT_US);
    process_input();
    EXPECT_EQ(online->input.length, 0u);
    EXPECT_EQ(timeout_after_wait(), WAIT_TIMEOUT_US);
}

TEST_F(WaitTimeoutTest, BrokenSessionsDoNotCountAsWork)
{
    Session* broken = add_session(ST_BROKEN);
    hold(broken, make_frame("x a \"\" "));
    // Nothing reported: the broken session stays, and nothing is waiting.
    EXPECT_EQ(timeout_after_wait(), WAIT_TIMEOUT_US);
}

TEST_F(WaitTimeoutTest, SessionsBeyondThePolledOnesStillCount)
{
    for (int i = 0; i < 63; i++)
        add_session(ST_ONLINE);
    Session* late = add_session(ST_ONLINE);
    hold(late, make_frame("x a \"\" "));
    EXPECT_EQ(timeout_after_wait(), READY_TIMEOUT_US);
    EXPECT_EQ(net.last_read_offer.size(), 64u);
}

TEST_F(WaitTimeoutTest, AnIdleCloseStillEndsTheCallBeforeAnyWait)
{
    Session* idle = add_session(ST_ONLINE);
    hold(add_session(ST_ONLINE), make_frame("x a \"\" "));
    idle->last_input = net.now - IDLE_TIMEOUT - 1;
    SWITCH_wait();
    EXPECT_EQ(net.select_calls, 0);
    EXPECT_EQ(sessions().size(), 1u);
}

TEST_F(WaitTimeoutTest, ReadsAndAcceptsAsUsualInATurnWithoutSleep)
{
    Session* busy = add_session(ST_ONLINE);
    hold(busy, make_frame("x a \"\" "));
    Session* reader = add_session(ST_ONLINE);
    peer(reader).incoming = "more";
    net.queue_connection();
    EXPECT_EQ(timeout_after_wait(), READY_TIMEOUT_US);
    EXPECT_EQ(std::string(reader->input.block, reader->input.length), "more");
    EXPECT_EQ(sessions().size(), 3u);
}

} // namespace
