// The users and rights parsers, the users file's edits and the address glob
// on arbitrary text. A parse either names a line inside the text and keeps
// nothing, or keeps only valid logins; an edit of a parsed file parses again
// to exactly the edited set; the glob agrees with a plain table of
// sub-matches (pattern before the first line feed, address after it).
#include "fuzz/fuzz_support.h"
#include "protocol/accounts.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

namespace {

bool dollar_field(std::string_view field)
{
    return field.size() > 1 && field[0] == '$' && field.find_first_of(" \t\r\n") == std::string_view::npos;
}

std::size_t line_count(std::string_view text)
{
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) +
           (text.empty() || text.back() == '\n' ? 0 : 1);
}

void check_users(std::string_view text)
{
    UsersParse parsed = parse_users(text, dollar_field);
    if (parsed.error.line != 0) {
        fuzz_require(parsed.error.line <= line_count(text), "an error names a line past the end");
        fuzz_require(parsed.users.empty() && !parsed.error.reason.empty(), "an error kept accounts");
        return;
    }
    for (const auto& [login, hash] : parsed.users)
        fuzz_require(account_login_valid(login) && dollar_field(hash), "a bad account was kept");

    // Editing a sound file: set one login, then take it out again.
    const std::string login = parsed.users.empty() ? "fuzz" : parsed.users.begin()->first;
    std::string edited = users_text_with(text, login, "$new");
    UsersParse after = parse_users(edited, dollar_field);
    PasswordHashes expected = parsed.users;
    expected[login] = "$new";
    fuzz_require(after.error.line == 0 && after.users == expected, "setting a login broke the file");
    std::string removed;
    fuzz_require(users_text_without(edited, login, &removed), "the login just set is missing");
    expected.erase(login);
    fuzz_require(parse_users(removed, dollar_field).users == expected, "removing a login lost others");
}

void check_rights(std::string_view text)
{
    RightsParse parsed = parse_rights(text);
    if (parsed.error.line != 0) {
        fuzz_require(parsed.error.line <= line_count(text), "an error names a line past the end");
        fuzz_require(parsed.rights.empty(), "an error kept rights");
        return;
    }
    for (const auto& [login, patterns] : parsed.rights) {
        fuzz_require(account_login_valid(login) && !patterns.empty(), "a bad rights line was kept");
        for (const std::string& pattern : patterns)
            fuzz_require(!pattern.empty() && pattern.find_first_of(" \t\n") == std::string::npos,
                         "a pattern holds a separator");
    }
}

// matches[i][j]: the pattern from i on matches the address from j on.
bool table_match(std::string_view pattern, std::string_view address)
{
    const std::size_t width = address.size() + 1;
    std::vector<char> matches((pattern.size() + 1) * width, 0);
    auto at = [&](std::size_t i, std::size_t j) -> char& { return matches[i * width + j]; };
    at(pattern.size(), address.size()) = 1;
    for (std::size_t i = pattern.size(); i-- > 0;) {
        for (std::size_t j = width; j-- > 0;) {
            bool more = j < address.size();
            if (pattern[i] == '*')
                at(i, j) = at(i + 1, j) || (more && at(i, j + 1));
            else
                at(i, j) = more && (pattern[i] == '?' || pattern[i] == address[j]) && at(i + 1, j + 1);
        }
    }
    return at(0, 0) != 0;
}

void check_glob(std::string_view text)
{
    constexpr std::size_t TABLE_MAX = 2048; // the table is pattern * address bytes
    std::size_t split = text.find('\n');
    if (split == std::string_view::npos)
        split = text.size() / 2;
    std::string_view pattern = text.substr(0, std::min(split, TABLE_MAX));
    std::string_view address = text.substr(std::min(split + 1, text.size()));
    address = address.substr(0, std::min(address.size(), TABLE_MAX));
    fuzz_require(address_pattern_matches(pattern, address) == table_match(pattern, address),
                 "the glob disagrees with the table");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string_view text(reinterpret_cast<const char*>(data), size);
    check_users(text);
    check_rights(text);
    check_glob(text);
    return 0;
}
