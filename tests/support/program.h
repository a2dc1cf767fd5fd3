// Running a built program as a process for program tests, and a sandbox in
// which korv runs: a temporary directory holding a link to the binary, its
// korv.cfg and the two mail directories.
#pragma once

#include <string>
#include <vector>

#include "temp_dir.h"

namespace quorvexia::test {

struct ProgramResult {
    int status = -1;      // exit status, or 128 + signal
    std::string out;      // standard output
    std::string err;      // standard error (sanitizer reports land here)
};

// Runs `exe` with `args` (argv[0] is `argv0`, or `exe` when empty) in `cwd`,
// feeding `input` on stdin; killed after `timeoutSeconds`.
ProgramResult RunProgram(const std::string& exe, const std::vector<std::string>& args,
                         const std::string& cwd, const std::string& input = "",
                         int timeoutSeconds = 120, const std::string& argv0 = "");

// Reads from `fd` into `seen` until `text` stands in it, for at most `ms`
// milliseconds or until the writer closes; whether it came.
bool ReadUntil(int fd, std::string& seen, const std::string& text, int ms);

// Lets the program `pid` on the terminal `fd` end (killed after 20 s), reading
// what it writes into `seen`, and closes `fd`; whether it exited with 0.
bool EndsWellOnTerminal(int pid, int fd, std::string& seen);

class KorvSandbox {
public:
    KorvSandbox();  // korv linked in, "in" and "out" created, a default config in memory
    const std::string& dir() const { return temp_.path(); }
    std::string path(std::string_view name) const { return temp_ / name; }
    std::string inbound() const { return path("in"); }
    std::string outbound() const { return path("out"); }
    std::string logPath() const { return path("korv.log"); }

    MailConfig config;       // written to korv.cfg by writeConfig() and by run()
    bool writeConfigOnRun = true;
    void writeConfig() const;

    // Runs korv by its path inside the sandbox, from `cwd` (the sandbox when empty).
    ProgramResult run(const std::vector<std::string>& args, const std::string& cwd = "",
                      int timeoutSeconds = 120);
    std::string log() const { return ReadFile(logPath()); }

private:
    TempDir temp_;
};

// The banner korv prints first.
std::string Banner();

// Log lines with their time stamps masked: "+ 12:34:56  x" becomes "+ HH:MM:SS  x",
// the header's date becomes "DAY DD MON YY".
std::string MaskLog(const std::string& log);

}  // namespace quorvexia::test
