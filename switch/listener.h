#pragma once

#include "platform/platform.h"
#include "switch/transport.h"
#include "switch/watcher.h"

#include <cstddef>
#include <cstdint>

struct Server;
struct Session;

// What a listener's connections are for.
enum class ListenerKind {
    // Clients of the switch, served through the listener's transport.
    switch_clients,
    // The operator's scrapes of /metrics and /sessions, over HTTP.
    metrics_http,
    // Browsers: the page over HTTP, and WebSocket clients, which become
    // sessions through the listener's transport once they upgrade; the
    // secure one speaks TLS from the start.
    web,
    secure_web,
};

// A listening socket the server accepts from. Adding a way in (another
// address, another port, another transport) is one more entry.
struct Listener {
    ListenerKind kind;
    // Its socket, watched for connections (and exceptions) unless it rests.
    Watcher watcher;
    // What its sessions read and write through.
    const Transport* transport;
    // Out of descriptors, accepting would fail at once, every turn: the
    // listener rests until then (milliseconds of platform.monotonic_ms).
    std::int64_t accepts_resume_ms;
    bool accepts_paused;
};

// How long a new client waits for its reverse look-up before it is named
// by its address alone.
constexpr std::int64_t NAMING_DEADLINE_MS = 1000;
// How long the listener rests when the descriptors have run out.
constexpr std::int64_t ACCEPT_PAUSE_MS = 100;

// The most listeners one server holds: a plain, a TLS, a WebSocket and a
// secure WebSocket port on each of up to 16 addresses, and the metrics port.
constexpr std::size_t MAX_LISTENERS = 65;

// Takes a listening socket into the server; false, and the socket left to
// the caller, when MAX_LISTENERS are already there. It is watched from the
// next wait on.
bool add_listener(Server& server, socket_handle socket, ListenerKind kind, const Transport* transport);

// Watches every listener not resting; lowers *until_ms to the end of a rest.
void watch_listeners(Server& server, std::int64_t now_ms, std::int64_t* until_ms);

// A connection waits (or the listener failed): accepts one, whose client is
// greeted at once when its name needs no look-up, and then greets the
// clients whose names have come.
void take_listener_event(Server& server, Watcher& watcher, const SocketEvent& event);

// Accepts at most one connection; its client is greeted at once when its
// name needs no look-up.
void accept_from(Server& server, Listener& listener);

// A zero-filled record for a client about to be taken in, with room for its
// idle deadline; null without memory.
Session* new_session(Server& server);

// Whether a client from peer is closed before it is prompted: its address
// is shut out for refused logins.
bool turned_away(Server& server, const PeerAddress& peer);

// Takes a connected client in as a session (from new_session, its peer
// set, maybe its transport_state made) reading and writing sock through
// transport: counted, in the dialogue, greeted once it has a name; a
// source that crowds every served slot gives way to another, as at any
// accept. When the transport cannot open, the socket is closed and the
// session freed.
void take_client(Server& server, Session& session, socket_handle sock, const Transport& transport);

// Out of descriptors: the listener rests ACCEPT_PAUSE_MS, said once in the
// log until an accept succeeds again.
void pause_accepts(Server& server, Listener& listener);

// The socket failed: it is closed, the others go on.
void close_failed_listener(Server& server, Listener& listener);

// Greets the clients whose look-ups have answered.
void greet_named_peers(Server& server);

// The client is greeted once it has a name (its address when host is null):
// the log line comes first, the prompt once its transport's handshake is
// done. A prompt the socket refuses closes the session.
void greet(Server& server, Session& session, const char* host);

// Takes the transport's opening exchange on as far as the socket allows;
// the prompt follows when it is done, a failure closes the session.
void advance_handshake(Server& server, Session& session);

// Names the client by its address and logs its connect, without a prompt:
// its socket hung up before its look-up answered.
void name_without_greeting(Server& server, Session& session);
