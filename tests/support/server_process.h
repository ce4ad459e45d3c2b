// The real server binary, started for a test in a scratch directory, with
// its standard output and error kept in files there.
//
// The command that starts it comes from the environment variable
// QM_SERVER_COMMAND (words separated by blanks, e.g. "wine /path/QuillmarshSrv.exe"),
// or else from the build, so the same tests run against every build.
#pragma once

#include "tests/support/scratch_directory.h"

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

// The first line the server prints.
constexpr const char* SERVER_BANNER = "QuillmarshServer version " QM_VERSION "\n";

// Bytes written in text mode by the server, as the server meant them: under
// wine every stored CRLF was one "\n"; a native build stores text unchanged.
std::string text_mode_read(const std::string& stored);

// Where the server's standard output goes: a file, a pipe whose reader
// has already gone (every write to it fails, raising SIGPIPE unless ignored),
// or a pipe that the test reads only when it asks (drain_stdout).
enum class ServerStdout { file, closed_pipe, unread_pipe };

class ServerProcess {
public:
    // log_name: where the arguments send the event log, in the directory.
    explicit ServerProcess(const std::vector<std::string>& arguments,
                           std::string log_name = "QuillmarshSrv.log.txt",
                           ServerStdout stdout_to = ServerStdout::file);
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // A loopback port that is free to give the server. Another test may take
    // it before the server binds it: see lost_the_port.
    static std::uint16_t free_port();

    // Waits until the server listens on port or ends; true when it ended
    // because another process had taken the port first.
    bool lost_the_port(std::uint16_t port);
    // Starts the server again, in the same directory, its log removed.
    void restart(const std::vector<std::string>& arguments, ServerStdout stdout_to);

    // Waits for the process to end; its exit code, or -1 on time-out.
    int wait_exit(int timeout_ms);
    bool running();

    // What the server wrote, read back as text: a Windows build writes its
    // console and its log in text mode, and these undo its CRLF line ends,
    // so one expectation holds for every build.
    std::string stdout_text() const { return text_mode_read(dir.read("stdout.txt")); }
    std::string stderr_text() const { return text_mode_read(dir.read("stderr.txt")); }
    std::string log_text() const { return text_mode_read(log_bytes()); }
    // The log file byte for byte, line ends as stored.
    std::string log_bytes() const { return dir.read(log_name); }
    bool log_exists() const;
    // Waits until the log holds text at least count times.
    bool wait_for_log(const std::string& text, int count = 1, int timeout_ms = 10000) const;
    const ScratchDirectory& directory() const { return dir; }
    // The process id while it runs (for /proc), or -1.
    pid_t process_id() const { return pid; }
    void send_signal(int signal_number) const;
    // What an unread_pipe holds now; the pipe is then empty.
    std::string drain_stdout() const;

private:
    void start(const std::vector<std::string>& arguments, ServerStdout stdout_to);

    ScratchDirectory dir;
    std::string log_name;
    pid_t pid = -1;
    int exit_code = -1;
    int stdout_reader = -1;
};

// The command words for the server, from QM_SERVER_COMMAND or the build.
std::vector<std::string> server_command();
// True when the server command runs under wine.
bool server_runs_under_wine();
