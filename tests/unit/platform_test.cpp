#include "platform/client.h"
#include "platform/platform.h"
#include "platform/signals.h"
#include "platform/wakeup.h"
#include "switch/server.h"
#include "switch/wait.h"
#include "tests/support/scratch_directory.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace {

TEST(DottedAddress, FormatsEveryOctetWidth)
{
    char text[ADDRESS_TEXT_SIZE];
    PeerAddress peer{{255, 0, 10, 7}, 0, false};
    sock_dotted_address(&peer, text);
    EXPECT_STREQ(text, "255.0.10.7");
    char six[ADDRESS_TEXT_SIZE];
    PeerAddress v6{{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 0, true};
    sock_dotted_address(&v6, six);
    EXPECT_STREQ(six, "2001:db8::1");
}

TEST(ListenAt, TakesAddressLiteralsOnlyAndAnIpv6SocketLeavesIpv4Alone)
{
    ListenFailure failure;
    for (const char* text : {"localhost", "", "[]", "1.2.3", "::1]", "127.0.0.1:80"}) {
        EXPECT_EQ(sock_listen_at(text, 0, &failure), INVALID_SOCKET_HANDLE) << text;
        EXPECT_EQ(failure, ListenFailure::address) << text;
    }
    socket_handle v6 = sock_listen_at("[::1]", 0, &failure);
    if (v6 == INVALID_SOCKET_HANDLE)
        GTEST_SKIP() << "no IPv6 loopback here";
    int only = 0;
    socklen_t length = sizeof only;
    ASSERT_EQ(getsockopt(static_cast<int>(v6), IPPROTO_IPV6, IPV6_V6ONLY, &only, &length), 0);
    EXPECT_EQ(only, 1);
    platform.close(v6);
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
    socket_handle moved = move_above(listener, 1300);
    add_listener(server, moved, ListenerKind::switch_clients, &plain_transport());
    server.poller = platform.open_poller();

    socket_handle client = client_connect("127.0.0.1", port);
    ASSERT_NE(client, INVALID_SOCKET_HANDLE);
    for (int i = 0; i < 2000 && !server.sessions.first; i++)
        wait_pass(server);
    Session* session = server.sessions.first;
    ASSERT_NE(session, nullptr) << "accepted through a listener at " << moved;
    // Closing the old descriptor took it out of the poller.
    session->transport.socket = session->place.watcher.socket = move_above(session->transport.socket, 1200);
    session->place.watcher.watched = false;
    refresh_watch(server, *session);

    ASSERT_EQ(client_send_all(client, "hello", 5), 0);
    for (int i = 0; i < 2000 && session->input.queue.length < 5; i++)
        wait_pass(server);
    EXPECT_EQ(queue_bytes(session->input.queue), "hello");
    EXPECT_GT(session->transport.socket, 1024u);

    drop_all_sessions(server);
    close_watched_socket(server, server.listeners[0].watcher);
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

// The poller reports exactly the ready sockets, by watcher: for reads,
// for room to write only while that is wanted, and a socket watched for
// exceptions alone is not reported for its data.
TEST(PosixBackend, PollerReportsReadySocketsByWatcher)
{
    std::uint16_t port = 0;
    socket_handle listener = client_listen_loopback(&port);
    socket_handle client = client_connect("127.0.0.1", port);
    PeerAddress peer{};
    socket_handle served = platform.accept(listener, &peer);
    poller_handle poller = platform.open_poller();
    Watcher listener_watcher{};
    Watcher served_watcher{};
    ASSERT_EQ(platform.watch(poller, listener, Interest{.read = true}, &listener_watcher), 0);
    ASSERT_EQ(platform.watch(poller, served, Interest{.read = true}, &served_watcher), 0);
    SocketEvent events[4];
    EXPECT_EQ(platform.wait(poller, events, 4, 500), 0);

    client_send_all(client, "x", 1);
    ASSERT_EQ(platform.wait(poller, events, 4, 1000000), 1);
    EXPECT_EQ(events[0].watcher, &served_watcher);
    EXPECT_TRUE(events[0].readable);
    EXPECT_FALSE(events[0].writable) << "room to write is not wanted";
    EXPECT_FALSE(events[0].exception);

    ASSERT_EQ(platform.watch(poller, served, Interest{.write = true}, &served_watcher), 0);
    ASSERT_EQ(platform.wait(poller, events, 4, 1000000), 1);
    EXPECT_TRUE(events[0].writable);
    EXPECT_FALSE(events[0].readable) << "data waits, but reads are not wanted";

    ASSERT_EQ(platform.watch(poller, served, Interest{}, &served_watcher), 0);
    EXPECT_EQ(platform.wait(poller, events, 4, 500), 0) << "neither is wanted";

    platform.unwatch(poller, served);
    platform.unwatch(poller, listener);
    platform.close_poller(poller);
    platform.close(served);
    client_close(client);
    client_close(listener);
}

// A wait without a time-out ends when another thread, or a signal's
// handler, signals the wake-up; one drain takes every wake-up so far.
TEST(PosixBackend, AWakeUpEndsAWaitWithoutATimeOut)
{
    poller_handle poller = platform.open_poller();
    Wakeup wakeup;
    ASSERT_TRUE(wakeup_open(wakeup));
    Watcher watcher{};
    ASSERT_EQ(platform.watch(poller, wakeup.socket, Interest{.read = true}, &watcher), 0);
    std::thread worker([&wakeup] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        wakeup_signal(wakeup.socket);
        wakeup_signal(wakeup.socket);
    });
    SocketEvent events[4];
    ASSERT_EQ(platform.wait(poller, events, 4, -1), 1);
    EXPECT_EQ(events[0].watcher, &watcher);
    worker.join();
    wakeup_drain(wakeup);
    EXPECT_EQ(platform.wait(poller, events, 4, 0), 0) << "drained";

    install_signal_handlers();
    wake_on_signal(wakeup.socket);
    EXPECT_FALSE(reload_requested());
    std::raise(SIGHUP);
    std::raise(SIGHUP);
    std::raise(SIGUSR1);
    std::raise(SIGUSR2);
    ASSERT_EQ(platform.wait(poller, events, 4, -1), 1) << "the reload asked for wakes the loop";
    EXPECT_TRUE(reload_requested());
    EXPECT_FALSE(reload_requested()) << "two requests before the loop looked are one";
    EXPECT_FALSE(stop_requested());
    std::raise(SIGQUIT);
    EXPECT_TRUE(stop_requested());
    wake_on_signal(INVALID_SOCKET_HANDLE);
    for (int handled : {SIGINT, SIGTERM, SIGQUIT, SIGHUP, SIGUSR1, SIGUSR2, SIGXFSZ})
        std::signal(handled, SIG_DFL);
    platform.unwatch(poller, wakeup.socket);
    wakeup_close(wakeup);
    platform.close_poller(poller);
}

// A handled signal cuts the wait short: that is no event and no failure.
TEST(PosixBackend, ASignalDuringTheWaitIsNoFailure)
{
    struct sigaction handler{};
    struct sigaction saved{};
    handler.sa_handler = [](int) {};
    ASSERT_EQ(sigaction(SIGUSR1, &handler, &saved), 0);
    poller_handle poller = platform.open_poller();
    pthread_t waiter = pthread_self();
    std::thread signaller([waiter] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        pthread_kill(waiter, SIGUSR1);
    });
    SocketEvent events[4];
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(platform.wait(poller, events, 4, 5000000), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4)) << "not cut short";
    signaller.join();
    platform.close_poller(poller);
    sigaction(SIGUSR1, &saved, nullptr);
}

} // namespace
