#include "secret_input.h"

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>

namespace quorvexia::platform {

namespace {

struct termios savedMode;
volatile sig_atomic_t echoOff = 0;

void RestoreEcho() {
    if (echoOff) tcsetattr(STDIN_FILENO, TCSANOW, &savedMode);
    echoOff = 0;
}

// A signal during the prompt must not leave the terminal without echo.
void OnSignal(int signal) {
    RestoreEcho();
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    sigaction(signal, &standard, nullptr);
    raise(signal);
}

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP};

// The echo is off for this object's life.
class EchoOff {
public:
    EchoOff() {
        if (tcgetattr(STDIN_FILENO, &savedMode) != 0) return;
        struct sigaction handler {};
        handler.sa_handler = OnSignal;
        for (std::size_t i = 0; i < std::size(kSignals); ++i) sigaction(kSignals[i], &handler, &old_[i]);
        struct termios quiet = savedMode;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL);
        echoOff = tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
        active_ = true;
    }
    ~EchoOff() {
        if (!active_) return;
        RestoreEcho();
        for (std::size_t i = 0; i < std::size(kSignals); ++i) sigaction(kSignals[i], &old_[i], nullptr);
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

private:
    bool active_ = false;
    struct sigaction old_[std::size(kSignals)] {};
};

bool ReadLine(std::string& value) {
    value.clear();
    int c;
    bool any = false;
    while ((c = std::getchar()) != EOF) {
        any = true;
        if (c == '\n') break;
        value += static_cast<char>(c);
    }
    if (!value.empty() && value.back() == '\r') value.pop_back();
    return any;
}

}  // namespace

bool ReadSecretLine(const std::string& prompt, std::string& value) {
    if (!isatty(STDIN_FILENO)) return ReadLine(value);
    bool read;
    {
        // The echo goes off before the prompt shows: nothing typed after it is seen.
        EchoOff quiet;
        std::fputs(prompt.c_str(), stderr);
        std::fflush(stderr);
        read = ReadLine(value);
    }
    // The Enter key was not echoed: end the prompt's line.
    std::fputs("\n", stderr);
    return read;
}

}  // namespace quorvexia::platform
