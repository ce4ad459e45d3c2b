#include "switch/metrics.h"

#include <charconv>
#include <type_traits>

namespace {

// The label values, in the order of their enumerations.
constexpr std::array<std::string_view, SESSION_PHASES> PHASE_NAMES = {"dialogue", "online",
                                                                       "waiting"};
constexpr std::array<std::string_view, FRAME_DROP_REASONS> DROP_NAMES = {
    "check_byte", "zero_byte", "overlong", "few_fields", "refused_address"};
constexpr std::array<std::string_view, DISCONNECT_REASONS> DISCONNECT_NAMES = {
    "logged_out", "timeout", "overflow", "recv_error", "send_error", "refused"};
constexpr std::array<std::string_view, CLUSTER_DROP_REASONS> CLUSTER_DROP_NAMES = {
    "buffer", "link_down", "slow", "invalid"};
static_assert(!PHASE_NAMES.back().empty() && !DROP_NAMES.back().empty() &&
                  !DISCONNECT_NAMES.back().empty() && !CLUSTER_DROP_NAMES.back().empty(),
              "every value has its label");

template <typename Integer>
void append_number(std::string& out, Integer value)
{
    static_assert(std::is_integral_v<Integer>);
    char digits[24];
    // 24 characters hold any 64-bit integer: the conversion cannot fail.
    std::to_chars_result written = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, static_cast<std::size_t>(written.ptr - digits));
}

void describe(std::string& out, std::string_view name, std::string_view type,
              std::string_view help)
{
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

template <typename Integer>
void sample(std::string& out, std::string_view name, Integer value)
{
    out += name;
    out += ' ';
    append_number(out, value);
    out += '\n';
}

template <typename Integer>
void labelled_sample(std::string& out, std::string_view name, std::string_view label,
                     std::string_view value, Integer number)
{
    out += name;
    out += '{';
    out += label;
    out += "=\"";
    append_shown_name(out, value);
    out += "\"} ";
    append_number(out, number);
    out += '\n';
}

template <typename Integer, std::size_t N>
void labelled_samples(std::string& out, std::string_view name, std::string_view label,
                      const std::array<std::string_view, N>& values,
                      const std::array<Integer, N>& numbers)
{
    for (std::size_t i = 0; i < N; i++)
        labelled_sample(out, name, label, values[i], numbers[i]);
}

// The length of the valid UTF-8 sequence that starts at text[at], or 0 for
// a byte that starts none: no overlong forms, no surrogates, nothing past
// U+10FFFF.
std::size_t utf8_sequence_length(std::string_view text, std::size_t at)
{
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
    unsigned char lead = byte(0);
    std::size_t length = 0;
    unsigned char second_low = 0x80;
    unsigned char second_high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            second_low = 0xA0;
        if (lead == 0xED)
            second_high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            second_low = 0x90;
        if (lead == 0xF4)
            second_high = 0x8F;
    } else {
        return 0;
    }
    if (text.size() - at < length || byte(1) < second_low || byte(1) > second_high)
        return 0;
    for (std::size_t i = 2; i < length; i++)
        if ((byte(i) & 0xC0) != 0x80)
            return 0;
    return length;
}

// \xNN, its backslash escaped for the quotes it stands between.
void append_byte_escape(std::string& out, unsigned char byte)
{
    constexpr std::string_view HEX = "0123456789abcdef";
    out += "\\\\x";
    out += HEX[byte >> 4];
    out += HEX[byte & 0x0F];
}

template <typename Integer>
void json_number_member(std::string& out, std::string_view key, Integer value)
{
    out += ",\"";
    out += key;
    out += "\":";
    append_number(out, value);
}

void append_json_name(std::string& out, std::string_view text)
{
    out += '"';
    append_shown_name(out, text);
    out += '"';
}

