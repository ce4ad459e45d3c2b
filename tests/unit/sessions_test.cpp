#include "net/session.h"
#include "relay/address_registry.h"
#include "tests/support/server_fixture.h"

#include <cstring>

namespace {

using SessionsTest = ServerFixture;

TEST_F(SessionsTest, ClosingTheOnlySessionLeavesAnEmptyList)
{
    Session* only = add_session();
    socket_handle sock = only->client_socket;
    EXPECT_EQ(close_session(sock, nullptr), nullptr);
    EXPECT_EQ(session_list->next_session, nullptr);
    EXPECT_TRUE(net.socket(sock).closed);
}

TEST_F(SessionsTest, ClosingKeepsTheOthersInOrderAndReturnsTheFollower)
{
    Session* a = add_session();
    Session* b = add_session();
    Session* c = add_session();
    Session* d = add_session();

    EXPECT_EQ(close_session(a->client_socket, nullptr), b) << "first of four";
    EXPECT_EQ(session_list->next_session, b);
    EXPECT_EQ(close_session(c->client_socket, nullptr), d) << "a middle one";
    EXPECT_EQ(close_session(d->client_socket, nullptr), nullptr) << "the last one";
    EXPECT_EQ(sessions(), std::vector<Session*>{b});
}

TEST_F(SessionsTest, CloseLogsThenFreesEverythingThenClosesTheSocket)
{
    Session* s = add_session();
    ASSERT_EQ(queue_append(&s->input, "in", 2), 1);
    ASSERT_EQ(queue_append(&s->output, "out", 3), 1);
    register_address(&s->addresses, "one");
    register_address(&s->addresses, "two");
    std::strcpy(s->peer_name, "host [10.0.0.1]");

    close_session(s->client_socket, nullptr);
    EXPECT_NE(log().find("logged out: host [10.0.0.1]\n"), std::string::npos) << log();
    // The fixture's tear-down checks that no block is left behind.
}

TEST_F(SessionsTest, ReasonGoesInsideTheParenthesesLineBreakAndAll)
{
    Session* s = add_session();
    std::strcpy(s->peer_name, "[127.0.0.9]");
    close_session(s->client_socket, "RX buffer overflow!\n");
    EXPECT_NE(log().find(" disconnected (RX buffer overflow!\n): [127.0.0.9]\n"), std::string::npos)
        << log();
}

TEST_F(SessionsTest, ClosingASocketNoSessionHoldsClosesItAndReturnsNone)
{
    Session* s = add_session();
    socket_handle stranger = net.new_socket();
    EXPECT_EQ(close_session(stranger, "timeout"), nullptr);
    EXPECT_TRUE(net.socket(stranger).closed);
    EXPECT_EQ(sessions(), std::vector<Session*>{s});
    EXPECT_EQ(log(), "");
}

TEST_F(SessionsTest, SendTextOffersJustTheTextInOneCall)
{
    Session* s = add_session();
    send_text(s->client_socket, "login:");
    EXPECT_EQ(peer(s).sent, "login:");
    EXPECT_EQ(peer(s).send_calls, 1);
}

} // namespace
