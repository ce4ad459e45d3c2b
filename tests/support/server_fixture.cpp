#include "tests/support/server_fixture.h"

#include "net/switch_wait.h"
#include "shell/startup.h"


void ServerFixture::SetUp()
{
    dir.enter();
    session_list = static_cast<Session*>(mem_zalloc(sizeof(Session)));
    listen_socket = FakePlatform::LISTENER;
    copy_config_text(cfg_login, "alice");
    copy_config_text(cfg_password, "secret");
}

void ServerFixture::TearDown()
{
    net.fail_all_allocations = false;
    net.fail_allocation_number = 0;
    while (session_list->next_session)
        close_session(session_list->next_session->client_socket, nullptr);
    platform.release(session_list);
    session_list = nullptr;
    EXPECT_EQ(net.live_blocks, 0) << "blocks leaked by the code under test";
}

Session* ServerFixture::add_session(SessionState state)
{
    return net.link_session(state);
}

std::vector<Session*> ServerFixture::sessions() const
{
    std::vector<Session*> list;
    for (Session* s = session_list->next_session; s; s = s->next_session)
        list.push_back(s);
    return list;
}
