#include "tests/support/server_process.h"

#include "platform/client.h"

#include <chrono>
#include <gtest/gtest.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <fcntl.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// A pipe's write end, its read end closed; SIGPIPE as a shell leaves it.
int closed_pipe()
{
    int ends[2];
    if (pipe(ends) != 0)
        _exit(127);
    close(ends[0]);
    std::signal(SIGPIPE, SIG_DFL);
    return ends[1];
}

[[noreturn]] void exec_server(const std::vector<std::string>& words, const std::string& dir,
                              ServerStdout stdout_to, const int (&pipe_ends)[2])
{
    // A test that dies without its destructors takes its servers with it.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (chdir(dir.c_str()) != 0)
        _exit(127);
    int out = stdout_to == ServerStdout::closed_pipe ? closed_pipe()
              : stdout_to == ServerStdout::unread_pipe
                  ? pipe_ends[1]
                  : open("stdout.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open("stderr.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int in = open("/dev/null", O_RDONLY);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    std::vector<char*> argv;
    for (const std::string& word : words)
        argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
}

// The inodes of the sockets listening on port, IPv4 and IPv6, from the
// kernel's tables.
std::vector<std::string> listening_inodes(std::uint16_t port)
{
    constexpr const char* LISTEN_STATE = "0A";
    char local_port[8];
    std::snprintf(local_port, sizeof local_port, ":%04X", static_cast<unsigned>(port));
    std::vector<std::string> inodes;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream file(table);
        std::string line;
        std::getline(file, line); // the heading
        while (std::getline(file, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state, queues, timer, retransmits, uid, timeouts, inode;
            fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeouts >> inode;
            if (state == LISTEN_STATE && local.ends_with(local_port))
                inodes.push_back(inode);
        }
    }
    return inodes;
}

bool holds_socket(pid_t pid, const std::string& inode)
{
    const std::string wanted = "socket:[" + inode + "]";
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error))
        if (std::filesystem::read_symlink(entry.path(), error).string() == wanted)
            return true;
    return false;
}

} // namespace

std::vector<std::string> server_command()
{
    std::vector<std::string> words;
    if (const char* command = std::getenv("QM_SERVER_COMMAND"); command && *command) {
        std::istringstream split(command);
        for (std::string word; split >> word;)
            words.push_back(word);
        return words;
    }
    words.push_back(QM_SERVER_BINARY);
    return words;
}

bool server_runs_under_wine()
{
    for (const std::string& word : server_command())
        if (word == "wine" || word.ends_with("/wine") || word.ends_with(".exe"))
            return true;
    return false;
}

std::string text_mode_read(const std::string& stored)
{
    static const bool windows_text_mode = server_runs_under_wine();
    if (!windows_text_mode)
        return stored;
    // Text mode stores each "\n" as "\r\n" and leaves every other byte, a
    // lone "\r" included, as it was; so each stored pair is one "\n".
    std::string text;
    text.reserve(stored.size());
    for (std::size_t i = 0; i < stored.size(); i++) {
        if (stored[i] == '\r' && i + 1 < stored.size() && stored[i + 1] == '\n')
            continue;
        text += stored[i];
    }
    return text;
}

ServerProcess::ServerProcess(const std::vector<std::string>& arguments, std::string log_name,
                             ServerStdout stdout_to)
    : log_name(std::move(log_name))
{
    start(arguments, stdout_to);
}

void ServerProcess::start(const std::vector<std::string>& arguments, ServerStdout stdout_to)
{
    std::vector<std::string> words = server_command();
    words.insert(words.end(), arguments.begin(), arguments.end());
    int pipe_ends[2] = {-1, -1};
    if (stdout_to == ServerStdout::unread_pipe && pipe2(pipe_ends, O_CLOEXEC) != 0)
        ADD_FAILURE() << "no pipe for the server's stdout";
    pid = fork();
    if (pid == 0)
        exec_server(words, dir.path().string(), stdout_to, pipe_ends);
    if (stdout_to == ServerStdout::unread_pipe) {
        close(pipe_ends[1]);
        stdout_reader = pipe_ends[0];
        fcntl(stdout_reader, F_SETFL, O_NONBLOCK);
    }
}

void ServerProcess::send_signal(int signal_number) const
{
    if (pid > 0)
        kill(pid, signal_number);
}

std::string ServerProcess::drain_stdout() const
{
    std::string text;
    char buffer[65536];
    for (ssize_t n; (n = read(stdout_reader, buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(n));
    return text;
}

ServerProcess::~ServerProcess()
{
    if (running()) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    if (stdout_reader >= 0)
        close(stdout_reader);
    // A sanitizer report in the server fails the test that drove it.
    std::string errors = stderr_text();
    if (errors.find("Sanitizer") != std::string::npos ||
        errors.find("runtime error") != std::string::npos)
        ADD_FAILURE() << "the server reported:\n" << errors;
}

std::uint16_t ServerProcess::free_port()
{
    return client_free_port();
}

bool ServerProcess::lost_the_port(std::uint16_t port)
{
    auto deadline = Clock::now() + std::chrono::seconds(30);
    while (Clock::now() < deadline) {
        if (!running())
            return exit_code == 1 && stderr_text().find("bind: Address already in use") != std::string::npos;
        // A listener the test holds is inherited by the server too. Under
        // wine the socket may be held by the wine server; the suite runs one
        // test at a time there, so any listener is this one.
        for (const std::string& inode : listening_inodes(port))
            if (server_runs_under_wine() || (holds_socket(pid, inode) && !holds_socket(getpid(), inode)))
                return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

void ServerProcess::restart(const std::vector<std::string>& arguments, ServerStdout stdout_to)
{
    if (running()) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }
    if (stdout_reader >= 0)
        close(stdout_reader);
    stdout_reader = -1;
    std::filesystem::remove(dir.path() / log_name);
    start(arguments, stdout_to);
}

bool ServerProcess::running()
{
    if (pid <= 0)
        return false;
    int status = 0;
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == 0)
        return true;
    if (done == pid)
        exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    pid = -1;
    return false;
}

int ServerProcess::wait_exit(int timeout_ms)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (running()) {
        if (Clock::now() > deadline)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return exit_code;
}

bool ServerProcess::log_exists() const
{
    return std::filesystem::exists(dir.path() / log_name);
}

static int count_of(const std::string& haystack, const std::string& needle)
{
    int count = 0;
    for (auto at = haystack.find(needle); at != std::string::npos;
         at = haystack.find(needle, at + needle.size()))
        count++;
    return count;
}

bool ServerProcess::wait_for_log(const std::string& text, int count, int timeout_ms) const
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (count_of(log_text(), text) < count) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}
