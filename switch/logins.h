#pragma once

#include "protocol/accounts.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>

struct PeerAddress;
struct Server;
struct Session;

// Refused logins counted for one source address.
struct LoginFailures {
    std::size_t count;
    std::int64_t window_start_ms; // the first refusal counted
    std::int64_t shut_until_ms;   // new connections closed at once until then
};

constexpr std::int64_t LOGIN_FAILURE_WINDOW_MS = 60000;
constexpr std::int64_t LOGIN_SHUT_OUT_MS = 60000;
// Source addresses whose refusals are counted at once; when a new one comes
// to a full table, the entry whose window began first is forgotten.
constexpr std::size_t LOGIN_FAILURE_ADDRESSES_MAX = 4096;

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
    // Source addresses (network order) -> their refusals.
    std::map<std::uint32_t, LoginFailures> failures;
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

// Starts the check of the session's password against its login's hash,
// off the loop; the session waits for the answer, unread. False when the
// check could not be started (the login is refused at once).
bool start_password_check(Server& server, Session& session, std::string_view password);

// Logs in or refuses the sessions whose checks have answered.
void collect_password_checks(Server& server);

// Logs the refusal, counts it against the peer's address and closes the
// session ("logged out"); returns the session that followed it.
Session* refuse_login(Server& server, Session* session);

// Whether new connections from the address are closed at once.
bool shut_out(Server& server, const PeerAddress& peer);

// Whether the session's login may speak for the address (cut as the
// registry cuts it); a refusal is logged once per session and address.
bool may_send_as(Server& server, Session& session, std::string_view address);

// The session is going: what the logins keep about it goes too.
void forget_login_session(Server& server, Session& session);
