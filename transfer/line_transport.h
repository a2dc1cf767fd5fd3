// The line transport: the only code that moves bytes on a session's
// connection. It sends lines with their CR LF, receives one line at a time
// through a receive buffer that copes with CR, LF, CR LF and CR NUL line
// ends (also split between two receives) and with lines longer than the
// caller's buffer, and latches the first failure in `linkFailed`, so that
// every later call on the same connection fails at once.
//
// Output is gathered in a send buffer: a command goes out in one write, lines
// queued with QueueLine go out in large writes, and whatever is pending is
// written before any reply is read.
#pragma once

#include <cstddef>
#include <string_view>

#include "platform/byte_stream.h"

namespace quorvexia {

inline constexpr std::size_t kReplyLineSize = 1000;
// One receive takes what the network holds, up to this much: a large
// message costs one system call per 64 KiB rather than per 2 KiB.
inline constexpr std::size_t kReceiveBufferSize = 64 * 1024;

// Every reply is received here; commands and log texts are formatted here
// between receives, so its content is valid only until the next such use.
extern char replyLine[kReplyLineSize];
extern int linkFailed;

// Sends a line and its CR LF (after whatever is queued). 1 when the link had
// already failed (nothing sent); otherwise 0, also when this send failed and
// set `linkFailed`.
int SendLine(platform::ByteStream& link, std::string_view text);
// As SendLine; the debug echo shows "PASS <hidden>" instead of the text.
int SendSecretLine(platform::ByteStream& link, std::string_view text);
// As SendLine, but the line may wait in the send buffer for more lines.
int QueueLine(platform::ByteStream& link, std::string_view text);

// Receives one line (without its line end) into `destination`, at most
// capacity-1 bytes and a NUL; `length` gets its length when given (a line
// may hold NUL bytes). `capacity` is at most the receive buffer's size.
// 1 when the link had failed or fails now; 0 when a line was stored.
int ReceiveLine(platform::ByteStream& link, char* destination, std::size_t capacity,
                std::size_t* length = nullptr);

// As ReceiveLine, but the line is not copied: `line` shows it where it was
// received, valid until the next call of the transport.
int ReceiveLineInPlace(platform::ByteStream& link, std::size_t capacity, std::string_view& line);

// True when the line most recently received was cut at the capacity: the
// next line then continues it and does not start a line of the peer's text.
bool LineWasCut();

// A new connection starts clean: latch cleared, both buffers emptied.
void ResetLink();

}  // namespace quorvexia
