#pragma once

struct Session;

// How a session's bytes reach its socket: the plain socket today, and any
// layer (TLS) that keeps the socket's contract. One indirect call per
// receive or send call; nothing per frame.
struct Transport {
    const char* name;
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
    // A recv that would block means "nothing now" (a record not yet whole),
    // not a failure of the session.
    bool would_block_means_nothing_now;
};

// The socket itself; its sessions hold no transport_state.
const Transport& plain_transport();
