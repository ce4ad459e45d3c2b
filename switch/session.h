#pragma once

#include "common/byte_queue.h"
#include "platform/platform.h"
#include "switch/address_registry.h"

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
};

constexpr std::size_t NAME_SIZE = 256;

// One connected client. Created zero-filled, linked at the end of the
// server's sessions, and freed with everything it owns by close_session.
struct Session {
    ByteQueue input;
    ByteQueue output;
    socket_handle client_socket;
    PeerAddress peer;
    SessionState state;
    char peer_name[NAME_SIZE];
    char login_name[NAME_SIZE];
    // A login line with a zero byte never matches, whatever precedes it.
    bool login_has_zero_byte;
    // time_t, not 32 bits: a 32-bit clock wraps in 2038 and would then make
    // every session look idle at once.
    std::time_t last_input;
    // Failed sends in a row; a success resets it.
    std::int32_t send_failures;
    HeldAddresses addresses;
    // Counts up from 1 in order of acceptance; frames reach receivers in this order.
    std::uint64_t accept_number;
    // The login dialogue must end within the idle limit of the connect.
    std::time_t connected_at;
    // In the dialogue when connections from its address were refused, and
    // that was logged: while such a session remains, refusals are not.
    bool refusals_logged;
    // While its reverse look-up runs, a session is neither prompted nor read.
    bool naming;
    std::int64_t naming_deadline_ms;
    // How the server's poller watches the socket (only the oldest
    // max_clients sessions are), and what the last wait reported.
    bool watched;
    bool read_watched;
    bool reported_readable;
    bool reported_exception;
    // Took a dialogue line or a frame in the input pass's last round. No
    // byte arrives between the rounds of a turn, so only these can have
    // more to take in the next one.
    bool stepped;
    Session* previous;
    Session* next;
};

// The sessions in order of acceptance: the order every pass serves them in.
struct SessionList {
    Session* first;
    Session* last;
    std::uint64_t accepted;
};

void link_at_end(SessionList& sessions, Session* session);

// One send call straight on the socket, bypassing the output queue (the
// dialogue's prompts).
int send_text(socket_handle peer_socket, std::string_view text);
