#pragma once

#include "common/event_log.h"
#include "platform/platform.h"
#include "platform/wakeup.h"
#include "switch/cluster.h"
#include "switch/http_port.h"
#include "switch/idle_timers.h"
#include "switch/listener.h"
#include "switch/logins.h"
#include "switch/metrics.h"
#include "switch/output_schedule.h"
#include "switch/session.h"
#include "switch/watcher.h"
#include "switch/web_port.h"
#include "switch/work_list.h"

#include <cstddef>

struct TlsContext;

constexpr std::size_t CREDENTIAL_SIZE = 256;
// Sessions served (watched and read) at once unless the operator says more.
constexpr std::size_t DEFAULT_MAX_CLIENTS = 63;
constexpr std::size_t DEFAULT_MAX_DIALOGUES_PER_ADDRESS = 8;

// The sessions with each kind of work waiting (work_list.h).
struct WorkLists {
    WorkList input{WorkKind::input};
    WorkList output{WorkKind::output};
    WorkList serve{WorkKind::serve};
    WorkList naming{WorkKind::naming};
    WorkList stalled{WorkKind::stalled};
    WorkList expired{WorkKind::expired};
};

// What one running switch owns. Every pass of the loop takes it; nothing
// else keeps state, so two servers can live side by side in one process.
// It stays where it is made: its poller holds pointers into it.
struct Server {
    Server() = default;
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;
    // Lets its workers go (they end on their own) and gives back what the
    // loop held; the sessions must be gone (drop_all_sessions).
    ~Server();

    SessionList sessions{};
    // Closed in this turn, freed at its end.
    SessionList closing{};
    WorkLists work;
    IdleTimers idle;
    // Where clients come in, in the order they were added; entries stay
    // put, so each is its own watcher.
    Listener listeners[MAX_LISTENERS]{};
    std::size_t listener_count = 0;
    poller_handle poller = NO_POLLER;
    // Ends the wait when a worker has an answer or a signal comes; watched
    // while open.
    Wakeup wakeup;
    Watcher wakeup_watcher{};
    // The reverse look-ups' workers, when peers are named.
    Resolver* resolver = nullptr;
    // The command line's login and password, cut to 255 characters.
    char login[CREDENTIAL_SIZE]{};
    char password[CREDENTIAL_SIZE]{};
    EventLog log;
    AddressRegistry registry;
    // How many sessions are served: watched and read.
    std::size_t max_clients = DEFAULT_MAX_CLIENTS;
    std::size_t served = 0;
    // The first session beyond the served ones, or null. Sessions stay in
    // order, so a session is served from when it first comes within the
    // first max_clients until it goes: those beyond have never been read
    // and hold nothing.
    Session* first_waiting = nullptr;
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
    // Browsers' requests on the WebSocket ports, before they upgrade.
    HttpPort web = web_slots();
    WebRules web_rules;
    // A moment the loop must be awake by for the caller's own timers (the
    // service manager's status and watchdog), or 0 for none.
    std::int64_t wake_by_ms = 0;
    OutputSchedule schedule;
    // The monotonic clock in whole seconds, read at a turn's first input
    // round, for the addresses its frames announce.
    std::int64_t input_clock_s = 0;
    // The other switches of its cluster, when it joined one.
    Cluster cluster;
};

// Opens what the loop waits with: the poller, the wake-up and the workers
// that signal it. False, with the reason as the last socket error, when the
// system has no descriptor for them.
bool open_loop(Server& server);

// Takes a newly accepted (or, in tests, made) session in: at the end of the
// sessions, served if a slot is free, with its idle deadline. False, and
// nothing changed, when there is no memory for its deadline.
bool admit_session(Server& server, Session& session);

// Slots freed by sessions that went go to the oldest waiting sessions, in
// order: they are watched and read from now on.
void promote_waiting(Server& server);

// The session's limit of silence has moved later than its deadline says
// (it logged in): the deadline follows, so no wait wakes for the old one.
// Input needs no call: its deadline is checked again when it comes due.
void renew_idle_deadline(Server& server, Session& session);

// The one way a session ends: logs why ("logged out" when reason is null)
// and counts it, sends it what a held pass owed it, and takes it off every
// list, the poller and the registry, so it receives nothing more. It is
// freed, and its socket closed, at the end of the turn.
void close_session(Server& server, Session& session, const char* reason,
                   Disconnect why = Disconnect::logged_out);

// Frees the sessions closed in this turn.
void free_closed_sessions(Server& server);

// Sends a dialogue prompt straight through the session's transport. A prompt the socket
// does not take whole closes the session with the reason; returns whether
// it was sent.
bool send_prompt(Server& server, Session& session, std::string_view text);

// Watches the session for what it waits for now: reads once it is served
// and named, unless its password is being checked; writes while output or
// its transport waits for room. A session the poller cannot watch cannot be
// served, and is closed.
void refresh_watch(Server& server, Session& session);

// Frees every session without a word: the server is going away.
void drop_all_sessions(Server& server);

// With log identity, the session's log name begins with the login it gave
// ("alice@host [address]:53012 #17"), its control bytes written as \xNN and
// cut so that the rest of the name stays whole.
void name_with_login(Server& server, Session& session);

// Stores the credentials, each cut to its first 255 characters.
void set_credentials(Server& server, const char* login, const char* password);
