#include "switch/logins.h"

#include "platform/password_check.h"
#include "platform/password_hash.h"
#include "platform/text_file.h"
#include "switch/server.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <tuple>

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

// Makes room for one more source. Costs a walk of the table, only when it
// is full.
void forget_longest_refused(Logins& logins)
{
    auto oldest = logins.failures.begin();
    for (auto at = logins.failures.begin(); at != logins.failures.end(); ++at)
        if (at->second.level_ms < oldest->second.level_ms)
            oldest = at;
    logins.failures.erase(oldest);
}

// What a full bucket holds.
std::int64_t failure_capacity(const Logins& logins)
{
    return static_cast<std::int64_t>(logins.failures_allowed) * LOGIN_FAILURE_WINDOW_MS;
}

// The level drained to now. A minute empties any bucket, so a longer gap
// is counted as a minute, and the product cannot overflow.
std::int64_t drained_level(const Logins& logins, const LoginFailures& failures, std::int64_t now_ms)
{
    std::int64_t elapsed_ms = std::clamp<std::int64_t>(now_ms - failures.level_ms, 0, LOGIN_FAILURE_WINDOW_MS);
    std::int64_t drained = elapsed_ms * static_cast<std::int64_t>(logins.failures_allowed);
    return std::max<std::int64_t>(failures.level - drained, 0);
}

// The refusals on record against the source, as its bucket's level now;
// 0 when none are counted.
std::int64_t refusal_level(const Logins& logins, const SourceKey& key, std::int64_t now_ms)
{
    auto at = logins.failures.find(key);
    return at == logins.failures.end() ? 0 : drained_level(logins, at->second, now_ms);
}

// Counts a refused login; the one that fills the source's bucket shuts the
// source out, which is logged once for the episode.
void count_failure(Server& server, const PeerAddress& peer)
{
    Logins& logins = server.logins;
    if (logins.failures_allowed == 0)
        return;
    const std::int64_t now_ms = platform.monotonic_ms();
    const SourceKey key = source_key(peer);
    auto at = logins.failures.find(key);
    if (at == logins.failures.end()) {
        if (logins.failures.size() >= LOGIN_FAILURE_SOURCES_MAX)
            forget_longest_refused(logins);
        // Without memory the refusal goes uncounted; the server goes on.
        try {
            at = logins.failures.emplace(key, LoginFailures{0, now_ms, 0}).first;
        } catch (const std::bad_alloc&) {
            return;
        }
    }
    LoginFailures& failures = at->second;
    // Refusals while shut out (of dialogues already pending) keep it full.
    failures.level = std::min(drained_level(logins, failures, now_ms) + LOGIN_FAILURE_WINDOW_MS,
                              failure_capacity(logins));
    failures.level_ms = now_ms;
    // Full but for what drained since the first of them: no room for one
    // more refusal.
    if (failures.level <= failure_capacity(logins) - LOGIN_FAILURE_WINDOW_MS || now_ms < failures.shut_until_ms)
        return;
    failures.shut_until_ms = now_ms + LOGIN_SHUT_OUT_MS;
    char text[ADDRESS_TEXT_SIZE];
    sock_dotted_address(&peer, text);
    char subject[ADDRESS_TEXT_SIZE + 64];
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
    for (Session* s = server.sessions.first; s;) {
        Session* next = s->next;
        if (s->state != SessionState::online) {
        } else if (!logins.users.contains(s->dialogue.login_name)) {
            close_session(server, *s, "login removed", Disconnect::refused);
        } else if (logins.rights_given) {
            forget_addresses_unless(server.registry, *s, [&](std::string_view name) {
                return may_speak_for(logins.rights, s->dialogue.login_name, name);
            });
        }
        s = next;
    }
}

bool source_shut_out(Logins& logins, const SourceKey& key, std::int64_t now_ms)
{
    if (logins.failures_allowed == 0)
        return false;
    auto at = logins.failures.find(key);
    if (at == logins.failures.end())
        return false;
    if (now_ms < at->second.shut_until_ms)
        return true;
    // The episode is over: its source starts afresh.
    if (at->second.shut_until_ms != 0)
        logins.failures.erase(at);
    return false;
}

