#include "common/event_log.h"
#include "tests/support/scratch_directory.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

// 07/02/2024 09:05:03 local time.
std::time_t morning()
{
    std::tm t{};
    t.tm_year = 2024 - 1900;
    t.tm_mon = 1;
    t.tm_mday = 7;
    t.tm_hour = 9;
    t.tm_min = 5;
    t.tm_sec = 3;
    t.tm_isdst = -1;
    return std::mktime(&t);
}

constexpr const char* STAMP = "09:05:03 07/02/2024 ";

int count_of(const std::string& text, const std::string& part)
{
    int count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        count++;
    return count;
}

struct LogWriter : ::testing::Test {
    ScratchDirectory dir;
    std::string path = (dir.path() / "events.log").string();
    EventLog log;
    std::time_t now = morning();

    void SetUp() override { log_init(log, path, false); }
    void TearDown() override { log_close(log); }

    void event(std::time_t when, const char* subject)
    {
        log_event(log, when, "logged in", subject);
        log_flush(log, when);
    }
    // The file's text after one received block, without the time stamp.
    std::string received(std::string_view block, std::size_t mask_begin = 0, std::size_t mask_end = 0)
    {
        log_received(log, now, "from peer", block, mask_begin, mask_end);
        log_close(log);
        const std::string text = dir.read("events.log");
        EXPECT_EQ(text.rfind(STAMP + "from peer: "s, 0), 0u) << text;
        return text.substr(std::string(STAMP).size() + 11);
    }
};

TEST_F(LogWriter, WritesTheLineFormatOnFlushOnly)
{
    log_event(log, now, "logged in", "sysop [127.0.0.1]");
    log_event(log, now + 1, "disconnected (RX buffer overflow!\n)", "sysop");
    EXPECT_FALSE(fs::exists(path));
    log_flush(log, now + 1);
    EXPECT_EQ(dir.read("events.log"), "09:05:03 07/02/2024 logged in: sysop [127.0.0.1]\n"
                                      "09:05:04 07/02/2024 disconnected (RX buffer overflow!\n): sysop\n");
}

TEST_F(LogWriter, CloseWritesEveryLineOnceAndAnIdleLogCreatesNoFile)
{
    log_close(log);
    EXPECT_FALSE(fs::exists(path));

    log_init(log, path, false);
    const std::string block(255, 'b');
    for (int i = 0; i < 5000; i++)
        log_received(log, now, "from peer", block);
    log_close(log);
    log_close(log);
    const std::string text = dir.read("events.log");
    EXPECT_EQ(count_of(text, "\n"), 5000);
    EXPECT_EQ(text.size(), 5000 * (std::string(STAMP).size() + 11 + 255 + 1));
}

TEST_F(LogWriter, ReceivedLineBreaksAreContinuedSoNoLineCanBeForged)
{
    EXPECT_EQ(received("nobody\n12:00:00 01/01/2026 logged in: evil [6.6.6.6]\r\n"),
              "nobody\n  12:00:00 01/01/2026 logged in: evil [6.6.6.6]\r\n\n");
}

TEST_F(LogWriter, LoneCarriageReturnsAndEmptyLinesAreContinuedToo)
{
    EXPECT_EQ(received("\na\rb\r\n\n\r\rc\r"), "\n  a\r  b\r\n  \n  \r  \r  c\r\n");
}

TEST_F(LogWriter, ControlsAreEscapedAndCheckBytesKept)
{
    EXPECT_EQ(received("\x1b[2J\x7f\x01\x1f\t\x80\xff" "frame A\0\x80" "frame B"s),
              "\\x1b[2J\\x7f\\x01\\x1f\t\x80\xff" "frame A\\x00\x80" "frame B\n");
}

// Blocks are scanned many bytes at a time: one control anywhere in a full
// block is still found.
TEST_F(LogWriter, AControlAnywhereInAFullBlockIsEscaped)
{
    std::string expected;
    for (std::size_t at = 0; at < 255; at++) {
        std::string block(255, 'a');
        block[at] = '\x7f';
        log_received(log, now, "from peer", block);
        expected += STAMP + "from peer: "s + block.substr(0, at) + "\\x7f" + block.substr(at + 1) + "\n";
    }
    log_close(log);
    EXPECT_EQ(dir.read("events.log"), expected);
}

