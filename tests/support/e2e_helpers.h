// Shared steps of the end-to-end tests: a running server and logged-in
// clients that have announced their addresses.
#pragma once

#include "tests/support/server_process.h"
#include "tests/support/test_client.h"

#include <memory>
#include <string>
#include <vector>

constexpr const char* E2E_LOGIN = "alice";
constexpr const char* E2E_PASSWORD = "s3cret";

// A server listening on a port of its own: started again on another port
// when another test took the first one before the server could bind it.
struct RunningServer {
    RunningServer() : RunningServer({}, {E2E_LOGIN, E2E_PASSWORD}) {}
    // Started with options before the port; the positional arguments after
    // the port are given too (the login, and the password unless a file has it).
    RunningServer(const std::vector<std::string>& options, const std::vector<std::string>& after_port,
                  const std::string& log_name = "QuillmarshSrv.log.txt",
                  ServerStdout stdout_to = ServerStdout::file);
    std::uint16_t port;
    ServerProcess process;
    int logins = 0;
    int announcements = 0;

    // A client that has logged in, once the server has logged it so.
    std::unique_ptr<TestClient> join(int receive_buffer = 0);
    // Announces name as the client's address; returns once the server has it.
    void announce(TestClient& client, const std::string& name);
};
