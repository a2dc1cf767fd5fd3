// Running another program: fork and execvp, never a shell, so no name or
// value is ever parsed as shell text. Used by the NetworkManager dial-up
// provider and by korv's password and token helpers.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace quorvexia::platform {

struct ProcessOptions {
    bool captureOut = false;    // collect stdout; otherwise it is the caller's
    bool captureErr = false;    // collect stderr; otherwise it is the caller's
    std::size_t outLimit = 0;   // most stdout bytes kept; more stops the program (0: no limit)
    int timeoutSeconds = 0;     // 0 waits as long as the program runs
};

struct ProcessResult {
    bool started = false;   // false: the program could not be run (not installed)
    bool finished = false;  // false: killed by a signal, or stopped at a limit
    bool timedOut = false;  // stopped at the time limit
    bool overflowed = false;  // stopped because stdout passed outLimit
    int status = 0;         // exit status when finished
    int execError = 0;      // errno of the failed exec when not started
    std::string out;
    std::string err;
};

// Runs args[0] (found on PATH) with its arguments, stdin from /dev/null.
ProcessResult RunProcess(const std::vector<std::string>& args, const ProcessOptions& options);

// The older form: with capture both outputs are collected.
inline ProcessResult RunProcess(const std::vector<std::string>& args, bool capture, int timeoutSeconds) {
    return RunProcess(args, ProcessOptions{capture, capture, 0, timeoutSeconds});
}

// A helper command's answer (a password, an access token): the command line
// is split into words (see SplitCommandLine in config/side_file.h) by the
// caller; stdout is the answer, at most kHelperOutputMax bytes, with one
// trailing newline (LF or CR LF) taken off; stderr goes to the console as it
// is. A helper that cannot start, runs past its time, prints too much or
// exits other than 0 fails, with a sentence in `error`.
inline constexpr std::size_t kHelperOutputMax = 16 * 1024;
inline constexpr int kHelperTimeoutSeconds = 60;
bool RunHelper(const std::vector<std::string>& words, std::string& answer, std::string& error,
               int timeoutSeconds = kHelperTimeoutSeconds);

}  // namespace quorvexia::platform
