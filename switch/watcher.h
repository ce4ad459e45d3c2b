// The sockets of one server's poller, as the wait reports them: each is
// watched as a Watcher, which says what the socket is to the loop and which
// function takes its events in, so an event needs no search to find its
// owner.
#pragma once

#include "platform/platform.h"

#include <cstdint>

struct Server;

enum class WatcherKind : std::uint8_t {
    listener,  // a Listener: connections to accept
    session,   // a Session's client socket
    http_slot, // an HttpConnection: a scrape of the metrics port
    wakeup,    // the server's wake-up (wakeup.h)
    cluster,   // the cluster link's socket (cluster.h)
};

struct Watcher {
    // Takes what the wait reported in: notes it for the step of the turn
    // that serves this kind, in the order that step keeps.
    void (*take_event)(Server& server, Watcher& watcher, const SocketEvent& event) = nullptr;
    // The Listener, Session or HttpConnection the socket belongs to, as the
    // kind says (null for the wake-up).
    void* owner = nullptr;
    socket_handle socket = INVALID_SOCKET_HANDLE;
    WatcherKind kind = WatcherKind::session;
    // What the poller watches the socket for while watched.
    Interest interest;
    bool watched = false;
};

// Watches the socket for interest (and exceptions), or changes what for; a
// call that changes nothing costs nothing. False when the poller refused.
bool watch(Server& server, Watcher& watcher, Interest interest);
// Takes the socket out of the poller; nothing when it is not in it.
void unwatch(Server& server, Watcher& watcher);
// The one way a watched socket is closed, whatever it belongs to: it leaves
// the poller first, so no later wait names a closed (or reused) descriptor.
void close_watched_socket(Server& server, Watcher& watcher);
