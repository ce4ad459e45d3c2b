#include "switch/web_port.h"

#include "platform/digest.h"
#include "protocol/accounts.h"
#include "protocol/websocket.h"
#include "switch/listener.h"
#include "switch/server.h"
#include "switch/web_assets.h"
#include "switch/websocket_transport.h"

#include <string>

namespace {

// The page runs only what it came with: its own script and style, its
// WebSocket to the port it came from, in no other site's frame.
constexpr std::string_view PAGE_FIELDS =
    "Content-Security-Policy: default-src 'self'; img-src data:; base-uri 'none'; form-action 'none'; "
    "frame-ancestors 'none'\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "X-Frame-Options: DENY\r\n"
    "Referrer-Policy: no-referrer\r\n"
    "Cache-Control: no-cache\r\n";

// A plain request: one of the page's files, or why not.
std::string page_response(const HttpHead& head)
{
    const bool head_only = head.method == "HEAD";
    if (head.method != "GET" && !head_only)
        return http_error_response(HttpStatus::method_not_allowed);
    for (const WebAsset& asset : web_assets())
        if (head.path == asset.path)
            return http_with_fields(http_response(HttpStatus::ok, asset.content_type, asset.body, head_only),
                                    PAGE_FIELDS);
    return http_error_response(HttpStatus::not_found, head_only);
}

// A page from another site may not open a session in its visitor's name:
// only the page's own origin and the operator's patterns may. A client
// that sends no Origin is no browser, and is taken.
bool origin_allowed(const Server& server, const WsRequest& request, bool secure)
{
    if (!request.has_origin || ws_origin_is_own(request.origin, request.host, secure))
        return true;
    const std::string folded = ws_origin_folded(request.origin);
    for (const std::string& pattern : server.web_rules.origins)
        if (address_pattern_matches(pattern, folded))
            return true;
    return false;
}

// The client's address: the connection's, or, from a trusted proxy, the
// last in X-Forwarded-For that no trusted proxy added, since each proxy
// appends the address it saw. An entry that is no address ends the walk:
// the connection's own address is all that can be trusted then. Costs a
// look at each entry (the head is bounded) and each trusted proxy.
PeerAddress client_address(const Server& server, const HttpConnection& connection, const WsRequest& request)
{
    if (request.forwarded_for.empty() || !is_trusted_proxy(server, connection.peer))
        return connection.peer;
    const std::vector<std::string_view> entries = ws_forwarded_entries(request.forwarded_for);
    PeerAddress client = connection.peer;
    for (std::size_t i = entries.size(); i-- > 0;) {
        PeerAddress entry;
        if (!sock_parse_address(std::string(entries[i]).c_str(), &entry))
            return connection.peer;
        client = entry;
        if (!is_trusted_proxy(server, entry))
            break;
    }
    // The client's own port is not forwarded: the connection's stands in.
    client.port = connection.peer.port;
    return client;
}

// The connection becomes a session: its slot is given up, its socket (and
// TLS) go to the session, whose transport sends the handshake's answer
// before the prompt. Turned away as a TCP client would be, it is closed
// before the answer.
void upgrade(Server& server, HttpConnection& connection, const WsRequest& request)
{
    const PeerAddress client = client_address(server, connection, request);
    const std::string accept_key = sha1_base64(ws_accept_input(request.key));
    Session* session = accept_key.empty() || turned_away(server, client) ? nullptr : new_session(server);
    if (!session) {
        close_http(server, connection);
        return;
    }
    session->peer = client;
    session->transport.state = websocket_state(connection.tls, ws_accept_response(accept_key, request.offers_subprotocol),
                                               bytes_after_head(connection));
    if (!session->transport.state) {
        platform.release(session);
        close_http(server, connection);
        return;
    }
    // The state has the TLS now.
    connection.tls = nullptr;
    const Transport& transport = *connection.transport;
    take_client(server, *session, hand_over_http(server, connection), transport);
}

bool web_admits(const Server& server, const HttpPort& port, const PeerAddress& peer)
{
    return is_trusted_proxy(server, peer) || slots_held(port, peer) < server.max_dialogues_per_address;
}

} // namespace

HttpPort web_slots()
{
    HttpPort port;
    port.connections = std::vector<HttpConnection>(MAX_WEB_CONNECTIONS);
    port.head_max = WEB_HEAD_MAX;
    // Its slots are the dialogues' prelude: at most the usual share per
    // address. Behind a proxy every client has the proxy's address, so its
    // share is counted at the upgrade, by the forwarded one.
    port.admits = web_admits;
    port.answer = answer_web;
    // The metrics count the operator's port alone, as they always did.
    port.evictions = nullptr;
    return port;
}

void answer_web(Server& server, HttpConnection& connection, const HttpHead& head)
{
    if (answer_broken_head(connection, head))
        return;
    std::string& out = connection.pending;
    const WsRequest request =
        ws_read_request(std::string_view(connection.received).substr(0, http_head_length(connection.reader)), head);
    switch (request.kind) {
    case WsRequestKind::plain:
        out = page_response(head);
        return;
    case WsRequestKind::bad_request:
        out = http_error_response(HttpStatus::bad_request);
        return;
    case WsRequestKind::wrong_version:
        out = ws_version_response();
        return;
    case WsRequestKind::upgrade:
        break;
    }
    if (!origin_allowed(server, request, connection.tls != nullptr)) {
        out = http_error_response(HttpStatus::forbidden);
        return;
    }
    upgrade(server, connection, request);
}

// Costs a look at each trusted proxy (at most MAX_TRUSTED_PROXIES).
bool is_trusted_proxy(const Server& server, const PeerAddress& peer)
{
    for (const PeerAddress& proxy : server.web_rules.trusted_proxies)
        if (same_address(proxy, peer))
            return true;
    return false;
}
