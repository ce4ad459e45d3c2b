#pragma once

#include "protocol/accounts.h"
#include "switch/source_key.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

struct PasswordChecker;
struct Server;
struct Session;

// Refused logins counted for one source, as a bucket that drains at a
// constant rate: each refusal pours in LOGIN_FAILURE_WINDOW_MS, and it
// drains failures_allowed every millisecond, so it empties in a minute. The
// refusal after which it has no room for another, failures_allowed in
// quick succession or more than failures_allowed a minute kept up, shuts
// the source out; one entry is a few numbers however many refusals come.
struct LoginFailures {
    std::int64_t level;
    std::int64_t level_ms;      // when the level was last drained
    std::int64_t shut_until_ms; // new connections closed at once until then
};

constexpr std::int64_t LOGIN_FAILURE_WINDOW_MS = 60000;
constexpr std::int64_t LOGIN_SHUT_OUT_MS = 60000;
// Sources whose refusals are counted at once; when a new one comes to a
// full table, the one refused longest ago is forgotten.
constexpr std::size_t LOGIN_FAILURE_SOURCES_MAX = 4096;

// A password that waits for the checker, and the order it came in.
struct WaitingCheck {
    Session* session;
    std::string password;
    std::uint64_t queued_number;
};

// The passwords one source has waiting, oldest first.
struct SourceChecks {
    std::deque<WaitingCheck> waiting;
    // When its last check was handed over, as a count of hand-overs (0:
    // none yet), so that sources take turns.
    std::uint64_t handed_number = 0;
};

// A check with the checker, and the stored hash it checks against: the
// answer counts only while the login still has that hash.
struct RunningCheck {
    Session* session;
    std::string hash;
};

// Checks handed to the checker at once: one running and one ready behind
// it, so the checker never waits for the loop, and a newly waiting source
// waits at most for those two.
constexpr std::size_t CHECKS_RUNNING_MAX = 2;

// Who may log in and speak for what. Without a users file, the command
// line's login and password, checked on the loop.
struct Logins {
    bool users_given = false;
    std::string users_path;
    PasswordHashes users;
    // Checked for a login the file does not hold, so the time a refusal
    // takes does not tell which logins exist.
    std::string unknown_login_hash;
    bool rights_given = false;
    std::string rights_path;
    AddressRights rights;
    // Refusals from one address before it is shut out; 0: never.
    std::size_t failures_allowed = 0;
    // Where no signal asks for a reload: the files' stamps when last read,
    // and when they are next looked at.
    long long users_stamp = 0;
    long long rights_stamp = 0;
    std::int64_t stamps_due_ms = 0;
    std::map<SourceKey, LoginFailures> failures;
    // Checks the passwords off the loop (password_check.h); opened with the
    // loop, null until then.
    PasswordChecker* checker = nullptr;
    // Password checks not yet handed over, by source; every session
    // checking its password is here or among the running checks, so they
    // hold at most one password per served session.
    std::map<SourceKey, SourceChecks> waiting_checks;
    std::vector<RunningCheck> running_checks;
    std::uint64_t checks_queued = 0;
    std::uint64_t checks_handed = 0;
    // A session (by accept number) -> the addresses it was refused and
    // that were logged; at most the registry's addresses per session.
    std::map<std::uint64_t, std::set<std::string, std::less<>>> refused_addresses;
};

// Reads the users file and, when given, the rights file into the logins.
// On failure returns false with "FILE:LINE: reason" or the system's reason,
// and the logins are as they were.
bool load_accounts(Logins& logins, std::string* error);

// Rereads the files: new and changed logins count for the next dialogue,
// online sessions whose login is gone are closed; a file that does not
// parse keeps the old set, and the log says why (and false is returned).
bool reload_accounts(Server& server);

// How often the files' stamps are looked at where no signal asks for a
// reload.
constexpr std::int64_t ACCOUNT_FILES_LOOK_MS = 1000;

// Where no signal asks for a reload: whether a file has changed since it
// was last read; looks at most once every ACCOUNT_FILES_LOOK_MS.
bool account_files_changed(Logins& logins, std::int64_t now_ms);
// When the files are next looked at, for the wait to wake by; 0 where a
// signal asks for reloads, or without a users file.
std::int64_t account_files_due_ms(const Logins& logins);

// Queues the check of the session's password against its login's hash,
// done off the loop; the session waits for the answer, unread and
// unwatched. False when there is no memory for it (the login is refused at
// once).
bool queue_password_check(Server& server, Session& session, std::string_view password);

// Logs in or refuses the sessions whose checks have answered, refuses the
// waiting passwords of sources now shut out, and hands the checker the
// next checks: first those of the sources with the fewest refusals on
// record, and among those of the source whose turn came longest ago.
// Closes sessions: called where no pass holds one.
void collect_password_checks(Server& server);

// The login dialogue is over: the session is online, and its frames are
// taken from now on.
void log_in(Server& server, Session& session);

// Logs the refusal, counts it against the peer's address and closes the
// session ("logged out").
void refuse_login(Server& server, Session& session);

// Whether the peer's source is shut out: its new connections are closed at
// once, and its passwords refused unchecked.
bool shut_out(Server& server, const PeerAddress& peer);

// Whether the session's login may speak for the address (cut as the
// registry cuts it); a refusal is logged once per session and address.
bool may_send_as(Server& server, Session& session, std::string_view address);

// The session is going: what the logins keep about it goes too.
void forget_login_session(Server& server, Session& session);
