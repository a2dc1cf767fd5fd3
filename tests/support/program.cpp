#include "program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <regex>

namespace quorvexia::test {

namespace {

void Drain(int fd, std::string& into, bool& open) {
    char buf[65536];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
        into.append(buf, static_cast<std::size_t>(n));
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        open = false;
    }
}

}  // namespace

ProgramResult RunProgram(const std::string& exe, const std::vector<std::string>& args,
                         const std::string& cwd, const std::string& input, int timeoutSeconds,
                         const std::string& argv0) {
    int inPipe[2], outPipe[2], errPipe[2];
    if (pipe2(inPipe, O_CLOEXEC) || pipe2(outPipe, O_CLOEXEC) || pipe2(errPipe, O_CLOEXEC)) return {};
    pid_t pid = fork();
    if (pid == 0) {
        dup2(inPipe[0], 0);
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        std::vector<char*> argv;
        std::string name = argv0.empty() ? exe : argv0;
        argv.push_back(name.data());
        std::vector<std::string> copies(args);
        for (auto& a : copies) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(exe.c_str(), argv.data());
        _exit(127);
    }
    close(inPipe[0]);
    close(outPipe[1]);
    close(errPipe[1]);
    if (!input.empty()) (void)!write(inPipe[1], input.data(), input.size());
    close(inPipe[1]);

    ProgramResult result;
    bool outOpen = true, errOpen = true;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    while (outOpen || errOpen) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(pid, SIGKILL);
            result.err += "\n[killed after " + std::to_string(timeoutSeconds) + " s]";
            break;
        }
        pollfd fds[2] = {{outOpen ? outPipe[0] : -1, POLLIN, 0}, {errOpen ? errPipe[0] : -1, POLLIN, 0}};
        if (poll(fds, 2, static_cast<int>(left.count())) <= 0) continue;
        if (fds[0].revents) Drain(outPipe[0], result.out, outOpen);
        if (fds[1].revents) Drain(errPipe[0], result.err, errOpen);
    }
    close(outPipe[0]);
    close(errPipe[0]);
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    return result;
}

bool ReadUntil(int fd, std::string& seen, const std::string& text, int ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (seen.find(text) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, 100) <= 0) continue;
        char buf[512];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        seen.append(buf, static_cast<std::size_t>(n));
    }
    return seen.find(text) != std::string::npos;
}

bool EndsWellOnTerminal(int pid, int fd, std::string& seen) {
    int status = -1;
    for (int i = 0; i < 400 && waitpid(pid, &status, WNOHANG) == 0; ++i) ReadUntil(fd, seen, "never", 50);
    if (!WIFEXITED(status)) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    close(fd);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

KorvSandbox::KorvSandbox() {
    config = DefaultConfig();
    config.inboundDir.assign("in");
    config.outboundDir.assign("out");
    config.logFile.assign("korv.log");
    MakeDir(inbound());
    MakeDir(outbound());
    if (symlink(KORV_PATH, path("korv").c_str()) != 0) ADD_FAILURE() << "cannot link korv";
}

void KorvSandbox::writeConfig() const { WriteConfig(path("korv.cfg"), config); }

ProgramResult KorvSandbox::run(const std::vector<std::string>& args, const std::string& cwd,
                               int timeoutSeconds) {
    if (writeConfigOnRun) writeConfig();
    return RunProgram(path("korv"), args, cwd.empty() ? dir() : cwd, "", timeoutSeconds);
}

std::string Banner() {
    return " Quorvexia 2.12 - mail transfer for one user, by the Quorvexia developers\n" +
           std::string(74, '=') + "\n\n";
}

std::string MaskLog(const std::string& log) {
    static const std::regex stamp(R"((^|\n)(.) [ 0-9]\d:\d\d:\d\d  )");
    static const std::regex header(R"(----------  \w\w\w \d\d \w\w\w \d\d, )");
    std::string masked = std::regex_replace(log, stamp, "$1$2 HH:MM:SS  ");
    return std::regex_replace(masked, header, "----------  DAY DD MON YY, ");
}

}  // namespace quorvexia::test
