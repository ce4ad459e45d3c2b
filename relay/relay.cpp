#include "relay/relay.h"

#include "relay/fields.h"
#include "relay/frame.h"
#include "relay/login.h"
#include "shell/event_log.h"

#include <cstdio>
#include <cstring>

namespace {

enum class FrameOutcome { next_session, same_session };

bool wants_frame(const Session* receiver, socket_handle sender_socket, const char* destination)
{
    return receiver->session_state == ST_ONLINE && receiver->client_socket != sender_socket &&
           (destination[0] == '\0' || has_address(receiver->addresses, destination));
}

bool queue_for(Session* receiver, const char* frame, std::uint32_t frame_length)
{
    if (frame_length > OUTPUT_QUEUE_LIMIT - receiver->output.length) {
        sock_set_last_error(WSAENOBUFS);
        return false;
    }
    return queue_append(&receiver->output, frame, frame_length) != 0;
}

// Takes, splits and relays one frame of an online session.
FrameOutcome frame_step(Session* session, char* work_buffer)
{
    std::uint32_t n = read_frame(&session->input, work_buffer, WORK_BUF_SIZE - 1);
    if (n == 0)
        return FrameOutcome::next_session;
    char copy[WORK_BUF_SIZE];
    std::memcpy(copy, work_buffer, n);
    char* fields[MAX_FIELDS + 1];
    if (split_fields(fields, copy) < 3)
        return FrameOutcome::same_session;
    register_address(&session->addresses, fields[1]);
    send_to_all(session->client_socket, work_buffer, n, fields[2]);
    return FrameOutcome::next_session;
}

} // namespace

void send_to_all(socket_handle sender_socket, const char* frame, std::uint32_t frame_length,
                 const char* destination)
{
    for (Session* s = session_list->next_session; s; s = s->next_session) {
        if (!wants_frame(s, sender_socket, destination))
            continue;
        if (queue_for(s, frame, frame_length))
            continue;
        s->session_state = ST_BROKEN;
        char event[1024];
        std::snprintf(event, sizeof event, "Socket error #%d in send_to_all", sock_last_error());
        log_event(1, event, s->peer_name);
    }
}

int process_input()
{
    char work_buffer[WORK_BUF_SIZE];
    Session* s = session_list->next_session;
    while (s) {
        if (s->input.length == 0) {
            s = s->next_session;
            continue;
        }
        switch (s->session_state) {
        case ST_LOGIN:
            login_step(s);
            s = s->next_session;
            break;
        case ST_PASSWORD:
            s = password_step(s, work_buffer);
            break;
        case ST_ONLINE:
            if (frame_step(s, work_buffer) == FrameOutcome::next_session)
                s = s->next_session;
            break;
        default:
            s = s->next_session;
            break;
        }
    }
    return 0;
}
