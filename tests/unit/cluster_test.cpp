// The switch's side of a cluster over a fake link: what it publishes, what it
// subscribes to as its clients' addresses come and go, what it delivers,
// and what it says and counts.
#include "protocol/frame.h"
#include "switch/cluster.h"
#include "switch/input_pass.h"
#include "tests/support/server_fixture.h"

#include <map>

namespace {

struct FakeLink final : ClusterLink {
    bool connected() override { return up; }
    bool watch_changed(LinkWatch&) override { return false; }
    void socket_readable() override {}
    void socket_writable() override {}
    bool next_notice(LinkNotice& notice) override
    {
        if (notices.empty())
            return false;
        notice = notices.front();
        notices.pop_front();
        return true;
    }
    std::size_t take_messages(std::size_t most, const std::function<void(const LinkMessage&)>& take) override
    {
        std::size_t n = 0;
        for (; n < most && !messages.empty(); n++) {
            take(LinkMessage{messages.front().first, messages.front().second});
            messages.pop_front();
        }
        return n;
    }
    LinkPublish publish(const std::string& subject, std::string_view data) override
    {
        if (publish_result == LinkPublish::sent)
            published.push_back(subject + " " + std::string(data));
        return publish_result;
    }
    std::size_t buffered_bytes() override { return 0; }
    LinkSubscription subscribe(const std::string& subject) override
    {
        subscriptions[++last_id] = subject;
        subscribes++;
        return last_id;
    }
    void unsubscribe(LinkSubscription subscription) override { subscriptions.erase(subscription); }
    std::uint64_t messages_dropped() override { return dropped; }

    bool up = true;
    std::deque<LinkNotice> notices{{LinkNoticeKind::up, "nats://127.0.0.1:4222"}};
    std::deque<std::pair<std::string, std::string>> messages;
    std::vector<std::string> published;
    LinkPublish publish_result = LinkPublish::sent;
    std::map<LinkSubscription, std::string> subscriptions;
    LinkSubscription last_id = 0;
    int subscribes = 0;
    std::uint64_t dropped = 0;
};

struct ClusterTest : ServerFixture {
    void SetUp() override
    {
        ServerFixture::SetUp();
        auto fake = std::make_unique<FakeLink>();
        link = fake.get();
        cluster_start(server, "qm", std::move(fake), BUFFER);
        cluster_take(server);
    }
    void send(Session* s, const std::string& payload)
    {
        give_input(s, make_frame(payload));
        input_rounds(server);
    }
    std::vector<std::string> subjects() const
    {
        std::vector<std::string> list;
        for (const auto& [id, subject] : link->subscriptions)
            list.push_back(subject);
        return list;
    }
    std::string queued(const Session* s) const { return std::string(queue_bytes(s->output.queue)); }
    void arrive(const std::string& subject, const std::string& frame)
    {
        link->messages.emplace_back(subject, frame);
        cluster_take(server);
    }

