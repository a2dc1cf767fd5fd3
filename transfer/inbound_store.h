// The inbound store: the message loop that fetches every waiting message of
// a logged-in POP3 connection into a message file pair in the inbound
// directory and deletes it on the server, and the files of the message in work.
//
// A pair becomes visible in this order: the text file grows under its own
// name; once it is complete and on disk, the envelope file is written under a
// temporary name and renamed into place; only then is DELE sent. A reader
// that sees an envelope file therefore always finds the whole text beside it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>

#include "platform/byte_stream.h"
#include "platform/file_sync.h"
#include "platform/stdio_file.h"

namespace quorvexia {

inline constexpr std::size_t kInboundPathSize = 256;
inline constexpr std::uint32_t kNameCandidates = 1024;

using UniqueFile = platform::StdioFile;

// The files of the inbound message in work (one at a time).
struct InboundMessage {
    UniqueFile textFile;
    UniqueFile envelopeFile;
    platform::SyncedDirectory directory;  // the inbound directory, for forcing new names to disk
    char baseName[16] = "";  // "%08lu" of a 32-bit counter
    char textPath[kInboundPathSize] = "";
    char envelopePath[kInboundPathSize] = "";
    char envelopeTempPath[kInboundPathSize] = "";
};
extern InboundMessage inboundMessage;

// The message loop, from the announcement of the STAT figures on.
// 0 when every message was dealt with, 1 when a local file failure or a
// refused deletion stopped it, 2 when the link failed.
int ReceiveMessages(platform::ByteStream& link, std::uint32_t count, std::uint32_t total);

// Closes whatever file of the message in work is open, and the directory.
void CloseInboundFiles();
// Removes both files of an interrupted message (a missing file is no error).
void RemoveInboundPair();

}  // namespace quorvexia
