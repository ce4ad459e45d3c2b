// qmpasswd: adds, changes or removes one login in the server's users file.
// The password is read twice from the terminal without echo, or once, as
// the first line of standard input, from a pipe or file.
#include "platform/password_hash.h"
#include "platform/terminal.h"
#include "platform/text_file.h"
#include "protocol/accounts.h"

#include <cstdio>
#include <iostream>
#include <string>
#include <string_view>

namespace {

enum ExitCode : int {
    EXIT_DONE = 0,
    EXIT_FAILED = 1, // said why on stderr; the file is as it was
    EXIT_USAGE = 2,
};

// The longest password line the server's login dialogue reads whole.
constexpr std::size_t PASSWORD_MAX = 4095;

const char* const USAGE =
    "usage: qmpasswd FILE LOGIN      add LOGIN or change its password\n"
    "       qmpasswd -D FILE LOGIN   remove LOGIN\n"
    "FILE is created, readable by its owner only, when it does not exist.\n"
    "The password is asked for twice at a terminal; from a pipe or a file,\n"
    "the first line of standard input is the password.\n"
    "Exit codes: 0 done, 1 failed (the file is unchanged), 2 usage.\n";

int fail(const std::string& message)
{
    std::fprintf(stderr, "qmpasswd: %s\n", message.c_str());
    return EXIT_FAILED;
}

int usage_error(const std::string& message)
{
    std::fprintf(stderr, "qmpasswd: %s; see qmpasswd --help\n", message.c_str());
    return EXIT_USAGE;
}

// The file's text, "" for a file yet to be made; false after saying why.
bool read_users(const std::string& file, bool must_exist, std::string* text)
{
    std::string error;
    TextFileStatus status = text_file_read(file.c_str(), text, &error);
    if (status == TextFileStatus::read || (status == TextFileStatus::missing && !must_exist))
        return true;
    fail("cannot read " + file + ": " + error);
    return false;
}

// The file must parse as the server would take it before it is edited.
bool check_users(const std::string& file, const std::string& text)
{
    UsersParse parsed = parse_users(text, password_hash_well_formed);
    if (parsed.error.line == 0)
        return true;
    fail(file + ":" + std::to_string(parsed.error.line) + ": " + parsed.error.reason);
    return false;
}

bool read_password(std::string* password)
{
    if (!stdin_is_terminal()) {
        if (!std::getline(std::cin, *password)) {
            fail("no password on standard input");
            return false;
        }
        if (!password->empty() && password->back() == '\r')
            password->pop_back();
        return true;
    }
    std::string again;
    std::fputs("Password: ", stderr);
    std::fflush(stderr);
    if (!terminal_read_hidden_line(password)) {
        fail("no password typed");
        return false;
    }
    std::fputs("Again: ", stderr);
    std::fflush(stderr);
    if (!terminal_read_hidden_line(&again)) {
        fail("no password typed");
        return false;
    }
    if (*password != again) {
        fail("the two passwords differ");
        return false;
    }
    return true;
}

bool password_acceptable(const std::string& password)
{
    if (password.empty())
        fail("the password is empty");
    else if (password.size() > PASSWORD_MAX)
        fail("the password is longer than the " + std::to_string(PASSWORD_MAX) +
             " bytes the server reads");
    else if (password.find('\0') != std::string::npos)
        fail("the password holds a zero byte, which no client can send");
    else
        return true;
    return false;
}

bool write_users(const std::string& file, const std::string& text)
{
    std::string error;
    if (text_file_replace(file.c_str(), text, &error))
        return true;
    fail("cannot write " + file + ": " + error);
    return false;
}

// Held from the read of the file to the rename of its new text, so two
// edits at once cannot both start from the same text and lose one.
class EditLock {
public:
    explicit EditLock(const std::string& file)
    {
        std::string error;
        if (!text_file_lock(file.c_str(), &lock, &error))
            fail("cannot lock " + error);
    }
    ~EditLock() { text_file_unlock(&lock); }
    EditLock(const EditLock&) = delete;
    EditLock& operator=(const EditLock&) = delete;

    bool held() const { return lock.handle != -1; }

private:
    TextFileLock lock;
};

// The password comes first: nobody else waits while it is typed.
int add_or_change(const std::string& file, const std::string& login)
{
    if (!password_hashing_available())
        return fail(password_hashing_unavailable_reason());
    std::string password;
    if (!read_password(&password) || !password_acceptable(password))
        return EXIT_FAILED;
    EditLock lock(file);
    std::string text;
    if (!lock.held() || !read_users(file, false, &text) || !check_users(file, text))
        return EXIT_FAILED;
    std::string hash = password_hash_new(password);
    if (hash.empty())
        return fail("the system's random source or hash failed");
    bool existed = parse_users(text, password_hash_well_formed).users.contains(login);
    if (!write_users(file, users_text_with(text, login, hash)))
        return EXIT_FAILED;
    std::printf("qmpasswd: %s %s in %s\n", existed ? "changed the password of" : "added", login.c_str(),
                file.c_str());
    return EXIT_DONE;
}

int remove_login(const std::string& file, const std::string& login)
{
    EditLock lock(file);
    std::string text;
    std::string rest;
    if (!lock.held() || !read_users(file, true, &text) || !check_users(file, text))
        return EXIT_FAILED;
    if (!users_text_without(text, login, &rest))
        return fail("no login " + login + " in " + file);
    if (!write_users(file, rest))
        return EXIT_FAILED;
    std::printf("qmpasswd: removed %s from %s\n", login.c_str(), file.c_str());
    return EXIT_DONE;
}

} // namespace

int main(int argc, char** argv)
{
    std::string_view first = argc > 1 ? argv[1] : "";
    if (first == "--help" || first == "-h") {
        std::fputs(USAGE, stdout);
        return EXIT_DONE;
    }
    bool remove = first == "-D";
    int operands = argc - 1 - (remove ? 1 : 0);
    if (operands != 2 || (!remove && first.starts_with("-")))
        return usage_error(remove || !first.starts_with("-") ? "FILE and LOGIN are needed"
                                                             : "unknown option " + std::string(first));
    std::string file = argv[argc - 2];
    std::string login = argv[argc - 1];
    if (!account_login_valid(login))
        return usage_error("'" + login + "' cannot be a login: 1 to 255 bytes, no blank, control byte "
                           "or ':', and no '#' or byte-order mark first");
    return remove ? remove_login(file, login) : add_or_change(file, login);
}
