#include "shell/startup.h"

#include "net/flush_output.h"
#include "net/session.h"
#include "net/switch_wait.h"
#include "platform/platform.h"
#include "relay/relay.h"
#include "shell/event_log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

char cfg_login[CONFIG_TEXT_SIZE];
char cfg_password[CONFIG_TEXT_SIZE];

namespace {

constexpr const char* BANNER = "QuillmarshServer version 2.4.2\n";
constexpr const char* USAGE = "Usage: QuillmarshSrv <port_number> <login> <password>\n\n";
constexpr unsigned STARTUP_PAUSE_MS = 1000;
constexpr int LISTEN_BACKLOG = 5;
constexpr std::uint16_t SOCKET_LIBRARY_VERSION = 2; // 2.0: major in the low byte

bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

[[noreturn]] void fail_socket_library(const char* text)
{
    debug_output(text);
    sock_cleanup();
    std::exit(1);
}

void start_socket_library()
{
    std::uint16_t granted = 0;
    if (sock_startup(SOCKET_LIBRARY_VERSION, &granted) != 0)
        fail_socket_library("NO WINSOCK LIBRARY!\n");
    if (granted != SOCKET_LIBRARY_VERSION)
        fail_socket_library("WinSock version not supported");
}

void create_session_list()
{
    session_list = static_cast<Session*>(mem_zalloc(sizeof(Session)));
    if (!session_list) {
        std::fputs("session list: out of memory\n", stderr);
        std::exit(1);
    }
}

} // namespace

std::int32_t parse_port_argument(const char* text)
{
    while (is_blank(*text))
        text++;
    bool negative = *text == '-';
    if (*text == '-' || *text == '+')
        text++;
    // Unsigned arithmetic wraps by definition; the final conversion to a
    // signed 32-bit value is modular in C++20.
    std::uint32_t value = 0;
    while (*text >= '0' && *text <= '9')
        value = value * 10u + static_cast<std::uint32_t>(*text++ - '0');
    if (negative)
        value = 0u - value;
    return static_cast<std::int32_t>(value);
}

void copy_config_text(char* field, const char* text)
{
    std::strncpy(field, text, CONFIG_TEXT_SIZE - 1);
    field[CONFIG_TEXT_SIZE - 1] = '\0';
}

void opn_tcp(std::int32_t port)
{
    listen_socket = sock_open_stream();
    if (listen_socket == INVALID_SOCKET_HANDLE) {
        std::perror("socket");
        std::exit(1);
    }
    if (sock_reuse_address(listen_socket) != 0) {
        std::perror("opn_tcp : setsockopt SO_REUSEADDR");
        std::exit(1);
    }
    // Only the low 16 bits name the port: 70000 listens on 4464.
    if (sock_bind_any(listen_socket, static_cast<std::uint16_t>(port)) != 0) {
        std::perror("bind");
        platform.close(listen_socket);
        std::exit(1);
    }
    if (sock_listen(listen_socket, LISTEN_BACKLOG) != 0) {
        std::perror("listen");
        platform.close(listen_socket);
        std::exit(1);
    }
}

void server_main(int argc, char** argv)
{
    std::fputs(BANNER, stdout);
    std::fflush(stdout);
    sleep_ms(STARTUP_PAUSE_MS);
    if (argc != 4) {
        std::fputs(USAGE, stdout);
        std::exit(0);
    }
    std::int32_t port = parse_port_argument(argv[1]);
    copy_config_text(cfg_login, argv[2]);
    copy_config_text(cfg_password, argv[3]);
    if (port == 0) {
        std::fputs("port cannot be null!\n", stdout);
        std::exit(1);
    }
    log_event(0, "srv", "starting server");
    start_socket_library();
    opn_tcp(port);
    create_session_list();
    for (;;) {
        SWITCH_wait();
        process_input();
        flush_output();
    }
}
