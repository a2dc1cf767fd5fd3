// The daemon wait of the built korv, driven through a pseudo-terminal: Esc
// ends it promptly, other keys are swallowed, no pass starts early, the wait
// does not spin, and the terminal gets its mode back however korv ends.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "support/program.h"
#include "support/temp_dir.h"

namespace quorvexia {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const std::string kWaiting = "Waiting for next event.\n";

// korv with the slave side of a pseudo-terminal as its controlling terminal.
// The test keeps a slave descriptor of its own, so that the terminal's mode
// can still be read after korv has gone.
class PtyKorv {
public:
    // With `background`, korv runs in a process group of its own behind a
    // session leader that stays in the foreground: the leader prints
    // "korv <pid>", reports "stopped" if korv is stopped by the terminal, and
    // ends with korv's status (128 + signal when a signal ended it).
    PtyKorv(test::KorvSandbox& box, std::vector<std::string> args, bool background = false) {
        box.writeConfig();
        std::string exe = box.path("korv");
        std::string dir = box.dir();
        pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
        if (pid_ == 0) {
            // Plain "\n" line ends in what the test reads.
            termios t;
            tcgetattr(STDIN_FILENO, &t);
            t.c_oflag &= ~OPOST;
            tcsetattr(STDIN_FILENO, TCSANOW, &t);
            if (chdir(dir.c_str()) != 0) _exit(126);
            if (background) {
                pid_t korv = fork();
                if (korv > 0) {
                    setpgid(korv, korv);
                    std::printf("korv %d\n", static_cast<int>(korv));
                    std::fflush(stdout);
                    int st = 0;
                    waitpid(korv, &st, WUNTRACED);
                    if (WIFSTOPPED(st)) {
                        std::printf("stopped\n");
                        std::fflush(stdout);
                        kill(korv, SIGKILL);
                        waitpid(korv, &st, 0);
                        _exit(200);
                    }
                    _exit(WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st));
                }
                setpgid(0, 0);
            }
            std::vector<char*> argv{exe.data()};
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(exe.c_str(), argv.data());
            _exit(127);
        }
        if (pid_ > 0) slave_ = open(ptsname(master_), O_RDWR | O_NOCTTY);
    }
    ~PtyKorv() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (slave_ >= 0) close(slave_);
        if (master_ >= 0) close(master_);
    }
    bool started() const { return pid_ > 0 && slave_ >= 0; }
    pid_t pid() const { return pid_; }
    const std::string& out() const { return out_; }

    // Reads what korv writes, for at most `ms`, until `needle` has appeared.
    bool readUntil(const std::string& needle, int ms) {
        auto deadline = Clock::now() + milliseconds(ms);
        while (out_.find(needle) == std::string::npos) {
            auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) return false;
            readSome(static_cast<int>(left));
        }
        return true;
    }
    void readFor(int ms) { readUntil(std::string(1, '\x01'), ms); }

    void type(const std::string& keys) { ASSERT_EQ(write(master_, keys.data(), keys.size()), ssize_t(keys.size())); }

    // Waits at most `ms` for korv to end, reading its output meanwhile.
    bool waitExit(int ms) {
        auto deadline = Clock::now() + milliseconds(ms);
        while (!exited_) {
            int status = 0;
            rusage usage{};
            pid_t r = wait4(pid_, &status, WNOHANG, &usage);
            if (r == pid_) {
                exited_ = true;
                status_ = status;
                usage_ = usage;
                break;
            }
            if (Clock::now() >= deadline) return false;
            readSome(20);
        }
        while (readSome(0)) {
        }
        return true;
    }
    bool running() {
        if (exited_) return false;
        int status = 0;
        rusage usage{};
        if (wait4(pid_, &status, WNOHANG, &usage) == pid_) {
            exited_ = true;
            status_ = status;
            usage_ = usage;
        }
        return !exited_;
    }
    int status() const { return status_; }
    double cpuSeconds() const {
        return double(usage_.ru_utime.tv_sec + usage_.ru_stime.tv_sec) +
               double(usage_.ru_utime.tv_usec + usage_.ru_stime.tv_usec) / 1e6;
    }

    termios mode() const {
        termios t{};
        tcgetattr(slave_, &t);
        return t;
    }
    bool lineMode() const {
        termios t = mode();
        return (t.c_lflag & ICANON) && (t.c_lflag & ECHO);
    }
    // Waits at most `ms` until korv has switched the terminal to key polling.
    bool waitForKeyMode(int ms) {
        auto deadline = Clock::now() + milliseconds(ms);
        while (lineMode()) {
            if (Clock::now() >= deadline) return false;
            std::this_thread::sleep_for(milliseconds(10));
        }
        return true;
    }

private:
    bool readSome(int ms) {
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0 || !(p.revents & POLLIN)) return false;
        char buf[4096];
        ssize_t n = read(master_, buf, sizeof buf);
        if (n <= 0) return false;
        out_.append(buf, static_cast<std::size_t>(n));
        return true;
    }

    pid_t pid_ = -1;
    int master_ = -1;
    int slave_ = -1;
    bool exited_ = false;
    int status_ = -1;
    rusage usage_{};
    std::string out_;
};

class DaemonWaitTest : public ::testing::Test {
protected:
    // One pass that finds nothing to send, then the wait; Esc, then the closing empty line.
    const std::string wholeRun = test::Banner() + "No messages for delivery.\n\n" + kWaiting + "\n";
    const std::string onePassLog =
        "\n----------  DAY DD MON YY, Quorvexia 2.12; SEND\n+ HH:MM:SS  No messages for delivery\n";
    test::KorvSandbox box;
};

