// The real wait over loopback sockets: the sets report exactly their ready
// members, whatever the order in which the two sets name them.
#include "platform/client.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Pair {
    socket_handle client = INVALID_SOCKET_HANDLE;
    socket_handle server = INVALID_SOCKET_HANDLE;
};

std::vector<Pair> connected_pairs(int count)
{
    std::uint16_t port = 0;
    socket_handle listener = client_listen_loopback(&port);
    std::vector<Pair> pairs;
    for (int i = 0; i < count; i++) {
        Pair p;
        p.client = client_connect("127.0.0.1", port);
        PeerAddress peer{};
        p.server = platform_defaults.accept(listener, &peer);
        pairs.push_back(p);
    }
    client_close(listener);
    return pairs;
}

std::vector<socket_handle> members(const SocketSet& set)
{
    return {set.handles, set.handles + set.count};
}

TEST(SocketWait, ReportsTheReadyMembersWhateverTheOrderOfTheSets)
{
    std::vector<Pair> pairs = connected_pairs(4);
    client_send_all(pairs[1].client, "x", 1);
    client_send_all(pairs[3].client, "y", 1);
    SocketSet read_set;
    SocketSet except_set;
    // Wait until both bytes are there; each call is bounded.
    for (int tries = 0; tries < 1000; tries++) {
        socket_set_clear(&read_set);
        socket_set_clear(&except_set);
        for (const Pair& p : pairs)
            socket_set_add(&read_set, p.server);
        // The exception set in another order, and one member twice.
        for (int i : {3, 0, 2, 1, 3})
            socket_set_add(&except_set, pairs[static_cast<std::size_t>(i)].server);
        ASSERT_GE(platform_defaults.select(&read_set, &except_set, 10000), 0);
        if (read_set.count == 2)
            break;
    }
    EXPECT_EQ(members(read_set), (std::vector<socket_handle>{pairs[1].server, pairs[3].server}));
    EXPECT_EQ(except_set.count, 0u);

    // A member only in the exception set is watched as well.
    socket_set_clear(&read_set);
    socket_set_clear(&except_set);
    socket_set_add(&except_set, pairs[0].server);
    EXPECT_EQ(platform_defaults.select(&read_set, &except_set, 0), 0);
    for (const Pair& p : pairs) {
        client_close(p.client);
        platform_defaults.close(p.server); // it was watched: close it the server's way
    }
}

} // namespace
