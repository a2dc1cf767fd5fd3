// The line transport: the only code that moves bytes on a session's
// connection. A Link owns the connection's byte stream and everything the
// transport keeps for it: it sends lines with their CR LF, receives one line
// at a time through a 2048-byte buffer that copes with CR, LF, CR LF and
// CR NUL line ends (also split between two receives) and with lines longer
// than 999 bytes, and latches the first failure, so that every later call on
// the same connection fails at once.
//
// Output is gathered in a send buffer: a command goes out in one write, lines
// queued with queueLine go out in large writes, and whatever is pending is
// written before any reply is read.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/byte_stream.h"
#include "platform/net.h"

namespace quorvexia {

inline constexpr std::size_t kReplyLineSize = 1000;
inline constexpr std::size_t kReceiveBufferSize = 2048;

// Bounds of one multi-line reply and of one dot-ended list: a server that
// sends more has not sent a reply this client can judge.
inline constexpr std::size_t kReplyMaxLines = 100;
inline constexpr std::size_t kReplyMaxBytes = 64 * 1024;

// One SMTP reply read whole: its code is that of its last line (-1 when that
// line has none, or when the reply passed its bounds), and the text of that
// line (its first 999 bytes) is kept for messages.
struct Reply {
    int code = -1;
    std::string lastLine;
    std::size_t lines = 0;
};

enum class ListRead { Complete, TooLong, LinkFailed };

class Link {
public:
    Link(std::unique_ptr<platform::ByteStream> stream, platform::ServerName server = {},
         platform::NetAddress address = {});
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    // The server as the configuration names it, and the address connected to.
    const platform::ServerName& server() const { return server_; }
    const platform::NetAddress& address() const { return address_; }

    // Puts another stream in place of the present one (a TLS stream over the
    // same socket, say); whatever was buffered in either direction is dropped,
    // so nothing read before the change counts as read through the new stream.
    void upgrade(std::unique_ptr<platform::ByteStream> stream);
    // Hands the stream out (to be wrapped in a TLS stream and given back by
    // upgrade); until then the link has none and may not be used.
    std::unique_ptr<platform::ByteStream> releaseStream();
    // True when bytes from the server wait that no receive has taken yet
    // (a line end still due after a CR does not count).
    bool hasPendingInput();

    // Ends the connection at once, without a word to the server: a server that
    // sees the connection drop in the middle of a transaction discards it.
    void abandon();

    bool failed() const { return failed_; }
    // The platform's error number of the stream's last failure; 0 when the
    // peer closed.
    int lastError() const;
    void setTimeout(int timeoutMs);

    // Sends a line and its CR LF (after whatever is queued). False when the
    // link has failed, before or during this send.
    bool sendLine(std::string_view text);
    // As sendLine; the debug echo shows "PASS <hidden>" instead of the text.
    bool sendSecretLine(std::string_view text);
    // As sendLine; the debug echo shows `echo` instead of the text (for the
    // lines that carry a credential).
    bool sendHiddenLine(std::string_view text, std::string_view echo);
    // As sendLine, but the line may wait in the send buffer for more lines.
    bool queueLine(std::string_view text);

    // Receives one line without its line end: its first 999 bytes, the rest
    // coming as the next line(s). The view (whose data is also terminated by
    // a NUL; a line may hold NUL bytes) stays valid until the next receive.
    // False when the link had failed or fails now.
    bool receiveLine(std::string_view& line);
    // True when the line most recently received was cut at 999 bytes: the
    // next line then continues it and does not start a line of the peer's text.
    bool lineWasCut() const { return lastLineCut_; }

    // Reads one reply whole: lines "NNN-text" up to the first line that is
    // not such a continuation. Over 100 lines or 64 KiB, the reading stops
    // and the reply has no code. False when the link failed. With `lines`,
    // every line of the reply (each cut at 999 bytes) is kept there too.
    bool receiveReply(Reply& reply, std::vector<std::string>* lines = nullptr);
    // Reads the lines of a dot-ended list (such as the answer to CAPA) up to
    // the line "."; leading dots are unstuffed. Bounded as a reply.
    ListRead receiveList(std::vector<std::string>& lines);

private:
    bool putLine(std::string_view text, std::string_view echo, bool now);
    bool flush();
    void append(std::string_view text);
    void dropPendingLineEnd();
    std::size_t findLineEnd() const;
    void clearBuffers();
    // Reads what is left of a line that was cut, up to the bound of a reply;
    // false when the link failed.
    bool skipRestOfLine(std::size_t& bytes);

    std::unique_ptr<platform::ByteStream> stream_;
    platform::ServerName server_;
    platform::NetAddress address_;
    bool failed_ = false;
    int abandonedError_ = 0;

    // The unread bytes are rx_[rxStart_, rxStart_ + rxCount_); they move to
    // the front only when a receive needs the room, not after every line.
    std::unique_ptr<char[]> rx_;
    std::size_t rxStart_ = 0;
    std::size_t rxCount_ = 0;
    char lastTerminator_ = '\r';
    bool lastLineCut_ = false;
    char line_[kReplyLineSize];

    // Body lines gather here; 64 KiB keeps writes large without holding much.
    std::unique_ptr<char[]> tx_;
    std::size_t txCount_ = 0;
};

// The value of the run of decimal digits at the start of a reply line; -1
// when the line does not begin with a digit. A value too large for an int
// stays at the largest one.
int ParseReplyCode(std::string_view line);

}  // namespace quorvexia