TEST_F(DaemonWaitTest, EscEndsTheWaitPromptly) {
    PtyKorv korv(box, {"/send", "/daemon:1"});
    ASSERT_TRUE(korv.started());
    ASSERT_TRUE(korv.readUntil(kWaiting, 10000)) << korv.out();
    ASSERT_TRUE(korv.waitForKeyMode(3000)) << "the terminal stays in line mode during the wait";
    EXPECT_FALSE(korv.mode().c_lflag & ECHO);

    auto escAt = Clock::now();
    korv.type("\x1b");
    ASSERT_TRUE(korv.waitExit(3000)) << "Esc did not end the wait";
    EXPECT_LT(Clock::now() - escAt, milliseconds(1500));
    ASSERT_TRUE(WIFEXITED(korv.status()));
    EXPECT_EQ(WEXITSTATUS(korv.status()), 0);
    EXPECT_EQ(korv.out(), wholeRun);
    EXPECT_TRUE(korv.lineMode()) << "line editing and echo are back after Esc";
    EXPECT_EQ(test::MaskLog(box.log()), onePassLog);
}

TEST_F(DaemonWaitTest, OtherKeysAreSwallowedAndNoPassStartsEarly) {
    PtyKorv korv(box, {"/send", "/daemon:1"});
    ASSERT_TRUE(korv.started());
    ASSERT_TRUE(korv.readUntil(kWaiting, 10000)) << korv.out();
    ASSERT_TRUE(korv.waitForKeyMode(3000));
    auto waitStart = Clock::now();

    // A letter, Enter, and an arrow key, whose sequence begins with the Esc code.
    for (const char* keys : {"x", "\n", "\x1b[A", "q"}) {
        korv.type(keys);
        korv.readFor(400);
    }
    korv.readFor(static_cast<int>(3000 - std::chrono::duration_cast<milliseconds>(Clock::now() - waitStart).count()));
    EXPECT_TRUE(korv.running()) << "a key other than Esc ended the wait";
    EXPECT_EQ(korv.out(), test::Banner() + "No messages for delivery.\n\n" + kWaiting)
        << "no echo of the keys and no new pass within 3 seconds";

    korv.type("\x1b");
    ASSERT_TRUE(korv.waitExit(3000));
    ASSERT_TRUE(WIFEXITED(korv.status()));
    EXPECT_EQ(WEXITSTATUS(korv.status()), 0);
    EXPECT_EQ(korv.out(), wholeRun);
    EXPECT_EQ(test::MaskLog(box.log()), onePassLog);
    // More than three seconds of waiting cost next to no processor time.
    EXPECT_LT(korv.cpuSeconds(), 0.5);
}

TEST_F(DaemonWaitTest, SignalDuringTheWaitRestoresTheTerminal) {
    for (int sig : {SIGTERM, SIGINT, SIGQUIT, SIGHUP}) {
        SCOPED_TRACE(strsignal(sig));
        PtyKorv korv(box, {"/send", "/daemon:5"});
        ASSERT_TRUE(korv.started());
        ASSERT_TRUE(korv.readUntil(kWaiting, 10000)) << korv.out();
        ASSERT_TRUE(korv.waitForKeyMode(3000));
        kill(korv.pid(), sig);
        ASSERT_TRUE(korv.waitExit(5000));
        EXPECT_TRUE(WIFSIGNALED(korv.status()) && WTERMSIG(korv.status()) == sig)
            << "the signal keeps its usual effect";
        EXPECT_TRUE(korv.lineMode()) << "line editing and echo are back";
    }
}

TEST_F(DaemonWaitTest, InTheBackgroundTheTerminalIsLeftAlone) {
    PtyKorv leader(box, {"/send", "/daemon:1"}, /*background=*/true);
    ASSERT_TRUE(leader.started());
    ASSERT_TRUE(leader.readUntil(kWaiting, 10000)) << leader.out();
    leader.readFor(1500);
    EXPECT_TRUE(leader.running()) << leader.out();
    EXPECT_EQ(leader.out().find("stopped"), std::string::npos) << "korv was stopped by the terminal";
    EXPECT_TRUE(leader.lineMode()) << "a background run changed the terminal's mode";

    int korvPid = 0;
    auto at = leader.out().find("korv ");
    ASSERT_NE(at, std::string::npos);
    korvPid = std::atoi(leader.out().c_str() + at + 5);
    ASSERT_GT(korvPid, 0);
    kill(korvPid, SIGTERM);
    ASSERT_TRUE(leader.waitExit(5000));
    EXPECT_EQ(WEXITSTATUS(leader.status()), 128 + SIGTERM);
}

TEST_F(DaemonWaitTest, WithoutDaemonThereIsNoWait) {
    PtyKorv korv(box, {"/send"});
    ASSERT_TRUE(korv.started());
    ASSERT_TRUE(korv.waitExit(10000));
    ASSERT_TRUE(WIFEXITED(korv.status()));
    EXPECT_EQ(WEXITSTATUS(korv.status()), 0);
    EXPECT_EQ(korv.out(), test::Banner() + "No messages for delivery.\n");
    EXPECT_TRUE(korv.lineMode());
}

}  // namespace
}  // namespace quorvexia
