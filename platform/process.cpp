#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quorvexia::platform {

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

// Reads the captured outputs until they are closed, the time is up or stdout
// passes its limit; false when the program must be stopped.
bool Collect(Fd* ends[2], ProcessResult& result, const ProcessOptions& options) {
    long long deadline = options.timeoutSeconds > 0 ? NowMs() + options.timeoutSeconds * 1000LL : 0;
    std::string* texts[2] = {&result.out, &result.err};
    while (ends[0]->get() >= 0 || ends[1]->get() >= 0) {
        pollfd fds[2];
        for (int i = 0; i < 2; ++i) fds[i] = {ends[i]->get(), POLLIN, 0};
        int wait = -1;
        if (deadline) {
            long long left = deadline - NowMs();
            if (left <= 0) {
                result.timedOut = true;
                return false;
            }
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
        if (options.outLimit && result.out.size() > options.outLimit) {
            result.overflowed = true;
            return false;
        }
    }
    return true;
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& args, const ProcessOptions& options) {
    ProcessResult result;
    if (args.empty()) return result;
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    Pipe out, err, execError;
    if (!execError.open() || (options.captureOut && !out.open()) || (options.captureErr && !err.open()))
        return result;

    pid_t pid = fork();
    if (pid < 0) return result;
    if (pid == 0) {
        // Only async-signal-safe calls from here on: the parent may have threads.
        int devNull = ::open("/dev/null", O_RDONLY);
        if (devNull >= 0) dup2(devNull, 0);
        if (options.captureOut) dup2(out.ends[1].get(), 1);
        if (options.captureErr) dup2(err.ends[1].get(), 2);
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
    if (!result.started) result.execError = execErrno;

    Fd* ends[2] = {&out.ends[0], &err.ends[0]};
    bool inTime = !result.started || (!options.captureOut && !options.captureErr) || Collect(ends, result, options);
    if (!inTime) kill(pid, SIGKILL);
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    result.finished = inTime && WIFEXITED(wstatus);
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    return result;
}

bool RunHelper(const std::vector<std::string>& words, std::string& answer, std::string& error,
               int timeoutSeconds) {
    answer.clear();
    if (words.empty()) {
        error = "the helper command is empty";
        return false;
    }
    ProcessOptions options;
    options.captureOut = true;
    options.outLimit = kHelperOutputMax;
    options.timeoutSeconds = timeoutSeconds;
    ProcessResult result = RunProcess(words, options);
    const std::string name = "helper '" + words[0] + "'";
    if (!result.started) {
        error = name + " cannot be run: " +
                (result.execError ? std::strerror(result.execError) : "no process could be made");
        return false;
    }
    if (result.timedOut) {
        error = name + " gave no answer within " + std::to_string(timeoutSeconds) +
                (timeoutSeconds == 1 ? " second" : " seconds");
        return false;
    }
    if (result.overflowed) {
        error = name + " printed more than " + std::to_string(kHelperOutputMax) + " bytes";
        return false;
    }
    if (!result.finished) {
        error = name + " was ended by a signal";
        return false;
    }
    if (result.status != 0) {
        error = name + " failed with exit status " + std::to_string(result.status);
        return false;
    }
    answer = std::move(result.out);
    if (!answer.empty() && answer.back() == '\n') {
        answer.pop_back();
        if (!answer.empty() && answer.back() == '\r') answer.pop_back();
    }
    return true;
}

}  // namespace quorvexia::platform
