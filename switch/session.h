#pragma once

#include "common/byte_queue.h"
#include "platform/platform.h"
#include "switch/address_registry.h"
#include "switch/transport.h"
#include "switch/watcher.h"
#include "switch/work_list.h"

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string_view>

enum class SessionState : std::int32_t {
    awaiting_login = 1,
    awaiting_password = 2,
    online = 3,
    // A send to it failed; the next wait pass closes it.
    broken = 4,
    // Its password is being checked off the loop: it is not read meanwhile.
    checking_password = 5,
};

constexpr std::size_t NAME_SIZE = 256;

// The login dialogue (accept.cpp: the name and the handshake; input_pass.cpp:
// the lines; logins.cpp: the users file's checks).
struct SessionDialogue {
    char login_name[NAME_SIZE];
    // A login line with a zero byte never matches, whatever precedes it.
    bool login_has_zero_byte;
    // The users file holds the login (only then can its check accept it).
    bool login_known;
    // In the dialogue when connections from its address were refused, and
    // that was logged: while such a session remains, refusals are not.
    bool refusals_logged;
    // While its reverse look-up runs, a session is neither prompted nor read.
    bool naming;
    // Its transport's opening exchange is under way: the session is in the
    // dialogue (it counts against its address's share and its deadline),
    // but not yet prompted.
    bool handshaking;
};

// What the client sent that the input pass has not taken (receive.cpp
// queues it, input_pass.cpp takes it).
struct SessionInput {
    ByteQueue queue;
    // How many unread bytes are known to hold no end of a step (a line feed
    // in the dialogue, a check byte online): each search goes on from
    // there, so a partial line or frame costs nothing per turn and every
    // received byte is looked at once. Counted from the first unread byte,
    // so it survives the queue's compaction.
    std::uint32_t searched;
    // When the last bytes came, in monotonic milliseconds
    // (platform.monotonic_ms): a step of the wall clock must neither close
    // every session nor keep one for ever.
    std::int64_t last_ms;
};

// What waits to be sent to the client (route.cpp queues it, output_pass.cpp
// sends it).
struct SessionOutput {
    ByteQueue queue;
    // Since when the socket has taken none of it, while it has not
    // (monotonic milliseconds); the session is listed as stalled meanwhile.
    std::int64_t stalled_since_ms;
};

// The addresses it speaks for (address_registry.cpp), and where its last
// frame went (route.cpp).
struct SessionAddresses {
    HeldAddresses held;
    DestinationLookup last_destination;
};

// What its bytes go through (transport.h): the socket, and the layer over
// it with that layer's own state (null for the plain socket).
struct SessionTransport {
    socket_handle socket;
    const Transport* layer;
    void* state;
};

// Where it stands in the server's loop (server.cpp, wait.cpp): watched or
// not, on which work lists, when its silence ends.
struct SessionPlace {
    Watcher watcher;
    WorkLink work[WORK_KINDS];
    // In the idle deadlines' heap (idle_timers.h).
    std::int64_t idle_key_ms;
    std::uint32_t idle_place;
    // Among the oldest max_clients sessions, which alone are watched and
    // read; the others wait for a slot.
    bool served;
    // Closed: its line is logged, it is on no list and in no poller, and it
    // is freed at the end of the turn.
    bool closing;
    // What the last wait reported, until the session is served.
    bool readable;
    bool writable;
    bool exception;
    // The socket hung up or failed while it was not watched for reads.
    bool hung_up;
};

// One connected client. Created zero-filled, linked at the end of the
// server's sessions, and freed with everything it owns at the end of the
// turn it is closed in. Its state is grouped by the pass that owns it.
struct Session {
    SessionState state;
    // Counts up from 1 in order of acceptance; frames reach receivers in this order.
    std::uint64_t accept_number;
    PeerAddress peer;
    // The subject of every log line about it: "host [address]".
    char peer_name[NAME_SIZE];
    // The login dialogue must end within the idle limit of the connect.
    std::int64_t connected_ms;
    SessionTransport transport;
    SessionDialogue dialogue;
    SessionInput input;
    SessionOutput output;
    SessionAddresses addresses;
    SessionPlace place;
    // Its neighbours among the server's sessions, in order of acceptance.
    Session* previous;
    Session* next;
};

// The sessions in order of acceptance: the order every pass serves them in.
struct SessionList {
    Session* first;
    Session* last;
    std::uint64_t accepted;
};

// One send call through the session's transport, bypassing the output
// queue (the dialogue's prompts).
int send_text(Session& session, std::string_view text);

inline WorkLink& link_of(Session& session, WorkKind kind)
{
    return session.place.work[static_cast<std::size_t>(kind)];
}

inline const WorkLink& link_of(const Session& session, WorkKind kind)
{
    return session.place.work[static_cast<std::size_t>(kind)];
}

inline bool is_listed(const WorkList& list, const Session& session)
{
    const WorkLink& link = link_of(session, list.kind);
    return link.previous || link.next || list.first == &session;
}