// Shown only by a switch that joined a cluster, so a scrape of one that did
// not reads as before.
void render_cluster(std::string& out, const ClusterMetrics& cluster)
{
    if (!cluster.joined)
        return;
    describe(out, "quillmarsh_cluster_link_up", "gauge",
             "1 while the link to the cluster's NATS server is connected, else 0.");
    sample(out, "quillmarsh_cluster_link_up", cluster.link_up);
    describe(out, "quillmarsh_cluster_frames_published_total", "counter",
             "Frames of this switch's clients handed to the link to the cluster's NATS server.");
    sample(out, "quillmarsh_cluster_frames_published_total", cluster.published);
    describe(out, "quillmarsh_cluster_frames_held", "gauge",
             "Frames of this switch's clients held while the link is not connected (and those "
             "behind them), to be published in order once it is.");
    sample(out, "quillmarsh_cluster_frames_held", cluster.held);
    describe(out, "quillmarsh_cluster_frames_received_total", "counter",
             "Frames from other switches of the cluster, delivered to this switch's clients.");
    sample(out, "quillmarsh_cluster_frames_received_total", cluster.received);
    describe(out, "quillmarsh_cluster_frames_dropped_total", "counter",
             "Frames on their way across the cluster dropped here, by reason: buffer (the bytes "
             "held for the cluster were at their bound), link_down (refused by a connection that "
             "cannot take them), slow (received faster than taken), invalid (not a frame of ours).");
    labelled_samples(out, "quillmarsh_cluster_frames_dropped_total", "reason", CLUSTER_DROP_NAMES,
                     cluster.dropped);
    describe(out, "quillmarsh_cluster_reconnects_total", "counter",
             "Times the link came up again after it went down.");
    sample(out, "quillmarsh_cluster_reconnects_total", cluster.reconnects);
    describe(out, "quillmarsh_cluster_subscriptions", "gauge",
             "Subjects this switch subscribes to: its clients' addresses, all, and the wildcard "
             "while it takes every addressed frame.");
    sample(out, "quillmarsh_cluster_subscriptions", cluster.subscriptions);
    describe(out, "quillmarsh_cluster_wildcard", "gauge",
             "1 while this switch takes every addressed frame (its addresses past the bound on "
             "subscriptions), else 0.");
    sample(out, "quillmarsh_cluster_wildcard", cluster.wildcard);
}

} // namespace

