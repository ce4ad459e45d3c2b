#include "switch/wait.h"

#include "protocol/frame.h"
#include "switch/input_pass.h"
#include "switch/server.h"
#include "switch/turn.h"
#include "tests/support/read_ahead_transport.h"
#include "tests/support/server_fixture.h"

#include <algorithm>
#include <string>

namespace {

using WaitPassTest = ServerFixture;

bool offered(const std::vector<socket_handle>& set, socket_handle sock)
{
    return std::find(set.begin(), set.end(), sock) != set.end();
}

TEST_F(WaitPassTest, IdleLimitIsSixtySecondsAndClosesOnePerCall)
{
    Session* a = add_session();
    Session* b = add_session();
    Session* c = add_session();
    ASSERT_EQ(sessions(), (std::vector<Session*>{a, b, c}));
    net.now_ms += 1000;
    peer(b).incoming = "x";
    wait_pass(server);
    net.now_ms += 60000;
    net.socket(b->transport.socket).incoming = "data";
    net.pending_accepts.push_back(net.new_socket());

    const int waits = net.wait_calls;
    wait_pass(server);
    EXPECT_EQ(sessions(), (std::vector<Session*>{b, c})) << "61 s closes, 60 s stays, the first first";
    EXPECT_EQ(net.wait_calls, waits) << "the call ends at the close: no wait";
    EXPECT_EQ(peer(b).incoming, "data") << "no read";
    EXPECT_EQ(net.pending_accepts.size(), 1u) << "no accept";

    wait_pass(server);
    EXPECT_EQ(sessions(), std::vector<Session*>{b}) << "the next idle one, in the next call";
    EXPECT_NE(log().find("disconnected (timeout): "), std::string::npos);
}

TEST_F(WaitPassTest, AcceptsOneClientNamesItAndPromptsAfterLogging)
{
    socket_handle first = net.queue_connection();
    socket_handle second = net.queue_connection();
    net.now_ms += 5000;

    wait_pass(server);
    ASSERT_EQ(sessions().size(), 1u) << "one accept per call";
    Session* s = sessions()[0];
    EXPECT_EQ(s->transport.socket, first);
    EXPECT_EQ(s->state, SessionState::awaiting_login);
    EXPECT_EQ(s->input.last_ms, net.now_ms);
    EXPECT_STREQ(s->peer_name, "[127.0.0.101]");
    EXPECT_EQ(net.socket(first).sent, "login:");
    EXPECT_NE(log().find("Connected to: [127.0.0.101]\n"), std::string::npos) << log();

    net.host_name = "client.example";
    wait_pass(server);
    ASSERT_EQ(sessions().size(), 2u);
    EXPECT_STREQ(sessions()[1]->peer_name, "client.example [127.0.0.102]");
    EXPECT_EQ(sessions()[1]->transport.socket, second);
}

TEST_F(WaitPassTest, LongHostNameCutsThePeerNameAt255)
{
    net.host_name = std::string(250, 'h');
    net.queue_connection();
    wait_pass(server);
    std::string name = sessions()[0]->peer_name;
    EXPECT_EQ(name, std::string(250, 'h') + " [127");
}

// A host name that fills the name leaves no room for the login: the login
// is cut to nothing and the host name gives way to the '@', so the name
// stays within 255 characters with its address, port and number whole.
TEST_F(WaitPassTest, AFullLengthPeerNameStaysWithin255WithTheLoginInFront)
{
    server.log_identity = true;
    net.host_name = std::string(250, 'h');
    socket_handle sock = net.queue_connection();
    wait_pass(server);
    ASSERT_EQ(std::string(sessions()[0]->peer_name).size(), 255u);
    net.socket(sock).incoming = "alice\nsecret\n";
    serve_one_turn(server);
    serve_one_turn(server);
    ASSERT_EQ(sessions().size(), 1u);
    const std::string name = sessions()[0]->peer_name;
    EXPECT_EQ(name.size(), 255u);
    EXPECT_TRUE(name.starts_with("@hhh")) << name;
    EXPECT_TRUE(name.ends_with("h [127.0.0.101]:40000 #1")) << name;
    EXPECT_NE(log().find("logged in: " + name + "\n"), std::string::npos) << log();
}

TEST_F(WaitPassTest, HostNameWithAnythingButHostNameCharactersIsNotUsed)
{
    net.host_name = "evil\n12:00:00 01/01/2026 logged in: x";
    net.queue_connection();
    wait_pass(server);
    net.host_name = "esc\x1b[2J.example";
    net.queue_connection();
    wait_pass(server);
    EXPECT_STREQ(sessions()[0]->peer_name, "[127.0.0.101]");
    EXPECT_STREQ(sessions()[1]->peer_name, "[127.0.0.102]");
    EXPECT_EQ(log().find("evil"), std::string::npos) << log();
}

// Waiting bytes are taken in one call but logged in blocks of 255, as many
// as fit under the input limit.
TEST_F(WaitPassTest, ReadsWaitingBytesInLoggedBlocksOf255UpToTheLimit)
{
    Session* s = add_session(SessionState::awaiting_login);
    peer(s).incoming = std::string(600, 'x');
    net.now_ms += 7000;
    wait_pass(server);
    EXPECT_EQ(s->input.queue.length, 600u);
    EXPECT_EQ(s->input.last_ms, net.now_ms);
    const std::string block = "from [127.0.0.100]: " + std::string(255, 'x') + "\n";
    std::string logged = log();
    std::size_t first = logged.find(block);
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(logged.find(block, first + block.size()), std::string::npos);
    EXPECT_NE(logged.find("from [127.0.0.100]: " + std::string(90, 'x') + "\n"), std::string::npos);

    Session* full = add_session(SessionState::awaiting_login);
    give_input(full, std::string(9700, 'f'));
    peer(full).incoming = std::string(1000, 'y');
    wait_pass(server);
    EXPECT_EQ(full->input.queue.length, 9955u) << "only whole blocks that fit";
    wait_pass(server);
    EXPECT_EQ(sessions(), std::vector<Session*>{s}) << "one more block overflows";
}

// Input a transport took ahead (TLS records) makes no event: a sender
// whose whole frames wait when it is served is read again once they are
// taken, also while a receiver that reads nothing holds the input to one
// round a turn.
TEST_F(WaitPassTest, InputHeldInsideTheTransportIsReadAfterTheWholeInputBeforeIt)
{
    Session* stalled = add_session();
    Session* reader = add_session();
    Session* sender = add_session();
    peer(stalled).send_room = 0;
    std::string held;
    read_ahead::use(*sender, held);
    std::string frames;
    for (int i = 0; i < 100; i++)
        frames += make_frame("msg a \"\" " + std::to_string(i) + " " + std::string(4000, 'x'));
    peer(sender).incoming = frames;
    for (int turn = 0; turn < 2000 && peer(reader).sent.size() < frames.size(); turn++)
        serve_one_turn(server);
    EXPECT_TRUE(peer(reader).sent == frames) << peer(reader).sent.size() << " of " << frames.size();
}

// A zero byte must not hide the rest of a block from the log.
TEST_F(WaitPassTest, ReceivedBlocksAreQueuedAndLoggedWhole)
{
    Session* s = add_session();
    peer(s).incoming = std::string("ab\r\n\xC3", 5) + std::string("\0tail", 5);
    wait_pass(server);
    EXPECT_EQ(queue_bytes(s->input.queue), std::string_view("ab\r\n\xC3\0tail", 10));
    EXPECT_NE(log().find("from [127.0.0.100]: ab\r\n  \xC3\\x00tail\n"), std::string::npos);
}

// However the dialogue arrives, the password line never reaches the log.
TEST_F(WaitPassTest, PasswordLineIsMaskedWithItsLineEndKept)
{
    Session* both = add_session(SessionState::awaiting_login);
    Session* alone = add_session(SessionState::awaiting_password);
    Session* split = add_session(SessionState::awaiting_login);
    Session* online = add_session(SessionState::online);
    peer(both).incoming = "alice\r\nsecret\r\n";
    peer(alone).incoming = "secret\n";
    peer(split).incoming = "alice\nsec";
    peer(online).incoming = "secret\n";
    wait_pass(server);
    input_pass(server);
    peer(split).incoming = "ret\r\n";
    wait_pass(server);

    std::string logged = log();
    for (const char* line : {"from [127.0.0.100]: alice\r\n  ********\r\n",
                             "from [127.0.0.101]: ********\n",
                             "from [127.0.0.102]: alice\n  ********\n",
                             "from [127.0.0.102]: ********\r\n",
                             "from [127.0.0.103]: secret\n"})
        EXPECT_NE(logged.find(line), std::string::npos) << line << " in\n" << logged;
    EXPECT_EQ(logged.find("sec"), logged.find("from [127.0.0.103]") + 20) << "only online text is kept";
}

// Bytes do not stretch the dialogue: it ends 60 s after the connect.
TEST_F(WaitPassTest, DialogueEndsAMinuteAfterTheConnectWhateverArrives)
{
    Session* dialogue = add_session(SessionState::awaiting_login);
    Session* online = add_session(SessionState::online);
    for (int i = 0; i < 3; i++) {
        net.now_ms += 20000;
        peer(dialogue).incoming = peer(online).incoming = "x";
        wait_pass(server);
    }
    EXPECT_EQ(sessions().size(), 2u) << "60 s may pass";
    net.now_ms += 20000;
    wait_pass(server);
    EXPECT_EQ(sessions(), std::vector<Session*>{online});
    EXPECT_NE(log().find("disconnected (timeout): [127.0.0.100]"), std::string::npos);
}

TEST_F(WaitPassTest, InputLimitIs10000UnreadBytes)
{
    Session* s = add_session(SessionState::awaiting_login);
    std::string filler(9999, 'f');
    give_input(s, filler);
    peer(s).incoming = "a";
    wait_pass(server);
    EXPECT_EQ(sessions().size(), 1u) << "exactly 10000 is allowed";

    peer(s).incoming = "b";
    wait_pass(server);
    EXPECT_TRUE(sessions().empty()) << "10001 closes";
    EXPECT_NE(log().find("disconnected (RX buffer overflow!\n): [127.0.0.100]\n"),
              std::string::npos)
        << "logged after the block itself";
    EXPECT_LT(log().find("from [127.0.0.100]: b"), log().find("disconnected (RX"));
}

TEST_F(WaitPassTest, HangUpFailureAndFailedAppendClose)
{
    Session* hung_up = add_session();
    Session* failed = add_session();
    Session* starved = add_session();
    peer(hung_up).peer_closed = true;
    peer(failed).recv_error = WSAECONNRESET;
    peer(starved).incoming = "abc";
    net.fail_all_allocations = true;

    wait_pass(server);
    EXPECT_TRUE(sessions().empty());
    std::string logged = log();
    EXPECT_NE(logged.find("logged out: [127.0.0.100]"), std::string::npos);
    EXPECT_NE(logged.find("disconnected (error 10054 on recv): [127.0.0.101]"), std::string::npos);
    EXPECT_NE(logged.find("from [127.0.0.102]: abc"), std::string::npos) << "logged before the append";
    EXPECT_NE(logged.find("logged out: [127.0.0.102]"), std::string::npos);
}

TEST_F(WaitPassTest, ExceptionClosesWithoutReadingAndLogsAfterTheClose)
{
    Session* s = add_session();
    peer(s).exception = true;
    peer(s).incoming = "unread";
    wait_pass(server);
    EXPECT_TRUE(sessions().empty());
    std::string logged = log();
    auto closed = logged.find("logged out: [127.0.0.100]");
    auto exception = logged.find("srv: socket exception");
    ASSERT_NE(closed, std::string::npos);
    ASSERT_NE(exception, std::string::npos);
    EXPECT_LT(closed, exception);
    EXPECT_EQ(logged.find("from "), std::string::npos);
}

TEST_F(WaitPassTest, BrokenSessionIsClosedInTheNextCallWithOrWithoutEvents)
{
    FakeSocket& broken = peer(add_session(SessionState::broken));
    broken.incoming = "never read";
    wait_pass(server);
    EXPECT_EQ(sessions().size(), 0u);
    EXPECT_EQ(broken.incoming, "never read");

    add_session(SessionState::broken);
    wait_pass(server);
    EXPECT_TRUE(sessions().empty()) << "nothing reported, closed all the same";
}

// A session that already holds a whole frame or dialogue line is not read
// until the input pass has taken it, yet keeps its slot among the 63. The
// sessions beyond wait, and still time out.
TEST_F(WaitPassTest, OnlyTheFirst63SessionsArePolledButTheOthersTimeOut)
{
    std::vector<Session*> all;
    for (int i = 0; i < 66; i++)
        all.push_back(add_session(i == 62 ? SessionState::broken : SessionState::online));
    socket_handle sixty_third = all[62]->transport.socket;
    socket_handle sixty_fourth = all[63]->transport.socket;
    peer(all[0]).incoming = "x";
    give_input(all[1], make_frame("x a \"\""));
    all[2]->state = SessionState::awaiting_login;
    give_input(all[2], "alice\n");
    peer(all[1]).incoming = peer(all[2]).incoming = "unread";

    wait_pass(server);
    EXPECT_EQ(net.last_read_offer.size(), 64u);
    EXPECT_EQ(net.last_read_offer[0], FakePlatform::LISTENER);
    EXPECT_TRUE(offered(net.last_read_offer, sixty_third));
    for (Session* whole : {all[1], all[2]})
        EXPECT_EQ(peer(whole).incoming, "unread") << "a session holding a whole frame or line is not read";
    EXPECT_FALSE(offered(net.last_read_offer, sixty_fourth));
    EXPECT_FALSE(offered(net.last_except_offer, sixty_fourth));
    EXPECT_EQ(sessions().size(), 65u) << "the broken 63rd is closed";

    wait_pass(server);
    EXPECT_TRUE(offered(net.last_read_offer, sixty_fourth)) << "its slot moves the next one up";
    net.now_ms += 30000;
    for (int i = 0; i < 64; i++)
        if (i != 62)
            peer(all[i]).incoming = "x";
    serve_one_turn(server);
    serve_one_turn(server);
    net.now_ms += 30001;
    wait_pass(server);
    wait_pass(server);
    EXPECT_EQ(sessions().size(), 63u) << "the idle check reaches past the served ones, in order";
    const std::string logged = log();
    EXPECT_LT(logged.find("disconnected (timeout): [127.0.0.102]"), logged.find("disconnected (timeout): [127.0.0.164]"))
        << "the dialogue's limit first, then the waiting one's";
}

// A source may open any number of dialogues while a slot is free. Once
// every slot is taken and another source's connection waits, the source
// most past its share gives way: its connections waiting ahead of that one,
// and its newest served dialogue, whose slot the other connection takes.
TEST_F(WaitPassTest, ASourcePastItsShareOfDialoguesGivesWayOnlyWhenAnotherWaits)
{
    server.max_clients = 4;
    server.max_dialogues_per_address = 2;
    server.numeric_peer_names = true;
    auto connect_from = [&](std::uint8_t host) {
        net.accept_peer = PeerAddress{{127, 0, 0, host}, 40000, false};
        socket_handle sock = net.queue_connection();
        serve_one_turn(server);
        EXPECT_EQ(net.socket(sock).sent, "login:");
        return sock;
    };
    std::vector<socket_handle> crowd;
    for (int i = 0; i < 6; i++)
        crowd.push_back(connect_from(2));
    EXPECT_EQ(sessions().size(), 6u) << "two wait, none is closed";

    socket_handle other = connect_from(3);
    for (std::size_t i = 0; i < crowd.size(); i++)
        EXPECT_EQ(net.socket(crowd[i]).closed, i >= 3) << "connection " << i;
    net.socket(other).incoming = "bob\n";
    wait_pass(server);
    input_pass(server);
    EXPECT_EQ(net.socket(other).sent, "login:password:") << "served at once";

    socket_handle late = connect_from(2);
    EXPECT_FALSE(net.socket(late).closed) << "only its own connections wait";
    connect_from(4);
    EXPECT_TRUE(net.socket(late).closed);
    EXPECT_TRUE(net.socket(crowd[2]).closed);
    std::string text = log();
    const std::string said = "srv: too many logins pending from [127.0.0.2]: new connections closed\n";
    EXPECT_NE(text.find(said), std::string::npos) << text;
    EXPECT_EQ(text.find(said), text.rfind(said)) << "once while its dialogues remain";
    EXPECT_NE(text.find("disconnected (too many logins pending): [127.0.0.2]\n"), std::string::npos) << text;
}

TEST_F(WaitPassTest, FailedSelectIsLoggedAndTouchesNoSession)
{
    Session* s = add_session();
    peer(s).incoming = "x";
    peer(s).exception = true;
    net.queue_connection();
    net.wait_fails = true;

    wait_pass(server);
    EXPECT_EQ(sessions(), std::vector<Session*>{s});
    EXPECT_EQ(net.pending_accepts.size(), 1u);
    EXPECT_NE(log().find("SOCKET ERROR in SWITCH_wait: select\n\n"), std::string::npos) << log();
}

TEST_F(WaitPassTest, FailedAcceptKeepsNoSession)
{
    Session* s = add_session();
    net.queue_connection();
    net.accept_error = WSAEMFILE;
    peer(s).incoming = "still served";

    wait_pass(server);
    EXPECT_EQ(sessions(), std::vector<Session*>{s});
    EXPECT_EQ(s->input.queue.length, 12u) << "the session loop goes on";
    EXPECT_EQ(log().find("Connected to"), std::string::npos);
}

TEST_F(WaitPassTest, UnallocatableSessionDefersTheAccept)
{
    net.queue_connection();
    net.fail_allocation_number = net.allocation_calls + 1;
    wait_pass(server);
    EXPECT_TRUE(sessions().empty());
    EXPECT_EQ(net.pending_accepts.size(), 1u);
    wait_pass(server);
    EXPECT_EQ(sessions().size(), 1u) << "a later call tries again";
}

TEST_F(WaitPassTest, ListenerExceptionClosesItAndLeavesItOutAfterwards)
{
    Session* s = add_session();
    net.listener_exception = true;
    wait_pass(server);
    EXPECT_EQ(net.closed_order, std::vector<socket_handle>{FakePlatform::LISTENER});
    EXPECT_EQ(server.listeners[0].watcher.socket, INVALID_SOCKET_HANDLE);

    net.listener_exception = false;
    peer(s).incoming = "go on";
    wait_pass(server);
    EXPECT_FALSE(offered(net.last_read_offer, FakePlatform::LISTENER));
    EXPECT_EQ(s->input.queue.length, 5u) << "the connected session is still served";
    EXPECT_EQ(log().find("SOCKET ERROR"), std::string::npos);
}

TEST_F(WaitPassTest, EveryListenerIsAcceptedFromAndFailsAlone)
{
    socket_handle second = net.new_socket();
    ASSERT_TRUE(add_listener(server, second, ListenerKind::switch_clients, &plain_transport()));
    net.accepting_listener = second;
    socket_handle client = net.queue_connection();
    wait_pass(server);
    ASSERT_EQ(sessions().size(), 1u);
    EXPECT_EQ(sessions()[0]->transport.layer, &plain_transport());
    EXPECT_EQ(net.socket(client).sent, "login:");

    net.socket(second).exception = true;
    wait_pass(server);
    EXPECT_EQ(server.listeners[1].watcher.socket, INVALID_SOCKET_HANDLE);
    EXPECT_EQ(server.listeners[0].watcher.socket, FakePlatform::LISTENER) << "the others go on";

    for (std::size_t i = server.listener_count; i < MAX_LISTENERS; i++)
        EXPECT_TRUE(add_listener(server, INVALID_SOCKET_HANDLE, ListenerKind::switch_clients, &plain_transport()));
    EXPECT_FALSE(add_listener(server, second, ListenerKind::switch_clients, &plain_transport()))
        << "the list is bounded";
}

} // namespace
