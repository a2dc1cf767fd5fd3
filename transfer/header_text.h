// Small text routines under the outbound queue and the inbound store: a line
// reader for queue files that cleans each line, a blank-line test, and the
// extraction of the first address from a header value with its comments
// removed. None of them allocates.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string_view>

namespace quorvexia {

inline constexpr std::size_t kAddressMax = 127;       // characters of an extracted address
inline constexpr std::size_t kHeaderWorkSize = 256;   // comment-free work copy, terminator included

// Reads one line of at most capacity-2 characters; control characters other
// than TAB are dropped and the text ends at its first CR or LF. A CR LF pair
// in the file counts as one LF, as a text-mode read gives it; a line of
// exactly capacity-2 characters comes whole, its line end consumed; a longer
// line comes in pieces of capacity-2. 0 when a line was read, -1 when nothing
// could be read (the buffer is then unchanged). `whole`, when given, tells
// whether the line ended with this piece.
int ReadFileLine(char* line, std::size_t capacity, std::FILE* file, bool* whole = nullptr);

// ReadFileLine over a stream read in large blocks, for message texts: the
// same lines, pieces and `whole` flags, but a line with nothing to clean comes
// back in place, as a view into the caller's block buffer (valid until the
// next call), and only the other lines are built in `line`. The block buffer
// holds more than `capacity` bytes. Nothing else may read the stream meanwhile.
class QueueTextReader {
public:
    QueueTextReader(std::FILE* file, char* buffer, std::size_t size);
    // 0 and the line in `text`, or -1 when nothing more could be read.
    int next(std::string_view& text, char* line, std::size_t capacity, bool* whole = nullptr);
    // The bytes of the stream taken so far (what ftell would say after a
    // byte-wise read of the same lines).
    long long consumed() const;
    bool failed() const;

    // The byte source of the byte-wise reading.
    int get();
    void unget(int c);

private:
    bool fill();

    std::FILE* file_;
    char* buffer_;
    std::size_t size_;
    std::size_t start_ = 0;  // unread bytes: buffer_[start_, end_)
    std::size_t end_ = 0;
    long long fileOffset_ = 0;
    bool atEnd_ = false;
};

void DropControlChars(char* text);
void CutLineEnd(char* text);
bool IsBlankLine(const char* text);

// Copies `value` without its parenthesised comments into `out` (of `outSize`
// bytes, terminator included; what does not fit is left out).
void StripComments(const char* value, char* out, std::size_t outSize);

// The first address of a header value (what follows "To:" or "From:"), at
// most 127 characters; `out` holds at least 128 bytes.
void ExtractAddress(char* out, const char* value);

}  // namespace quorvexia
