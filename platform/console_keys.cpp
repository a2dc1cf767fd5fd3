#include "console_keys.h"

#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <iterator>

namespace quorvexia::platform {

namespace {

termios savedMode;
volatile sig_atomic_t modeSaved = 0;
// The signals that end the program from the terminal or from outside; each
// gives the terminal its mode back before it takes its usual course.
constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGQUIT, SIGHUP};
struct sigaction oldActions[std::size(kEndingSignals)];

struct sigaction* OldAction(int sig) {
    for (std::size_t i = 0; i < std::size(kEndingSignals); ++i)
        if (kEndingSignals[i] == sig) return &oldActions[i];
    return nullptr;
}

void RestoreTerminal() {
    if (modeSaved) tcsetattr(STDIN_FILENO, TCSANOW, &savedMode);
}

void OnSignal(int sig) {
    RestoreTerminal();
    modeSaved = 0;
    // Hand the signal to its earlier disposition, so the program ends as it would have.
    if (struct sigaction* old = OldAction(sig)) sigaction(sig, old, nullptr);
    raise(sig);
}

void SleepMs(int ms) {
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

}  // namespace

bool StdoutIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

KeyPolling::KeyPolling() {
    // A run in the background of a terminal must not touch it: changing its
    // mode or reading from it would stop the process until it is brought back.
    if (!isatty(STDIN_FILENO) || tcgetpgrp(STDIN_FILENO) != getpgrp() ||
        tcgetattr(STDIN_FILENO, &savedMode) != 0)
        return;
    terminal_ = true;
    modeSaved = 1;
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    for (std::size_t i = 0; i < std::size(kEndingSignals); ++i)
        sigaction(kEndingSignals[i], &sa, &oldActions[i]);

    termios raw = savedMode;
    raw.c_lflag &= ~(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);
}

KeyPolling::~KeyPolling() {
    if (!terminal_) return;
    RestoreTerminal();
    modeSaved = 0;
    for (std::size_t i = 0; i < std::size(kEndingSignals); ++i)
        sigaction(kEndingSignals[i], &oldActions[i], nullptr);
}

bool KeyPolling::waitForKey(int timeoutMs) {
    if (!terminal_) {
        SleepMs(timeoutMs);
        return false;
    }
    pollfd pfd{STDIN_FILENO, POLLIN, 0};
    int n = poll(&pfd, 1, timeoutMs);
    if (n > 0 && (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) && !(pfd.revents & POLLIN)) {
        // A terminal that went away never delivers a key: wait out the time instead of spinning.
        SleepMs(timeoutMs);
        return false;
    }
    return n > 0 && (pfd.revents & POLLIN);
}

int KeyPolling::readKey() {
    unsigned char c;
    ssize_t n;
    do {
        n = read(STDIN_FILENO, &c, 1);
    } while (n < 0 && errno == EINTR);
    return n == 1 ? c : -1;
}

}  // namespace quorvexia::platform
