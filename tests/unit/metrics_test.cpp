// The switch's counters as Prometheus reads them, and the sessions as JSON.
// The two documents are checked by the tools that read them, where found.
#include "switch/metrics.h"
#include "tests/support/tool_process.h"

#include <gtest/gtest.h>
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
    EXPECT_NE(render_metrics({}, "a\"b\\c\nd").find("{version=\"a\\\"b\\\\c\\nd\"} 1\n"),
              std::string::npos)
        << "a label value is escaped";
}

TEST(Metrics, PromtoolAcceptsTheExposition)
{
#ifndef QM_PROMTOOL
    GTEST_SKIP() << "promtool was not found when the build was configured";
#else
    ToolProcess promtool(QM_PROMTOOL, {"check", "metrics"}, {},
                         render_metrics(filled_metrics(), "2.4.2"));
    EXPECT_EQ(promtool.wait_exit(), 0) << promtool.out() << promtool.err();
#endif
}

TEST(SessionsJson, EscapesQuotesControlsAndBytesThatAreNotUtf8)
{
    SessionRow row;
    row.peer_name = "a\"b\\c\nd\x01\xff\xc3\xa9"sv;
    row.port = 40000;
    row.phase = SessionPhase::online;
    row.addresses = {"A1", "\xed\xa0\x80"sv};
    row.queued_output_bytes = 12;
    row.seconds_connected = 30;
    row.seconds_since_input = 2;
    SessionRow waiting;
    waiting.peer_name = "[127.0.0.1]";
    waiting.port = 1;
    waiting.phase = SessionPhase::waiting;
    waiting.login = "alice";
    SessionRow rows[] = {row, waiting};
    EXPECT_EQ(render_sessions_json(rows),
              "[\n"
              "{\"peer\":\"a\\\"b\\\\c\\nd\\u0001\\u00ff\xc3\xa9\",\"port\":40000,"
              "\"state\":\"online\",\"addresses\":[\"A1\",\"\\u00ed\\u00a0\\u0080\"],"
              "\"output_queued_bytes\":12,\"seconds_connected\":30,\"seconds_since_input\":2},\n"
              "{\"peer\":\"[127.0.0.1]\",\"port\":1,\"state\":\"waiting\",\"login\":\"alice\","
              "\"addresses\":[],\"output_queued_bytes\":0,\"seconds_connected\":0,"
              "\"seconds_since_input\":0}\n"
              "]\n");
    EXPECT_EQ(render_sessions_json({}), "[\n]\n");
}

TEST(SessionsJson, EveryByteValueGivesValidJsonThatReadsBack)
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
    row.addresses = {broken, every_byte};
    SessionRow rows[] = {row};
    // Strict UTF-8 first; a byte that is not is read back as the character
    // of its number.
    std::string check = "import json, sys\n"
                        "rows = json.loads(sys.stdin.buffer.read().decode('utf-8'))\n"
                        "every = ''.join(map(chr, range(256)))\n"
                        "broken = '\\xc3\\xe2\\x82\\xc0\\xaf\\xed\\xb0\\x80\\xf4\\x90\\x80\\x80"
                        "\\u20ac\\U0001F600'\n"
                        "assert rows[0]['peer'] == every, rows[0]['peer']\n"
                        "assert rows[0]['addresses'] == [broken, every], rows[0]['addresses']\n";
    ToolProcess python(QM_PYTHON3, {"-c", check}, {}, render_sessions_json(rows));
    EXPECT_EQ(python.wait_exit(), 0) << python.err();
#endif
}

} // namespace
