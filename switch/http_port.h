// The server's HTTP connections, answered from the loop itself, one request
// per connection, in a bounded pool of slots per port: the operator's port
// (GET or HEAD /metrics and /sessions), and the WebSocket port until a
// connection upgrades (web_port.h). They are not sessions: the switch, the
// registry and the log never see them.
#pragma once

#include "platform/platform.h"
#include "protocol/http_request.h"
#include "switch/http_documents.h"
#include "switch/metrics.h"
#include "switch/watcher.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct Server;
struct Listener;
struct Transport;
struct TlsConnection;

// Scrapes open at once, so a flood of connections holds at most this many
// descriptors. One more takes the slot of the connection that has waited
// longest without sending a whole request, which is closed; when every one
// has sent its own, it is answered 503 and closed as it comes.
constexpr std::size_t MAX_HTTP_CONNECTIONS = 16;
// A connection is closed this long after its accept, whatever it sent:
// a client that sends half a request, or never reads its answer, holds its
// slot no longer.
constexpr std::int64_t HTTP_DEADLINE_MS = 5000;

struct HttpPort;

struct HttpConnection {
    // Its socket: watched for the request, then for room for the answer.
    Watcher watcher{};
    HttpPort* port = nullptr;
    // Who connected, and what a session made from the connection reads and
    // writes through: the listener's transport.
    PeerAddress peer{};
    const Transport* transport = nullptr;
    // TLS beneath the request and the answer, on a secure listener.
    TlsConnection* tls = nullptr;
    // The last wait reported it readable, writable or failed.
    bool reported = false;
    std::int64_t deadline_ms = 0;
    HttpHeadReader reader;
    // The request so far, at most the port's head_max + 1 bytes.
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

// Starts the answer to a head that is whole (or cannot be): sets the piece
// in hand and whether more follow, or takes the connection out of the
// port altogether (an upgrade to a session).
using HttpAnswer = void (*)(Server& server, HttpConnection& connection, const HttpHead& head);

// A head that is not a request's, or too large, answered with its error;
// false for a whole head, which the caller answers.
bool answer_broken_head(HttpConnection& connection, const HttpHead& head);

// The operator's answers: /metrics and /sessions.
void answer_metrics(Server& server, HttpConnection& connection, const HttpHead& head);

struct HttpPort {
    // Entries stay put, so each is its own watcher.
    std::vector<HttpConnection> connections = std::vector<HttpConnection>(MAX_HTTP_CONNECTIONS);
    // How many are open: with none, a turn does not look at the slots.
    std::size_t open = 0;
    // The most bytes a request's head may take.
    std::size_t head_max = HTTP_HEAD_MAX;
    // Whether a connection from peer may have a slot; null: any may.
    bool (*admits)(const Server& server, const HttpPort& port, const PeerAddress& peer) = nullptr;
    HttpAnswer answer = answer_metrics;
    // The counter of connections closed to make room, if the port has one.
    std::uint64_t Metrics::*evictions = &Metrics::http_evictions;
    // The build's version, shown as quillmarsh_build_info's label.
    std::string_view version;
};

// Takes one connection from listener into port, in place of the longest
// stalled one when every slot is open, or answers it 503 and closes it at
// once when none is stalled. One the port does not admit is closed at once.
void accept_http(Server& server, HttpPort& port, Listener& listener);

// Before the wait: closes the connections past their deadline. Lowers
// *until_ms to the next deadline. Costs a look at each slot of each port
// per turn while one is open.
void watch_http(Server& server, std::int64_t now_ms, std::int64_t* until_ms);

// What the wait reported for a connection, noted for serve_http.
void take_http_event(Server& server, Watcher& watcher, const SocketEvent& event);

// After the wait: reads the connections it reported and answers those
// whose request is whole; offers the next piece of an answer to a socket
// that has room (one piece a turn, so a long page never holds the loop),
// closing the connection once all is sent. Costs a look at each slot of
// each port per turn while one is open.
void serve_http(Server& server);

// How many slots connections from peer's source (source_key.h) hold. Costs
// a look at each slot.
std::size_t slots_held(const HttpPort& port, const PeerAddress& peer);

// The request's bytes past its head: what the client sent after it.
std::string_view bytes_after_head(const HttpConnection& connection);

// Takes the connection out of its port without closing its socket, which
// the caller now owns, unwatched (and its TLS, when it had one).
socket_handle hand_over_http(Server& server, HttpConnection& connection);

// Closes the connection and frees its slot.
void close_http(Server& server, HttpConnection& connection);
