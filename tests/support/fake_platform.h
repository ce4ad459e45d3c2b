// A scripted clock, network and heap behind the platform table, so that the
// passes can be driven without waiting and without sockets.
#pragma once

#include "switch/server.h"
#include "platform/platform.h"

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

struct FakeSocket {
    std::string incoming;         // what the peer sent and the server has not read
    bool peer_closed = false;     // recv returns 0 once incoming is drained
    int recv_error = 0;           // recv fails with this code
    bool exception = false;       // reported in the exception set
    bool hung_up = false;         // reported as hung up, whatever it is watched for
    std::string sent;             // what the server sent
    int send_calls = 0;
    std::size_t largest_offer = 0; // the most bytes one send call offered
    // One entry per send call: n >= 0 takes at most n bytes, a negative value
    // fails with that WSA code negated. When empty every byte is taken.
    std::deque<int> send_plan;
    // Without a plan: how many bytes the socket's buffer takes before it
    // refuses (would block) until the peer reads and the script adds room.
    std::size_t send_room = SIZE_MAX;
    bool closed = false;
    // How the server's poller watches it.
    bool watched = false;
    bool read_wanted = false;
    bool write_wanted = false;
    Watcher* watcher = nullptr;
};

class FakePlatform {
public:
    static constexpr socket_handle LISTENER = 3;

    FakePlatform();
    ~FakePlatform();
    FakePlatform(const FakePlatform&) = delete;
    FakePlatform& operator=(const FakePlatform&) = delete;

    // A socket the fake knows; handles start at 100.
    FakeSocket& socket(socket_handle handle) { return sockets[handle]; }
    socket_handle new_socket();
    // Queues a client for the listener; accept hands out a fresh handle.
    socket_handle queue_connection();
    // A zero-filled session on a fresh socket, named "[127.0.0.N]" and
    // taken in at the end of the server's sessions, as the wait pass would
    // leave it.
    Session* link_session(Server& server, SessionState state);

    std::time_t now = 1'700'000'000;
    std::map<socket_handle, FakeSocket> sockets;
    std::deque<socket_handle> pending_accepts;
    // The listener the pending connections wait on; any other has none.
    socket_handle accepting_listener = LISTENER;
    bool listener_exception = false;
    bool wait_fails = false;
    int accept_error = 0;       // accept fails with this code while set
    // Whom accept reports as the peer; unset: 127.0.0.N, N from the socket.
    std::optional<PeerAddress> accept_peer;
    std::string host_name;      // what the reverse look-up finds; empty: none
    bool lookups_fail = false;  // no look-up can be started
    bool lookups_hang = false;  // started look-ups never finish
    std::deque<NameLookup> finished_lookups;
    std::deque<NameLookup> hanging_lookups;
    std::int64_t now_ms = 0;    // the monotonic clock

    int wait_calls = 0;
    long last_timeout_us = -1;                    // the time-out given to the last wait
    std::vector<socket_handle> last_read_offer;   // watched for reads at the last wait
    std::vector<socket_handle> last_write_offer;  // watched for writes at the last wait
    std::vector<socket_handle> last_except_offer; // watched at all at the last wait
    std::vector<socket_handle> closed_order;      // every close, in order
    int closed_while_watched = 0;                 // a fault of the server's

    // Heap faults: the allocation call with this number (1 = the next one)
    // fails; 0 means none does. fail_all_allocations fails every one.
    long fail_allocation_number = 0;
    bool fail_all_allocations = false;
    long allocation_calls = 0;
    long live_blocks = 0;

private:
    socket_handle next_handle = 100;
    PlatformCalls saved;
};
