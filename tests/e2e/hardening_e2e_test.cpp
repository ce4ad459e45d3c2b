#include "tests/support/e2e_helpers.h"

#include <chrono>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::string_literals;

bool some_line_starts_with(const std::string& text, const std::string& start)
{
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        if (line.starts_with(start))
            return true;
    return false;
}

// Sends the bytes on a new connection and waits until the server has closed it.
void send_and_wait_for_close(RunningServer& server, const std::string& bytes, int closes)
{
    TestClient client(server.port);
    EXPECT_EQ(client.read_exact(6), "login:");
    client.send(bytes);
    EXPECT_TRUE(client.wait_closed());
    EXPECT_TRUE(server.process.wait_for_log("logged out: ", closes));
}

TEST(HardeningE2E, NoClientTextStartsALogLine)
{
    RunningServer server;
    const std::string forged = "12:00:00 01/01/2026 logged in: evil [6.6.6.6]\r\n";
    send_and_wait_for_close(server, "nobody\n" + forged, 1);
    send_and_wait_for_close(server, "nobody\nguess\n" + forged, 2);
    std::string log = server.process.log_text();
    EXPECT_FALSE(some_line_starts_with(log, "12:00:00 01/01/2026")) << log;
    EXPECT_NE(log.find("\n  " + forged), std::string::npos) << "still logged, after the mark";
}

// Connections that never log in, 63 a second from one address, take every
// served slot; a client from another address still gets its password
// prompt at once, and the crowding is logged once.
TEST(HardeningE2E, SquattersFromOneAddressGiveWayToAnotherAddress)
{
    RunningServer server;
    std::vector<std::unique_ptr<TestClient>> squatters;
    std::thread squatting([&] {
        for (int i = 0; i < 190; i++) {
            squatters.push_back(std::make_unique<TestClient>(server.port, 20000, 0, "127.0.0.2"));
            std::this_thread::sleep_for(std::chrono::milliseconds(1000 / 63));
        }
    });
    // Every slot taken, and more waiting.
    EXPECT_TRUE(server.process.wait_for_log("Connected to: ", 80));
    auto connected = std::chrono::steady_clock::now();
    TestClient client(server.port, 20000, 0, "127.0.0.3");
    EXPECT_EQ(client.read_exact(6, 2000), "login:");
    client.send("alice\n");
    EXPECT_EQ(client.read_exact(9, 2000), "password:");
    EXPECT_LT(std::chrono::steady_clock::now() - connected, std::chrono::seconds(2));
    squatting.join();
    const std::string said = "srv: too many logins pending from [127.0.0.2]: new connections closed\n";
    std::string log = server.process.log_text();
    EXPECT_NE(log.find(said), std::string::npos) << log;
    EXPECT_EQ(log.find(said), log.rfind(said)) << "logged once";
}

TEST(HardeningE2E, FrameAfterAZeroByteIsRelayedAndLogged)
{
    RunningServer server;
    auto sender = server.join();
    auto receiver = server.join();
    std::string a = make_frame("msg alice \"\" frame-A");
    std::string b = make_frame("msg alice \"\" frame-B");
    sender->send(a + "\0\x80"s + b);
    EXPECT_EQ(receiver->read_exact(a.size() + b.size()), a + b);
    EXPECT_TRUE(server.process.wait_for_log("frame-B")) << server.process.log_text();
}

TEST(HardeningE2E, PasswordSentWithTheLoginIsMaskedInLogAndConsole)
{
    RunningServer server;
    TestClient client(server.port);
    client.read_exact(6);
    client.send("alice\r\ns3cret\r\n");
    ASSERT_TRUE(server.process.wait_for_log("logged in: "));
    EXPECT_TRUE(server.process.wait_for_log("********"));
    EXPECT_EQ(server.process.log_text().find("s3cret"), std::string::npos);
    // The console gets a turn's lines right after the file: once a later
    // turn has prompted a new client, they are there.
    TestClient marker(server.port);
    marker.read_exact(6);
    std::string console = server.process.stdout_text();
    EXPECT_NE(console.find("logged in: "), std::string::npos) << console;
    EXPECT_NE(console.find("********"), std::string::npos);
    EXPECT_EQ(console.find("s3cret"), std::string::npos);
}

