// The switch's counters as Prometheus reads them, and the sessions as JSON.
// The two documents are checked by the tools that read them, where found.
#include "switch/metrics.h"
#include "tests/support/tool_process.h"

#include <gtest/gtest.h>
#include <optional>
#include <string>

namespace {

using namespace std::string_view_literals;

Metrics filled_metrics()
{
    Metrics metrics;
    metrics.connections_total = 7;
    metrics.logins_accepted = 3;
    metrics.logins_refused = 1;
    metrics.frames_received = 14;
    count_drop(metrics, FrameDrop::few_fields);
    count_drop(metrics, FrameDrop::few_fields);
    count_drop(metrics, FrameDrop::check_byte);
    metrics.deliveries = 21;
    metrics.bytes_received = 12345;
    metrics.bytes_sent = 67890;
    count_disconnect(metrics, Disconnect::timeout);
    count_disconnect(metrics, Disconnect::refused);
    sessions_in(metrics, SessionPhase::online) = 2;
    sessions_in(metrics, SessionPhase::waiting) = 1;
    metrics.addresses = 5;
    metrics.output_queued_bytes = 4096;
    metrics.log_lines = 99;
    metrics.console_lines_skipped = 4;
    metrics.start_time_seconds = 1'800'000'000;
    return metrics;
}

TEST(Metrics, ExpositionCarriesEachCountUnderItsName)
{
    std::string text = render_metrics(filled_metrics(), "2.4.2");
    for (std::string_view line : {
             "quillmarsh_sessions{state=\"online\"} 2\n"sv,
             "quillmarsh_sessions{state=\"dialogue\"} 0\n"sv,
             "# TYPE quillmarsh_logins_total counter\n"sv,
             "quillmarsh_logins_total{result=\"refused\"} 1\n"sv,
             "quillmarsh_frames_dropped_total{reason=\"few_fields\"} 2\n"sv,
             "quillmarsh_frames_dropped_total{reason=\"refused_address\"} 0\n"sv,
             "quillmarsh_disconnects_total{reason=\"timeout\"} 1\n"sv,
             "quillmarsh_deliveries_total 21\n"sv,
             "quillmarsh_start_time_seconds 1800000000\n"sv,
             "quillmarsh_build_info{version=\"2.4.2\"} 1\n"sv,
         })
        EXPECT_NE(text.find(line), std::string::npos) << line;
    EXPECT_NE(render_metrics({}, "a\"b\\c\nd\xff").find("{version=\"a\\\"b\\\\\\\\c\\\\x0ad\\\\xff\"} 1\n"),
              std::string::npos)
        << "a label value is shown as a name is: escaped, controls and bytes not UTF-8 as \\xNN";
}

Metrics with_cluster()
{
    Metrics metrics = filled_metrics();
    metrics.cluster.joined = true;
    metrics.cluster.link_up = 1;
    metrics.cluster.published = 30;
    metrics.cluster.received = 40;
    metrics.cluster.dropped[static_cast<std::size_t>(ClusterDrop::buffer)] = 5;
    metrics.cluster.reconnects = 2;
    metrics.cluster.subscriptions = 3;
    return metrics;
}

// Only a switch in a cluster shows the cluster's section: any other's
// scrape reads as it always did.
TEST(Metrics, TheClusterSectionIsShownByASwitchInACluster)
{
    EXPECT_EQ(render_metrics(filled_metrics(), "2.4.2").find("cluster"), std::string::npos);
    std::string text = render_metrics(with_cluster(), "2.4.2");
    for (std::string_view line : {
             "quillmarsh_cluster_link_up 1\n"sv,
             "quillmarsh_cluster_frames_published_total 30\n"sv,
             "quillmarsh_cluster_frames_received_total 40\n"sv,
             "quillmarsh_cluster_frames_dropped_total{reason=\"buffer\"} 5\n"sv,
             "quillmarsh_cluster_frames_dropped_total{reason=\"invalid\"} 0\n"sv,
             "quillmarsh_cluster_reconnects_total 2\n"sv,
             "quillmarsh_cluster_subscriptions 3\n"sv,
             "quillmarsh_cluster_wildcard 0\n"sv,
         })
        EXPECT_NE(text.find(line), std::string::npos) << line;
}

TEST(Metrics, PromtoolAcceptsTheExposition)
{
#ifndef QM_PROMTOOL
    GTEST_SKIP() << "promtool was not found when the build was configured";
#else
    for (const Metrics& metrics : {filled_metrics(), with_cluster()}) {
        ToolProcess promtool(QM_PROMTOOL, {"check", "metrics"}, {}, render_metrics(metrics, "2.4.2"));
        EXPECT_EQ(promtool.wait_exit(), 0) << promtool.out() << promtool.err();
    }
#endif
}

std::string page_of(std::initializer_list<SessionRow> rows, std::optional<std::uint64_t> next)
{
    std::string out(SESSIONS_JSON_OPENING);
    bool first = true;
    for (const SessionRow& row : rows) {
        append_session_json(out, row, first);
        first = false;
    }
    append_sessions_json_end(out, next);
    return out;
}

TEST(SessionsJson, NamesThatDifferNeverShowAlike)
{
    SessionRow row;
    row.id = 7;
    row.peer_name = "a\"b\\c\nd\x01\xff\xc3\xa9"sv;
    row.port = 40000;
    row.phase = SessionPhase::online;
    row.addresses = {"y\xff"sv, "y\xc3\xbf"sv, "y\\xff"sv, "\xed\xa0\x80"sv};
    row.addresses_total = 4096;
    row.queued_output_bytes = 12;
    row.seconds_connected = 30;
    row.seconds_since_input = 2;
    SessionRow waiting;
    waiting.id = 9;
    waiting.peer_name = "[127.0.0.1]";
    waiting.port = 1;
    waiting.phase = SessionPhase::waiting;
    waiting.login = "\\";
    EXPECT_EQ(page_of({row, waiting}, 12),
              "{\"sessions\":[\n"
              "{\"id\":7,\"peer\":\"a\\\"b\\\\\\\\c\\\\x0ad\\\\x01\\\\xff\xc3\xa9\",\"port\":40000,"
              "\"state\":\"online\",\"addresses\":[\"y\\\\xff\",\"y\xc3\xbf\",\"y\\\\\\\\xff\","
              "\"\\\\xed\\\\xa0\\\\x80\"],\"addresses_total\":4096,"
              "\"output_queued_bytes\":12,\"seconds_connected\":30,\"seconds_since_input\":2},\n"
              "{\"id\":9,\"peer\":\"[127.0.0.1]\",\"port\":1,\"state\":\"waiting\",\"login\":\"\\\\\\\\\","
              "\"addresses\":[],\"addresses_total\":0,\"output_queued_bytes\":0,\"seconds_connected\":0,"
              "\"seconds_since_input\":0}\n"
              "],\"next\":12}\n");
    EXPECT_EQ(page_of({}, std::nullopt), "{\"sessions\":[\n],\"next\":null}\n");
}

TEST(SessionsJson, EveryByteValueGivesValidJsonThatReadsBackToTheSameBytes)
{
#ifndef QM_PYTHON3
    GTEST_SKIP() << "python3 was not found when the build was configured";
#else
    std::string every_byte;
    for (int byte = 0; byte < 256; byte++)
        every_byte += static_cast<char>(byte);
    // Cut and overlong sequences, a surrogate, past U+10FFFF, then valid ones.
    std::string broken = "\xc3\xe2\x82\xc0\xaf\xed\xb0\x80\xf4\x90\x80\x80\xe2\x82\xac\xf0\x9f\x98\x80";
    SessionRow row;
    row.peer_name = every_byte;
    row.addresses = {broken, every_byte, "\\x41"};
    // Strict UTF-8 and JSON; then \\ and \xNN undone give the bytes back.
    std::string check = "import json, re, sys\n"
                        "rows = json.loads(sys.stdin.buffer.read().decode('utf-8'))['sessions']\n"
                        "def bytes_of(shown):\n"
                        "    parts = re.split(r'(\\\\\\\\|\\\\x[0-9a-f]{2})', shown)\n"
                        "    return b''.join(bytes([int(p[2:], 16)]) if p.startswith('\\\\x') else\n"
                        "                    b'\\\\' if p == '\\\\\\\\' else p.encode() for p in parts)\n"
                        "names = [rows[0]['peer']] + rows[0]['addresses']\n"
                        "assert all(c.isprintable() for n in names for c in n), names\n"
                        "every = bytes(range(256))\n"
                        "broken = b'\\xc3\\xe2\\x82\\xc0\\xaf\\xed\\xb0\\x80\\xf4\\x90\\x80\\x80"
                        "\\xe2\\x82\\xac\\xf0\\x9f\\x98\\x80'\n"
                        "assert [bytes_of(n) for n in names] == [every, broken, every, b'\\\\x41'], names\n";
    ToolProcess python(QM_PYTHON3, {"-c", check}, {}, page_of({row}, std::nullopt));
    EXPECT_EQ(python.wait_exit(), 0) << python.err();
#endif
}

} // namespace
