#include "line_transport.h"

#include <cstring>

#include "console.h"
#include "korv_state.h"

namespace quorvexia {

char replyLine[kReplyLineSize];
int linkFailed = 0;

namespace {

// The unread bytes are rxBuffer[rxStart, rxStart + rxCount); they move to the
// front only when a receive needs the room, not after every line.
char rxBuffer[kReceiveBufferSize];
std::size_t rxStart = 0;
std::size_t rxCount = 0;
char lastTerminator = '\r';
bool lastLineCut = false;

// Body lines gather here; 64 KiB keeps writes large without holding much.
constexpr std::size_t kSendBufferSize = 64 * 1024;
char txBuffer[kSendBufferSize];
std::size_t txCount = 0;

bool Flush(platform::ByteStream& link) {
    if (txCount == 0) return true;
    bool ok = link.sendAll(txBuffer, txCount);
    txCount = 0;
    if (!ok) linkFailed = 1;
    return ok;
}

void Append(platform::ByteStream& link, std::string_view text) {
    if (txCount + text.size() > kSendBufferSize && !Flush(link)) return;
    if (text.size() > kSendBufferSize) {
        if (!link.sendAll(text.data(), text.size())) linkFailed = 1;
        return;
    }
    std::memcpy(txBuffer + txCount, text.data(), text.size());
    txCount += text.size();
}

// Puts a line and its CR LF into the send buffer; `now` writes everything out.
int PutLine(platform::ByteStream& link, std::string_view text, std::string_view echo, bool now) {
    if (linkFailed) return 1;
    Append(link, text);
    if (!linkFailed) Append(link, "\r\n");
    if (!linkFailed && now) Flush(link);
    if (debugMode) ConsoleEcho(echo.data(), echo.size());
    return 0;
}

// Joins a CR that ended the previous line with the LF or NUL after it, even
// when the two arrived in different receives.
void DropPendingLineEnd() {
    if (lastTerminator == '\r' && rxCount > 0 && (rxBuffer[rxStart] == '\n' || rxBuffer[rxStart] == '\0')) {
        ++rxStart;
        --rxCount;
        lastTerminator = ' ';
    }
}

// The position of the first CR or LF among the unread bytes, or rxCount.
std::size_t FindLineEnd() {
    const char* unread = rxBuffer + rxStart;
    const void* lf = std::memchr(unread, '\n', rxCount);
    std::size_t end = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - unread) : rxCount;
    const void* cr = std::memchr(unread, '\r', end);
    return cr ? static_cast<std::size_t>(static_cast<const char*>(cr) - unread) : end;
}

// Takes the next line of at most capacity-1 bytes off the receive buffer;
// it stays in place until the next receive. 1 when the link had failed or fails now.
int TakeLine(platform::ByteStream& link, std::size_t capacity, std::string_view& line) {
    if (linkFailed) return 1;
    if (!Flush(link)) return 1;
    const std::size_t max = capacity - 1;
    DropPendingLineEnd();

    std::size_t n;
    bool ended;
    for (;;) {
        n = FindLineEnd();
        if (n < rxCount) {
            ended = n <= max;
            if (!ended) n = max;
            break;
        }
        // A line with no end in sight is cut once more than `max` bytes wait;
        // at exactly `max` its line end may still be on the way.
        if (rxCount > max) {
            n = max;
            ended = false;
            break;
        }
        if (rxStart > 0) {
            std::memmove(rxBuffer, rxBuffer + rxStart, rxCount);
            rxStart = 0;
        }
        long got = link.receive(rxBuffer + rxCount, kReceiveBufferSize - rxCount);
        if (got <= 0) {
            linkFailed = 1;
            return 1;
        }
        rxCount += static_cast<std::size_t>(got);
        DropPendingLineEnd();
    }

    const char* unread = rxBuffer + rxStart;
    line = std::string_view(unread, n);
    std::size_t consumed = n;
    if (ended) {
        lastTerminator = unread[n];
        consumed = n + 1;
    } else {
        lastTerminator = ' ';
    }
    lastLineCut = !ended;
    rxStart += consumed;
    rxCount -= consumed;
    if (rxCount == 0) rxStart = 0;

    if (debugMode) ConsoleEcho(line.data(), line.size());
    return 0;
}

}  // namespace

int SendLine(platform::ByteStream& link, std::string_view text) { return PutLine(link, text, text, true); }

int SendSecretLine(platform::ByteStream& link, std::string_view text) {
    return PutLine(link, text, "PASS <hidden>", true);
}

int QueueLine(platform::ByteStream& link, std::string_view text) { return PutLine(link, text, text, false); }

int ReceiveLine(platform::ByteStream& link, char* destination, std::size_t capacity, std::size_t* length) {
    std::string_view line;
    if (TakeLine(link, capacity, line) != 0) return 1;
    std::memcpy(destination, line.data(), line.size());
    destination[line.size()] = '\0';
    if (length) *length = line.size();
    return 0;
}

int ReceiveLineInPlace(platform::ByteStream& link, std::size_t capacity, std::string_view& line) {
    return TakeLine(link, capacity, line);
}

bool LineWasCut() { return lastLineCut; }

void ResetLink() {
    linkFailed = 0;
    lastLineCut = false;
    rxStart = 0;
    rxCount = 0;
    txCount = 0;
    lastTerminator = '\r';
}

}  // namespace quorvexia
