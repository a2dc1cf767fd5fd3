// The receiver's parsers: reply numbers of STAT and LIST, and the line
// transport's receiving (lines, replies of several lines, dot-ended lists)
// with the input split into receives of varying size.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "transfer/line_transport.h"
#include "transfer/pop3_session.h"

namespace {

// Hands out the input in pieces whose sizes the input's first byte decides.
class PieceStream final : public quorvexia::platform::ByteStream {
public:
    PieceStream(const std::uint8_t* data, std::size_t size, std::size_t piece)
        : data_(data), size_(size), piece_(piece) {}
    bool sendAll(const char*, std::size_t) override { return true; }
    long receive(char* out, std::size_t room) override {
        std::size_t n = size_ - pos_;
        if (n > room) n = room;
        if (n > piece_) n = piece_;
        std::memcpy(out, data_ + pos_, n);
        pos_ += n;
        piece_ = piece_ % 7 + 1 + (piece_ * 31) % 1500;
        return static_cast<long>(n);  // 0 at the end: the peer closed
    }
    int lastError() const override { return 0; }
    void setTimeout(int) override {}

private:
    const std::uint8_t* data_;
    std::size_t size_, pos_ = 0, piece_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    char reply[1000];
    std::size_t n = size - 1 < sizeof reply - 1 ? size - 1 : sizeof reply - 1;
    std::memcpy(reply, data + 1, n);
    reply[n] = '\0';
    std::int32_t first = 0, second = 0;
    int count = quorvexia::ParseReplyNumbers(reply, &first, &second);
    if (count < 0 || count > 2) std::abort();

    quorvexia::Link link(std::make_unique<PieceStream>(data + 1, size - 1, data[0] + 1u));
    std::size_t delivered = 0, calls = 0;
    for (;;) {
        std::string_view line;
        if (!link.receiveLine(line)) break;
        std::size_t length = line.size();
        if (length > 999 || line.data()[length] != '\0') std::abort();
        if (std::memchr(line.data(), '\r', length) || std::memchr(line.data(), '\n', length)) std::abort();
        delivered += length;
        if (++calls > size || delivered > size) std::abort();  // every call moves on
    }

    // The same bytes as replies of several lines and as dot-ended lists.
    quorvexia::Link replies(std::make_unique<PieceStream>(data + 1, size - 1, data[0] + 1u));
    quorvexia::Reply whole;
    for (calls = 0; replies.receiveReply(whole); ++calls) {
        if (whole.lines == 0 || whole.lines > quorvexia::kReplyMaxLines + 1 || whole.lastLine.size() > 999)
            std::abort();
        if (calls > size) std::abort();
    }
    quorvexia::Link lists(std::make_unique<PieceStream>(data + 1, size - 1, data[0] + 1u));
    std::vector<std::string> lines;
    for (calls = 0; lists.receiveList(lines) != quorvexia::ListRead::LinkFailed; ++calls) {
        if (lines.size() > quorvexia::kReplyMaxLines || calls > size) std::abort();
    }
    return 0;
}
