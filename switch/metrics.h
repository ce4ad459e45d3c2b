#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// What the switch counts for its operators, and the two documents a scrape
// reads: the Prometheus text exposition and the JSON list of sessions.
// Counting is a plain increment where the event happens; the text is made
// only when someone asks for it.

// Each enumeration's count below names its last value: keep them together.

// How an operator sees a session.
enum class SessionPhase {
    dialogue, // connected, login dialogue not finished
    online,   // logged in, relaying frames
    waiting,  // accepted beyond the client limit, not served yet
};
constexpr std::size_t SESSION_PHASES = static_cast<std::size_t>(SessionPhase::waiting) + 1;

// Why a frame from a logged-in client was dropped.
enum class FrameDrop {
    check_byte,      // the check byte does not match the payload
    zero_byte,       // a zero byte in the payload, or escaped in an address
    overlong,        // longer than a frame may be
    few_fields,      // fewer than three fields
    refused_address, // the sender may not speak for its source address
};
constexpr std::size_t FRAME_DROP_REASONS =
    static_cast<std::size_t>(FrameDrop::refused_address) + 1;

// Why a session ended.
enum class Disconnect {
    logged_out, // the peer hung up
    timeout,    // silent too long
    overflow,   // too much unread input, or output a receiver does not take
    recv_error,
    send_error,
    refused,    // a failed login or a refused address
};
constexpr std::size_t DISCONNECT_REASONS = static_cast<std::size_t>(Disconnect::refused) + 1;

// Why a frame on its way across the cluster was dropped.
enum class ClusterDrop {
    buffer,    // the bytes held for the cluster had reached their bound
    link_down, // the connection could not take it
    slow,      // received, but the switch did not take it in time
    invalid,   // received, but not one whole valid frame on a subject of ours
};
constexpr std::size_t CLUSTER_DROP_REASONS = static_cast<std::size_t>(ClusterDrop::invalid) + 1;

// The cluster's side of the counting, shown only when the switch joined one.
struct ClusterMetrics {
    bool joined = false;
    std::int64_t link_up = 0;
    std::uint64_t published = 0; // frames of local clients taken by the link
    std::int64_t held = 0;       // frames of local clients waiting for the link
    std::uint64_t received = 0;  // frames from other switches, delivered
    std::array<std::uint64_t, CLUSTER_DROP_REASONS> dropped{};
    std::uint64_t reconnects = 0;
    std::int64_t subscriptions = 0; // subjects subscribed, wildcard and all included
    std::int64_t wildcard = 0;      // 1 while every addressed frame is taken
};

struct Metrics {
    // Counters: they only grow.
    std::uint64_t connections_total = 0;
    std::uint64_t logins_accepted = 0;
    std::uint64_t logins_refused = 0;
    std::uint64_t frames_received = 0; // whole, valid frames
    std::array<std::uint64_t, FRAME_DROP_REASONS> frames_dropped{};
    std::uint64_t deliveries = 0; // frames queued to a receiver
    std::uint64_t bytes_received = 0;
    std::uint64_t bytes_sent = 0;
    std::array<std::uint64_t, DISCONNECT_REASONS> disconnects{};
    std::uint64_t log_lines = 0;
    std::uint64_t console_lines_skipped = 0;
    // Metrics-port connections closed before a whole request came, to make
    // room for a newer one.
    std::uint64_t http_evictions = 0;

    // Gauges: kept current at each change, or filled in just before a
    // render. Signed, so that a miscount shows as a negative number instead
    // of wrapping to 2^64.
    std::array<std::int64_t, SESSION_PHASES> sessions{};
    std::int64_t addresses = 0;           // entries in all address lists
    std::int64_t output_queued_bytes = 0; // bytes waiting in output queues

    std::int64_t start_time_seconds = 0; // Unix time of the start

    ClusterMetrics cluster;
};

inline void count_drop(Metrics& metrics, FrameDrop reason)
{
    metrics.frames_dropped[static_cast<std::size_t>(reason)]++;
}

inline std::uint64_t& cluster_dropped(Metrics& metrics, ClusterDrop reason)
{
    return metrics.cluster.dropped[static_cast<std::size_t>(reason)];
}

inline void count_disconnect(Metrics& metrics, Disconnect reason)
{
    metrics.disconnects[static_cast<std::size_t>(reason)]++;
}

inline std::int64_t& sessions_in(Metrics& metrics, SessionPhase phase)
{
    return metrics.sessions[static_cast<std::size_t>(phase)];
}

// The Prometheus text exposition (format 0.0.4, served as
// "text/plain; version=0.0.4") with a HELP and a TYPE line for each metric.
// version is the build's, shown as quillmarsh_build_info's label.
std::string render_metrics(const Metrics& metrics, std::string_view version);
constexpr std::string_view METRICS_CONTENT_TYPE = "text/plain; version=0.0.4; charset=utf-8";

// The most addresses a session's entry in /sessions lists, the most
// recently announced; addresses_total says how many it holds.
constexpr std::size_t SESSION_ADDRESSES_LISTED = 64;

// One session as /sessions shows it. The views must outlive the render.
struct SessionRow {
    std::uint64_t id = 0; // its number in order of acceptance, the log's "#17"
    std::string_view peer_name; // any bytes
    std::uint16_t port = 0;
    SessionPhase phase = SessionPhase::dialogue;
    std::optional<std::string_view> login; // only where logins are per user
    std::vector<std::string_view> addresses; // at most SESSION_ADDRESSES_LISTED
    std::size_t addresses_total = 0;
    std::uint64_t queued_output_bytes = 0;
    std::int64_t seconds_connected = 0;
    std::int64_t seconds_since_input = 0;
};

// The /sessions answer is a JSON object written in pieces: this opening,
// one entry per session, and the end with the next page's first id:
//   {"sessions":[
//   {"id":1,...},
//   {"id":2,...}
//   ],"next":3}
// Names, logins and addresses may hold any byte and are shown as
// append_shown_name shows them.
constexpr std::string_view SESSIONS_JSON_OPENING = "{\"sessions\":[";
void append_session_json(std::string& out, const SessionRow& row, bool first);
// next is null when no session follows the page.
void append_sessions_json_end(std::string& out, std::optional<std::uint64_t> next);
constexpr std::string_view SESSIONS_CONTENT_TYPE = "application/json";

// Appends text as a name is shown inside double quotes, in a JSON string as
// in a Prometheus label value: valid UTF-8 as it is, and every other byte
// (zero and the other controls, DEL, a byte of no valid UTF-8 sequence) as
// \xNN, as the event log writes a control byte; a backslash as two, so two
// names that differ never show alike. Both formats escape a backslash and a
// double quote once more: the bytes y and 0xFF are written "y\\xff", and
// a lone backslash "\\\\". The result is printable and valid UTF-8. Costs
// one pass over text.
void append_shown_name(std::string& out, std::string_view text);
