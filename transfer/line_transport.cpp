#include "line_transport.h"

#include <climits>
#include <cstring>

#include "console.h"
#include "korv_state.h"

namespace quorvexia {

namespace {

constexpr std::size_t kSendBufferSize = 64 * 1024;
constexpr std::size_t kLineMax = kReplyLineSize - 1;

// A reply line "NNN-text" announces another line of the same reply.
bool IsContinuation(std::string_view line) {
    std::size_t digits = 0;
    while (digits < line.size() && line[digits] >= '0' && line[digits] <= '9') ++digits;
    return digits > 0 && digits < line.size() && line[digits] == '-';
}

}  // namespace

int ParseReplyCode(std::string_view line) {
    if (line.empty() || line[0] < '0' || line[0] > '9') return -1;
    int code = 0;
    for (std::size_t i = 0; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i) {
        int digit = line[i] - '0';
        code = code > (INT_MAX - digit) / 10 ? INT_MAX : code * 10 + digit;
    }
    return code;
}

Link::Link(std::unique_ptr<platform::ByteStream> stream, platform::ServerName server, platform::NetAddress address)
    : stream_(std::move(stream)),
      server_(std::move(server)),
      address_(address),
      rx_(new char[kReceiveBufferSize]),
      tx_(new char[kSendBufferSize]) {
    line_[0] = '\0';
}

void Link::clearBuffers() {
    rxStart_ = 0;
    rxCount_ = 0;
    txCount_ = 0;
    lastTerminator_ = '\r';
    lastLineCut_ = false;
}

void Link::upgrade(std::unique_ptr<platform::ByteStream> stream) {
    stream_ = std::move(stream);
    clearBuffers();
}

std::unique_ptr<platform::ByteStream> Link::releaseStream() {
    clearBuffers();
    return std::move(stream_);
}

bool Link::hasPendingInput() {
    dropPendingLineEnd();
    return rxCount_ > 0;
}

void Link::abandon() {
    if (stream_) abandonedError_ = stream_->lastError();
    stream_.reset();
    failed_ = true;
}

int Link::lastError() const { return stream_ ? stream_->lastError() : abandonedError_; }

void Link::setTimeout(int timeoutMs) {
    if (stream_) stream_->setTimeout(timeoutMs);
}

bool Link::flush() {
    if (txCount_ == 0) return true;
    bool ok = stream_->sendAll(tx_.get(), txCount_);
    txCount_ = 0;
    if (!ok) failed_ = true;
    return ok;
}

void Link::append(std::string_view text) {
    if (txCount_ + text.size() > kSendBufferSize && !flush()) return;
    if (text.size() > kSendBufferSize) {
        if (!stream_->sendAll(text.data(), text.size())) failed_ = true;
        return;
    }
    std::memcpy(tx_.get() + txCount_, text.data(), text.size());
    txCount_ += text.size();
}

// Puts a line and its CR LF into the send buffer; `now` writes everything out.
bool Link::putLine(std::string_view text, std::string_view echo, bool now) {
    if (failed_) return false;
    append(text);
    if (!failed_) append("\r\n");
    if (!failed_ && now) flush();
    if (debugMode) ConsoleEcho(echo.data(), echo.size());
    return !failed_;
}

bool Link::sendLine(std::string_view text) { return putLine(text, text, true); }

bool Link::sendSecretLine(std::string_view text) { return putLine(text, "PASS <hidden>", true); }

bool Link::sendHiddenLine(std::string_view text, std::string_view echo) { return putLine(text, echo, true); }

bool Link::queueLine(std::string_view text) { return putLine(text, text, false); }

// Joins a CR that ended the previous line with the LF or NUL after it, even
// when the two arrived in different receives.
void Link::dropPendingLineEnd() {
    if (lastTerminator_ == '\r' && rxCount_ > 0 && (rx_[rxStart_] == '\n' || rx_[rxStart_] == '\0')) {
        ++rxStart_;
        --rxCount_;
        lastTerminator_ = ' ';
    }
}

// The position of the first CR or LF among the unread bytes, or rxCount_.
std::size_t Link::findLineEnd() const {
    const char* unread = rx_.get() + rxStart_;
    const void* lf = std::memchr(unread, '\n', rxCount_);
    std::size_t end = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - unread) : rxCount_;
    const void* cr = std::memchr(unread, '\r', end);
    return cr ? static_cast<std::size_t>(static_cast<const char*>(cr) - unread) : end;
}

