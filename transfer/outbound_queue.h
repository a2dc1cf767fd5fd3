// The outbound queue: every message file pair (base.txt, base.wrk) waiting in
// the outbound directory is submitted over the open SMTP connection, one
// transaction each, and leaves the queue once the server has accepted it or
// refused it for good.
#pragma once

#include "platform/net.h"

namespace quorvexia {

// Runs the opening exchange, then submits the queue: the dialogue result
// (0 worked through, 1 stopped, 2 link failed).
int SendQueuedMessages(platform::Socket& link);

// Puts one "." in front of a line; the line holds at most 998 characters of
// a 1000-byte buffer, so there is room.
void StuffLeadingDot(char* line);

// The queue files and the directory scan of a connection: none after the
// connect; whatever is still open is closed at the end of the connection.
void CloseQueueSlots();

}  // namespace quorvexia
