#include "app/command_line.h"
#include "common/event_log.h"
#include "tests/support/scratch_directory.h"

#include <ctime>
#include <filesystem>
#include <gtest/gtest.h>
#include <regex>
#include <string>

namespace {

TEST(PortArgument, ReadsLikeAtoi)
{
    EXPECT_EQ(parse_port_argument("8080"), 8080);
    EXPECT_EQ(parse_port_argument("  \t8080"), 8080);
    EXPECT_EQ(parse_port_argument("+8080"), 8080);
    EXPECT_EQ(parse_port_argument("8080abc"), 8080);
    EXPECT_EQ(parse_port_argument("-1"), -1);
    EXPECT_EQ(parse_port_argument("abc"), 0);
    EXPECT_EQ(parse_port_argument(""), 0);
    EXPECT_EQ(parse_port_argument("+-5"), 0);
    EXPECT_EQ(parse_port_argument("- 5"), 0);
}

TEST(PortArgument, WrapsAround32BitsWithoutUndefinedBehaviour)
{
    EXPECT_EQ(parse_port_argument("4294967296"), 0);
    EXPECT_EQ(parse_port_argument("4294975296"), 8000);
    EXPECT_EQ(parse_port_argument("2147483648"), INT32_MIN);
    EXPECT_EQ(parse_port_argument("-2147483649"), INT32_MAX);
    EXPECT_EQ(parse_port_argument("99999999999999999999999"), static_cast<std::int32_t>(
                                                                   UINT32_C(4135583743)));
    EXPECT_EQ(static_cast<std::uint16_t>(parse_port_argument("70000")), 4464);
    EXPECT_EQ(static_cast<std::uint16_t>(parse_port_argument("-1")), 65535);
    EXPECT_EQ(static_cast<std::uint16_t>(parse_port_argument("65536")), 0);
}

struct EventLogTest : ::testing::Test {
    EventLogTest() { dir.enter(); }
    std::string log() const { return dir.read(events.path); }
    std::time_t now = std::time(nullptr);
    ScratchDirectory dir;
    EventLog events;
};

TEST_F(EventLogTest, LineFormatIsTimeDateEventSubject)
{
    std::tm when{};
    when.tm_year = 2012 - 1900;
    when.tm_mon = 11;
    when.tm_mday = 6;
    when.tm_hour = 9;
    when.tm_min = 5;
    when.tm_sec = 3;
    when.tm_isdst = -1;
    now = std::mktime(&when);
    testing::internal::CaptureStdout();
    log_event(events, now, "srv", "starting server");
    std::string console = testing::internal::GetCapturedStdout();
    EXPECT_EQ(log(), "09:05:03 06/12/2012 srv: starting server\n");
    EXPECT_EQ(console, log()) << "the console gets the same line";
}

TEST_F(EventLogTest, ADeletedLogComesBackWithTheNextEvent)
{
    log_event(events, now, "first", "a");
    std::filesystem::remove(dir.path() / events.path);
    log_event(events, now, "second", "b");
    EXPECT_TRUE(std::regex_match(log(), std::regex(R"(\d\d:\d\d:\d\d \d\d/\d\d/\d{4} second: b\n)")))
        << log();
}

TEST_F(EventLogTest, UnwritableLogStillReachesTheConsole)
{
    std::filesystem::create_directory(dir.path() / events.path); // cannot be opened as a file
    testing::internal::CaptureStdout();
    log_event(events, now, "still", "shown");
    EXPECT_NE(testing::internal::GetCapturedStdout().find("still: shown\n"), std::string::npos);
}

TEST_F(EventLogTest, LongSubjectsAreWrittenWhole)
{
    std::string subject(5000, 's');
    log_event(events, now, "from x", subject);
    EXPECT_NE(log().find("from x: " + subject + "\n"), std::string::npos);
}

} // namespace
