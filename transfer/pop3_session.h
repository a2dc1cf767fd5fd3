// One receive attempt: a POP3 connection through the session frame, its login
// and mailbox status, the message loop of the inbound store, and afterwards
// the tidying of an interrupted message and the rewrite of korv.cfg, which
// keeps the message counter from one run to the next.
#pragma once

#include <cstdint>

#include "platform/byte_stream.h"

namespace quorvexia {

// True while no half-written inbound files exist: cleared before a message's
// text file is created, set again once the server has accepted its deletion.
extern bool messageComplete;

// The dialogue of a connected, freshly reset link: greeting, USER, PASS,
// STAT, then the message loop. 0 worked through, 1 stopped, 2 link failed.
int RetrieveMessages(platform::ByteStream& link);

// The numbers of a STAT or LIST reply: the first two texts that follow runs
// of spaces, each read as a signed decimal. Returns how many were read (0, 1
// or 2); an output is written only when its number was read.
int ParseReplyNumbers(const char* reply, std::int32_t* first, std::int32_t* second);

}  // namespace quorvexia
