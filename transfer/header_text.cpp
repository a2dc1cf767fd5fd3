#include "header_text.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace quorvexia {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Characters kept by DropControlChars: TAB, LF, CR and everything from the
// space up (bytes above 127 and DEL included).
bool IsKept(unsigned char c) { return c == '\t' || c == '\n' || c == '\r' || c >= 32; }

// The queue file reader below runs over either source: a stdio stream, or
// the block buffer of a QueueTextReader. Both give a byte or EOF and take
// back the byte they gave last.
struct StdioSource {
    std::FILE* file;
    int get() { return std::getc(file); }
    void unget(int c) { std::ungetc(c, file); }
};

// Skips the rest of a line up to and including its LF.
template <class Source>
void SkipRestOfLine(Source& in) {
    int c;
    while ((c = in.get()) != EOF && c != '\n') {
    }
}

template <class Source>
int ReadLineFrom(Source& in, char* line, std::size_t capacity, bool* whole) {
    if (capacity < 2) return -1;
    // At most capacity-2 characters, as a text-mode line read of capacity-1
    // delivers them: CR LF arrives as one LF, and the LF is kept in the line.
    const std::size_t max = capacity - 2;
    std::size_t n = 0;
    bool sawAny = false;
    bool ended = false;
    int c = 0;
    while (n < max) {
        c = in.get();
        if (c == EOF) break;
        sawAny = true;
        if (c == '\r') {
            int next = in.get();
            if (next == '\n') {
                c = '\n';
            } else if (next != EOF) {
                in.unget(next);
            }
        }
        // A NUL would end the text early and lose the rest of the line; it is
        // a control character like the others and goes the same way.
        if (c == '\0') continue;
        line[n++] = static_cast<char>(c);
        if (c == '\n') {
            ended = true;
            break;
        }
    }
    if (!sawAny) return -1;
    if (!ended && n == max && c != EOF) {
        // The piece is full. A line end right behind it belongs to this line
        // (else a line of exactly capacity-2 characters would gain an empty
        // line behind it); so does a CR there, which cuts the line anyway.
        int next = in.get();
        if (next == '\n') {
            ended = true;
        } else if (next == '\r') {
            SkipRestOfLine(in);
            ended = true;
        } else if (next != EOF) {
            in.unget(next);
        } else {
            ended = true;
        }
    } else if (!ended) {
        ended = true;  // end of file
    }
    line[n] = '\0';
    // A lone CR cuts its line: what follows it up to the LF is dropped, also
    // when the line is longer than one piece.
    if (!ended && std::memchr(line, '\r', n)) {
        SkipRestOfLine(in);
        ended = true;
    }
    if (whole) *whole = ended;
    DropControlChars(line);
    CutLineEnd(line);
    return 0;
}

bool IsControl(char c) { return static_cast<unsigned char>(c) < 32 && c != '\t'; }

// True when the text holds a byte that the reader drops or that ends a line.
// Eight bytes are looked at in one step; only a word holding a byte below 32
// is looked at byte by byte (for a TAB, which is kept).
bool HasControlChars(const char* text, std::size_t length) {
    constexpr std::uint64_t ones = 0x0101010101010101u, highs = 0x8080808080808080u;
    std::size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, text + i, 8);
        if (((word - ones * 32) & ~word & highs) == 0) continue;
        for (std::size_t j = i; j < i + 8; ++j) {
            if (IsControl(text[j])) return true;
        }
    }
    for (; i < length; ++i) {
        if (IsControl(text[i])) return true;
    }
    return false;
}

}  // namespace

int ReadFileLine(char* line, std::size_t capacity, std::FILE* file, bool* whole) {
    StdioSource in{file};
    return ReadLineFrom(in, line, capacity, whole);
}

QueueTextReader::QueueTextReader(std::FILE* file, char* buffer, std::size_t size)
    : file_(file), buffer_(buffer), size_(size) {}

bool QueueTextReader::fill() {
    if (atEnd_) return false;
    if (start_ > 0) {
        std::memmove(buffer_, buffer_ + start_, end_ - start_);
        end_ -= start_;
        start_ = 0;
    }
    std::size_t got = std::fread(buffer_ + end_, 1, size_ - end_, file_);
    if (got == 0) {
        atEnd_ = true;
        return false;
    }
    end_ += got;
    fileOffset_ += static_cast<long long>(got);
    return true;
}

int QueueTextReader::get() {
    if (start_ == end_ && !fill()) return EOF;
    return static_cast<unsigned char>(buffer_[start_++]);
}

void QueueTextReader::unget(int c) { buffer_[--start_] = static_cast<char>(c); }

int QueueTextReader::next(std::string_view& text, char* line, std::size_t capacity, bool* whole) {
    // Most lines are plain: a LF (or CR LF) within reach, nothing to drop,
    // no longer than one piece. They come back in place, as the byte-wise
    // reading would give them; every other line takes that reading.
    if (capacity >= 2 && capacity + 1 <= size_) {
        const std::size_t max = capacity - 2;
        for (;;) {
            std::size_t window = std::min(end_ - start_, max + 2);  // the text, a CR and the LF
            const char* begin = buffer_ + start_;
            if (const void* lf = std::memchr(begin, '\n', window)) {
                std::size_t length = static_cast<std::size_t>(static_cast<const char*>(lf) - begin);
                std::size_t taken = length + 1;
                if (length > 0 && begin[length - 1] == '\r') --length;
                if (length > max || HasControlChars(begin, length)) break;
                text = std::string_view(begin, length);
                start_ += taken;
                if (whole) *whole = true;
                return 0;
            }
            if (end_ - start_ >= max + 2 || !fill()) break;
        }
    }
    if (ReadLineFrom(*this, line, capacity, whole) != 0) return -1;
    text = std::string_view(line, std::strlen(line));
    return 0;
}

long long QueueTextReader::consumed() const { return fileOffset_ - static_cast<long long>(end_ - start_); }

bool QueueTextReader::failed() const { return std::ferror(file_) != 0; }

void DropControlChars(char* text) {
    char* out = text;
    for (const char* in = text; *in; ++in) {
        if (IsKept(static_cast<unsigned char>(*in))) *out++ = *in;
    }
    *out = '\0';
}

void CutLineEnd(char* text) {
    if (char* lf = std::strchr(text, '\n')) *lf = '\0';
    if (char* cr = std::strchr(text, '\r')) *cr = '\0';
}

bool IsBlankLine(const char* text) {
    for (; *text; ++text) {
        if (!IsBlank(*text)) return false;
    }
    return true;
}

void StripComments(const char* value, char* out, std::size_t outSize) {
    if (outSize == 0) return;
    std::size_t n = 0;
    int depth = 0;
    for (const char* p = value; *p; ++p) {
        if (*p == '(') {
            ++depth;
        } else if (depth > 0) {
            if (*p == ')') --depth;
        } else if (n + 1 < outSize) {
            out[n++] = *p;
        } else {
            break;  // the work copy is full: only its first characters count
        }
    }
    out[n] = '\0';
}

void ExtractAddress(char* out, const char* value) {
    char work[kHeaderWorkSize];
    StripComments(value, work, sizeof work);
    const char* p = std::strchr(work, '<');
    const bool angle = p != nullptr;
    p = angle ? p + 1 : work;
    while (IsBlank(*p)) ++p;
    std::size_t n = 0;
    for (; *p && n < kAddressMax; ++p) {
        char c = *p;
        if (IsBlank(c) || c == ',' || c == ':' || c == ';' || (angle && c == '>')) break;
        out[n++] = c;
    }
    out[n] = '\0';
}

}  // namespace quorvexia
