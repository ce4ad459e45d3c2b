#pragma once

#include "switch/transport.h"

#include <cstddef>
#include <string_view>

struct TlsConnection;

// RFC 6455 over a session's socket (ws), or over TLS (wss), for the
// sessions the WebSocket port upgrades. The bytes of each client message
// join the session's input as a TCP client's would; each prompt, and each
// whole frame, goes out as one binary message. Peers are named with a
// " ws" or " wss" suffix.
const Transport& websocket_transport();
const Transport& secure_websocket_transport();

// Bytes a client may send after its opening request and before the answer
// (which it must not): at most one frame header and one control frame.
constexpr std::size_t WS_EARLY_MAX = 14 + 125;

// The state an upgraded session's transport_state holds: answer (the
// handshake's 101) goes out first, as the transport's opening exchange;
// early is what the client sent after its request. It owns tls (null for
// ws) from now on. Null without memory.
void* websocket_state(TlsConnection* tls, std::string_view answer, std::string_view early);
