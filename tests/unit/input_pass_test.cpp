// The input pass: the login dialogue and the frame step, with the relay.
#include "protocol/frame.h"
#include "switch/input_pass.h"
#include "switch/route.h"
#include "tests/support/server_fixture.h"

#include <cstring>
#include <string>

namespace {

struct InputPassTest : ServerFixture {
    void feed(Session* s, const std::string& bytes) { give_input(s, bytes); }
    // What the relay has queued for s: its frames back to back.
    std::string queued(const Session* s) const { return std::string(queue_bytes(s->output.queue)); }
};

TEST_F(InputPassTest, LoginAndPasswordInOnePacketTakeTwoPasses)
{
    Session* s = add_session(SessionState::awaiting_login);
    feed(s, "alice\r\nsecret\r\nx a \"\"\x80");
    input_pass(server);
    EXPECT_EQ(s->state, SessionState::awaiting_password);
    EXPECT_STREQ(s->dialogue.login_name, "alice");
    EXPECT_EQ(peer(s).sent, "password:");
    input_pass(server);
    EXPECT_EQ(s->state, SessionState::online);
    EXPECT_EQ(peer(s).sent, "password:") << "nothing is sent on success";
    EXPECT_NE(log().find("logged in: [127.0.0.100]\n"), std::string::npos);
    EXPECT_EQ(s->input.queue.length, 7u) << "what follows waits to be read as frames";
}

// A search goes on where the last one stopped: input that comes in pieces
// over many turns is cut into the same lines and frames as all at once.
TEST_F(InputPassTest, InputInPiecesIsCutAsIfItCameWhole)
{
    Session* s = add_session(SessionState::awaiting_login);
    Session* receiver = add_session(SessionState::online);
    std::string frames = make_frame("x a \"\" " + std::string(3000, 'p')) + make_frame("y b \"\" two") +
                         "x a \"\" bad\x81" + make_frame("z c \"\" three");
    std::string stream = "alice\r\nsecret\r\n" + frames;
    for (std::size_t at = 0; at < stream.size(); at += 97) {
        feed(s, stream.substr(at, 97));
        while (input_pass(server)) {
        }
    }
    EXPECT_EQ(s->state, SessionState::online);
    EXPECT_EQ(queued(receiver), make_frame("x a \"\" " + std::string(3000, 'p')) +
                                    make_frame("y b \"\" two") + make_frame("z c \"\" three"));
    EXPECT_EQ(s->input.queue.length, 0u);
}

TEST_F(InputPassTest, AnyMismatchClosesWithoutAWordAndTheWalkGoesOn)
{
    Session* wrong_case = add_session(SessionState::awaiting_password);
    Session* wrong_password = add_session(SessionState::awaiting_password);
    Session* next = add_session(SessionState::awaiting_login);
    std::strcpy(wrong_case->dialogue.login_name, "Alice");
    std::strcpy(wrong_password->dialogue.login_name, "alice");
    feed(wrong_case, "secret\n");
    feed(wrong_password, "secret \n");
    feed(next, "bob\n");
    socket_handle refused[] = {wrong_case->transport.socket, wrong_password->transport.socket};

    input_pass(server);
    EXPECT_EQ(sessions(), std::vector<Session*>{next});
    EXPECT_EQ(peer(next).sent, "password:") << "the session after a refused one has its turn";
    free_closed_sessions(server);
    for (socket_handle sock : refused) {
        EXPECT_EQ(net.socket(sock).sent, "");
        EXPECT_TRUE(net.socket(sock).closed);
    }
}

// A zero byte does not end a line: "\0junk" is no empty login or password.
TEST_F(InputPassTest, EmptyLinesMatchEmptyCredentialsButLinesWithAZeroByteNever)
{
    set_credentials(server, "", "");
    Session* empty = add_session(SessionState::awaiting_login);
    Session* zero_login = add_session(SessionState::awaiting_login);
    Session* zero_password = add_session(SessionState::awaiting_login);
    feed(empty, "\n\n");
    feed(zero_login, std::string("\0junk\n\n", 7));
    feed(zero_password, std::string("\n\0junk\n", 7));
    input_pass(server);
    input_pass(server);
    EXPECT_EQ(sessions(), std::vector<Session*>{empty});
    EXPECT_EQ(empty->state, SessionState::online);
}

TEST_F(InputPassTest, OverlongPasswordIsComparedCutAndRefused)
{
    set_credentials(server, "alice", std::string(255, 'p').c_str());
    Session* s = add_session(SessionState::awaiting_password);
    std::strcpy(s->dialogue.login_name, "alice");
    feed(s, std::string(5000, 'p') + "\n");
    input_pass(server);
    EXPECT_TRUE(sessions().empty());
}

TEST_F(InputPassTest, AddressedFrameReachesTheAnnouncersInListOrder)
{
    Session* sender = add_session();
    Session* bob1 = add_session();
    Session* carol = add_session();
    Session* bob2 = add_session();
    announce_address(server.registry, *bob2, "bob", net.now);
    announce_address(server.registry, *bob1, "bob", net.now);
    announce_address(server.registry, *carol, "carol", net.now);
    announce_address(server.registry, *sender, "bob", net.now);

    feed(sender, make_frame("msg alice \"bob\" hello"));
    input_pass(server);
    EXPECT_EQ(queued(bob1), make_frame("msg alice \"bob\" hello"));
    EXPECT_EQ(queued(bob2), make_frame("msg alice \"bob\" hello"));
    EXPECT_EQ(queued(carol), "");
    EXPECT_EQ(queued(sender), "") << "never back to the sender";
    feed(carol, make_frame("x carol alice "));
    input_pass(server);
    EXPECT_EQ(queued(sender), make_frame("x carol alice ")) << "the source is recorded";
}

TEST_F(InputPassTest, ManyHeldAddressesStillRouteEachFrameToItsHolderOnly)
{
    Session* sender = add_session();
    Session* holders[] = {add_session(), add_session(), add_session()};
    server.registry.max_per_holder = 7000;
    for (int i = 0; i < 20000; i++) {
        std::string name(1, 'n');
        name += std::to_string(i);
        announce_address(server.registry, *holders[i % 3], name, net.now);
    }
    feed(sender, make_frame("x me n19999 ") + make_frame("x me n3 ") + make_frame("x me n20000 "));
    for (int pass = 0; pass < 3; pass++)
        input_pass(server);
    EXPECT_EQ(queued(holders[0]), make_frame("x me n3 "));
    EXPECT_EQ(queued(holders[1]), make_frame("x me n19999 "));
    EXPECT_EQ(queued(holders[2]), "");
}

// A sender's frames to one name are routed without a look-up while the name
// stays in the index; they must still follow it when it changes hands.
TEST_F(InputPassTest, FramesToANameFollowItAsItsHoldersComeAndGo)
{
    Session* sender = add_session();
    Session* first = add_session();
    Session* second = add_session();
    auto send = [&](const std::string& payload) {
        feed(sender, make_frame(payload));
        input_pass(server);
    };
    announce_address(server.registry, *first, "bob", net.now);
    send("x me \"bob\" 1");
    forget_holder(server.registry, *first);
    send("x me \"bob\" 2");
    announce_address(server.registry, *second, "bob", net.now);
    send("x me \"bob\" 3");
    announce_address(server.registry, *first, "bob", net.now);
    forget_holder(server.registry, *second);
    send("x me \"bob\" 4");
    EXPECT_EQ(queued(first), make_frame("x me \"bob\" 1") + make_frame("x me \"bob\" 4"));
    EXPECT_EQ(queued(second), make_frame("x me \"bob\" 3"));
}

// As C strings both would be cut at the zero byte: the destination would
// read as the empty one, a frame to all.
TEST_F(InputPassTest, SenderOrDestinationWithAnEscapedZeroByteReachesNobody)
{
    Session* sender = add_session();
    Session* other = add_session();
    announce_address(server.registry, *other, "", net.now);
    for (const char* payload : {"x me \"\\000B\" ", "x me \"\\x0\" ", "x \"me\\0\" \"\" "})
        feed(sender, make_frame(payload));
    for (int pass = 0; pass < 3; pass++)
        input_pass(server);
    EXPECT_EQ(sender->input.queue.length, 0u);
    EXPECT_EQ(queued(other), "");
    HolderWalk me = holders_of(server.registry, "me");
    EXPECT_EQ(next_holder(me), nullptr) << "the sender is not recorded";
}

TEST_F(InputPassTest, EmptyDestinationReachesEveryOtherOnlineSession)
{
    Session* sender = add_session();
    Session* online = add_session();
    Session* logging_in = add_session(SessionState::awaiting_login);
    Session* password = add_session(SessionState::awaiting_password);
    Session* broken = add_session(SessionState::broken);
    feed(sender, make_frame("x me \"\""));
    input_pass(server);
    EXPECT_EQ(queued(online), make_frame("x me \"\""));
    for (Session* s : {sender, logging_in, password, broken})
        EXPECT_EQ(queued(s), "");
}

TEST_F(InputPassTest, UnquotedDestinationBeforeTheCheckByteReachesNobody)
{
    Session* sender = add_session();
    Session* bob = add_session();
    announce_address(server.registry, *bob, "bob", net.now);
    feed(sender, make_frame("x me bob"));
    input_pass(server);
    EXPECT_EQ(queued(bob), "");
    feed(sender, make_frame("x me bob "));
    input_pass(server);
    EXPECT_EQ(queued(bob), make_frame("x me bob ")) << "a blank keeps the destination clean";
}

TEST_F(InputPassTest, ShortFramesAreSkippedInTheSamePassUpToOneRelayedFrame)
{
    Session* sender = add_session();
    Session* other = add_session();
    feed(sender, make_frame("one") + make_frame("two fields") + make_frame("x me \"\" 1") + make_frame("x me \"\" 2"));
    input_pass(server);
    EXPECT_EQ(queued(other), make_frame("x me \"\" 1"));
    input_pass(server);
    EXPECT_EQ(queued(other), make_frame("x me \"\" 1") + make_frame("x me \"\" 2"));
}

TEST_F(InputPassTest, BadFrameEndsTheSessionsTurnForThisPass)
{
    Session* sender = add_session();
    Session* other = add_session();
    feed(sender, "abc\xA7" + make_frame("x me \"\""));
    input_pass(server);
    EXPECT_EQ(queued(other), "");
    EXPECT_EQ(sender->state, SessionState::online);
    input_pass(server);
    EXPECT_EQ(queued(other), make_frame("x me \"\""));
}

TEST_F(InputPassTest, BrokenSessionsInputIsPassedOver)
{
    Session* broken = add_session(SessionState::broken);
    Session* other = add_session();
    feed(broken, make_frame("x me \"\""));
    input_pass(server);
    EXPECT_EQ(broken->input.queue.length, 8u);
    EXPECT_EQ(queued(other), "");
}

TEST_F(InputPassTest, FailedAppendBreaksThatReceiverOnly)
{
    Session* sender = add_session();
    Session* starved = add_session();
    Session* fine = add_session();
    // A queue with bytes still unsent has a block with room to spare.
    ASSERT_TRUE(queue_append(fine->output.queue, "room"));
    queue_consume(fine->output.queue, 2);
    announce_address(server.registry, *sender, "me", net.now);
    feed(sender, make_frame("x me \"\""));
    // Only a receiver whose queue must grow needs the heap now.
    net.fail_all_allocations = true;
    // Left behind by some earlier socket call: not this failure's reason.
    sock_set_last_error(WSAECONNRESET);
    input_pass(server);
    net.fail_all_allocations = false;
    EXPECT_EQ(starved->state, SessionState::broken);
    EXPECT_EQ(queued(fine), "om" + make_frame("x me \"\""));
    EXPECT_NE(log().find("Socket error #10055 in send_to_all: [127.0.0.101]\n"), std::string::npos) << log();
}

// A frame longer than 4095 bytes is dropped whole, through its check byte;
// what follows it is read as frames again.
TEST_F(InputPassTest, LongestFrameIs4095Bytes)
{
    Session* sender = add_session();
    Session* other = add_session();
    std::string longest = "x me \"\" " + std::string(4094 - 8, 'q');
    std::string too_long = "x me \"\" " + std::string(10000 - 9, 'q');
    feed(sender, make_frame(longest) + make_frame(too_long) + make_frame("x me \"\" after"));
    for (int pass = 0; pass < 10; pass++)
        input_pass(server);
    EXPECT_EQ(queued(other), make_frame(longest) + make_frame("x me \"\" after"));
    EXPECT_EQ(sender->input.queue.length, 0u);
}

// A reader slower than its senders must not grow its queue without end.
TEST_F(InputPassTest, OutputQueueIsBoundedAtOneMebibyte)
{
    Session* sender = add_session();
    Session* slow = add_session();
    std::string filler(OUTPUT_QUEUE_LIMIT - 8, 'f');
    ASSERT_TRUE(queue_append(slow->output.queue, filler));

    feed(sender, make_frame("x me \"\"")); // eight bytes
    input_pass(server);
    EXPECT_EQ(slow->output.queue.length, OUTPUT_QUEUE_LIMIT) << "up to the limit exactly";
    EXPECT_EQ(slow->state, SessionState::online);

    feed(sender, make_frame("x me \"\""));
    input_pass(server);
    EXPECT_EQ(slow->state, SessionState::broken);
    EXPECT_EQ(slow->output.queue.length, OUTPUT_QUEUE_LIMIT) << "what was queued before stays";
    EXPECT_NE(log().find("Socket error #10055 in send_to_all: [127.0.0.101]"), std::string::npos);
}

} // namespace
