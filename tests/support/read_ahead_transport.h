// A transport that reads ahead, as TLS does: its first read takes all the
// socket holds and hands it out a call at a time, so what it holds makes
// the socket readable no more. Over the fake platform, for unit tests of
// how the loop serves such input.
#pragma once

#include "switch/session.h"
#include "switch/transport.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace read_ahead {

inline std::string& held(const Session& session)
{
    return *static_cast<std::string*>(session.transport.state);
}

inline int recv(Session& session, char* buffer, int size)
{
    char chunk[65536];
    int n;
    while ((n = platform.recv(session.transport.socket, chunk, sizeof chunk)) > 0)
        held(session).append(chunk, static_cast<std::size_t>(n));
    if (held(session).empty())
        return n;
    const std::size_t taken = std::min(held(session).size(), static_cast<std::size_t>(size));
    std::memcpy(buffer, held(session).data(), taken);
    held(session).erase(0, taken);
    return static_cast<int>(taken);
}

inline int send(Session& session, const char* data, int size)
{
    return platform.send(session.transport.socket, data, size, 0);
}

inline bool holds_input(const Session& session)
{
    return !held(session).empty();
}

inline constexpr Transport TRANSPORT{
    .name = "read-ahead",
    .peer_name_suffix = "",
    .open = [](const Server&, Session&) { return true; },
    .handshake = [](Session&, const char**) { return HandshakeStep::done; },
    .recv = recv,
    .send = send,
    .has_buffered_input = holds_input,
    .wants_write = [](const Session&) { return false; },
    .release = [](Session& session) { session.transport.state = nullptr; },
    .failure = [](const Session&) { return ""; },
    .would_block_means_nothing_now = true,
    .gathers_output = false,
};

// Puts the session's bytes through the transport, holding them in held.
inline void use(Session& session, std::string& held)
{
    session.transport.layer = &TRANSPORT;
    session.transport.state = &held;
}

} // namespace read_ahead
