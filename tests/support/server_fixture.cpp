#include "tests/support/server_fixture.h"

void ServerFixture::SetUp()
{
    dir.enter();
    add_listener(server, FakePlatform::LISTENER, ListenerKind::switch_clients, &plain_transport());
    server.poller = platform.open_poller();
    set_credentials(server, "alice", "secret");
}

void ServerFixture::TearDown()
{
    net.fail_all_allocations = false;
    net.fail_allocation_number = 0;
    while (server.sessions.first)
        close_session(server, *server.sessions.first, nullptr);
    free_closed_sessions(server);
    log_close(server.log);
    EXPECT_EQ(net.live_blocks, 0) << "blocks leaked by the code under test";
    EXPECT_EQ(net.closed_while_watched, 0) << "sockets closed before leaving the poller";
}

Session* ServerFixture::add_session(SessionState state)
{
    return net.link_session(server, state);
}

std::vector<Session*> ServerFixture::sessions() const
{
    std::vector<Session*> list;
    for (Session* s = server.sessions.first; s; s = s->next)
        list.push_back(s);
    return list;
}

void ServerFixture::give_input(Session* session, std::string_view bytes)
{
    ASSERT_TRUE(queue_append(session->input.queue, bytes));
    push_back(server.work.input, *session);
}