// The password's bytes do not outlive their wait.
void wipe(std::string& text)
{
    std::fill(text.begin(), text.end(), '\0');
}

// Logs the session in, or refuses it. The answer counts only while the
// login still holds the hash that was checked (a reload may have removed
// the login or changed its password since) and its source is not shut out.
void settle(Server& server, Session* session, const std::string& hash, bool accepted)
{
    const PasswordHashes& users = server.logins.users;
    auto user = users.find(session->dialogue.login_name);
    bool hash_kept = session->dialogue.login_known && user != users.end() && user->second == hash;
    if (!accepted || !hash_kept || shut_out(server, session->peer)) {
        refuse_login(server, *session);
        return;
    }
    log_in(server, *session);
    refresh_watch(server, *session);
    // What came with the password and waits inside the transport (TLS
    // records) makes no event: it is served as a socket's bytes would be.
    if (session->transport.layer->has_buffered_input(*session))
        push_back(server.work.serve, *session);
}

// Costs a look at the running checks per answer.
void take_answers(Server& server)
{
    std::vector<RunningCheck>& running = server.logins.running_checks;
    PasswordCheckResult results[CHECKS_RUNNING_MAX];
    int n;
    while ((n = password_check_collect(server.logins.checker, results, CHECKS_RUNNING_MAX)) > 0)
        for (int i = 0; i < n; i++) {
            auto at = std::find_if(running.begin(), running.end(),
                                   [&](const RunningCheck& r) { return r.session == results[i].owner; });
            // Its session has gone meanwhile.
            if (at == running.end())
                continue;
            RunningCheck check = std::move(*at);
            running.erase(at);
            settle(server, check.session, check.hash, results[i].accepted);
        }
}

// Once its source is shut out, a password that waits is refused unchecked,
// like one that comes later. Costs a look-up per source with checks waiting.
void refuse_waiting_shut_out(Server& server)
{
    Logins& logins = server.logins;
    const std::int64_t now_ms = platform.monotonic_ms();
    for (auto source = logins.waiting_checks.begin(); source != logins.waiting_checks.end();) {
        if (!source_shut_out(logins, source->first, now_ms)) {
            ++source;
            continue;
        }
        std::deque<WaitingCheck> refused = std::move(source->second.waiting);
        source = logins.waiting_checks.erase(source);
        for (WaitingCheck& check : refused) {
            wipe(check.password);
            refuse_login(server, *check.session);
        }
    }
}

// Whether source a's next check goes before source b's: fewer refusals on
// record first, then the source whose turn came longest ago, then the
// older password.
bool goes_before(std::int64_t a_level, const SourceChecks& a, std::int64_t b_level, const SourceChecks& b)
{
    return std::tuple(a_level, a.handed_number, a.waiting.front().queued_number) <
           std::tuple(b_level, b.handed_number, b.waiting.front().queued_number);
}

// Costs a walk of the sources with checks waiting.
std::map<SourceKey, SourceChecks>::iterator next_source(Logins& logins, std::int64_t now_ms)
{
    auto best = logins.waiting_checks.end();
    std::int64_t best_level = 0;
    for (auto at = logins.waiting_checks.begin(); at != logins.waiting_checks.end(); ++at) {
        std::int64_t level = refusal_level(logins, at->first, now_ms);
        if (best == logins.waiting_checks.end() || goes_before(level, at->second, best_level, best->second)) {
            best = at;
            best_level = level;
        }
    }
    return best;
}

