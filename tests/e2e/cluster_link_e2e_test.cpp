// The cluster link against a real nats-server, driven by a small loop of
// the test's own: what the switch relies on from nats.c through it.
#include "platform/cluster_link.h"
#include "tests/support/nats_server.h"

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

namespace {

// One link and a loop that does what the server's does with it: waits for
// its socket and its wake-ups, and takes what it has to say.
struct LinkLoop {
    explicit LinkLoop(const std::string& servers, std::size_t buffer_bytes = 1 << 20)
    {
        EXPECT_EQ(pipe2(wake_pipe, O_NONBLOCK | O_CLOEXEC), 0);
        ClusterLinkSettings settings;
        settings.servers = servers;
        settings.node_name = "test-node";
        settings.buffer_bytes = buffer_bytes;
        const int wake_end = wake_pipe[1];
        settings.wake = [wake_end] { (void)!write(wake_end, "w", 1); };
        std::string error;
        link = cluster_link_open(settings, &error);
        EXPECT_TRUE(link) << error;
    }
    ~LinkLoop()
    {
        link.reset();
        close(wake_pipe[0]);
        close(wake_pipe[1]);
    }

    void turn(int timeout_ms)
    {
        pollfd fds[2] = {{wake_pipe[0], POLLIN, 0}, {-1, 0, 0}};
        if (watch.socket != INVALID_SOCKET_HANDLE && (watch.read || watch.write))
            fds[1] = {static_cast<int>(watch.socket),
                      static_cast<short>((watch.read ? POLLIN : 0) | (watch.write ? POLLOUT : 0)), 0};
        poll(fds, 2, timeout_ms);
        char drained[64];
        while (read(wake_pipe[0], drained, sizeof drained) > 0) {
        }
        if (fds[1].revents & (POLLIN | POLLHUP | POLLERR))
            link->socket_readable();
        if (fds[1].revents & POLLOUT)
            link->socket_writable();
        link->watch_changed(watch);
        for (LinkNotice notice; link->next_notice(notice);)
            notices.push_back(notice);
        link->take_messages(1000, [this](const LinkMessage& m) {
            messages.push_back(std::string(m.subject) + " " + std::string(m.data));
        });
        // What was published in this turn goes out without waiting for a
        // writability report, as the server's loop does at a turn's end.
        link->watch_changed(watch);
        if (watch.write)
            link->socket_writable();
    }

    bool has_notice(LinkNoticeKind kind) const
    {
        for (const LinkNotice& n : notices)
            if (n.kind == kind)
                return true;
        return false;
    }

    std::unique_ptr<ClusterLink> link;
    int wake_pipe[2] = {-1, -1};
    LinkWatch watch;
    std::vector<LinkNotice> notices;
    std::vector<std::string> messages;
};

// Turns both loops until done says so, or 10 s pass.
template <typename Done>
bool turn_until(std::initializer_list<LinkLoop*> loops, Done done)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        for (LinkLoop* loop : loops)
            loop->turn(5);
    }
    return true;
}

#define SKIP_WITHOUT_NATS(server)                                                                  \
    if (!cluster_link_available())                                                                 \
        GTEST_SKIP() << cluster_link_unavailable_reason();                                         \
    if (!(server).running())                                                                       \
    GTEST_SKIP() << (server).why()

TEST(ClusterLinkE2E, MessagesOfEverySubscriptionComeOnceInTheirOrderAndNeverBackToTheSender)
{
    NatsServer nats;
    SKIP_WITHOUT_NATS(nats);
    LinkLoop a(nats.url());
    LinkLoop b(nats.url());
    ASSERT_TRUE(turn_until({&a, &b}, [&] { return a.has_notice(LinkNoticeKind::up) && b.has_notice(LinkNoticeKind::up); }));
    EXPECT_NE(a.link->subscribe("t.all"), NO_SUBSCRIPTION);
    for (const char* subject : {"t.all", "t.a.78", "t.a.>"})
        EXPECT_NE(b.link->subscribe(subject), NO_SUBSCRIPTION);
    // A subscription takes effect after a round trip: probe until one comes.
    ASSERT_TRUE(turn_until({&a, &b}, [&] {
        a.link->publish("t.a.78", "probe");
        return !b.messages.empty();
    }));
    auto probes = [&] { return std::count(b.messages.begin(), b.messages.end(), "t.a.78 probe"); };
    ASSERT_TRUE(turn_until({&a, &b}, [&] { return a.link->buffered_bytes() == 0; }));
    const auto probes_sent = probes();
    std::vector<std::string> sent;
    for (int i = 0; i < 300; i++) {
        const std::string subject = i % 3 == 0 ? "t.all" : "t.a.78";
        const std::string data = "frame " + std::to_string(i);
        ASSERT_EQ(a.link->publish(subject, data), LinkPublish::sent);
        sent.push_back(subject + " " + data);
        if (i % 50 == 0)
            a.turn(0);
    }
    ASSERT_TRUE(turn_until({&a, &b}, [&] { return b.messages.size() >= sent.size() + probes_sent; }));
    b.turn(50);
    b.messages.erase(std::remove(b.messages.begin(), b.messages.end(), "t.a.78 probe"), b.messages.end());
    EXPECT_EQ(b.messages, sent);
    EXPECT_TRUE(a.messages.empty()) << a.messages.front();
}

// Before the first connect no server has said it takes headers, and a
// frame with its origin cannot even be held; once a server has, frames are
// held while the link is down, up to the bound.
TEST(ClusterLinkE2E, TheLinkComesUpWhenTheServerDoesAndHoldsFramesUpToItsBoundWhileDown)
{
    NatsServer nats;
    SKIP_WITHOUT_NATS(nats);
    nats.kill();
    LinkLoop a(nats.url(), 8192);
    ASSERT_TRUE(turn_until({&a}, [&] { return a.has_notice(LinkNoticeKind::down); }));
    EXPECT_EQ(a.link->publish("t.all", "early"), LinkPublish::down);
    ASSERT_TRUE(nats.restart()) << nats.why();
    ASSERT_TRUE(turn_until({&a}, [&] { return a.has_notice(LinkNoticeKind::up); }));
    EXPECT_EQ(a.notices.back().text, nats.url());

    a.notices.clear();
    nats.kill();
    ASSERT_TRUE(turn_until({&a}, [&] { return a.has_notice(LinkNoticeKind::down); }));
    int sent = 0;
    int refused = 0;
    for (int i = 0; i < 100; i++)
        (a.link->publish("t.all", std::string(100, 'x')) == LinkPublish::sent ? sent : refused)++;
    EXPECT_GT(sent, 40);
    EXPECT_LT(sent, 82);
    EXPECT_EQ(sent + refused, 100);
    ASSERT_TRUE(nats.restart()) << nats.why();
    ASSERT_TRUE(turn_until({&a}, [&] { return a.has_notice(LinkNoticeKind::up); }));
}

} // namespace
