#pragma once

#include "common/event_log.h"
#include "platform/platform.h"
#include "switch/http_port.h"
#include "switch/listener.h"
#include "switch/logins.h"
#include "switch/metrics.h"
#include "switch/session.h"

#include <cstddef>

struct TlsContext;

constexpr std::size_t CREDENTIAL_SIZE = 256;
// Sessions served (watched and read) at once unless the operator says more.
constexpr std::size_t DEFAULT_MAX_CLIENTS = 63;
constexpr std::size_t DEFAULT_MAX_DIALOGUES_PER_ADDRESS = 8;

// Short output through a gathering transport held by the output pass.
struct OutputGathering {
    bool active = false;
    std::int64_t since_ms = 0; // monotonic
    // Short records the last pass sent: many mean a broadcast.
    std::size_t small_sends_last_pass = 0;
};

// A sender flooding the switch: its reads fill their buffers. While no
// receiver's output has grown long, sends wait for a few more reads, so that
// each receiver is sent (and woken) once for many reads, not for each.
struct FloodState {
    bool read_full = false;           // this turn's reads filled a buffer
    int turns_deferred = 0;           // output passes skipped in a row
    std::uint32_t longest_output = 0; // the longest output queue, at most
    // Log lines are kept for a larger write, since this moment (monotonic).
    bool log_held = false;
    std::int64_t log_held_since_ms = 0;
};

// What one running switch owns. Every pass of the loop takes it; nothing
// else keeps state, so two servers can live side by side in one process.
struct Server {
    SessionList sessions{};
    // Where clients come in, in the order they were added; entries stay
    // put, so each is its own token among the poller's owners.
    Listener listeners[MAX_LISTENERS]{};
    std::size_t listener_count = 0;
    poller_handle poller = NO_POLLER;
    // The command line's login and password, cut to 255 characters.
    char login[CREDENTIAL_SIZE]{};
    char password[CREDENTIAL_SIZE]{};
    EventLog log;
    AddressRegistry registry;
    // How many sessions are polled/served.
    std::size_t max_clients = DEFAULT_MAX_CLIENTS;
    // The first session beyond the served ones, or null. Sessions stay in
    // order, so a session is served from when it first comes within the
    // first max_clients until it goes: those beyond have never been read,
    // hold nothing, and the passes stop here.
    Session* first_waiting = nullptr;
    // When the wait pass last looked for look-ups past their deadline.
    std::int64_t names_checked_ms = 0;
    // Peers are named "[a.b.c.d]" without a reverse look-up.
    bool numeric_peer_names = false;
    // Received blocks are written to the log; without, only events are.
    bool log_frames = true;
    // Log lines name a session by login, source port and number.
    bool log_identity = false;
    // A source's share of the sessions in the login dialogue. Only when
    // every served slot is taken and another source's connection waits
    // does the source most past its share give way, so that one host
    // cannot hold every slot with connections that never log in.
    std::size_t max_dialogues_per_address = DEFAULT_MAX_DIALOGUES_PER_ADDRESS;
    // What new TLS connections are made from; replaced on reload, while
    // open connections keep the one they were made from. Null without TLS.
    TlsContext* tls_context = nullptr;
    Logins logins;
    // Counted where each event happens; the gauges are filled at a scrape.
    Metrics metrics;
    // The operator's scrapes, when a metrics port is open.
    HttpPort http;
    // A moment the loop must be awake by for the caller's own timers (the
    // service manager's status and watchdog), or 0 for none.
    std::int64_t wake_by_ms = 0;
    OutputGathering gathering;
    FloodState flood;
    // The monotonic clock in whole seconds, read at a turn's first input
    // round, for the addresses its frames announce.
    std::int64_t input_clock_s = 0;
};

// Unlinks and frees the session, closes its socket, logs why ("logged out"
// when reason is null), counts why, and returns the session that followed it.
Session* close_session(Server& server, Session* session, const char* reason,
                       Disconnect why = Disconnect::logged_out);

// Sends a dialogue prompt straight through the session's transport. A prompt the socket
// does not take whole closes the session with the reason; returns whether
// the session is still there.
bool send_prompt(Server& server, Session& session, std::string_view text);

// Frees every session without a word: the server is going away.
void drop_all_sessions(Server& server);

// With log identity, the session's log name begins with the login it gave
// ("alice@host [address]:53012 #17"), its control bytes written as \xNN and
// cut so that the rest of the name stays whole.
void name_with_login(Server& server, Session& session);

// Stores the credentials, each cut to its first 255 characters.
void set_credentials(Server& server, const char* login, const char* password);