bool Link::receiveLine(std::string_view& line) {
    if (failed_) return false;
    if (!flush()) return false;
    dropPendingLineEnd();

    std::size_t n;
    bool ended;
    for (;;) {
        n = findLineEnd();
        if (n < rxCount_) {
            ended = n <= kLineMax;
            if (!ended) n = kLineMax;
            break;
        }
        // A line with no end in sight is cut once more than 999 bytes wait;
        // at exactly 999 its line end may still be on the way.
        if (rxCount_ > kLineMax) {
            n = kLineMax;
            ended = false;
            break;
        }
        if (rxStart_ > 0) {
            std::memmove(rx_.get(), rx_.get() + rxStart_, rxCount_);
            rxStart_ = 0;
        }
        long got = stream_->receive(rx_.get() + rxCount_, kReceiveBufferSize - rxCount_);
        if (got <= 0) {
            failed_ = true;
            return false;
        }
        rxCount_ += static_cast<std::size_t>(got);
        dropPendingLineEnd();
    }

    const char* unread = rx_.get() + rxStart_;
    std::memcpy(line_, unread, n);
    line_[n] = '\0';
    std::size_t consumed = n;
    if (ended) {
        lastTerminator_ = unread[n];
        consumed = n + 1;
    } else {
        lastTerminator_ = ' ';
    }
    lastLineCut_ = !ended;
    rxStart_ += consumed;
    rxCount_ -= consumed;
    if (rxCount_ == 0) rxStart_ = 0;

    if (debugMode) ConsoleEcho(line_, n);
    line = std::string_view(line_, n);
    return true;
}

bool Link::skipRestOfLine(std::size_t& bytes) {
    std::string_view piece;
    while (lastLineCut_ && bytes <= kReplyMaxBytes) {
        if (!receiveLine(piece)) return false;
        bytes += piece.size();
    }
    return true;
}

bool Link::receiveReply(Reply& reply, std::vector<std::string>* lines) {
    reply = Reply();
    if (lines) lines->clear();
    std::size_t bytes = 0;
    for (;;) {
        std::string_view line;
        if (!receiveLine(line)) return false;
        ++reply.lines;
        bytes += line.size() + 2;
        bool more = IsContinuation(line);
        reply.lastLine.assign(line);
        if (lines && lines->size() < kReplyMaxLines) lines->emplace_back(line);
        if (!skipRestOfLine(bytes)) return false;
        if (reply.lines > kReplyMaxLines || bytes > kReplyMaxBytes) {
            reply.code = -1;
            return true;
        }
        if (!more) break;
    }
    reply.code = ParseReplyCode(reply.lastLine);
    return true;
}

ListRead Link::receiveList(std::vector<std::string>& lines) {
    lines.clear();
    std::size_t bytes = 0;
    for (;;) {
        std::string_view line;
        if (!receiveLine(line)) return ListRead::LinkFailed;
        std::string whole(line);
        bytes += line.size() + 2;
        while (lastLineCut_ && bytes <= kReplyMaxBytes) {
            if (!receiveLine(line)) return ListRead::LinkFailed;
            bytes += line.size();
            whole.append(line);
        }
        if (whole == ".") return ListRead::Complete;
        if (lines.size() >= kReplyMaxLines || bytes > kReplyMaxBytes) return ListRead::TooLong;
        lines.push_back(whole[0] == '.' ? whole.substr(1) : whole);
    }
}

}  // namespace quorvexia
