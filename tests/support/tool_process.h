// A companion program (qmclient, loadgen) run for a test in a scratch
// directory, with its standard input from a given text and its output kept.
#pragma once

#include "tests/support/scratch_directory.h"

#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

class ToolProcess {
public:
    ToolProcess(const std::string& binary, const std::vector<std::string>& arguments,
                const std::vector<std::pair<std::string, std::string>>& environment = {},
                const std::string& input = "");
    ~ToolProcess();
    ToolProcess(const ToolProcess&) = delete;
    ToolProcess& operator=(const ToolProcess&) = delete;

    // The exit code, or -1 while it still runs after timeout_ms.
    int wait_exit(int timeout_ms = 20000);
    std::string out() const { return dir.read("stdout.txt"); }
    std::string err() const { return dir.read("stderr.txt"); }

private:
    ScratchDirectory dir;
    pid_t pid = -1;
    int code = -1;
};
