// One SMTP connection of the send phase on the shared session frame: the
// opening exchange (greeting and HELO), the reply-code rule every step of the
// sender judges replies by, and the time limits for the replies.
#pragma once

#include "platform/net.h"

namespace quorvexia {

// Time limits for the replies, as RFC 5321 advises a client (4.5.3.2).
inline constexpr int kCommandReplyTimeoutMs = 5 * 60 * 1000;  // greeting, HELO, RSET, MAIL, RCPT
inline constexpr int kDataReplyTimeoutMs = 2 * 60 * 1000;     // the reply(ies) to DATA
inline constexpr int kBodyWriteTimeoutMs = 3 * 60 * 1000;     // each write of the message text
inline constexpr int kFinalReplyTimeoutMs = 10 * 60 * 1000;   // the reply to the closing "."

// The value of the run of decimal digits at the start of a reply line; -1
// when the line does not begin with a digit. A value too large for an int
// stays at the largest one.
int ParseReplyCode(const char* line);

// The opening exchange: the greeting, then "HELO <domainName>". kOpeningAccepted
// when the queue submission may begin, otherwise the dialogue result.
inline constexpr int kOpeningAccepted = -1;
int SmtpOpeningExchange(platform::Socket& link);

// Sends a command line (one write) and reads one reply line into replyLine
// within `timeoutMs`; false when the link failed.
bool SmtpExchange(platform::Socket& link, const char* command, int timeoutMs);

}  // namespace quorvexia
