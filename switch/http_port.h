// The operator's HTTP port: GET /metrics and GET /sessions, answered from
// the loop itself, one request per connection. Its connections are not
// sessions: the switch, the registry and the log never see them.
#pragma once

#include "platform/platform.h"
#include "protocol/http_request.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

struct Server;
struct Listener;

// Scrapes open at once; one more is answered 503 and closed as it comes,
// so a flood of connections holds at most this many descriptors.
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
    // The answer once the head is read, and how much of it the socket took.
    std::string response;
    std::size_t sent = 0;
};

struct HttpPort {
    // Entries stay put, so each is its own token among the poller's owners.
    std::array<HttpConnection, MAX_HTTP_CONNECTIONS> connections;
    // How many are open: with none, a turn does not look at the slots.
    std::size_t open = 0;
    // The build's version, shown as quillmarsh_build_info's label.
    std::string_view version;
};

// Takes one connection from the metrics listener, or answers it 503 and
// closes it at once when MAX_HTTP_CONNECTIONS are open.
void accept_http(Server& server, Listener& listener);

// The connection that owner (a waited event's owner) is, or null.
HttpConnection* http_connection_of(Server& server, const void* owner);

// Before the wait: closes the connections past their deadline, offers the
// rest of each answer to its socket, closing the connection once sent, and
// watches those still reading. Lowers *until_ms to the next deadline; sets
// *polling while an answer waits for its socket, which no event announces.
// Costs a look at each of MAX_HTTP_CONNECTIONS per turn while one is open.
void watch_http(Server& server, std::int64_t now_ms, std::int64_t* until_ms, bool* polling);

// After the wait: reads the connections it reported and answers those whose
// request is whole. Costs a look at each of MAX_HTTP_CONNECTIONS per turn
// while one is open.
void serve_http(Server& server);

// The two documents, made from the server as it stands.
std::string metrics_document(const Server& server);
std::string sessions_document(const Server& server);
