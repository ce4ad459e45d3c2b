#include "platform/platform.h"
#include "shell/event_log.h"
#include "shell/startup.h"
#include "tests/support/fake_platform.h"
#include "tests/support/scratch_directory.h"

#include <cstring>
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

TEST(ConfigText, IsCutTo255AndAlwaysTerminated)
{
    char field[CONFIG_TEXT_SIZE];
    std::memset(field, 'x', sizeof field);
    copy_config_text(field, std::string(300, 'p').c_str());
    EXPECT_EQ(std::string(field), std::string(255, 'p'));
    copy_config_text(field, "");
    EXPECT_EQ(std::string(field), "");
    EXPECT_EQ(field[254], '\0') << "a shorter text is padded with zeros";
}

struct EventLogTest : ::testing::Test {
    EventLogTest() { dir.enter(); }
    std::string log() const { return dir.read(LOG_FILE_NAME); }
    FakePlatform net;
    ScratchDirectory dir;
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
    net.now = std::mktime(&when);
    testing::internal::CaptureStdout();
    log_event(0, "srv", "starting server");
    std::string console = testing::internal::GetCapturedStdout();
    EXPECT_EQ(log(), "09:05:03 06/12/2012 srv: starting server\n");
    EXPECT_EQ(console, log()) << "the console gets the same line";
}

TEST_F(EventLogTest, LevelsAboveTenAreDropped)
{
    testing::internal::CaptureStdout();
    log_event(10, "ten", "x");
    log_event(11, "eleven", "x");
    log_event(-3, "negative", "x");
    log_event(INT32_MAX, "max", "x");
    std::string console = testing::internal::GetCapturedStdout();
    std::string logged = log();
    EXPECT_NE(logged.find("ten: x"), std::string::npos);
    EXPECT_NE(logged.find("negative: x"), std::string::npos);
    EXPECT_EQ(logged.find("eleven"), std::string::npos);
    EXPECT_EQ(logged.find("max"), std::string::npos);
    EXPECT_EQ(console, logged);
}

TEST_F(EventLogTest, ADeletedLogComesBackWithTheNextEvent)
{
    log_event(2, "first", "a");
    std::filesystem::remove(dir.path() / LOG_FILE_NAME);
    log_event(2, "second", "b");
    EXPECT_TRUE(std::regex_match(log(), std::regex(R"(\d\d:\d\d:\d\d \d\d/\d\d/\d{4} second: b\n)")))
        << log();
}

TEST_F(EventLogTest, UnwritableLogStillReachesTheConsole)
{
    std::filesystem::create_directory(dir.path() / LOG_FILE_NAME); // cannot be opened as a file
    testing::internal::CaptureStdout();
    log_event(2, "still", "shown");
    EXPECT_NE(testing::internal::GetCapturedStdout().find("still: shown\n"), std::string::npos);
}

TEST_F(EventLogTest, LongSubjectsAreWrittenWhole)
{
    std::string subject(5000, 's');
    log_event(3, "from x", subject.c_str());
    EXPECT_NE(log().find("from x: " + subject + "\n"), std::string::npos);
}

} // namespace
