// Refused logins: their log line, the throttling of one source on the
// monotonic clock, and the order and validity of password checks.
#include "platform/password_check.h"
#include "platform/password_hash.h"
#include "protocol/frame.h"
#include "switch/input_pass.h"
#include "switch/logins.h"
#include "switch/turn.h"
#include "tests/support/read_ahead_transport.h"
#include "tests/support/server_fixture.h"

#include <chrono>
#include <cstring>
#include <thread>

namespace {

constexpr PeerAddress GUESSER{{127, 0, 0, 2}, 40000, false};
constexpr PeerAddress OTHER{{127, 0, 0, 3}, 40000, false};

PeerAddress ipv6(std::initializer_list<std::uint8_t> octets)
{
    PeerAddress peer{{}, 40000, true};
    std::copy(octets.begin(), octets.end(), peer.octets);
    return peer;
}

struct LoginsTest : ServerFixture {
    // A login with a wrong password from peer, taken by the input pass.
    void refuse_from(const PeerAddress& from)
    {
        Session* s = add_session(SessionState::awaiting_login);
        s->peer = from;
        give_input(s, "alice\nwrong\n");
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
    EXPECT_FALSE(shut_out(server, GUESSER)) << "the first refusals left the window";
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

// The limit holds for any 60 s, not for windows that start at a first
// refusal: refusals on both sides of a window's end still add up.
TEST_F(LoginsTest, RefusalsAcrossAWindowsEndStillShutTheAddressOut)
{
    server.logins.failures_allowed = 10;
    refuse_from(GUESSER);
    net.now_ms += 58000;
    for (int i = 0; i < 8; i++)
        refuse_from(GUESSER);
    net.now_ms += 2300;
    for (int i = 0; i < 9; i++)
        refuse_from(GUESSER);
    EXPECT_TRUE(shut_out(server, GUESSER)) << "17 refusals in 2.3 s";
}

// Through accept, as a client on an IPv6 listener comes: the longest
// address text is written whole. IPv4 counts by the whole address, IPv6 by
// its /64, and the families never share a count.
TEST_F(LoginsTest, SourcesAreWholeIpv4AddressesAndIpv6Slash64s)
{
    server.logins.failures_allowed = 2;
    server.numeric_peer_names = true;
    net.accept_peer = ipv6({0x20, 0x03, 0x0d, 0xb8, 0xaa, 0xaa, 0xbb, 0xbb, 0xcc, 0xcc, 0xdd, 0xdd, 0xee, 0xee, 0xff, 0xff});
    for (int i = 0; i < 2; i++) {
        socket_handle sock = net.queue_connection();
        net.socket(sock).incoming = "alice\nwrong\n";
        for (int turn = 0; turn < 10 && !net.socket(sock).closed; turn++)
            serve_one_turn(server);
    }
    std::string text = log();
    EXPECT_NE(text.find("srv: too many refused logins from [2003:db8:aaaa:bbbb:cccc:dddd:eeee:ffff]: "
                        "new connections closed for 60 s\n"),
              std::string::npos)
        << text;
    socket_handle shut = net.queue_connection();
    serve_one_turn(server);
    EXPECT_TRUE(net.socket(shut).closed);
    EXPECT_EQ(net.socket(shut).sent, "") << "closed before the prompt";
    EXPECT_TRUE(shut_out(server, ipv6({0x20, 0x03, 0x0d, 0xb8, 0xaa, 0xaa, 0xbb, 0xbb, 0, 0, 0, 0, 0, 0, 0, 9})))
        << "the same /64";
    EXPECT_FALSE(shut_out(server, ipv6({0x20, 0x03, 0x0d, 0xb8, 0xaa, 0xaa, 0xbb, 0xbc, 0, 0, 0, 0, 0, 0, 0, 9})))
        << "another /64 of the same /48";

    refuse_from(PeerAddress{{127, 0, 0, 1}, 40000, false});
    refuse_from(PeerAddress{{127, 0, 0, 1}, 40000, false});
    EXPECT_FALSE(shut_out(server, ipv6({0x7f, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5})))
        << "an IPv6 address whose first octets read 127.0.0.1";
    EXPECT_FALSE(shut_out(server, PeerAddress{{127, 0, 0, 2}, 40000, false}));
}

// Its guesses would otherwise go on past the limit, one per dialogue that
// began before the shut-out.
TEST_F(LoginsTest, ADialogueUnderWayIsRefusedOnceItsAddressIsShutOut)
{
    server.logins.failures_allowed = 2;
    Session* pending = add_session(SessionState::awaiting_password);
    pending->peer = GUESSER;
    std::strcpy(pending->dialogue.login_name, "alice");
    refuse_from(GUESSER);
    refuse_from(GUESSER);
    give_input(pending, "secret\n");
    input_pass(server);
    EXPECT_TRUE(sessions().empty());
    std::string text = log();
    EXPECT_EQ(text.find("logged in"), std::string::npos) << text;
    EXPECT_NE(text.find("login refused: [127.0.0.100]\n"), std::string::npos) << text;
}

// With a users file the checks run on the checker's thread, for real.
struct PasswordChecksTest : LoginsTest {
    void SetUp() override
    {
        LoginsTest::SetUp();
        if (!password_hashing_available())
            GTEST_SKIP() << password_hashing_unavailable_reason();
        write_users({{"alice", "alice pass"}, {"bob", "bob pass"}});
        server.logins.users_given = true;
        server.logins.users_path = (dir.path() / "users").string();
        server.logins.checker = password_checker_open(INVALID_SOCKET_HANDLE);
        std::string error;
        ASSERT_TRUE(load_accounts(server.logins, &error)) << error;
    }

    void write_users(std::initializer_list<std::pair<std::string, std::string>> users)
    {
        std::string text;
        for (const auto& [login, password] : users)
            text += login + ":" + password_hash_new(password) + "\n";
        dir.write("users", text);
    }

    // A session from peer that has sent both lines, its password queued.
    Session* queue_login(const PeerAddress& from, const std::string& login, const std::string& password)
    {
        Session* s = add_session(SessionState::awaiting_login);
        s->peer = from;
        give_input(s, login + "\n" + password + "\n");
        input_pass(server);
        input_pass(server);
        EXPECT_EQ(s->state, SessionState::checking_password);
        return s;
    }

    // Collects answers until no session checks its password.
    void settle_all()
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        auto checking = [&] {
            for (Session* s : sessions())
                if (s->state == SessionState::checking_password)
                    return true;
            return false;
        };
        while (checking() && std::chrono::steady_clock::now() < deadline) {
            collect_password_checks(server);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ASSERT_FALSE(checking());
    }

    // How many checks the log has answered before the line.
    std::size_t answers_before(const std::string& line)
    {
        std::string text = log();
        std::string before = text.substr(0, text.find(line));
        std::size_t count = 0;
        for (const char* answer : {"logged in: ", "login refused: "})
            for (std::size_t at = 0; (at = before.find(answer, at)) != std::string::npos; at++)
                count++;
        return count;
    }
};

// An answer counts only for the hash it checked: a login removed, or whose
// password changed, while its check was under way is refused.
TEST_F(PasswordChecksTest, ALoginRemovedOrChangedDuringItsCheckIsRefused)
{
    queue_login(GUESSER, "alice", "alice pass");
    queue_login(OTHER, "bob", "bob pass");
    collect_password_checks(server);
    write_users({{"bob", "bob's new pass"}, {"carol", "carol pass"}});
    reload_accounts(server);
    settle_all();
    EXPECT_EQ(log().find("logged in"), std::string::npos) << log();
    EXPECT_EQ(answers_before("logged out: [127.0.0.101]"), 2u) << log();
}

// Frames sent with the password wait for its answer, as they do in a
// socket that is not read meanwhile: a transport that took them ahead
// (TLS) is not read on either, which would overflow the session's input.
TEST_F(PasswordChecksTest, FramesTakenAheadWithThePasswordWaitForTheAnswer)
{
    Session* reader = add_session();
    Session* s = add_session(SessionState::awaiting_login);
    std::string held;
    read_ahead::use(*s, held);
    std::string frames;
    for (int i = 0; i < 10; i++)
        frames += make_frame("msg a \"\" " + std::to_string(i) + " " + std::string(4000, 'x'));
    peer(s).incoming = "alice\nalice pass\n" + frames;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (peer(reader).sent.size() < frames.size() && sessions().size() == 2 &&
           std::chrono::steady_clock::now() < deadline) {
        serve_one_turn(server);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(peer(reader).sent == frames) << log();
}

// A source whose checks pile up, or that has refusals on record, does not
// hold up one that waits for its first: that one waits at most for the
// checks already running.
TEST_F(PasswordChecksTest, ASourceWithNoCheckWaitingIsCheckedNext)
{
    const PeerAddress busy{{127, 0, 0, 4}, 40000, false};
    for (int i = 0; i < 4; i++)
        queue_login(busy, "alice", "alice pass");
    collect_password_checks(server);
    queue_login(OTHER, "bob", "bob pass");
    settle_all();
    EXPECT_LE(answers_before("logged in: [127.0.0.104]"), 2u) << log();
}

TEST_F(PasswordChecksTest, SourcesWithRefusalsOnRecordWaitBehindOneWithout)
{
    server.logins.failures_allowed = 10;
    const std::uint8_t guessers[] = {4, 5, 6};
    for (std::uint8_t n : guessers)
        queue_login(PeerAddress{{127, 0, 0, n}, 40000, false}, "alice", "wrong");
    settle_all();
    for (std::uint8_t n : guessers)
        queue_login(PeerAddress{{127, 0, 0, n}, 40000, false}, "alice", "wrong");
    queue_login(OTHER, "bob", "bob pass");
    settle_all();
    EXPECT_EQ(answers_before("logged in: [127.0.0.106]"), 3u) << "before the guessers' second round\n" << log();
}

} // namespace
