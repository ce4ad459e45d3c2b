#include "tests/support/e2e_helpers.h"

#include <gtest/gtest.h>

namespace {

std::vector<std::string> joined(std::vector<std::string> options, std::uint16_t port,
                                const std::vector<std::string>& after_port)
{
    options.push_back(std::to_string(port));
    options.insert(options.end(), after_port.begin(), after_port.end());
    return options;
}

} // namespace

RunningServer::RunningServer(const std::vector<std::string>& options, const std::vector<std::string>& after_port,
                             const std::string& log_name, ServerStdout stdout_to)
    : port(ServerProcess::free_port()), process(joined(options, port, after_port), log_name, stdout_to)
{
    for (int attempt = 1; attempt < 5 && process.lost_the_port(port); attempt++) {
        port = ServerProcess::free_port();
        process.restart(joined(options, port, after_port), stdout_to);
    }
}

std::unique_ptr<TestClient> RunningServer::join(int receive_buffer)
{
    auto client = std::make_unique<TestClient>(port, 30000, receive_buffer);
    EXPECT_TRUE(client->connected());
    EXPECT_TRUE(client->login(E2E_LOGIN, E2E_PASSWORD));
    EXPECT_TRUE(process.wait_for_log("logged in: ", ++logins)) << process.log_text();
    return client;
}

void RunningServer::announce(TestClient& client, const std::string& name)
{
    // The destination runs into the check byte, so this frame reaches nobody.
    std::string text = "announce \"" + name + "\" -";
    client.send(make_frame(text));
    EXPECT_TRUE(process.wait_for_log(": " + text, 1)) << process.log_text();
}
