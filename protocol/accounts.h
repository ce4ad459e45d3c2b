// The users file and the rights file: text an operator edits, parsed into
// what the login step and the relay check against.
//
// Users file, one account a line, like a passwd file:
//
//     LOGIN:HASH
//
// LOGIN is the login a client types; HASH is a password hash field, whose
// form the caller checks (the platform's password hashes). Nothing else on
// the line: no blanks around the colon; blanks and a carriage return at the
// end are ignored.
//
// Rights file, one login a line:
//
//     LOGIN PATTERN...
//
// separated by blanks (spaces or tabs). A login may speak for every address
// one of its patterns matches; see address_pattern_matches.
//
// In both files an empty or all-blank line, and a line whose first non-blank
// byte is '#', are skipped. Each login appears at most once.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <vector>

// A login the files can hold and a client can type: 1 to 255 bytes, no
// blank, no control byte, no ':', and no '#' first.
bool account_login_valid(std::string_view login);

// Where a file stopped parsing: its line number (from 1) and what is wrong,
// for the caller to print as FILE:LINE: reason. line 0: no error.
struct AccountsError {
    std::size_t line = 0;
    std::string reason;
};

// Login -> stored password hash field.
using PasswordHashes = std::map<std::string, std::string, std::less<>>;

struct UsersParse {
    PasswordHashes users; // empty when error is set
    AccountsError error;
};

// Cost: O(size of text), and one call of hash_well_formed per account.
UsersParse parse_users(std::string_view text, bool (*hash_well_formed)(std::string_view));

// The users file's text with LOGIN's line set to LOGIN:HASH: its line
// replaced where it stands, or a new line added at the end. Every other
// line, comments included, stays byte for byte.
std::string users_text_with(std::string_view text, std::string_view login, std::string_view hash);
// The text without LOGIN's line, in *result; false when it has none.
bool users_text_without(std::string_view text, std::string_view login, std::string* result);

// Login -> its address patterns, in the file's order.
using AddressRights = std::map<std::string, std::vector<std::string>, std::less<>>;

struct RightsParse {
    AddressRights rights; // empty when error is set
    AccountsError error;
};

// Cost: O(size of text).
RightsParse parse_rights(std::string_view text);

// Glob over bytes: '*' matches any run of bytes, the empty one included,
// '?' exactly one byte, every other byte itself; case counts. There is no
// escape. Cost: O(pattern size * address size) at worst, never exponential.
bool address_pattern_matches(std::string_view pattern, std::string_view address);

// True when one of LOGIN's patterns matches ADDRESS; false for a login the
// rights do not name. Cost: the matches of every pattern of the login.
bool may_speak_for(const AddressRights& rights, std::string_view login, std::string_view address);
