#include "protocol/accounts.h"

namespace {

constexpr std::size_t LOGIN_MAX = 255;

bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

std::string_view without_trailing_blanks(std::string_view line)
{
    while (!line.empty() && (is_blank(line.back()) || line.back() == '\r'))
        line.remove_suffix(1);
    return line;
}

bool is_skipped(std::string_view line)
{
    std::size_t first = line.find_first_not_of(" \t\r");
    return first == std::string_view::npos || line[first] == '#';
}

// Windows editors start a UTF-8 file with a byte-order mark: it is no part
// of the first line, and an edit keeps it.
constexpr std::string_view BYTE_ORDER_MARK = "\xEF\xBB\xBF";

std::string_view byte_order_mark_of(std::string_view text)
{
    return text.starts_with(BYTE_ORDER_MARK) ? BYTE_ORDER_MARK : std::string_view();
}

std::string_view without_byte_order_mark(std::string_view text)
{
    return text.substr(byte_order_mark_of(text).size());
}

// Walks a text line by line; the last line may lack its line feed.
struct LineWalk {
    std::string_view rest;
    std::size_t number = 0;

    bool next(std::string_view* line)
    {
        if (rest.empty())
            return false;
        std::size_t end = rest.find('\n');
        *line = rest.substr(0, end);
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        number++;
        return true;
    }
};

// Whether the line just walked had a line feed: only the text's last line
// can lack one, and an edit keeps it lacking it.
bool ended_by_line_feed(const LineWalk& walk, std::string_view text)
{
    return !walk.rest.empty() || text.back() == '\n';
}

std::string_view login_of_users_line(std::string_view line)
{
    return line.substr(0, line.find(':'));
}

AccountsError duplicate(std::string_view login, std::size_t first_line, std::size_t line)
{
    return {line, "login " + std::string(login) + " appears again (first on line " +
                      std::to_string(first_line) + ")"};
}

// Splits at blanks; empty words are never made.
std::vector<std::string_view> words_of(std::string_view line)
{
    std::vector<std::string_view> words;
    std::size_t at = 0;
    while ((at = line.find_first_not_of(" \t", at)) != std::string_view::npos) {
        std::size_t end = line.find_first_of(" \t", at);
        words.push_back(line.substr(at, end - at));
        at = end == std::string_view::npos ? line.size() : end;
    }
    return words;
}

} // namespace

// A login that began with the byte-order mark would be taken for the mark
// once an edit moved its line to the top of the file.
bool account_login_valid(std::string_view login)
{
    if (login.empty() || login.size() > LOGIN_MAX || login.front() == '#' || login.starts_with(BYTE_ORDER_MARK))
        return false;
    for (char c : login) {
        auto byte = static_cast<unsigned char>(c);
        if (byte <= ' ' || byte == 0x7F || c == ':')
            return false;
    }
    return true;
}

UsersParse parse_users(std::string_view text, bool (*hash_well_formed)(std::string_view))
{
    UsersParse result;
    std::map<std::string_view, std::size_t, std::less<>> first_line;
    LineWalk walk{without_byte_order_mark(text)};
    std::string_view line;
    while (walk.next(&line)) {
        if (is_skipped(line))
            continue;
        line = without_trailing_blanks(line);
        std::size_t colon = line.find(':');
        std::string_view login = line.substr(0, colon);
        AccountsError error;
        if (colon == std::string_view::npos)
            error = {walk.number, "expected LOGIN:HASH"};
        else if (!account_login_valid(login))
            error = {walk.number, "not a valid login (1 to 255 bytes, no blank, control byte or ':')"};
        else if (!hash_well_formed(line.substr(colon + 1)))
            error = {walk.number, "not a password hash this server can check"};
        else if (auto seen = first_line.find(login); seen != first_line.end())
            error = duplicate(login, seen->second, walk.number);
        if (error.line != 0)
            return {{}, error};
        first_line.emplace(login, walk.number);
        result.users.emplace(login, line.substr(colon + 1));
    }
    return result;
}

std::string users_text_with(std::string_view text, std::string_view login, std::string_view hash)
{
    std::string result(byte_order_mark_of(text));
    const std::size_t mark_size = result.size();
    std::string entry = std::string(login) + ":" + std::string(hash);
    bool placed = false;
    LineWalk walk{text.substr(mark_size)};
    std::string_view line;
    while (walk.next(&line)) {
        bool is_login = !is_skipped(line) && login_of_users_line(line) == login;
        result += is_login && !placed ? std::string_view(entry) : line;
        placed = placed || is_login;
        if (ended_by_line_feed(walk, text))
            result += '\n';
    }
    if (placed)
        return result;
    if (result.size() > mark_size && result.back() != '\n')
        result += '\n';
    return result + entry + "\n";
}

bool users_text_without(std::string_view text, std::string_view login, std::string* result)
{
    *result = byte_order_mark_of(text);
    bool found = false;
    LineWalk walk{without_byte_order_mark(text)};
    std::string_view line;
    while (walk.next(&line)) {
        if (!is_skipped(line) && login_of_users_line(line) == login) {
            found = true;
            continue;
        }
        result->append(line);
        if (ended_by_line_feed(walk, text))
            *result += '\n';
    }
    return found;
}

RightsParse parse_rights(std::string_view text)
{
    RightsParse result;
    std::map<std::string_view, std::size_t, std::less<>> first_line;
    LineWalk walk{without_byte_order_mark(text)};
    std::string_view line;
    while (walk.next(&line)) {
        if (is_skipped(line))
            continue;
        std::vector<std::string_view> words = words_of(without_trailing_blanks(line));
        std::string_view login = words.front();
        AccountsError error;
        if (!account_login_valid(login))
            error = {walk.number, "not a valid login (1 to 255 bytes, no blank, control byte or ':')"};
        else if (words.size() < 2)
            error = {walk.number, "login " + std::string(login) + " has no address pattern"};
        else if (auto seen = first_line.find(login); seen != first_line.end())
            error = duplicate(login, seen->second, walk.number);
        if (error.line != 0)
            return {{}, error};
        first_line.emplace(login, walk.number);
        result.rights.emplace(login, std::vector<std::string>(words.begin() + 1, words.end()));
    }
    return result;
}

// On a mismatch after a '*', the star takes one byte more and the match
// resumes from just after it; earlier stars are never revisited, since the
// latest one can stretch over anything they could have.
bool address_pattern_matches(std::string_view pattern, std::string_view address)
{
    constexpr std::size_t NONE = std::string_view::npos;
    std::size_t p = 0;
    std::size_t a = 0;
    std::size_t star = NONE;
    std::size_t star_address = 0;
    while (a < address.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            star_address = a;
        } else if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == address[a])) {
            p++;
            a++;
        } else if (star != NONE) {
            p = star + 1;
            a = ++star_address;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        p++;
    return p == pattern.size();
}

bool may_speak_for(const AddressRights& rights, std::string_view login, std::string_view address)
{
    auto entry = rights.find(login);
    if (entry == rights.end())
        return false;
    for (const std::string& pattern : entry->second) {
        if (address_pattern_matches(pattern, address))
            return true;
    }
    return false;
}
