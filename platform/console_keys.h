// Key polling on the console for the daemon wait. While a KeyPolling object
// lives and stdin is a terminal, the terminal is in non-canonical, no-echo
// mode; it is restored when the object goes, and also when SIGINT, SIGTERM,
// SIGQUIT or SIGHUP end the program in the middle of the wait. When stdin is
// no terminal, or the program runs in the terminal's background, no key is
// ever waiting.
#pragma once

namespace quorvexia::platform {

inline constexpr int kEscapeKey = 27;

// True when standard output is a terminal.
bool StdoutIsTerminal();

class KeyPolling {
public:
    KeyPolling();
    ~KeyPolling();
    KeyPolling(const KeyPolling&) = delete;
    KeyPolling& operator=(const KeyPolling&) = delete;

    // Waits at most `timeoutMs` for a key; true when one is waiting.
    bool waitForKey(int timeoutMs);
    // Reads one waiting key without echo; -1 when none could be read.
    int readKey();

private:
    bool terminal_ = false;
};

}  // namespace quorvexia::platform
