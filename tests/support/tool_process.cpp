#include "tests/support/tool_process.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

ToolProcess::ToolProcess(const std::string& binary, const std::vector<std::string>& arguments,
                         const std::vector<std::pair<std::string, std::string>>& environment,
                         const std::string& input)
{
    if (std::FILE* file = std::fopen((dir.path() / "stdin.txt").c_str(), "wb")) {
        std::fwrite(input.data(), 1, input.size(), file);
        std::fclose(file);
    }
    pid = fork();
    if (pid != 0)
        return;
    // A test that dies without its destructors takes its tools with it.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (chdir(dir.path().c_str()) != 0)
        _exit(127);
    dup2(open("stdin.txt", O_RDONLY), 0);
    dup2(open("stdout.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
    dup2(open("stderr.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
    for (const auto& [name, value] : environment)
        setenv(name.c_str(), value.c_str(), 1);
    std::vector<char*> argv{const_cast<char*>(binary.c_str())};
    for (const std::string& word : arguments)
        argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
}

ToolProcess::~ToolProcess()
{
    if (pid > 0 && wait_exit(0) == -1) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

int ToolProcess::wait_exit(int timeout_ms)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (pid <= 0)
            return code;
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return code;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}