TEST(HardeningE2E, CredentialsWithAZeroByteNeverMatch)
{
    RunningServer server;
    send_and_wait_for_close(server, "alice\0junk\r\ns3cret\r\n"s, 1);
    send_and_wait_for_close(server, "alice\r\ns3cret\0junk\r\n"s, 2);
    EXPECT_EQ(server.process.log_text().find("logged in"), std::string::npos);
}

// The last 905 bytes of the overlong frame are a valid frame on their own.
TEST(HardeningE2E, OverlongFrameIsDroppedWhole)
{
    RunningServer server;
    auto sender = server.join();
    auto receiver = server.join();
    std::string tail_text = "msg alice \"\" ";
    tail_text += std::string(904 - tail_text.size(), 't');
    std::string overlong = std::string(4095, 'h') + make_frame(tail_text);
    ASSERT_EQ(overlong.size(), 5000u);
    std::string next = make_frame("msg alice \"\" next");
    sender->send(overlong + next);
    EXPECT_EQ(receiver->read_exact(next.size()), next);
    EXPECT_EQ(receiver->read_until_quiet(200), "");
}

TEST(HardeningE2E, ConsoleWithoutAReaderLeavesTheServerServing)
{
    if (server_runs_under_wine())
        GTEST_SKIP() << "SIGPIPE is a POSIX matter";
    std::uint16_t port = ServerProcess::free_port();
    ServerProcess process({std::to_string(port), E2E_LOGIN, E2E_PASSWORD}, "QuillmarshSrv.log.txt",
                          ServerStdout::closed_pipe);
    TestClient first(port);
    ASSERT_TRUE(first.login(E2E_LOGIN, E2E_PASSWORD));
    ASSERT_TRUE(process.wait_for_log("logged in: "));
    TestClient second(port);
    EXPECT_EQ(second.read_exact(6), "login:");
    EXPECT_TRUE(process.wait_for_log("Connected to: ", 2));
    EXPECT_TRUE(process.running());
}

// User and system CPU time of a process, in clock ticks, from /proc.
long cpu_ticks(pid_t pid)
{
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string skip;
    for (int i = 3; i < 14; i++)
        fields >> skip;
    long user = 0;
    long system = 0;
    fields >> user >> system;
    return user + system;
}

// How often the server's loop went to sleep and was woken: its thread's
// context switches.
long wakeups(pid_t pid)
{
    std::ifstream file("/proc/" + std::to_string(pid) + "/status");
    long total = 0;
    for (std::string line; std::getline(file, line);)
        if (line.find("ctxt_switches:") != std::string::npos)
            total += std::atol(line.c_str() + line.find(':') + 1);
    return total;
}

// Each received byte is searched once: partial frames held by the clients
// cost an idle server nothing, not even a wake-up, and frames go on being
// relayed beside them.
TEST(HardeningE2E, PartialFramesCostTheIdleServerNothing)
{
    if (server_runs_under_wine())
        GTEST_SKIP() << "the server's CPU time is read from /proc";
    RunningServer server;
    std::vector<std::unique_ptr<TestClient>> holders;
    for (int i = 0; i < 61; i++) {
        holders.push_back(server.join());
        holders.back()->send(std::string(9999, 'p'));
    }
    auto sender = server.join();
    auto receiver = server.join();
    server.announce(*receiver, "bob");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    long before = cpu_ticks(server.process.process_id());
    long woken = wakeups(server.process.process_id());
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    long spent = cpu_ticks(server.process.process_id()) - before;
    woken = wakeups(server.process.process_id()) - woken;
    EXPECT_LT(spent, sysconf(_SC_CLK_TCK) / 10) << "ticks in 1.5 s of 61 clients holding 9,999 bytes";
    EXPECT_EQ(woken, 0) << "nothing is due for a minute: the loop sleeps through";

    std::string frame = make_frame("msg alice bob beside-them");
    sender->send(frame);
    EXPECT_EQ(receiver->read_exact(frame.size()), frame);
}

} // namespace
