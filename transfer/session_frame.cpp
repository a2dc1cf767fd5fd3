#include "session_frame.h"

#include <cstdio>
#include <ctime>
#include <vector>

#include "activity_log.h"
#include "console.h"
#include "line_transport.h"

namespace quorvexia {

namespace {

bool Connect(platform::Socket& link, const SessionProtocol& p) {
    platform::ServerName name;
    std::vector<platform::NetAddress> addresses;
    if (!platform::ParseServerField(p.server, p.defaultPort, name) || !platform::ResolveHost(name, addresses)) {
        ConsolePrint("Could not resolve %s host.\n", p.name);
        LogEvent('!', "Could not resolve host");
        return false;
    }
    ConsolePrint("Connecting to %s server...\n", p.name);
    for (const auto& address : addresses) {
        if (link.connect(address)) return true;
    }
    ConsolePrint("Unable to open connection.\n");
    LogEvent('!', "Unable to open connection");
    return false;
}

}  // namespace

int RunSession(const SessionProtocol& p) {
    platform::Socket link;
    if (!link.open()) {
        platform::NetCleanup();
        FatalError("socket() failed");
    }
    std::time_t start = std::time(nullptr);
    ConsolePrint("Solving %s host '%s'...\n", p.name, p.server);
    LogEventf('+', "Connecting to %s server", p.name);
    if (!Connect(link, p)) return 1;

    consoleLineOpen = false;
    ResetLink();
    if (p.connected) p.connected();
    ConsolePrint("Logging in...\n");

    int result = p.dialogue(link);

    if (result != kDialogueLinkFailed) {
        ConsolePrint("Closing connection...\n");
        link.setTimeout(platform::kReplyTimeoutMs);
        if (SendLine(link, "QUIT") == 0) ReceiveLine(link, replyLine, kReplyLineSize);
    }
    EndProgressLine();
    if (result == kDialogueLinkFailed) {
        std::snprintf(replyLine, kReplyLineSize, "Remote closed connection. (%d)", platform::LastNetError());
        ConsolePrint("%s\n", replyLine);
        LogEvent('!', replyLine);
    } else {
        ConsolePrint("Connection closed.\n");
        LogEvent('+', "Mail session closed");
        auto seconds = static_cast<unsigned>(SecondsSince(start));
        LogEventf('$', "To %s, %u:%02u", p.server, seconds / 60, seconds % 60);
    }
    if (p.tidyUp) p.tidyUp(result);
    return result == kDialogueDone ? 0 : 1;
}

}  // namespace quorvexia
