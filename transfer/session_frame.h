// One connection of either mail protocol, from the socket to its close: the
// frame resolves and connects, starts the transport clean, runs the
// protocol's dialogue, says QUIT unless the link failed, reports, lets the
// protocol tidy up, and closes the socket on every way out.
#pragma once

#include "platform/net.h"

namespace quorvexia {

// What the dialogue routines return.
enum DialogueResult : int {
    kDialogueDone = 0,     // worked through
    kDialogueStopped = 1,  // refused or a protocol error; QUIT is still sent
    kDialogueLinkFailed = 2,
};

struct SessionProtocol {
    const char* name;              // "SMTP" or "POP3", as the console texts name it
    unsigned short defaultPort;    // 25 or 110 when the server field names none
    const char* server;            // the server field of the configuration
    void (*connected)();           // right after the connect, before "Logging in..."
    int (*dialogue)(platform::Socket& link);
    void (*tidyUp)(int result);    // after the report: close and remove what the dialogue left
};

// 0 when the dialogue worked through, 1 in every other case.
int RunSession(const SessionProtocol& protocol);

}  // namespace quorvexia
