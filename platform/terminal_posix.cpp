#include "platform/terminal.h"

#include <cerrno>
#include <csignal>
#include <termios.h>
#include <unistd.h>

namespace {

termios saved_settings;

// Only async-signal-safe calls: restore, then die of the signal as before.
void restore_and_reraise(int signal_number)
{
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_settings);
    std::signal(signal_number, SIG_DFL);
    raise(signal_number);
}

constexpr int ENDING_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP};

void on_ending_signals(void (*handler)(int))
{
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    for (int signal_number : ENDING_SIGNALS)
        sigaction(signal_number, &action, nullptr);
}

bool read_line(std::string* line)
{
    line->clear();
    for (;;) {
        char c = 0;
        ssize_t n = read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        if (c == '\n')
            return true;
        *line += c;
    }
}

} // namespace

bool stdin_is_terminal()
{
    return isatty(STDIN_FILENO) == 1;
}

bool terminal_read_hidden_line(std::string* line)
{
    if (tcgetattr(STDIN_FILENO, &saved_settings) != 0)
        return false;
    termios hidden = saved_settings;
    hidden.c_lflag &= static_cast<tcflag_t>(~ECHO);
    hidden.c_lflag |= ECHONL; // the Enter key still moves to the next line
    on_ending_signals(restore_and_reraise);
    if (tcsetattr(STDIN_FILENO, TCSAFLUSH, &hidden) != 0) {
        on_ending_signals(SIG_DFL);
        return false;
    }
    bool got = read_line(line);
    bool restored = tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_settings) == 0;
    on_ending_signals(SIG_DFL);
    if (got && !line->empty() && line->back() == '\r')
        line->pop_back();
    return got && restored;
}
