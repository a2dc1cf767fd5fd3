// One connection of either mail protocol, from the socket to its close: the
// frame resolves and connects (and, for smtps:// and pop3s://, runs the TLS
// handshake), hands the connected stream to a Link, runs the
// protocol's dialogue, says QUIT unless the link failed, reports, lets the
// protocol tidy up, and closes the connection on every way out.
#pragma once

#include <cstdint>
#include <string_view>

#include "line_transport.h"
#include "reporter.h"
#include "secure_link.h"

namespace quorvexia {

// How a dialogue, and each step of it, ended. In a message loop, Done means
// "this message is dealt with; go on".
enum class SessionResult {
    Done,        // worked through
    Stopped,     // refused or a protocol error; QUIT is still sent
    LinkFailed,  // the connection is gone
};

// What the sessions of one run change for the run control.
struct RunState {
    std::uint32_t messageCounter = 0;  // the base name of the next inbound message
    bool mailReceived = false;         // a pass stored new mail (ends daemon mode)
};

class SessionProtocol {
public:
    virtual ~SessionProtocol() = default;
    virtual const char* name() const = 0;          // "SMTP" or "POP3", as the console texts name it
    virtual std::string_view server() const = 0;   // the server field of the configuration
    // The form of the server field and what TLS needs for it.
    virtual const TlsSetup& tls() const = 0;
    virtual SessionResult dialogue(Link& link) = 0;
    // Reads the answer to QUIT (one line unless the protocol says otherwise).
    virtual void receiveQuitReply(Link& link) {
        std::string_view line;
        link.receiveLine(line);
    }
    // After the report, whatever the result: close and remove what the dialogue left.
    virtual void tidyUp(SessionResult /*result*/) {}
    // False after a failure that another attempt would only repeat (a
    // certificate, a refused sign-in): /tries then stops.
    virtual bool mayRetry() const { return true; }
};

// 0 when the dialogue worked through, 1 in every other case, 2 when it
// failed in a way that another attempt would only repeat. Throws FatalError
// when no socket can be had.
int RunSession(SessionProtocol& protocol, Reporter& reporter);

}  // namespace quorvexia
