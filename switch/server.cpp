#include "switch/server.h"

#include "switch/output_pass.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

void unlink(SessionList& sessions, Session* session)
{
    (session->previous ? session->previous->next : sessions.first) = session->next;
    (session->next ? session->next->previous : sessions.last) = session->previous;
}

Session* free_session(Server& server, Session* session)
{
    Session* next = session->next;
    if (server.first_waiting == session)
        server.first_waiting = next;
    unlink(server.sessions, session);
    queue_free(session->input);
    queue_free(session->output);
    forget_holder(server.registry, *session);
    forget_login_session(server, *session);
    if (session->naming)
        platform.lookup_cancel(session);
    if (session->watched)
        platform.unwatch(server.poller, session->client_socket);
    session->transport->release(*session);
    platform.close(session->client_socket);
    platform.release(session);
    return next;
}

} // namespace

Session* close_session(Server& server, Session* session, const char* reason, Disconnect why)
{
    send_held_output(server, *session);
    count_disconnect(server.metrics, why);
    char event[256];
    if (reason)
        std::snprintf(event, sizeof event, "disconnected (%s)", reason);
    else
        std::snprintf(event, sizeof event, "logged out");
    log_event(server.log, platform.now(), event, session->peer_name);
    return free_session(server, session);
}

void name_with_login(Server& server, Session& session)
{
    if (!server.log_identity)
        return;
    const std::size_t named = std::strlen(session.peer_name);
    std::string name = log_safe_text(session.login_name);
    name.resize(std::min(name.size(), NAME_SIZE - 2 - named));
    name += '@';
    name += session.peer_name;
    std::memcpy(session.peer_name, name.c_str(), name.size() + 1);
}

bool send_prompt(Server& server, Session& session, std::string_view text)
{
    int sent = send_text(session, text);
    if (sent > 0)
        server.metrics.bytes_sent += static_cast<std::uint64_t>(sent);
    if (sent == static_cast<int>(text.size()))
        return true;
    // Part of it taken: the socket had no room for the rest.
    if (sent >= 0)
        sock_set_last_error(WSAEWOULDBLOCK);
    char reason[64];
    std::snprintf(reason, sizeof reason, "error %d on send", sock_last_error());
    close_session(server, &session, reason, Disconnect::send_error);
    return false;
}

// Costs a walk of the sessions, once, at the end.
void drop_all_sessions(Server& server)
{
    while (server.sessions.first)
        free_session(server, server.sessions.first);
}

namespace {

void copy_credential(char* field, const char* text)
{
    std::strncpy(field, text, CREDENTIAL_SIZE - 1);
    field[CREDENTIAL_SIZE - 1] = '\0';
}

} // namespace

void set_credentials(Server& server, const char* login, const char* password)
{
    copy_credential(server.login, login);
    copy_credential(server.password, password);
}
