#include "platform/client.h"
#include "platform/platform.h"
#include "switch/server.h"
#include "switch/wait_pass.h"
#include "tests/support/scratch_directory.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

TEST(SocketSet, HoldsAtMost64AndLeavesTheRestOut)
{
    SocketSet set;
    socket_set_clear(&set);
    for (socket_handle s = 0; s < 64; s++)
        EXPECT_EQ(socket_set_add(&set, 1000 + s), 1);
    EXPECT_EQ(socket_set_add(&set, 5000), 0);
    EXPECT_EQ(set.count, 64u);
    EXPECT_EQ(socket_set_has(&set, 1063), 1);
    EXPECT_EQ(socket_set_has(&set, 5000), 0);
}

TEST(DottedAddress, FormatsEveryOctetWidth)
{
    char text[16];
    PeerAddress peer{{255, 0, 10, 7}, 0};
    sock_dotted_address(&peer, text);
    EXPECT_STREQ(text, "255.0.10.7");
}

// Moves a descriptor to a number at or above floor.
socket_handle move_above(socket_handle sock, int floor)
{
    int high = fcntl(static_cast<int>(sock), F_DUPFD, floor);
    close(static_cast<int>(sock));
    return static_cast<socket_handle>(high);
}

// A descriptor of 1024 and above would overrun a system fd_set; the wait
// step must serve it like any other.
TEST(PosixBackend, SessionOnADescriptorAbove1024IsServed)
{
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_max < 1400)
        GTEST_SKIP() << "the descriptor limit is below 1400 here";
    if (limit.rlim_cur < 1400) {
        limit.rlim_cur = 1400;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    }
    ASSERT_EQ(client_startup(), 0);
    ScratchDirectory dir;
    dir.enter();

    std::uint16_t port = 0;
    socket_handle listener = client_listen_loopback(&port);
    ASSERT_NE(listener, INVALID_SOCKET_HANDLE);
    Server server;
    server.listener = move_above(listener, 1300);

    socket_handle client = client_connect("127.0.0.1", port);
    ASSERT_NE(client, INVALID_SOCKET_HANDLE);
    for (int i = 0; i < 2000 && !server.sessions.first; i++)
        wait_pass(server);
    Session* session = server.sessions.first;
    ASSERT_NE(session, nullptr) << "accepted through a listener at " << server.listener;
    session->client_socket = move_above(session->client_socket, 1200);

    ASSERT_EQ(client_send_all(client, "hello", 5), 0);
    for (int i = 0; i < 2000 && session->input.length < 5; i++)
        wait_pass(server);
    EXPECT_EQ(queue_bytes(session->input), "hello");
    EXPECT_GT(session->client_socket, 1024u);

    drop_all_sessions(server);
    platform.close(server.listener);
    client_close(client);
}

TEST(PosixBackend, ErrorsAreReportedWithWinSockCodes)
{
    std::uint16_t port = client_free_port();
    ASSERT_NE(port, 0);
    EXPECT_EQ(client_connect("127.0.0.1", port), INVALID_SOCKET_HANDLE);
    EXPECT_EQ(sock_last_error(), WSAECONNREFUSED);

    std::uint16_t listen_port = 0;
    socket_handle listener = client_listen_loopback(&listen_port);
    socket_handle client = client_connect("127.0.0.1", listen_port);
    PeerAddress peer{};
    socket_handle served = platform.accept(listener, &peer);
    ASSERT_NE(served, INVALID_SOCKET_HANDLE);
    EXPECT_EQ(peer.octets[0], 127);
    platform.set_nonblocking(served);
    char buffer[8];
    EXPECT_EQ(platform.recv(served, buffer, sizeof buffer), -1);
    EXPECT_EQ(sock_last_error(), WSAEWOULDBLOCK);

    // A peer that has gone must cost an error code, never SIGPIPE.
    client_abort(client);
    int result = 0;
    for (int i = 0; i < 100 && result >= 0; i++)
        result = platform.send(served, "x", 1, 0);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(sock_last_error(), WSAECONNRESET);
    platform.close(served);
    client_close(listener);
}

TEST(PosixBackend, SelectReportsOnlyTheReadyMembersAndFailsOnAClosedHandle)
{
    std::uint16_t port = 0;
    socket_handle listener = client_listen_loopback(&port);
    socket_handle client = client_connect("127.0.0.1", port);
    PeerAddress peer{};
    socket_handle served = platform.accept(listener, &peer);

    SocketSet reads;
    SocketSet excepts;
    socket_set_clear(&reads);
    socket_set_clear(&excepts);
    socket_set_add(&reads, listener);
    socket_set_add(&reads, served);
    socket_set_add(&excepts, served);
    EXPECT_EQ(platform.select(&reads, &excepts, 500), 0);

    client_send_all(client, "x", 1);
    socket_set_clear(&reads);
    socket_set_add(&reads, listener);
    socket_set_add(&reads, served);
    EXPECT_EQ(platform.select(&reads, nullptr, 1000000), 1);
    EXPECT_EQ(reads.count, 1u);
    EXPECT_EQ(socket_set_has(&reads, served), 1);

    platform.close(served);
    socket_set_clear(&reads);
    socket_set_add(&reads, served);
    EXPECT_EQ(platform.select(&reads, nullptr, 500), -1);
    EXPECT_EQ(sock_last_error(), WSAENOTSOCK);
    client_close(client);
    platform.close(listener); // it was watched: close it the server's way
}

} // namespace