    static constexpr std::size_t BUFFER = 4096;
    FakeLink* link = nullptr;
};

TEST_F(ClusterTest, EachRelayedFrameIsPublishedOnceOnItsDestinationsSubject)
{
    Session* a = add_session();
    Session* b = add_session();
    send(a, "x a \"\" hello");
    send(a, "x a \"b\\001\\377\" bye");
    send(a, "x a \"" + std::string(300, 'd') + "\" long");
    send(a, "x a");
    std::string cut_destination;
    for (int i = 0; i < 255; i++)
        cut_destination += "64";
    EXPECT_EQ(link->published,
              (std::vector<std::string>{
                  "qm.all " + make_frame("x a \"\" hello"),
                  "qm.a.6201ff " + make_frame("x a \"b\\001\\377\" bye"),
                  "qm.a." + cut_destination + " " + make_frame("x a \"" + std::string(300, 'd') + "\" long"),
              }));
    EXPECT_EQ(queued(b), make_frame("x a \"\" hello")) << "routed locally as before";
    EXPECT_EQ(server.metrics.cluster.published, 3u);
}

TEST_F(ClusterTest, AnAddressIsSubscribedWhileALocalClientHoldsIt)
{
    EXPECT_EQ(subjects(), std::vector<std::string>{"qm.all"});
    Session* a = add_session();
    Session* b = add_session();
    send(a, "x ab -");
    send(b, "x ab -");
    send(b, "x \"\" -");
    EXPECT_EQ(subjects(), (std::vector<std::string>{"qm.all", "qm.a.6162"}))
        << "once for two holders, never for the empty name";
    close_session(server, *a, nullptr);
    EXPECT_EQ(subjects().size(), 2u);
    close_session(server, *b, nullptr);
    EXPECT_EQ(subjects(), std::vector<std::string>{"qm.all"});
    EXPECT_EQ(server.metrics.cluster.subscriptions, 1);
}

TEST_F(ClusterTest, FramesFromTheClusterReachTheLocalHoldersOrEveryoneOnline)
{
    Session* a = add_session();
    Session* b = add_session();
    Session* dialogue = add_session(SessionState::awaiting_password);
    send(a, "x ab -");
    link->published.clear();
    const std::string to_ab = make_frame("y z \"ab\" hi");
    const std::string to_all = make_frame("y z \"\" all");
    arrive("qm.a.6162", to_ab);
    arrive("qm.all", to_all);
    EXPECT_EQ(queued(a), to_ab + to_all);
    EXPECT_EQ(queued(b), to_all);
    EXPECT_EQ(queued(dialogue), "");
    EXPECT_EQ(server.metrics.cluster.received, 2u);
    EXPECT_EQ(server.metrics.deliveries, 3u);
    EXPECT_TRUE(link->published.empty()) << "never published again";
    EXPECT_EQ(log().find(": y z"), std::string::npos) << "not logged as a received block";
}

TEST_F(ClusterTest, WhatIsNotOneValidFrameOnASubjectOfOursIsDroppedAndSaidOnce)
{
    Session* a = add_session();
    send(a, "x ab -");
    const std::string good = make_frame("y z \"ab\" ok");
    std::string bad_check = good;
    bad_check.back() = static_cast<char>(bad_check.back() ^ 1);
    for (const auto& [subject, data] : std::vector<std::pair<std::string, std::string>>{
             {"qm.a.6162", bad_check},
             {"qm.a.6162", good + good},
             {"qm.a.6162", "no check byte"},
             {"qm.a.616", good},
             {"qm.a.00", good},
             {"qm.a.6G", good},
             {"other.all", good}})
        link->messages.emplace_back(subject, data);
    cluster_take(server);
    net.now_ms += CLUSTER_DROPS_QUIET_MS;
    arrive("qm.a.6162", good);
    EXPECT_EQ(queued(a), good);
    EXPECT_EQ(server.metrics.cluster.dropped[static_cast<std::size_t>(ClusterDrop::invalid)], 7u);
    const std::string logged = log();
    EXPECT_NE(logged.find("srv: cluster dropping frames: not a frame of ours\n"), std::string::npos) << logged;
    EXPECT_NE(logged.find("srv: cluster dropped 7 frames: not a frame of ours\n"), std::string::npos) << logged;
}

TEST_F(ClusterTest, TheLinkGoingDownAndUpAndRunsOfDropsAreSaidOnceEach)
{
    Session* a = add_session();
    link->notices.push_back({LinkNoticeKind::down, "connection lost"});
    cluster_take(server);
    EXPECT_EQ(server.metrics.cluster.link_up, 0);
    link->publish_result = LinkPublish::buffer_full;
    for (int i = 0; i < 5; i++)
        send(a, "x a \"\" " + std::to_string(i));
    link->publish_result = LinkPublish::sent;
    link->notices.push_back({LinkNoticeKind::up, "nats://127.0.0.1:4223"});
    cluster_take(server);
    net.now_ms += CLUSTER_DROPS_QUIET_MS;
    send(a, "x a \"\" after");
    const std::string logged = log();
    for (const char* line : {"srv: cluster link up: nats://127.0.0.1:4222\n",
                             "srv: cluster link down: connection lost\n",
                             "srv: cluster dropping frames: buffer full\n",
                             "srv: cluster link up: nats://127.0.0.1:4223\n",
                             "srv: cluster dropped 5 frames: buffer full\n"})
        EXPECT_NE(logged.find(line), std::string::npos) << line << logged;
    EXPECT_EQ(logged.find("dropping frames: buffer full", logged.find("dropping frames: buffer full") + 1),
              std::string::npos);
    EXPECT_EQ(server.metrics.cluster.dropped[static_cast<std::size_t>(ClusterDrop::buffer)], 5u);
    EXPECT_EQ(server.metrics.cluster.reconnects, 1u);
    EXPECT_EQ(server.metrics.cluster.link_up, 1);
}

// At its bound the buffer takes a frame now and then as the socket drains:
// one run of drops, said once as it starts and once a second after its
// last drop, not twice a turn.
TEST_F(ClusterTest, DropsBetweenFramesThatPassAreOneRunUntilASecondWithoutOne)
{
    Session* a = add_session();
    for (int i = 0; i < 50; i++) {
        link->publish_result = i % 2 ? LinkPublish::sent : LinkPublish::buffer_full;
        send(a, "x a \"\" " + std::to_string(i));
        net.now_ms += 10;
    }
    net.now_ms += CLUSTER_DROPS_QUIET_MS - 10;
    send(a, "x a \"\" quiet");
    const std::string logged = log();
    const std::string started = "srv: cluster dropping frames: buffer full\n";
    EXPECT_EQ(logged.find(started, logged.find(started) + 1), std::string::npos) << logged;
    EXPECT_EQ(logged.find("srv: cluster dropped 25 frames: buffer full\n"), logged.rfind("srv: ")) << logged;
}

// A fresh address in every frame costs subscriptions up to a burst's
// worth, then the wildcard; once the addresses are few again, they are
// subscribed one by one and the wildcard goes.
TEST_F(ClusterTest, SubscribesPastTheirRateTakeTheWildcardUntilTheAddressesFitAgain)
{
    Session* a = add_session();
    Session* b = add_session();
    for (int i = 0; i < CLUSTER_SUBSCRIBES_PER_SECOND + 500; i++)
        send(a, "x n" + std::to_string(i) + " -");
    EXPECT_EQ(link->subscribes, 1 + CLUSTER_SUBSCRIBES_PER_SECOND + 1) << "all, a burst, the wildcard";
    EXPECT_EQ(server.metrics.cluster.wildcard, 1);
    EXPECT_NE(log().find("srv: cluster subscriptions at their bound: taking every addressed frame"),
              std::string::npos);
    send(b, "x late -");
    arrive("qm.a.6c617465", make_frame("y z \"late\" via the wildcard"));
    EXPECT_EQ(queued(b), make_frame("y z \"late\" via the wildcard"));

    close_session(server, *a, nullptr);
    net.now_ms += CLUSTER_WILDCARD_MS;
    cluster_take(server);
    EXPECT_EQ(subjects(), (std::vector<std::string>{"qm.all", "qm.a.6c617465"}));
    EXPECT_EQ(server.metrics.cluster.wildcard, 0);
    EXPECT_EQ(server.metrics.cluster.subscriptions, 2);
    EXPECT_NE(log().find("srv: cluster subscriptions within their bound again: 1 addresses"), std::string::npos);
}

TEST_F(ClusterTest, FramesTheLinkDroppedAreCountedAndSaidOncePerRun)
{
    Session* a = add_session();
    link->dropped = 40;
    link->notices.push_back({LinkNoticeKind::slow, ""});
    cluster_take(server);
    link->dropped = 45;
    cluster_take(server);
    net.now_ms += CLUSTER_DROPS_QUIET_MS;
    arrive("qm.all", make_frame("y z \"\" later"));
    EXPECT_EQ(queued(a), make_frame("y z \"\" later"));
    EXPECT_EQ(server.metrics.cluster.dropped[static_cast<std::size_t>(ClusterDrop::slow)], 45u);
    const std::string logged = log();
    EXPECT_NE(logged.find("srv: cluster dropping frames: too slow to take them\n"), std::string::npos) << logged;
    EXPECT_NE(logged.find("srv: cluster dropped 45 frames: too slow to take them\n"), std::string::npos) << logged;
}

// While the link is not connected nothing is asked of it: the frames wait
// in order, within the bound, and so do the subscriptions. Once it is, the
// names held then are subscribed, those gone meanwhile let go, and the
// frames go out in order as far as the link takes them, new ones behind.
TEST_F(ClusterTest, WhileTheLinkIsNotConnectedFramesAndSubscriptionsWaitForIt)
{
    Session* a = add_session();
    Session* b = add_session();
    send(b, "x gone -");
    link->published.clear();
    link->up = false;
    const int subscribes_before = link->subscribes;
    close_session(server, *b, nullptr);
    send(a, "x new \"\" 1");
    send(a, "x new \"gone\" 2");
    send(a, "x new \"\" " + std::string(4000, 'z'));
    EXPECT_TRUE(link->published.empty());
    EXPECT_EQ(link->subscribes, subscribes_before);
    EXPECT_EQ(subjects(), (std::vector<std::string>{"qm.all", "qm.a.676f6e65"}));
    EXPECT_EQ(server.metrics.cluster.held, 2);
    EXPECT_EQ(server.metrics.cluster.dropped[static_cast<std::size_t>(ClusterDrop::buffer)], 1u);

    link->up = true;
    link->publish_result = LinkPublish::buffer_full;
    send(a, "x new \"dest\" 3");
    EXPECT_EQ(subjects(), (std::vector<std::string>{"qm.all", "qm.a.6e6577"}));
    EXPECT_EQ(server.metrics.cluster.held, 3) << "behind the held ones while the link is full";
    link->publish_result = LinkPublish::sent;
    cluster_take(server);
    EXPECT_EQ(link->published, (std::vector<std::string>{"qm.all " + make_frame("x new \"\" 1"),
                                                          "qm.a.676f6e65 " + make_frame("x new \"gone\" 2"),
                                                          "qm.a.64657374 " + make_frame("x new \"dest\" 3")}));
    EXPECT_EQ(server.metrics.cluster.held, 0);
    EXPECT_EQ(server.metrics.cluster.published, 4u);
}

TEST_F(ClusterTest, ALinkClosedForGoodDropsWhatItHeldAndWhatComesAfter)
{
    Session* a = add_session();
    link->up = false;
    send(a, "x a \"\" 1");
    link->notices.push_back({LinkNoticeKind::closed, "Authorization Violation"});
    cluster_take(server);
    send(a, "x a \"\" 2");
    EXPECT_EQ(server.metrics.cluster.held, 0);
    EXPECT_EQ(server.metrics.cluster.dropped[static_cast<std::size_t>(ClusterDrop::link_down)], 2u);
    EXPECT_EQ(server.metrics.cluster.link_up, 0);
    EXPECT_NE(log().find("srv: cluster link down: Authorization Violation; not tried again\n"), std::string::npos);
}

} // namespace
