#include "pop3_session.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "activity_log.h"
#include "config/config_access.h"
#include "config/config_file.h"
#include "config/config_names.h"

namespace quorvexia {

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

SessionResult Pop3Session::refused(const char* text) {
    reporter_.report(Format("%s.\n", text), '!', text);
    return SessionResult::Stopped;
}

SessionResult Pop3Session::dialogue(Link& link) {
    std::string_view reply;
    // A TLS port waits for a hello and never greets: the plain greeting of
    // the STLS form is not waited for as long as other replies.
    if (tls_.security == TransportSecurity::StartTls) link.setTimeout(kStartTlsGreetingTimeoutMs);
    if (!link.receiveLine(reply)) {
        if (tls_.security == TransportSecurity::StartTls && link.lastError() == ETIMEDOUT)
            reporter_.log('!', "No greeting (" + ModeMixupHint(ServerProtocol::Pop3, tls_.security) + ")");
        return SessionResult::LinkFailed;
    }
    if (tls_.security == TransportSecurity::StartTls) link.setTimeout(platform::kReplyTimeoutMs);
    if (!IsPositive(reply)) return refused("POP3 server is not ready");
    if (Step r = login(link)) return *r;

    if (!Pop3Exchange(link, "STAT", reply)) return SessionResult::LinkFailed;
    if (!IsPositive(reply)) return refused("Can't get mail status");

    std::int32_t count = 0, total = 0;
    if (ParseReplyNumbers(reply.data(), &count, &total) < 2 || count < 0)
        return refused("Invalid mail status response");
    return store_.receiveAll(link, static_cast<std::uint32_t>(count), static_cast<std::uint32_t>(total),
                             pipelining_);
}

// The password (or token) of this connection, then the sign-in: USER and
// PASS as ever in the plain form; in the TLS forms what the server offers.
Pop3Session::Step Pop3Session::login(Link& link) {
    Credentials credentials;
    std::string error;
    bool retryable = true;
    if (!LoadCredentials(config_, side_, credentials, error, {}, &retryable)) return failSecure(error, retryable);
    if (tls_.security != TransportSecurity::None) {
        if (Step r = secureLogin(link, credentials)) return r;
        if (signedIn_) return std::nullopt;
    } else if (credentials.useToken) {
        return failSecure("a token is sent over TLS only (pop3s:// or pop3+starttls://)", false);
    }

    std::string_view reply;
    std::string user(config_.pop3User.text());
    if (!Pop3Exchange(link, Format("USER %s", user.c_str()), reply)) return SessionResult::LinkFailed;
    if (!IsPositive(reply)) return refused("Invalid username");

    char command[kReplyLineSize];
    std::snprintf(command, sizeof command, "PASS %s", credentials.password.c_str());
    bool answered = Pop3Exchange(link, command, reply, /*secret=*/true);
    std::fill(std::begin(command), std::end(command), '\0');
    if (!answered) return SessionResult::LinkFailed;
    if (!IsPositive(reply)) return refused("Invalid mail password");
    return std::nullopt;
}

// Runs after every connected attempt, whatever its result.
void Pop3Session::tidyUp(SessionResult /*result*/) {
    store_.tidyUp();
    // korv owns only the message counter: the file as it is now keeps every
    // other byte, so a setting saved by korvcfg or korvconf during the run stays.
    switch (SaveMessageCounter(FindConfigFile(".", kConfigFileName), run_.messageCounter)) {
        case CounterSaveResult::Saved:
            break;
        case CounterSaveResult::NotARecord:
            reporter_.report("Configuration file is damaged; message counter not saved.\n", '!',
                             "Configuration file is damaged; message counter not saved");
            break;
        case CounterSaveResult::Failed:
            reporter_.report("Could not write configuration file.\n", '!', "Could not write configuration file");
            break;
    }
}

}  // namespace quorvexia