TEST_F(LogWriter, MaskedRangeIsWrittenAsOneMaskWhateverItsLength)
{
    log_received(log, now, "from peer", "hunter2\r\n", 0, 7);
    log_received(log, now, "from peer", "x\r\nlong secret passphrase", 3, 99);
    log_received(log, now, "from peer", "kept", 2, 2);
    log_close(log);
    EXPECT_EQ(dir.read("events.log"), STAMP + "from peer: ********\r\n\n"s +
                                          STAMP + "from peer: x\r\n  ********\n" +
                                          STAMP + "from peer: kept\n");
}

TEST_F(LogWriter, RenamedOrRemovedLogIsReopenedAtThePath)
{
    event(now, "first");
    fs::rename(path, dir.path() / "events.log.1");
    event(now + 1, "second");
    fs::remove(path);
    event(now + 2, "third");
    event(now + 2, "fourth");
    EXPECT_EQ(dir.read("events.log.1"), STAMP + "logged in: first\n"s);
    EXPECT_EQ(dir.read("events.log"), "09:05:05 07/02/2024 logged in: third\n"
                                      "09:05:05 07/02/2024 logged in: fourth\n");
}

TEST_F(LogWriter, CreatesTheFileForTheOwnerOnlyAndKeepsAnExistingMode)
{
    const mode_t previous = umask(022);
    event(now, "first");
    umask(previous);
    EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_read | fs::perms::owner_write);

    log_close(log);
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    log_init(log, path, false);
    event(now, "second");
    EXPECT_EQ(fs::status(path).permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

TEST_F(LogWriter, FifoAtThePathNeverBlocksAndIsReportedOnce)
{
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    testing::internal::CaptureStderr();
    event(now, "no reader");
    const int reader = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    event(now + 1, "a reader");
    event(now + 2, "still a reader");
    const std::string said = testing::internal::GetCapturedStderr();
    char byte;
    EXPECT_LE(read(reader, &byte, 1), 0);
    close(reader);
    EXPECT_EQ(count_of(said, "not a regular file"), 1) << said;
}

TEST_F(LogWriter, UnwritableFileIsReportedOnceWhileStdoutKeepsTheLines)
{
    const fs::path missing = dir.path() / "missing";
    log_init(log, (missing / "events.log").string(), true);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    event(now, "one");
    event(now, "two");
    event(now + 1, "three");
    fs::create_directory(missing);
    event(now + 2, "four");
    const std::string said = testing::internal::GetCapturedStderr();
    const std::string echoed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(count_of(said, std::strerror(ENOENT) + "; events go to stdout only"s), 1) << said;
    EXPECT_EQ(count_of(echoed, "logged in: "), 4);
    std::ifstream file(missing / "events.log");
    std::string note;
    std::string line;
    std::getline(file, note);
    std::getline(file, line);
    EXPECT_EQ(note, "09:05:05 07/02/2024 srv: 3 log lines lost since 09:05:03 07/02/2024");
    EXPECT_EQ(line, "09:05:05 07/02/2024 logged in: four");
}

// What the faked console and file were given, and what they take next.
std::deque<long> console_takes; // bytes per call; -1 or none left: all
std::string console_seen;
std::deque<long> file_keeps;    // -1: all; n: fails keeping the first n
std::string file_seen;

long fake_console(const ConsoleOutput&, std::string_view bytes)
{
    long taken = static_cast<long>(bytes.size());
    if (!console_takes.empty()) {
        if (console_takes.front() >= 0)
            taken = std::min(taken, console_takes.front());
        console_takes.pop_front();
    }
    console_seen.append(bytes.substr(0, static_cast<std::size_t>(taken)));
    return taken;
}

bool fake_file(log_file_handle, std::string_view bytes, std::size_t* kept)
{
    long keep = -1;
    if (!file_keeps.empty()) {
        keep = file_keeps.front();
        file_keeps.pop_front();
    }
    *kept = keep < 0 ? bytes.size() : static_cast<std::size_t>(keep);
    file_seen.append(bytes.substr(0, *kept));
    errno = ENOSPC;
    return keep < 0;
}

TEST_F(LogWriter, ConsoleThatTakesNothingCostsWholeLinesAndIsToldHowMany)
{
    log_init(log, path, true);
    log.write_console = fake_console;
    console_seen.clear();
    console_takes = {-1, 10, 0, -1};
    event(now, "one");
    log_event(log, now + 1, "logged in", "two");
    event(now + 1, "three");                        // "two" taken in part
    event(now + 2, "four");                         // its rest not taken
    event(now + 3, "five");
    EXPECT_EQ(console_seen, STAMP + "logged in: one\n"s +
                                "09:05:04 07/02/2024 logged in: two\n"
                                "09:05:06 07/02/2024 srv: 2 console lines skipped since 09:05:04 07/02/2024\n"
                                "09:05:06 07/02/2024 logged in: five\n");
    EXPECT_EQ(count_of(dir.read("events.log"), "logged in: "), 5) << "the file keeps every line";
}

TEST_F(LogWriter, FileThatFailsIsToldHowManyLinesWereLostAndSinceWhen)
{
    log.write_file = fake_file;
    file_seen.clear();
    const std::string two = "09:05:04 07/02/2024 logged in: two\n";
    file_keeps = {-1, static_cast<long>(two.size())};
    testing::internal::CaptureStderr();
    event(now, "one");
    log_event(log, now + 1, "logged in", "two");
    event(now + 1, "three");                        // the disk fills after "two"
    event(now + 1, "four");                         // not tried again this second
    event(now + 2, "five");
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(file_seen, STAMP + "logged in: one\n"s + two +
                             "09:05:05 07/02/2024 srv: 2 log lines lost since 09:05:04 07/02/2024\n"
                             "09:05:05 07/02/2024 logged in: five\n");
    EXPECT_EQ(count_of(said, "No space left on device"), 1) << said;
}

// The file size limit fails a write part of the way, as a full disk does.
TEST_F(LogWriter, WriteCutShortLeavesNoTornLine)
{
    std::signal(SIGXFSZ, SIG_IGN);
    const LogOpenResult opened = log_file_open(path.c_str());
    ASSERT_EQ(opened.status, LogOpenStatus::opened);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 100;
    setrlimit(RLIMIT_FSIZE, &small);
    std::size_t kept = 0;
    const std::string lines = std::string(39, 'a') + "\n" + std::string(39, 'b') + "\n" + std::string(39, 'c') + "\n";
    const bool written = log_file_write(opened.file, lines, &kept);
    setrlimit(RLIMIT_FSIZE, &saved);
    log_file_close(opened.file);
    std::signal(SIGXFSZ, SIG_DFL);
    EXPECT_FALSE(written);
    EXPECT_EQ(kept, 80u);
    EXPECT_EQ(dir.read("events.log"), lines.substr(0, 80));
}

TEST_F(LogWriter, LinkedOrForeignFileAtThePathIsNeverWritten)
{
    const fs::path target = dir.path() / "target";
    std::ofstream(target) << "keep\n";
    auto refused = [&](const char* reason) {
        log_init(log, path, false);
        testing::internal::CaptureStderr();
        event(now, "one");
        event(now + 1, "two");
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_EQ(count_of(said, reason), 1) << said;
        fs::remove(path);
    };
    fs::create_symlink(target, path);
    refused("a symbolic link");
    fs::create_symlink(dir.path() / "absent", path);
    refused("a symbolic link");
    EXPECT_FALSE(fs::exists(dir.path() / "absent"));
    fs::create_hard_link(target, path);
    refused("more than one link");
    if (geteuid() == 0) {
        std::ofstream(path) << "";
        ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
        refused("owned by another user");
    }
    EXPECT_EQ(dir.read("target"), "keep\n");
}

TEST_F(LogWriter, ReaderOfStdoutGoneEndsTheEchoButNotTheFileLog)
{
    std::signal(SIGPIPE, SIG_IGN);
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    close(pipe_ends[0]);
    std::fflush(stdout);
    const int saved_stdout = dup(STDOUT_FILENO);
    dup2(pipe_ends[1], STDOUT_FILENO);
    close(pipe_ends[1]);
    log_init(log, path, true);
    testing::internal::CaptureStderr();
    event(now, "one");
    event(now + 1, "two");
    const std::string said = testing::internal::GetCapturedStderr();
    dup2(saved_stdout, STDOUT_FILENO);
    close(saved_stdout);
    EXPECT_EQ(count_of(said, "standard output: "), 1) << said;
    EXPECT_EQ(count_of(dir.read("events.log"), "logged in: "), 2);
}

} // namespace
