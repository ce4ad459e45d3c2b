// The operator's HTTP port: GET (or HEAD) /metrics and /sessions, answered
// from the loop itself, one request per connection. Its connections are not
// sessions: the switch, the registry and the log never see them.
#pragma once

#include "platform/platform.h"
#include "protocol/http_request.h"
#include "switch/http_documents.h"

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
    socket_handle socket = INVALID_SOCKET_HANDLE;
    bool watched = false;
    // The last wait reported it readable or failed.
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
    // Entries stay put, so each is its own token among the poller's owners.
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

// The connection that owner (a waited event's owner) is, or null.
HttpConnection* http_connection_of(Server& server, const void* owner);

// Before the wait: closes the connections past their deadline, offers the
// rest of each answer to its socket (making its next piece once the last is
// sent), closing the connection once all is sent, and watches those still
// reading. Lowers *until_ms to the next deadline; sets
// *polling while an answer waits for its socket, which no event announces.
// Costs a look at each of MAX_HTTP_CONNECTIONS per turn while one is open.
void watch_http(Server& server, std::int64_t now_ms, std::int64_t* until_ms, bool* polling);

// After the wait: reads the connections it reported and answers those whose
// request is whole. Costs a look at each of MAX_HTTP_CONNECTIONS per turn
// while one is open.
void serve_http(Server& server);
