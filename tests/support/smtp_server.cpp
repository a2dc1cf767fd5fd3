#include "smtp_server.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "scripted_server.h"
#include "temp_dir.h"

extern char** environ;

namespace quorvexia::test {

SmtpServerProcess::SmtpServerProcess(const std::string& dir, int seconds, double delay)
    : dir_(dir), port_(FreeLoopbackPort()) {
    std::vector<std::string> args{std::string(QUORVEXIA_SOURCE_DIR) + "/tests/smtp_sink.py", std::to_string(port_),
                                  dir, std::to_string(seconds)};
    if (delay > 0) args.push_back(std::to_string(delay));
    start(args);
}

SmtpServerProcess::SmtpServerProcess(const std::string& mode, const std::string& cert, const std::string& key,
                                     const std::string& dir, int seconds)
    : dir_(dir), port_(FreeLoopbackPort()) {
    start({std::string(QUORVEXIA_SOURCE_DIR) + "/tests/tls/smtp_tls_server.py", mode, std::to_string(port_), cert,
           key, dir, std::to_string(seconds)});
}

void SmtpServerProcess::start(const std::vector<std::string>& args) {
    int out[2];
    if (pipe(out) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::vector<char*> argv{const_cast<char*>("/usr/bin/python3")};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    // Wait (bounded) for its "ready".
    pollfd pfd{out[0], POLLIN, 0};
    char buf[64];
    ready_ = pid_ > 0 && poll(&pfd, 1, 30000) > 0 && read(out[0], buf, sizeof buf) >= 5 &&
             std::string(buf, 5) == "ready";
    readyPipe_ = out[0];  // kept open: the server may still write to it
}

SmtpServerProcess::~SmtpServerProcess() {
    if (readyPipe_ >= 0) close(readyPipe_);
    if (pid_ <= 0) return;
    WriteFile(dir_ + "/stop", "");
    for (int i = 0; i < 200; ++i) {
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
}

}  // namespace quorvexia::test
