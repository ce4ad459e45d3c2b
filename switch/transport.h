#pragma once

struct Server;
struct Session;

// How far a transport's opening exchange (a TLS handshake) has come.
enum class HandshakeStep {
    done,
    pending, // waits for the socket: read it, or write when wants_write
    failed,  // the session is closed with the transport's reason
};

// How a session's bytes reach its socket: the plain socket today, and any
// layer (TLS) that keeps the socket's contract. One indirect call per
// receive or send call; nothing per frame.
struct Transport {
    const char* name;
    // Follows the peer's address in its name: "" for the plain socket, so
    // its clients are named as they always were.
    const char* peer_name_suffix;
    // Takes its layer over a newly accepted socket into transport_state;
    // false when it cannot, and the connection is not taken.
    bool (*open)(const Server& server, Session& session);
    // Takes the opening exchange as far as the socket allows without
    // blocking; the prompt waits until it is done. On failure, *reason says
    // why, for the log.
    HandshakeStep (*handshake)(Session& session, const char** reason);
    // As platform.recv / platform.send on the session's socket: a count,
    // 0 at the end of the stream (recv), or -1 with sock_last_error().
    int (*recv)(Session& session, char* buffer, int size);
    int (*send)(Session& session, const char* data, int size);
    // Bytes already taken from the socket wait inside the transport: the
    // socket will not turn readable for them, so the session must not be
    // slept on.
    bool (*has_buffered_input)(const Session& session);
    // The transport has something of its own to write (a handshake, an
    // alert) that waits for the socket to take it.
    bool (*wants_write)(const Session& session);
    // Frees the session's transport_state; the socket is closed after it.
    void (*release)(Session& session);
    // Why the last recv failed, when the transport knows better than the
    // socket's error code (a peer that broke the transport's protocol);
    // "" otherwise.
    const char* (*failure)(const Session& session);
    // A recv that would block means "nothing now" (a record not yet whole),
    // not a failure of the session.
    bool would_block_means_nothing_now;
    // Each send is a unit its reader pays for whole (a TLS record), so the
    // output pass may gather a broadcast's frames into fewer sends.
    bool gathers_output;
};

// The socket itself; its sessions hold no transport_state.
const Transport& plain_transport();
