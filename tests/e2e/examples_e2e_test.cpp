// The reference clients of examples/ against the server, as a client author
// runs them: one listens, the other sends it a frame.
#include "tests/support/e2e_helpers.h"
#include "tests/support/tool_process.h"

#include <chrono>
#include <gtest/gtest.h>
#include <thread>

namespace {

struct Example {
    std::string name;
    std::string binary;
    std::vector<std::string> leading; // the script, for an interpreter
};

std::vector<Example> examples()
{
    std::vector<Example> found{{"C", QM_EXAMPLE_C_BINARY, {}}};
#ifdef QM_EXAMPLE_PYTHON
    found.push_back({"Python", QM_EXAMPLE_PYTHON, {QM_EXAMPLE_PYTHON_SCRIPT}});
#endif
    return found;
}

std::unique_ptr<ToolProcess> run(const Example& example, const std::uint16_t port, std::vector<std::string> words)
{
    words.insert(words.begin(), {"127.0.0.1", std::to_string(port)});
    words.insert(words.begin(), example.leading.begin(), example.leading.end());
    return std::make_unique<ToolProcess>(
        example.binary, words,
        std::vector<std::pair<std::string, std::string>>{{"QM_LOGIN", E2E_LOGIN}, {"QM_PASSWORD", E2E_PASSWORD}});
}

bool wait_for_output(const ToolProcess& tool, const std::string& text)
{
    for (int i = 0; i < 1000 && tool.out().find(text) == std::string::npos; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return tool.out().find(text) != std::string::npos;
}

TEST(ExamplesE2E, EachClientLogsInAnnouncesSendsAndReceives)
{
#ifndef QM_EXAMPLE_PYTHON
    std::fprintf(stderr, "no python3: the Python example is not run\n");
#endif
    RunningServer server;
    // The examples connect once; the server must be listening by then.
    ASSERT_TRUE(TestClient(server.port).connected());
    for (const Example& listener : examples())
        for (const Example& sender : examples()) {
            const std::string address = "listener-" + listener.name + "-" + sender.name;
            auto listening = run(listener, server.port, {address});
            ASSERT_TRUE(server.process.wait_for_log("hello \"" + address + "\" \"" + address + "\""))
                << listener.name << "\n" << listening->err();
            auto sending = run(sender, server.port, {"alice", address, "hi \"there\""});
            EXPECT_EQ(sending->wait_exit(), 0) << sender.name << "\n" << sending->err();
            EXPECT_TRUE(wait_for_output(*listening, "say \"alice\" \"" + address + "\" hi \"there\"\n"))
                << listener.name << " from " << sender.name << ": " << listening->out();
        }
}

} // namespace
