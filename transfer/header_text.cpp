#include "header_text.h"

#include <cstring>

namespace quorvexia {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Characters kept by DropControlChars: TAB, LF, CR and everything from the
// space up (bytes above 127 and DEL included).
bool IsKept(unsigned char c) { return c == '\t' || c == '\n' || c == '\r' || c >= 32; }

// Skips the rest of a line up to and including its LF.
void SkipRestOfLine(std::FILE* file) {
    int c;
    while ((c = std::getc(file)) != EOF && c != '\n') {
    }
}

}  // namespace

int ReadFileLine(char* line, std::size_t capacity, std::FILE* file, bool* whole) {
    if (capacity < 2) return -1;
    // At most capacity-2 characters, as a text-mode line read of capacity-1
    // delivers them: CR LF arrives as one LF, and the LF is kept in the line.
    const std::size_t max = capacity - 2;
    std::size_t n = 0;
    bool sawAny = false;
    bool ended = false;
    int c = 0;
    while (n < max) {
        c = std::getc(file);
        if (c == EOF) break;
        sawAny = true;
        if (c == '\r') {
            int next = std::getc(file);
            if (next == '\n') {
                c = '\n';
            } else if (next != EOF) {
                std::ungetc(next, file);
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
        int next = std::getc(file);
        if (next == '\n') {
            ended = true;
        } else if (next == '\r') {
            SkipRestOfLine(file);
            ended = true;
        } else if (next != EOF) {
            std::ungetc(next, file);
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
        SkipRestOfLine(file);
        ended = true;
    }
    if (whole) *whole = ended;
    DropControlChars(line);
    CutLineEnd(line);
    return 0;
}

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
