// Running a helper program for the NetworkManager provider: fork and execvp,
// never a shell, so no name or value is ever parsed as shell text.
#pragma once

#include <string>
#include <vector>

namespace quorvexia::providers {

struct ProcessResult {
    bool started = false;  // false: the program could not be run (not installed)
    bool finished = false; // false: killed by a signal or stopped at the time limit
    int status = 0;        // exit status when finished
    std::string out;
    std::string err;
};

// Runs args[0] (found on PATH) with its arguments, stdin from /dev/null.
// With capture, stdout and stderr are collected; without, they are the
// caller's. A timeout of 0 waits as long as the program runs.
ProcessResult RunProcess(const std::vector<std::string>& args, bool capture, int timeoutSeconds);

}  // namespace quorvexia::providers
