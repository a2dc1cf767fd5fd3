#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace quorvexia::providers {

namespace {

class Fd {
public:
    Fd() = default;
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int* out() { return &fd_; }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

struct Pipe {
    Fd ends[2];
    bool open() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return false;
        *ends[0].out() = fds[0];
        *ends[1].out() = fds[1];
        return true;
    }
};

long long NowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Reads both outputs until both are closed or the time is up; false at the limit.
bool Collect(Pipe& out, Pipe& err, ProcessResult& result, int timeoutSeconds) {
    long long deadline = timeoutSeconds > 0 ? NowMs() + timeoutSeconds * 1000LL : 0;
    Fd* ends[2] = {&out.ends[0], &err.ends[0]};
    std::string* texts[2] = {&result.out, &result.err};
    while (ends[0]->get() >= 0 || ends[1]->get() >= 0) {
        pollfd fds[2];
        for (int i = 0; i < 2; ++i) fds[i] = {ends[i]->get(), POLLIN, 0};
        int wait = -1;
        if (deadline) {
            long long left = deadline - NowMs();
            if (left <= 0) return false;
            wait = static_cast<int>(left);
        }
        int ready = poll(fds, 2, wait);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return false;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[4096];
            ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                texts[i]->append(buffer, static_cast<std::size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                ends[i]->reset();
            }
        }
    }
    return true;
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& args, bool capture, int timeoutSeconds) {
    ProcessResult result;
    if (args.empty()) return result;
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    Pipe out, err, execError;
    if (!execError.open() || (capture && (!out.open() || !err.open()))) return result;

    pid_t pid = fork();
    if (pid < 0) return result;
    if (pid == 0) {
        // Only async-signal-safe calls from here on: the parent may have threads.
        int devNull = ::open("/dev/null", O_RDONLY);
        if (devNull >= 0) dup2(devNull, 0);
        if (capture) {
            dup2(out.ends[1].get(), 1);
            dup2(err.ends[1].get(), 2);
        }
        execvp(argv[0], argv.data());
        int error = errno;
        ssize_t ignored = write(execError.ends[1].get(), &error, sizeof error);
        (void)ignored;
        _exit(127);
    }

    execError.ends[1].reset();
    out.ends[1].reset();
    err.ends[1].reset();
    int execErrno = 0;
    ssize_t got;
    do {
        got = read(execError.ends[0].get(), &execErrno, sizeof execErrno);
    } while (got < 0 && errno == EINTR);
    result.started = got == 0;  // the pipe closed on a successful exec

    bool inTime = !result.started || !capture || Collect(out, err, result, timeoutSeconds);
    if (!inTime) kill(pid, SIGKILL);
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    result.finished = inTime && WIFEXITED(wstatus);
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    return result;
}

}  // namespace quorvexia::providers