std::string render_metrics(const Metrics& metrics, std::string_view version)
{
    std::string out;
    out.reserve(4096);
    describe(out, "quillmarsh_sessions", "gauge",
             "Sessions by state: dialogue (login not finished), online (logged in), "
             "waiting (accepted beyond the client limit, not served yet).");
    labelled_samples(out, "quillmarsh_sessions", "state", PHASE_NAMES, metrics.sessions);
    describe(out, "quillmarsh_connections_total", "counter", "Client connections taken as sessions.");
    sample(out, "quillmarsh_connections_total", metrics.connections_total);
    describe(out, "quillmarsh_logins_total", "counter", "Login dialogues finished, by result.");
    labelled_sample(out, "quillmarsh_logins_total", "result", "accepted", metrics.logins_accepted);
    labelled_sample(out, "quillmarsh_logins_total", "result", "refused", metrics.logins_refused);
    describe(out, "quillmarsh_frames_received_total", "counter",
             "Whole, valid frames received from logged-in clients.");
    sample(out, "quillmarsh_frames_received_total", metrics.frames_received);
    describe(out, "quillmarsh_frames_dropped_total", "counter",
             "Frames dropped without a word, by reason.");
    labelled_samples(out, "quillmarsh_frames_dropped_total", "reason", DROP_NAMES,
                     metrics.frames_dropped);
    describe(out, "quillmarsh_deliveries_total", "counter",
             "Frames queued to a receiver: one frame sent to three clients counts three.");
    sample(out, "quillmarsh_deliveries_total", metrics.deliveries);
    describe(out, "quillmarsh_bytes_received_total", "counter",
             "Bytes read from client connections.");
    sample(out, "quillmarsh_bytes_received_total", metrics.bytes_received);
    describe(out, "quillmarsh_bytes_sent_total", "counter", "Bytes written to client connections.");
    sample(out, "quillmarsh_bytes_sent_total", metrics.bytes_sent);
    describe(out, "quillmarsh_disconnects_total", "counter", "Sessions closed, by reason.");
    labelled_samples(out, "quillmarsh_disconnects_total", "reason", DISCONNECT_NAMES,
                     metrics.disconnects);
    describe(out, "quillmarsh_addresses", "gauge",
             "Addresses held in the sessions' address lists.");
    sample(out, "quillmarsh_addresses", metrics.addresses);
    describe(out, "quillmarsh_output_queued_bytes", "gauge",
             "Bytes queued for clients and not sent yet.");
    sample(out, "quillmarsh_output_queued_bytes", metrics.output_queued_bytes);
    describe(out, "quillmarsh_log_lines_total", "counter", "Lines written to the event log.");
    sample(out, "quillmarsh_log_lines_total", metrics.log_lines);
    describe(out, "quillmarsh_console_lines_skipped_total", "counter",
             "Event log lines left off standard output because it was not taking them.");
    sample(out, "quillmarsh_console_lines_skipped_total", metrics.console_lines_skipped);
    describe(out, "quillmarsh_http_evictions_total", "counter",
             "Metrics-port connections closed before a whole request came, to make room "
             "for a newer one.");
    sample(out, "quillmarsh_http_evictions_total", metrics.http_evictions);
    describe(out, "quillmarsh_start_time_seconds", "gauge",
             "When the server started, in seconds since the Unix epoch.");
    sample(out, "quillmarsh_start_time_seconds", metrics.start_time_seconds);
    describe(out, "quillmarsh_build_info", "gauge", "The server's version as a label; always 1.");
    labelled_sample(out, "quillmarsh_build_info", "version", version, std::uint64_t{1});
    render_cluster(out, metrics.cluster);
    return out;
}

void append_shown_name(std::string& out, std::string_view text)
{
    for (std::size_t i = 0; i < text.size();) {
        auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x80) {
            if (std::size_t length = utf8_sequence_length(text, i)) {
                out.append(text.substr(i, length));
                i += length;
                continue;
            }
            append_byte_escape(out, byte);
        } else if (byte == '\\') {
            out += "\\\\\\\\";
        } else if (byte == '"') {
            out += "\\\"";
        } else if (byte < 0x20 || byte == 0x7F) {
            append_byte_escape(out, byte);
        } else {
            out += static_cast<char>(byte);
        }
        i++;
    }
}

void append_session_json(std::string& out, const SessionRow& row, bool first)
{
    out += first ? "\n" : ",\n";
    out += "{\"id\":";
    append_number(out, row.id);
    out += ",\"peer\":";
    append_json_name(out, row.peer_name);
    json_number_member(out, "port", row.port);
    out += ",\"state\":\"";
    out += PHASE_NAMES[static_cast<std::size_t>(row.phase)];
    out += '"';
    if (row.login) {
        out += ",\"login\":";
        append_json_name(out, *row.login);
    }
    out += ",\"addresses\":[";
    for (std::size_t i = 0; i < row.addresses.size(); i++) {
        if (i > 0)
            out += ',';
        append_json_name(out, row.addresses[i]);
    }
    out += ']';
    json_number_member(out, "addresses_total", row.addresses_total);
    json_number_member(out, "output_queued_bytes", row.queued_output_bytes);
    json_number_member(out, "seconds_connected", row.seconds_connected);
    json_number_member(out, "seconds_since_input", row.seconds_since_input);
    out += '}';
}

void append_sessions_json_end(std::string& out, std::optional<std::uint64_t> next)
{
    out += "\n],\"next\":";
    if (next)
        append_number(out, *next);
    else
        out += "null";
    out += "}\n";
}
