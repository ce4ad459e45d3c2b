// A client of the server for end-to-end tests, speaking over loopback TCP.
#pragma once

#include "platform/platform.h"
#include "protocol/frame.h"

#include <cstdint>
#include <string>
#include <string_view>

class TestClient {
public:
    // Connects, retrying while the server is still starting (until
    // timeout_ms), so no test sleeps waiting for a server.
    // source: the local address to connect from (any of 127.0.0.0/8), or
    // null for the system's choice.
    explicit TestClient(std::uint16_t port, int timeout_ms = 20000, int receive_buffer = 0,
                        const char* source = nullptr);
    ~TestClient();
    TestClient(const TestClient&) = delete;
    TestClient& operator=(const TestClient&) = delete;

    bool connected() const { return sock != INVALID_SOCKET_HANDLE; }
    void send(std::string_view bytes);
    // Reads until exactly count bytes have come, the peer closed, or the time
    // ran out; returns what came.
    std::string read_exact(std::size_t count, int timeout_ms = 5000);
    // Reads whatever arrives until quiet_ms pass without a byte.
    std::string read_until_quiet(int quiet_ms);
    // True when the server closes the connection within timeout_ms (bytes
    // still arriving before the close are dropped).
    bool wait_closed(int timeout_ms = 5000);
    // Answers both prompts and checks them.
    bool login(const std::string& user, const std::string& password);
    void close();
    void abort();
    socket_handle handle() const { return sock; }

private:
    socket_handle sock = INVALID_SOCKET_HANDLE;
};
