#include "switch/http_documents.h"

#include "switch/server.h"

#include <algorithm>
#include <charconv>
#include <optional>

namespace {

SessionPhase phase_of(const Session& session, bool waiting)
{
    if (waiting)
        return SessionPhase::waiting;
    if (session.state == SessionState::awaiting_login || session.state == SessionState::awaiting_password ||
        session.state == SessionState::checking_password)
        return SessionPhase::dialogue;
    return SessionPhase::online;
}

SessionRow row_of(const Server& server, const Session& s, bool waiting, std::int64_t now_ms)
{
    return SessionRow{
        .id = s.accept_number,
        .peer_name = s.peer_name,
        .port = s.peer.port,
        .phase = phase_of(s, waiting),
        .login = server.logins.users_given ? std::optional<std::string_view>(s.dialogue.login_name) : std::nullopt,
        .addresses = names_held(s, SESSION_ADDRESSES_LISTED),
        .addresses_total = s.addresses.held.count,
        .queued_output_bytes = s.output.queue.length,
        .seconds_connected = (now_ms - s.connected_ms) / 1000,
        .seconds_since_input = (now_ms - s.input.last_ms) / 1000,
    };
}

// Digits only: no sign, no blank, nothing after them.
bool parse_decimal(std::string_view text, std::uint64_t* value)
{
    const char* end = text.data() + text.size();
    std::from_chars_result read = std::from_chars(text.data(), end, *value);
    return !text.empty() && read.ec == std::errc() && read.ptr == end;
}

} // namespace

// Fills the gauges with a walk of the sessions and their address counts:
// O(n) in the sessions, once per scrape.
std::string metrics_document(const Server& server)
{
    Metrics metrics = server.metrics;
    metrics.sessions = {};
    bool waiting = false;
    for (const Session* s = server.sessions.first; s; s = s->next) {
        waiting = waiting || s == server.first_waiting;
        sessions_in(metrics, phase_of(*s, waiting))++;
        metrics.addresses += static_cast<std::int64_t>(s->addresses.held.count);
        metrics.output_queued_bytes += s->output.queue.length;
    }
    metrics.log_lines = server.log.lines_total;
    metrics.console_lines_skipped = server.log.console_skipped_total;
    return render_metrics(metrics, server.http.version);
}

bool sessions_page_from_query(std::string_view query, SessionsPage* page)
{
    *page = SessionsPage{};
    std::uint64_t limit = SESSIONS_PAGE_DEFAULT;
    while (!query.empty()) {
        std::string_view pair = query.substr(0, query.find('&'));
        query.remove_prefix(std::min(query.size(), pair.size() + 1));
        std::size_t equals = pair.find('=');
        std::uint64_t value = 0;
        if (equals == std::string_view::npos || !parse_decimal(pair.substr(equals + 1), &value))
            return false;
        std::string_view name = pair.substr(0, equals);
        if (name == "from")
            page->from = value;
        else if (name == "limit")
            limit = value;
        else
            return false;
    }
    page->left = static_cast<std::size_t>(std::min<std::uint64_t>(limit, SESSIONS_PAGE_MAX));
    return limit > 0;
}

bool append_sessions_piece(const Server& server, SessionsPage& page, std::string& out)
{
    const std::size_t piece_start = out.size();
    if (!page.opened)
        out += SESSIONS_JSON_OPENING;
    page.opened = true;
    const std::int64_t now_ms = platform.monotonic_ms();
    // Sessions stay in order of acceptance, the served ones first.
    bool waiting = false;
    const Session* s = server.sessions.first;
    for (; s && s->accept_number < page.from; s = s->next)
        waiting = waiting || s == server.first_waiting;
    for (; s && page.left > 0 && out.size() - piece_start < SESSIONS_PIECE_BYTES; s = s->next) {
        waiting = waiting || s == server.first_waiting;
        append_session_json(out, row_of(server, *s, waiting, now_ms), !page.listed_any);
        page.listed_any = true;
        page.left--;
        page.from = s->accept_number + 1;
    }
    if (s && page.left > 0)
        return true;
    append_sessions_json_end(out, s ? std::optional<std::uint64_t>(s->accept_number) : std::nullopt);
    return false;
}