// Starts the check of the password against its login's hash, remembered
// with it; false when it cannot be started.
bool start_check(Server& server, const WaitingCheck& check)
{
    Session& session = *check.session;
    const PasswordHashes& users = server.logins.users;
    auto user = session.dialogue.login_has_zero_byte ? users.end() : users.find(session.dialogue.login_name);
    // An unknown login costs the same check, and is refused whatever it says.
    session.dialogue.login_known = user != users.end();
    const std::string& hash = session.dialogue.login_known ? user->second : server.logins.unknown_login_hash;
    std::vector<RunningCheck>& running = server.logins.running_checks;
    try {
        running.push_back(RunningCheck{&session, hash});
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (password_check_start(server.logins.checker, check.password, hash, &session))
        return true;
    running.pop_back();
    return false;
}

// A check that cannot be started refuses its login.
void hand_over_checks(Server& server)
{
    Logins& logins = server.logins;
    const std::int64_t now_ms = platform.monotonic_ms();
    while (logins.running_checks.size() < CHECKS_RUNNING_MAX && !logins.waiting_checks.empty()) {
        auto source = next_source(logins, now_ms);
        WaitingCheck check = std::move(source->second.waiting.front());
        source->second.waiting.pop_front();
        source->second.handed_number = ++logins.checks_handed;
        if (source->second.waiting.empty())
            logins.waiting_checks.erase(source);
        bool started = start_check(server, check);
        wipe(check.password);
        if (!started)
            refuse_login(server, *check.session);
    }
}

// Costs a look at the running checks, or a walk of the source's waiting ones.
void forget_check(Logins& logins, Session& session)
{
    auto running = std::find_if(logins.running_checks.begin(), logins.running_checks.end(),
                                [&](const RunningCheck& r) { return r.session == &session; });
    if (running != logins.running_checks.end()) {
        password_check_cancel(logins.checker, &session);
        logins.running_checks.erase(running);
        return;
    }
    auto source = logins.waiting_checks.find(source_key(session.peer));
    if (source == logins.waiting_checks.end())
        return;
    std::deque<WaitingCheck>& waiting = source->second.waiting;
    for (WaitingCheck& check : waiting)
        if (check.session == &session)
            wipe(check.password);
    std::erase_if(waiting, [&](const WaitingCheck& check) { return check.session == &session; });
    if (waiting.empty())
        logins.waiting_checks.erase(source);
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

std::int64_t account_files_due_ms(const Logins& logins)
{
    if (!logins.users_given || reload_asked_by_signal())
        return 0;
    return logins.stamps_due_ms;
}

bool queue_password_check(Server& server, Session& session, std::string_view password)
{
    Logins& logins = server.logins;
    auto source = logins.waiting_checks.end();
    try {
        source = logins.waiting_checks.try_emplace(source_key(session.peer)).first;
        source->second.waiting.push_back(WaitingCheck{&session, std::string(password), ++logins.checks_queued});
    } catch (const std::bad_alloc&) {
        if (source != logins.waiting_checks.end() && source->second.waiting.empty())
            logins.waiting_checks.erase(source);
        return false;
    }
    session.state = SessionState::checking_password;
    refresh_watch(server, session);
    return true;
}

void collect_password_checks(Server& server)
{
    take_answers(server);
    refuse_waiting_shut_out(server);
    hand_over_checks(server);
}

void refuse_login(Server& server, Session& session)
{
    name_with_login(server, session);
    log_event(server.log, platform.now(), "login refused", session.peer_name);
    count_failure(server, session.peer);
    server.metrics.logins_refused++;
    close_session(server, session, nullptr, Disconnect::refused);
}

void log_in(Server& server, Session& session)
{
    session.state = SessionState::online;
    renew_idle_deadline(server, session);
    server.metrics.logins_accepted++;
    name_with_login(server, session);
    log_event(server.log, platform.now(), "logged in", session.peer_name);
    // Online, a step ends at a check byte: what was searched for line feeds
    // must be searched again, and frames sent with the password wait.
    session.input.searched = 0;
    if (session.input.queue.length > 0)
        push_back(server.work.input, session);
}

// Costs one look-up in the table per accept.
bool shut_out(Server& server, const PeerAddress& peer)
{
    return source_shut_out(server.logins, source_key(peer), platform.monotonic_ms());
}

// Costs the matches of the login's patterns per frame, and a look-up in the
// session's refused addresses per refused frame.
bool may_send_as(Server& server, Session& session, std::string_view address)
{
    if (!server.logins.rights_given)
        return true;
    std::string_view held = address.substr(0, std::min(address.size(), ADDRESS_NAME_MAX));
    if (may_speak_for(server.logins.rights, session.dialogue.login_name, held))
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
        forget_check(server.logins, session);
    server.logins.refused_addresses.erase(session.accept_number);
}
