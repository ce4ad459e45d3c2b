#include "switch/logins.h"

#include "platform/password_check.h"
#include "platform/password_hash.h"
#include "platform/text_file.h"
#include "switch/server.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace {

bool read_file(const std::string& path, std::string* text, std::string* error)
{
    std::string reason;
    if (text_file_read(path.c_str(), text, &reason) == TextFileStatus::read)
        return true;
    *error = path + ": " + reason;
    return false;
}

std::string parse_error(const std::string& path, const AccountsError& error)
{
    return path + ":" + std::to_string(error.line) + ": " + error.reason;
}

std::uint32_t address_key(const PeerAddress& peer)
{
    std::uint32_t key;
    std::memcpy(&key, peer.octets, sizeof key);
    return key;
}

// Makes room for one more address. Costs a walk of the table, only when it
// is full.
void forget_oldest_failures(Logins& logins)
{
    auto oldest = logins.failures.begin();
    for (auto at = logins.failures.begin(); at != logins.failures.end(); ++at)
        if (at->second.window_start_ms < oldest->second.window_start_ms)
            oldest = at;
    logins.failures.erase(oldest);
}

// Counts a refused login; the one that reaches the limit shuts the address
// out, which is logged once for the episode.
void count_failure(Server& server, const PeerAddress& peer)
{
    Logins& logins = server.logins;
    if (logins.failures_allowed == 0)
        return;
    const std::int64_t now_ms = platform.monotonic_ms();
    const std::uint32_t key = address_key(peer);
    auto at = logins.failures.find(key);
    if (at == logins.failures.end()) {
        if (logins.failures.size() >= LOGIN_FAILURE_ADDRESSES_MAX)
            forget_oldest_failures(logins);
        // Without memory the refusal goes uncounted; the server goes on.
        try {
            at = logins.failures.emplace(key, LoginFailures{0, now_ms, 0}).first;
        } catch (const std::bad_alloc&) {
            return;
        }
    }
    LoginFailures& failures = at->second;
    if (now_ms - failures.window_start_ms > LOGIN_FAILURE_WINDOW_MS) {
        failures.count = 0;
        failures.window_start_ms = now_ms;
    }
    if (++failures.count < logins.failures_allowed || now_ms < failures.shut_until_ms)
        return;
    failures.shut_until_ms = now_ms + LOGIN_SHUT_OUT_MS;
    char text[16];
    sock_dotted_address(&peer, text);
    char subject[96];
    std::snprintf(subject, sizeof subject,
                  "too many refused logins from [%s]: new connections closed for %lld s", text,
                  static_cast<long long>(LOGIN_SHUT_OUT_MS / 1000));
    log_event(server.log, platform.now(), "srv", subject);
}

// Closes the online sessions whose login the users no longer hold, and
// takes from the others the addresses their rights no longer match, which
// they would otherwise keep receiving for. Costs a walk of the sessions and
// of their addresses, once per reload.
void apply_to_sessions(Server& server)
{
    const Logins& logins = server.logins;
    Session* s = server.sessions.first;
    while (s) {
        if (s->state != SessionState::online) {
            s = s->next;
            continue;
        }
        if (!logins.users.contains(s->login_name)) {
            s = close_session(server, s, "login removed", Disconnect::refused);
            continue;
        }
        if (logins.rights_given)
            forget_addresses_unless(server.registry, *s, [&](std::string_view name) {
                return may_speak_for(logins.rights, s->login_name, name);
            });
        s = s->next;
    }
}

} // namespace

bool load_accounts(Logins& logins, std::string* error)
{
    std::string text;
    if (!read_file(logins.users_path, &text, error))
        return false;
    UsersParse users = parse_users(text, password_hash_well_formed);
    if (users.error.line != 0) {
        *error = parse_error(logins.users_path, users.error);
        return false;
    }
    RightsParse rights;
    if (logins.rights_given) {
        if (!read_file(logins.rights_path, &text, error))
            return false;
        rights = parse_rights(text);
        if (rights.error.line != 0) {
            *error = parse_error(logins.rights_path, rights.error);
            return false;
        }
    }
    if (logins.unknown_login_hash.empty())
        logins.unknown_login_hash = password_hash_new("no such login");
    if (logins.unknown_login_hash.empty()) {
        *error = "cannot make a password hash: " + password_hashing_unavailable_reason();
        return false;
    }
    logins.users_stamp = text_file_stamp(logins.users_path.c_str());
    logins.rights_stamp = logins.rights_given ? text_file_stamp(logins.rights_path.c_str()) : 0;
    logins.users = std::move(users.users);
    logins.rights = std::move(rights.rights);
    return true;
}

