// The redirect target of the authorization code flow (RFC 8252 7.3): a
// listener on an ephemeral loopback port that takes exactly one GET carrying
// the expected `state`, answers "you can close this window", and closes. A
// request with another state (or none) is answered and ignored; nothing but
// loopback addresses is ever bound.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "oauth_reply.h"

namespace quorvexia::signin {

inline constexpr std::chrono::seconds kCallbackWait{300};

class LoopbackListener {
public:
    LoopbackListener() = default;
    ~LoopbackListener();
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    // Binds 127.0.0.1 on a free port; for "localhost" also ::1 on the same
    // port where the machine has IPv6. False with the system's reason.
    bool open(const std::string& redirectHost, std::string& error);
    unsigned short port() const { return port_; }
    // "http://localhost:PORT/" or "http://127.0.0.1:PORT/".
    std::string redirectUri() const;

    // Waits for the callback with `state`. True with the code; false with
    // Cancelled for a refusal, time-out (`limit`) or `cancelled()` turning
    // true (asked ten times a second, so that a Cancel button acts at once).
    // The listener is closed afterwards, so a second callback finds no one.
    bool wait(const std::string& state, std::string& code, Failure& failure,
              std::chrono::milliseconds limit = kCallbackWait, const std::function<bool()>& cancelled = {});
    void close();

private:
    int sockets_[2] = {-1, -1};
    unsigned short port_ = 0;
    std::string host_;
};

}  // namespace quorvexia::signin
