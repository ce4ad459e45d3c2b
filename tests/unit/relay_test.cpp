// The input pass: the login dialogue and the frame step, with the relay.
#include "relay/frame.h"
#include "relay/relay.h"
#include "shell/startup.h"
#include "tests/support/server_fixture.h"

#include <cstring>
#include <string>

namespace {

std::string frame(const std::string& payload)
{
    return payload + static_cast<char>(frame_check_byte(payload));
}

struct RelayTest : ServerFixture {
    void feed(Session* s, const std::string& bytes)
    {
        ASSERT_EQ(queue_append(&s->input, bytes.data(), static_cast<std::uint32_t>(bytes.size())), 1);
    }
    // What the relay has queued for s: frames, each closed by a zero byte.
    std::string queued(const Session* s) const
    {
        return s->output.block ? std::string(s->output.block, s->output.length) : "";
    }
    static std::string record(const std::string& payload) { return frame(payload) + '\0'; }
};

TEST_F(RelayTest, LoginAndPasswordInOnePacketTakeTwoPasses)
{
    Session* s = add_session(ST_LOGIN);
    feed(s, "alice\r\nsecret\r\nx a \"\"\x80");
    process_input();
    EXPECT_EQ(s->session_state, ST_PASSWORD);
    EXPECT_STREQ(s->login_name, "alice");
    EXPECT_EQ(peer(s).sent, "password:");
    process_input();
    EXPECT_EQ(s->session_state, ST_ONLINE);
    EXPECT_EQ(peer(s).sent, "password:") << "nothing is sent on success";
    EXPECT_NE(log().find("logged in: [127.0.0.100]\n"), std::string::npos);
    EXPECT_EQ(s->input.length, 7u) << "what follows waits to be read as frames";
}

TEST_F(RelayTest, AnyMismatchClosesWithoutAWordAndTheWalkGoesOn)
{
    Session* wrong_case = add_session(ST_PASSWORD);
    Session* wrong_password = add_session(ST_PASSWORD);
    Session* next = add_session(ST_LOGIN);
    std::strcpy(wrong_case->login_name, "Alice");
    std::strcpy(wrong_password->login_name, "alice");
    feed(wrong_case, "secret\n");
    feed(wrong_password, "secret \n");
    feed(next, "bob\n");
    socket_handle refused[] = {wrong_case->client_socket, wrong_password->client_socket};

    process_input();
    EXPECT_EQ(sessions(), std::vector<Session*>{next});
    EXPECT_EQ(peer(next).sent, "password:") << "the session after a refused one has its turn";
    for (socket_handle sock : refused) {
        EXPECT_EQ(net.socket(sock).sent, "");
        EXPECT_TRUE(net.socket(sock).closed);
    }
}

TEST_F(RelayTest, EmptyLinesMatchOnlyEmptyCredentials)
{
    copy_config_text(cfg_login, "");
    copy_config_text(cfg_password, "");
    Session* s = add_session(ST_LOGIN);
    feed(s, "\n\n");
    process_input();
    process_input();
    EXPECT_EQ(s->session_state, ST_ONLINE);
}

TEST_F(RelayTest, OverlongPasswordIsComparedCutAndRefused)
{
    copy_config_text(cfg_password, std::string(255, 'p').c_str());
    Session* s = add_session(ST_PASSWORD);
    std::strcpy(s->login_name, "alice");
    feed(s, std::string(5000, 'p') + "\n");
    process_input();
    EXPECT_TRUE(sessions().empty());
}

TEST_F(RelayTest, AddressedFrameReachesTheAnnouncersInListOrder)
{
    Session* sender = add_session();
    Session* bob1 = add_session();
    Session* carol = add_session();
    Session* bob2 = add_session();
    register_address(&bob1->addresses, "bob");
    register_address(&bob2->addresses, "bob");
    register_address(&carol->addresses, "carol");
    register_address(&sender->addresses, "bob");

    feed(sender, frame("msg alice \"bob\" hello"));
    process_input();
    EXPECT_EQ(queued(bob1), record("msg alice \"bob\" hello"));
    EXPECT_EQ(queued(bob2), record("msg alice \"bob\" hello"));
    EXPECT_EQ(queued(carol), "");
    EXPECT_EQ(queued(sender), "") << "never back to the sender";
    EXPECT_EQ(has_address(sender->addresses, "alice"), 1) << "the source is recorded";
}

TEST_F(RelayTest, EmptyDestinationReachesEveryOtherOnlineSession)
{
    Session* sender = add_session();
    Session* online = add_session();
    Session* logging_in = add_session(ST_LOGIN);
    Session* password = add_session(ST_PASSWORD);
    Session* broken = add_session(ST_BROKEN);
    feed(sender, frame("x me \"\""));
    process_input();
    EXPECT_EQ(queued(online), record("x me \"\""));
    for (Session* s : {sender, logging_in, password, broken})
        EXPECT_EQ(queued(s), "");
}

TEST_F(RelayTest, UnquotedDestinationBeforeTheCheckByteReachesNobody)
{
    Session* sender = add_session();
    Session* bob = add_session();
    register_address(&bob->addresses, "bob");
    feed(sender, frame("x me bob"));
    process_input();
    EXPECT_EQ(queued(bob), "");
    feed(sender, frame("x me bob "));
    process_input();
    EXPECT_EQ(queued(bob), record("x me bob ")) << "a blank keeps the destination clean";
}

TEST_F(RelayTest, ShortFramesAreSkippedInTheSamePassUpToOneRelayedFrame)
{
    Session* sender = add_session();
    Session* other = add_session();
    feed(sender, frame("one") + frame("two fields") + frame("x me \"\" 1") + frame("x me \"\" 2"));
    process_input();
    EXPECT_EQ(queued(other), record("x me \"\" 1"));
    process_input();
    EXPECT_EQ(queued(other), record("x me \"\" 1") + record("x me \"\" 2"));
}

TEST_F(RelayTest, BadFrameEndsTheSessionsTurnForThisPass)
{
    Session* sender = add_session();
    Session* other = add_session();
    feed(sender, "abc\xA7" + frame("x me \"\""));
    process_input();
    EXPECT_EQ(queued(other), "");
    EXPECT_EQ(sender->session_state, ST_ONLINE);
    process_input();
    EXPECT_EQ(queued(other), record("x me \"\""));
}

TEST_F(RelayTest, BrokenSessionsInputIsPassedOver)
{
    Session* broken = add_session(ST_BROKEN);
    Session* other = add_session();
    feed(broken, frame("x me \"\""));
    process_input();
    EXPECT_EQ(broken->input.length, 8u);
    EXPECT_EQ(queued(other), "");
}

TEST_F(RelayTest, FailedAppendBreaksThatReceiverOnly)
{
    Session* sender = add_session();
    Session* starved = add_session();
    Session* fine = add_session();
    ASSERT_EQ(queue_append(&fine->output, "", 0), 1);
    feed(sender, frame("x me \"\""));
    // The allocations of the frame step: the input queue's shrink, the
    // source's entry, then the first receiver's block.
    net.fail_allocation_number = net.allocation_calls + 3;
    process_input();
    EXPECT_EQ(starved->session_state, ST_BROKEN);
    EXPECT_EQ(queued(fine), record("x me \"\""));
    EXPECT_NE(log().find("Socket error #"), std::string::npos);
    EXPECT_NE(log().find(" in send_to_all: [127.0.0.101]\n"), std::string::npos) << log();
}

// A reader slower than its senders must not grow its queue without end.
TEST_F(RelayTest, OutputQueueIsBoundedAtOneMebibyte)
{
    Session* sender = add_session();
    Session* slow = add_session();
    std::string filler(OUTPUT_QUEUE_LIMIT - 9, 'f');
    ASSERT_EQ(queue_append(&slow->output, filler.data(), static_cast<std::uint32_t>(filler.size())), 1);

    feed(sender, frame("x me \"\"")); // eight bytes and the record end
    process_input();
    EXPECT_EQ(slow->output.length, OUTPUT_QUEUE_LIMIT) << "up to the limit exactly";
    EXPECT_EQ(slow->session_state, ST_ONLINE);

    feed(sender, frame("x me \"\""));
    process_input();
    EXPECT_EQ(slow->session_state, ST_BROKEN);
    EXPECT_EQ(slow->output.length, OUTPUT_QUEUE_LIMIT) << "what was queued before stays";
    EXPECT_NE(log().find("Socket error #10055 in send_to_all: [127.0.0.101]"), std::string::npos);
}

} // namespace
