// The WebSocket port before the upgrade. Each connection is an HTTP slot
// (http_port.h) of server.web until its request is read, and holds none of
// the served sessions' slots: a plain GET is answered with the page
// (web_assets.h); an opening handshake that keeps RFC 6455's rules and comes
// from an allowed Origin becomes a session through the listener's WebSocket
// transport, named by its address, or by the one its trusted proxy
// forwarded.
#pragma once

#include "platform/platform.h"
#include "switch/http_port.h"

#include <cstddef>
#include <string>
#include <vector>

// Browsers send cookies: a request's head may take this much.
constexpr std::size_t WEB_HEAD_MAX = 8192;
// Requests on the WebSocket port at once, none of them a session yet; past
// it, the one that waited longest without a whole request makes room.
constexpr std::size_t MAX_WEB_CONNECTIONS = 64;
// The most --ws-origin patterns and --ws-trusted-proxy addresses.
constexpr std::size_t MAX_WS_ORIGINS = 16;
constexpr std::size_t MAX_TRUSTED_PROXIES = 16;

struct WebRules {
    // Origins besides the page's own whose pages may open a WebSocket:
    // patterns ('*', '?' as in the rights file) over the Origin in lower
    // case ("https://*.example.org").
    std::vector<std::string> origins;
    // Whose X-Forwarded-For names the client: reverse proxies, through
    // which every client comes from the proxy's own address.
    std::vector<PeerAddress> trusted_proxies;
};

// The pool of slots for server.web.
HttpPort web_slots();

// Answers the page's files, refuses what is not a valid upgrade from an
// allowed Origin, and turns an upgrade into a session.
void answer_web(Server& server, HttpConnection& connection, const HttpHead& head);

bool is_trusted_proxy(const Server& server, const PeerAddress& peer);
