// Refused logins: their log line, and the throttling of one address on the
// monotonic clock.
#include "switch/input_pass.h"
#include "switch/logins.h"
#include "tests/support/server_fixture.h"

namespace {

constexpr PeerAddress GUESSER{{127, 0, 0, 2}, 40000, false};
constexpr PeerAddress OTHER{{127, 0, 0, 3}, 40000, false};

struct LoginsTest : ServerFixture {
    // A login with a wrong password from peer, taken by the input pass.
    void refuse_from(const PeerAddress& from)
    {
        Session* s = add_session(SessionState::awaiting_login);
        s->peer = from;
        ASSERT_TRUE(queue_append(s->input, "alice\nwrong\n"));
        input_pass(server);
        input_pass(server);
    }
};

TEST_F(LoginsTest, ARefusedLoginIsLoggedBeforeItsLogout)
{
    refuse_from(GUESSER);
    EXPECT_EQ(sessions().size(), 0u);
    std::string text = log();
    EXPECT_NE(text.find("login refused: [127.0.0.100]\n"), std::string::npos) << text;
    EXPECT_LT(text.find("login refused: "), text.find("logged out: [127.0.0.100]\n")) << text;
    EXPECT_FALSE(shut_out(server, GUESSER)) << "the classic server shuts nobody out";
}

TEST_F(LoginsTest, TooManyRefusalsInAMinuteShutOneAddressOutForAMinute)
{
    server.logins.failures_allowed = 3;
    refuse_from(GUESSER);
    refuse_from(GUESSER);
    net.now_ms += LOGIN_FAILURE_WINDOW_MS + 1;
    refuse_from(GUESSER);
    EXPECT_FALSE(shut_out(server, GUESSER)) << "the first refusal left the window";
    refuse_from(GUESSER);
    refuse_from(GUESSER);
    refuse_from(GUESSER);
    EXPECT_TRUE(shut_out(server, GUESSER));
    EXPECT_FALSE(shut_out(server, OTHER));
    std::string line = "srv: too many refused logins from [127.0.0.2]: new connections closed for 60 s\n";
    std::string text = log();
    EXPECT_NE(text.find(line), std::string::npos) << text;
    EXPECT_EQ(text.find(line), text.rfind(line)) << "once per episode";

    net.now_ms += LOGIN_SHUT_OUT_MS - 1;
    EXPECT_TRUE(shut_out(server, GUESSER));
    net.now_ms += 1;
    EXPECT_FALSE(shut_out(server, GUESSER));
    refuse_from(GUESSER);
    EXPECT_FALSE(shut_out(server, GUESSER)) << "a new episode counts from zero";
}

} // namespace