bool reload_accounts(Server& server)
{
    if (!server.logins.users_given)
        return true;
    std::string error;
    if (!load_accounts(server.logins, &error)) {
        log_event(server.log, platform.now(), "srv", ("reload failed, logins kept: " + error).c_str());
        return false;
    }
    char subject[64];
    std::snprintf(subject, sizeof subject, "logins reloaded: %zu users", server.logins.users.size());
    log_event(server.log, platform.now(), "srv", subject);
    apply_to_sessions(server);
    return true;
}

bool account_files_changed(Logins& logins, std::int64_t now_ms)
{
    if (!logins.users_given || reload_asked_by_signal() || now_ms < logins.stamps_due_ms)
        return false;
    logins.stamps_due_ms = now_ms + ACCOUNT_FILES_LOOK_MS;
    long long users = text_file_stamp(logins.users_path.c_str());
    long long rights = logins.rights_given ? text_file_stamp(logins.rights_path.c_str()) : 0;
    bool changed = users != logins.users_stamp || rights != logins.rights_stamp;
    // A file that does not parse is said once, not every second.
    logins.users_stamp = users;
    logins.rights_stamp = rights;
    return changed;
}

bool start_password_check(Server& server, Session& session, std::string_view password)
{
    const PasswordHashes& users = server.logins.users;
    auto user = session.login_has_zero_byte ? users.end() : users.find(session.login_name);
    // An unknown login costs the same check, and is refused whatever it says.
    bool known = user != users.end();
    session.login_known = known;
    return password_check_start(password, known ? user->second : server.logins.unknown_login_hash,
                                &session);
}

void collect_password_checks(Server& server)
{
    PasswordCheckResult results[16];
    int n;
    while ((n = password_check_collect(results, 16)) > 0)
        for (int i = 0; i < n; i++) {
            auto* session = static_cast<Session*>(results[i].owner);
            if (!results[i].accepted || !session->login_known) {
                refuse_login(server, session);
                continue;
            }
            session->state = SessionState::online;
            session->input_searched = 0;
            server.metrics.logins_accepted++;
            name_with_login(server, *session);
            log_event(server.log, platform.now(), "logged in", session->peer_name);
        }
}

Session* refuse_login(Server& server, Session* session)
{
    name_with_login(server, *session);
    log_event(server.log, platform.now(), "login refused", session->peer_name);
    count_failure(server, session->peer);
    server.metrics.logins_refused++;
    return close_session(server, session, nullptr, Disconnect::refused);
}

// Costs one look-up in the table per accept.
bool shut_out(Server& server, const PeerAddress& peer)
{
    Logins& logins = server.logins;
    if (logins.failures_allowed == 0)
        return false;
    auto at = logins.failures.find(address_key(peer));
    if (at == logins.failures.end())
        return false;
    if (platform.monotonic_ms() < at->second.shut_until_ms)
        return true;
    // The episode is over: its address starts afresh.
    if (at->second.shut_until_ms != 0)
        logins.failures.erase(at);
    return false;
}

// Costs the matches of the login's patterns per frame, and a look-up in the
// session's refused addresses per refused frame.
bool may_send_as(Server& server, Session& session, std::string_view address)
{
    if (!server.logins.rights_given)
        return true;
    std::string_view held = address.substr(0, std::min(address.size(), ADDRESS_NAME_MAX));
    if (may_speak_for(server.logins.rights, session.login_name, held))
        return true;
    // Without memory the frame is still refused, only not logged.
    try {
        auto& refused = server.logins.refused_addresses[session.accept_number];
        // Past the bound the refusals go on, unlogged: a flood of names must
        // not grow the table or the log.
        if (refused.size() >= server.registry.max_per_holder || refused.contains(held))
            return false;
        refused.emplace(held);
        // The address is the client's text: written as received text is,
        // so that a line break in it cannot forge a line.
        std::string subject = std::string(session.peer_name) + ": " + std::string(held);
        log_received(server.log, platform.now(), "address refused", subject);
    } catch (const std::bad_alloc&) {
    }
    return false;
}

void forget_login_session(Server& server, Session& session)
{
    if (session.state == SessionState::checking_password)
        password_check_cancel(&session);
    server.logins.refused_addresses.erase(session.accept_number);
}
