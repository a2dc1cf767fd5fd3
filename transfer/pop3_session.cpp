#include "pop3_session.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "activity_log.h"
#include "config/config_access.h"
#include "config/config_file.h"
#include "console.h"
#include "inbound_store.h"
#include "korv_state.h"
#include "line_transport.h"
#include "session_frame.h"
#include "sessions.h"

namespace quorvexia {

bool messageComplete = true;

namespace {

// Reads a signed decimal the way atol does (leading white space, a sign,
// digits up to the first other character, none giving 0); values beyond
// the 32-bit range stop at its ends.
std::int32_t ReadNumber(const char* text) {
    while (std::isspace(static_cast<unsigned char>(*text))) ++text;
    bool negative = false;
    if (*text == '+' || *text == '-') negative = *text++ == '-';
    long long value = 0;
    while (*text >= '0' && *text <= '9') {
        if (value <= INT32_MAX) value = value * 10 + (*text - '0');
        ++text;
    }
    if (negative) value = -value;
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<std::int32_t>(value);
}

const char* SkipSpaces(const char* text) {
    while (*text == ' ') ++text;
    return text;
}

// One command and its one-line reply: 0 when both went through, 2 when the
// link failed. The reply is left in replyLine.
int Exchange(platform::ByteStream& link, bool secret = false) {
    int sent = secret ? SendSecretLine(link, replyLine) : SendLine(link, replyLine);
    if (sent != 0 || ReceiveLine(link, replyLine, kReplyLineSize) != 0) return kDialogueLinkFailed;
    return 0;
}

bool Positive() { return replyLine[0] == '+'; }

// A refusal that ends the connection: the console sentence and its log line.
int Refused(const char* text) {
    ConsolePrint("%s.\n", text);
    LogEvent('!', text);
    return kDialogueStopped;
}

void Connected() {
    CloseInboundFiles();
    messageComplete = true;
}

int Dialogue(platform::Socket& link) { return RetrieveMessages(link); }

// korv owns only the message counter: the file as it is now keeps every
// other byte, so a setting saved by korvcfg or korvconf during the run stays.
void SaveCounter() {
    switch (SaveMessageCounter(kConfigFileName, mailConfig.messageCounter.get())) {
        case CounterSaveResult::Saved:
            break;
        case CounterSaveResult::NotARecord:
            ConsolePrint("Configuration file is damaged; message counter not saved.\n");
            LogEvent('!', "Configuration file is damaged; message counter not saved");
            break;
        case CounterSaveResult::Failed:
            ConsolePrint("Could not write configuration file.\n");
            LogEvent('!', "Could not write configuration file");
            break;
    }
}

// Runs after every connected attempt, whatever its result.
void TidyUp(int /*result*/) {
    CloseInboundFiles();
    if (!messageComplete) RemoveInboundPair();
    SaveCounter();
}

}  // namespace

int ParseReplyNumbers(const char* reply, std::int32_t* first, std::int32_t* second) {
    const char* space = std::strchr(reply, ' ');
    if (!space) return 0;
    const char* number = SkipSpaces(space);
    *first = ReadNumber(number);
    space = std::strchr(number, ' ');
    if (!space) return 1;
    *second = ReadNumber(SkipSpaces(space));
    return 2;
}

int RetrieveMessages(platform::ByteStream& link) {
    if (ReceiveLine(link, replyLine, kReplyLineSize) != 0) return kDialogueLinkFailed;
    if (!Positive()) return Refused("POP3 server is not ready");

    std::string user(mailConfig.pop3User.text());
    std::snprintf(replyLine, kReplyLineSize, "USER %s", user.c_str());
    if (Exchange(link) != 0) return kDialogueLinkFailed;
    if (!Positive()) return Refused("Invalid username");

    std::string password(mailConfig.pop3Password.text());
    std::snprintf(replyLine, kReplyLineSize, "PASS %s", password.c_str());
    if (Exchange(link, /*secret=*/true) != 0) return kDialogueLinkFailed;
    if (!Positive()) return Refused("Invalid mail password");

    std::snprintf(replyLine, kReplyLineSize, "STAT");
    if (Exchange(link) != 0) return kDialogueLinkFailed;
    if (!Positive()) return Refused("Can't get mail status");

    std::int32_t count = 0, total = 0;
    if (ParseReplyNumbers(replyLine, &count, &total) < 2 || count < 0)
        return Refused("Invalid mail status response");
    return ReceiveMessages(link, static_cast<std::uint32_t>(count), static_cast<std::uint32_t>(total));
}

int RunPop3Session() {
    std::string server(mailConfig.pop3Server.text());
    SessionProtocol pop3{"POP3", 110, server.c_str(), Connected, Dialogue, TidyUp};
    return RunSession(pop3);
}

}  // namespace quorvexia
