#include "protocol/frame.h"
#include "switch/input_pass.h"
#include "switch/wait.h"
#include "tests/support/server_fixture.h"

#include <string>

namespace {

// The time-outs the wait gives the poller when queued work is waiting (none
// at all) and when nothing is due but the sessions' idle limit, unless the
// build fixes the wait for comparison.
constexpr long READY_TIMEOUT_US = FIXED_WAIT ? WAIT_TIMEOUT_US : 0;
constexpr long IDLE_TIMEOUT_US = FIXED_WAIT ? WAIT_TIMEOUT_US : (IDLE_TIMEOUT_MS + 1) * 1000;

struct WaitTimeoutTest : ServerFixture {
    long timeout_after_wait()
    {
        wait_pass(server);
        return net.last_timeout_us;
    }
    void hold(Session* session, const std::string& bytes)
    {
        give_input(session, bytes);
        push_back(server.work.input, *session);
    }
};

TEST_F(WaitTimeoutTest, SleepsTheFullTimeWhenNoWholeLineOrFrameWaits)
{
    EXPECT_EQ(timeout_after_wait(), FIXED_WAIT ? WAIT_TIMEOUT_US : -1) << "nothing is due: until an event";
    hold(add_session(SessionState::awaiting_login), "alic");
    hold(add_session(SessionState::awaiting_password), "secr");
    hold(add_session(SessionState::online), "x a \"\" no check byte yet");
    add_session(SessionState::online);
    EXPECT_EQ(timeout_after_wait(), IDLE_TIMEOUT_US);
}

TEST_F(WaitTimeoutTest, DoesNotSleepWhileAWholeLineOrFrameWaits)
{
    Session* login = add_session(SessionState::awaiting_login);
    hold(login, "alice\r\n");
    EXPECT_EQ(timeout_after_wait(), READY_TIMEOUT_US);
    input_pass(server);
    EXPECT_EQ(login->state, SessionState::awaiting_password);
    EXPECT_EQ(timeout_after_wait(), IDLE_TIMEOUT_US);

    Session* online = add_session(SessionState::online);
    // A bad check byte still ends a frame: the input pass has a step to take.
    hold(online, "x a \"\" \x81");
    EXPECT_EQ(timeout_after_wait(), READY_TIMEOUT_US);
    input_pass(server);
    EXPECT_EQ(online->input.queue.length, 0u);
    EXPECT_EQ(timeout_after_wait(), IDLE_TIMEOUT_US);
}

TEST_F(WaitTimeoutTest, ABrokenSessionIsClosedWithoutWaitingForAnEvent)
{
    Session* broken = add_session(SessionState::broken);
    hold(broken, make_frame("x a \"\" "));
    EXPECT_EQ(timeout_after_wait(), READY_TIMEOUT_US);
    EXPECT_TRUE(sessions().empty()) << "closed in a turn that reported nothing";
}

// A session's input renews its limit without touching the timers: the
// wait wakes once at the old limit, and from then on sleeps until the
// next one that is due, here a waiting session's beyond the served one.
TEST_F(WaitTimeoutTest, TheFirstSessionBeyondTheServedOnesStillHasItsDeadline)
{
    if (FIXED_WAIT)
        GTEST_SKIP() << "the build waits a fixed time";
    server.max_clients = 1;
    Session* active = add_session(SessionState::online);
    net.now_ms += 100;
    add_session(SessionState::awaiting_login);
    net.now_ms += IDLE_TIMEOUT_MS - 300;
    peer(active).incoming = "x";
    EXPECT_EQ(timeout_after_wait(), 201000) << "the active one's old limit";
    net.now_ms += 201;
    EXPECT_EQ(timeout_after_wait(), 100000) << "the waiting one's limit";
    EXPECT_EQ(sessions().size(), 2u);
    EXPECT_EQ(net.last_read_offer.size(), 2u) << "the listener and the served session";
}

// Between events the wait sleeps until the first deadline: a silent
// session's limit, a look-up's; the look-up's answer, like a password
// check's, wakes the loop itself.
TEST_F(WaitTimeoutTest, SleepsUntilTheNextDeadline)
{
    if (FIXED_WAIT)
        GTEST_SKIP() << "the build waits a fixed time";
    add_session(SessionState::online);
    net.now_ms += IDLE_TIMEOUT_MS - 300;
    EXPECT_EQ(timeout_after_wait(), 301000) << "just past the limit";
    net.now_ms += 301;
    wait_pass(server);
    EXPECT_TRUE(sessions().empty());

    net.lookups_hang = true;
    net.queue_connection();
    wait_pass(server);
    EXPECT_EQ(timeout_after_wait(), NAMING_DEADLINE_MS * 1000) << "until the look-up's deadline";
}

// A step of the wall clock is no silence: the limits run on the monotonic
// clock, and the log keeps the wall clock's time.
TEST_F(WaitTimeoutTest, AWallClockStepClosesNobody)
{
    add_session(SessionState::online);
    add_session(SessionState::awaiting_login);
    net.now += 3600;
    wait_pass(server);
    EXPECT_EQ(sessions().size(), 2u);
    net.now_ms += IDLE_TIMEOUT_MS + 1;
    wait_pass(server);
    wait_pass(server);
    EXPECT_TRUE(sessions().empty());
}

TEST_F(WaitTimeoutTest, AnIdleCloseStillEndsTheCallBeforeAnyWait)
{
    add_session(SessionState::online);
    net.now_ms += IDLE_TIMEOUT_MS + 1;
    hold(add_session(SessionState::online), make_frame("x a \"\" "));
    wait_pass(server);
    EXPECT_EQ(net.wait_calls, 0);
    EXPECT_EQ(sessions().size(), 1u);
}

TEST_F(WaitTimeoutTest, ReadsAndAcceptsAsUsualInATurnWithoutSleep)
{
    Session* busy = add_session(SessionState::online);
    hold(busy, make_frame("x a \"\" "));
    Session* reader = add_session(SessionState::online);
    peer(reader).incoming = "more";
    net.queue_connection();
    EXPECT_EQ(timeout_after_wait(), READY_TIMEOUT_US);
    EXPECT_EQ(queue_bytes(reader->input.queue), "more");
    EXPECT_EQ(sessions().size(), 3u);
}

} // namespace
