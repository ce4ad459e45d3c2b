// The operator's HTTP port: GET (or HEAD) /metrics and /sessions, answered
// from the loop itself, one request per connection. Its connections are not
// sessions: the switch, the registry and the log never see them.
#pragma once

#include "platform/platform.h"
#include "protocol/http_request.h"
#include "switch/http_documents.h"
#include "switch/watcher.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

struct Server;
struct Listener;

// Scrapes open at once, so a flood of connections holds at most this many
// descriptors. One more takes the slot of the connection that has waited
// longest without sending a whole request, which is closed; when every one
// has sent its own, it is answered 503 and closed as it comes.
constexpr std::size_t MAX_HTTP_CONNECTIONS = 16;
// A connection is closed this long after its accept, whatever it sent:
// a client that sends half a request, or never reads its answer, holds its
// slot no longer.
constexpr std::int64_t HTTP_DEADLINE_MS = 5000;

struct HttpConnection {
    // Its socket: watched for the request, then for room for the answer.
    Watcher watcher{};
    // The last wait reported it readable, writable or failed.
    bool reported = false;
    std::int64_t deadline_ms = 0;
    HttpHeadReader reader;
    // The request so far, at most HTTP_HEAD_MAX + 1 bytes.
    std::string received;
    // Once the head is read: the answer, a piece at a time. pending is the
    // piece in hand, sent how much of it the socket took; more says that a
    // /sessions page has pieces to come, made once the last one is sent.
    bool answering = false;
    std::string pending;
    std::size_t sent = 0;
    bool more = false;
    SessionsPage page;
};

struct HttpPort {
    // Entries stay put, so each is its own watcher.
    std::array<HttpConnection, MAX_HTTP_CONNECTIONS> connections;
    // How many are open: with none, a turn does not look at the slots.
    std::size_t open = 0;
    // The build's version, shown as quillmarsh_build_info's label.
    std::string_view version;
};

// Takes one connection from the metrics listener, in place of the longest
// stalled one when MAX_HTTP_CONNECTIONS are open, or answers it 503 and
// closes it at once when none is stalled.
void accept_http(Server& server, Listener& listener);

// Before the wait: closes the connections past their deadline. Lowers
// *until_ms to the next deadline. Costs a look at each of
// MAX_HTTP_CONNECTIONS per turn while one is open.
void watch_http(Server& server, std::int64_t now_ms, std::int64_t* until_ms);

// What the wait reported for a connection, noted for serve_http.
void take_http_event(Server& server, Watcher& watcher, const SocketEvent& event);

// After the wait: reads the connections it reported and answers those
// whose request is whole; offers the next piece of an answer to a socket
// that has room (one piece a turn, so a long page never holds the loop),
// closing the connection once all is sent. Costs a look at each of
// MAX_HTTP_CONNECTIONS per turn while one is open.
void serve_http(Server& server);
