#include "smtp_session.h"

#include <climits>
#include <cstdio>
#include <string>

#include "activity_log.h"
#include "console.h"
#include "korv_state.h"
#include "line_transport.h"
#include "outbound_queue.h"
#include "session_frame.h"
#include "sessions.h"

namespace quorvexia {

int ParseReplyCode(const char* line) {
    if (*line < '0' || *line > '9') return -1;
    int code = 0;
    for (; *line >= '0' && *line <= '9'; ++line) {
        int digit = *line - '0';
        code = code > (INT_MAX - digit) / 10 ? INT_MAX : code * 10 + digit;
    }
    return code;
}

bool SmtpExchange(platform::Socket& link, const char* command, int timeoutMs) {
    SendLine(link, command);  // a failed send shows at the receive through the latch
    link.setTimeout(timeoutMs);
    return ReceiveLine(link, replyLine, kReplyLineSize) == 0;
}

int SmtpOpeningExchange(platform::Socket& link) {
    link.setTimeout(kCommandReplyTimeoutMs);
    if (ReceiveLine(link, replyLine, kReplyLineSize) != 0) return kDialogueLinkFailed;
    int code = ParseReplyCode(replyLine);
    if (code == -1) {
        ConsolePrint("%s.\n", "Invalid SMTP remote greeting");
        LogEvent('!', "Invalid SMTP remote greeting");
        return kDialogueStopped;
    }
    if (code >= 400) {
        ConsolePrint("SMTP server is not ready.\n");
        LogEventf('!', "SMTP server is not ready; error %d", code);
        return kDialogueStopped;
    }

    std::string domain(mailConfig.domainName.text());
    std::snprintf(replyLine, kReplyLineSize, "HELO %s", domain.c_str());
    if (!SmtpExchange(link, replyLine, kCommandReplyTimeoutMs)) return kDialogueLinkFailed;
    code = ParseReplyCode(replyLine);
    if (code == -1) {
        ConsolePrint("%s.\n", "Invalid HELO command response");
        LogEvent('!', "Invalid HELO command response");
        return kDialogueStopped;
    }
    if (code >= 400) {
        ConsolePrint("Invalid local domain name.\n");
        LogEventf('!', "Invalid local domain name; error %d", code);
        return kDialogueStopped;
    }
    return kOpeningAccepted;
}

int RunSmtpSession() {
    // The record's field need not hold a terminator; the frame wants a text.
    static std::string server;
    server.assign(mailConfig.smtpServer.text());
    SessionProtocol smtp{"SMTP", 25, server.c_str(), CloseQueueSlots, SendQueuedMessages,
                         [](int) { CloseQueueSlots(); }};
    return RunSession(smtp);
}

}  // namespace quorvexia
