#include "switch/server.h"

#include "platform/password_check.h"
#include "platform/resolver.h"
#include "switch/output_pass.h"
#include "switch/wait.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

Server::~Server()
{
    // Before the wake-up closes: the link's threads signal it.
    cluster_stop(*this);
    resolver_close(resolver);
    password_checker_close(logins.checker);
    close_watched_socket(*this, wakeup_watcher);
    idle_release(idle);
    if (poller != NO_POLLER)
        platform.close_poller(poller);
}

bool open_loop(Server& server)
{
    server.poller = platform.open_poller();
    if (server.poller == NO_POLLER || !wakeup_open(server.wakeup))
        return false;
    server.wakeup_watcher = Watcher{
        .take_event = take_wakeup_event,
        .owner = nullptr,
        .socket = server.wakeup.socket,
        .kind = WatcherKind::wakeup,
        .interest = {},
        .watched = false,
    };
    if (!watch(server, server.wakeup_watcher, Interest{.read = true}))
        return false;
    // Without memory for them, peers go unnamed and users cannot log in,
    // each said where it happens.
    server.resolver = resolver_open(server.wakeup.socket);
    server.logins.checker = password_checker_open(server.wakeup.socket);
    return true;
}

namespace {

void unlink(SessionList& sessions, Session& session)
{
    (session.previous ? session.previous->next : sessions.first) = session.next;
    (session.next ? session.next->previous : sessions.last) = session.previous;
}

void link_last(SessionList& sessions, Session& session)
{
    session.previous = sessions.last;
    session.next = nullptr;
    (sessions.last ? sessions.last->next : sessions.first) = &session;
    sessions.last = &session;
}

// Takes the session out of everything that could still reach it: the
// sessions, the work lists, the deadlines, the poller, the registry and
// the workers. Nothing reads or writes it afterwards.
void take_off(Server& server, Session& session)
{
    if (session.place.served)
        server.served--;
    else if (server.first_waiting == &session)
        server.first_waiting = session.next;
    session.place.served = false;
    unlink(server.sessions, session);
    for (WorkList* list : {&server.work.input, &server.work.output, &server.work.serve, &server.work.naming,
                           &server.work.stalled, &server.work.expired})
        remove(*list, session);
    idle_leave(server.idle, session);
    unwatch(server, session.place.watcher);
    forget_holder(server.registry, session);
    forget_login_session(server, session);
    if (session.dialogue.naming)
        platform.lookup_cancel(server.resolver, &session);
    session.dialogue.naming = false;
}

void free_session(Server& server, Session& session)
{
    queue_free(session.input.queue);
    queue_free(session.output.queue);
    session.transport.layer->release(session);
    close_watched_socket(server, session.place.watcher);
    platform.release(&session);
}

} // namespace

bool admit_session(Server& server, Session& session)
{
    if (!idle_reserve(server.idle))
        return false;
    session.accept_number = ++server.sessions.accepted;
    link_last(server.sessions, session);
    session.place.watcher = Watcher{
        .take_event = take_session_event,
        .owner = &session,
        .socket = session.transport.socket,
        .kind = WatcherKind::session,
        .interest = {},
        .watched = false,
    };
    idle_join(server.idle, session, idle_deadline_ms(session));
    if (session.state == SessionState::broken)
        push_back(server.work.serve, session);
    if (!server.first_waiting && server.served < server.max_clients) {
        session.place.served = true;
        server.served++;
        refresh_watch(server, session);
    } else if (!server.first_waiting) {
        server.first_waiting = &session;
    }
    return true;
}

void promote_waiting(Server& server)
{
    while (server.first_waiting && server.served < server.max_clients) {
        Session& s = *server.first_waiting;
        server.first_waiting = s.next;
        s.place.served = true;
        server.served++;
        refresh_watch(server, s);
    }
}

void renew_idle_deadline(Server& server, Session& session)
{
    if (session.place.idle_place != 0)
        idle_postpone(server.idle, session, idle_deadline_ms(session));
}

void close_session(Server& server, Session& session, const char* reason, Disconnect why)
{
    if (session.place.closing)
        return;
    send_owed_output(server, session);
    count_disconnect(server.metrics, why);
    char event[256];
    if (reason)
        std::snprintf(event, sizeof event, "disconnected (%s)", reason);
    else
        std::snprintf(event, sizeof event, "logged out");
    log_event(server.log, platform.now(), event, session.peer_name);
    take_off(server, session);
    session.place.closing = true;
    link_last(server.closing, session);
}

// Costs a look at each session closed in the turn.
void free_closed_sessions(Server& server)
{
    while (Session* session = server.closing.first) {
        unlink(server.closing, *session);
        free_session(server, *session);
    }
    if (!server.sessions.first)
        idle_release(server.idle);
}

void name_with_login(Server& server, Session& session)
{
    if (!server.log_identity)
        return;
    constexpr std::size_t most = NAME_SIZE - 1;
    const std::size_t named = std::strlen(session.peer_name);
    std::string login = log_safe_text(session.dialogue.login_name);
    login.resize(std::min(login.size(), most - std::min(most, named + 1)));
    std::string name = login + '@' + session.peer_name;
    // A peer name of full length (a long host name) leaves no room even
    // for the '@': its host name, at the front, gives way.
    if (name.size() > most)
        name.erase(login.size() + 1, name.size() - most);
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
    close_session(server, session, reason, Disconnect::send_error);
    return false;
}

void refresh_watch(Server& server, Session& session)
{
    if (session.place.closing)
        return;
    // Neither read nor told of its hang-up while its password is checked:
    // the answer comes first, and a client that sent its frames and hung
    // up is served as if it had been quick.
    if (!session.place.served || session.state == SessionState::checking_password) {
        unwatch(server, session.place.watcher);
        return;
    }
    const bool output_waits_for_room =
        is_listed(server.work.stalled, session) && !is_listed(server.work.output, session);
    const Interest interest{
        .read = !session.dialogue.naming,
        .write = output_waits_for_room || session.transport.layer->wants_write(session),
    };
    if (watch(server, session.place.watcher, interest))
        return;
    char reason[64];
    std::snprintf(reason, sizeof reason, "error %d on watch", sock_last_error());
    close_session(server, session, reason, Disconnect::recv_error);
}

// Costs a walk of the sessions, once, at the end.
void drop_all_sessions(Server& server)
{
    while (Session* session = server.sessions.first) {
        take_off(server, *session);
        free_session(server, *session);
    }
    free_closed_sessions(server);
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
