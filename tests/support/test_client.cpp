#include "tests/support/test_client.h"

#include "platform/client.h"

#include <chrono>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

} // namespace

TestClient::TestClient(std::uint16_t port, int timeout_ms, int receive_buffer, const char* source)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        sock = client_connect_from(source, "127.0.0.1", port);
        if (sock != INVALID_SOCKET_HANDLE || Clock::now() > deadline)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (sock != INVALID_SOCKET_HANDLE && receive_buffer > 0)
        client_set_receive_buffer(sock, receive_buffer);
}

TestClient::~TestClient()
{
    close();
}

void TestClient::send(std::string_view bytes)
{
    client_send_all(sock, bytes.data(), bytes.size());
}

std::string TestClient::read_exact(std::size_t count, int timeout_ms)
{
    std::string got;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    char buffer[65536];
    while (got.size() < count) {
        std::size_t want = std::min(sizeof buffer, count - got.size());
        int n = client_recv(sock, buffer, want, remaining_ms(deadline));
        if (n <= 0)
            break;
        got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
}

std::string TestClient::read_until_quiet(int quiet_ms)
{
    std::string got;
    char buffer[65536];
    for (;;) {
        int n = client_recv(sock, buffer, sizeof buffer, quiet_ms);
        if (n <= 0)
            return got;
        got.append(buffer, static_cast<std::size_t>(n));
    }
}

bool TestClient::wait_closed(int timeout_ms)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    char buffer[65536];
    for (;;) {
        int n = client_recv(sock, buffer, sizeof buffer, remaining_ms(deadline));
        if (n == 0 || n == -1)
            return true;
        if (n == CLIENT_TIMED_OUT)
            return false;
    }
}

bool TestClient::login(const std::string& user, const std::string& password)
{
    if (read_exact(6) != "login:")
        return false;
    send(user + "\r\n");
    if (read_exact(9) != "password:")
        return false;
    send(password + "\r\n");
    return true;
}

void TestClient::close()
{
    if (sock != INVALID_SOCKET_HANDLE)
        client_close(sock);
    sock = INVALID_SOCKET_HANDLE;
}

void TestClient::abort()
{
    if (sock != INVALID_SOCKET_HANDLE)
        client_abort(sock);
    sock = INVALID_SOCKET_HANDLE;
}
