#include "relay/login.h"

#include "relay/relay.h"
#include "shell/event_log.h"
#include "shell/startup.h"

#include <cstring>

std::uint32_t read_line(ByteQueue* queue, char* destination, std::uint32_t limit)
{
    if (!queue->block)
        return 0;
    auto* line_feed = static_cast<const char*>(std::memchr(queue->block, '\n', queue->length));
    if (!line_feed)
        return 0;
    auto n = static_cast<std::uint32_t>(line_feed - queue->block);
    if (n > limit)
        n = limit;
    if (queue_take(queue, destination, n + 1, false) == 0)
        return 0;
    if (n >= 1 && destination[n - 1] == '\r')
        n--;
    destination[n] = '\0';
    return n + 1;
}

void login_step(Session* session)
{
    if (read_line(&session->input, session->login_name, LOGIN_LINE_MAX) == 0)
        return;
    session->session_state = ST_PASSWORD;
    send_text(session->client_socket, "password:");
}

Session* password_step(Session* session, char* work_buffer)
{
    if (read_line(&session->input, work_buffer, WORK_BUF_SIZE - 1) == 0)
        return session->next_session;
    if (std::strcmp(session->login_name, cfg_login) == 0 &&
        std::strcmp(work_buffer, cfg_password) == 0) {
        session->session_state = ST_ONLINE;
        log_event(2, "logged in", session->peer_name);
        return session->next_session;
    }
    // One attempt, no word to the client: the only trace is "logged out".
    return close_session(session->client_socket, nullptr);
}
