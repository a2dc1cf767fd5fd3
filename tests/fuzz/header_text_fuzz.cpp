// The header routines on arbitrary bytes: comment stripping into buffers of
// every small size, the cleaning of a line (control characters but TAB, CR
// and LF go; the line ends at its first CR or LF), the blank-line test and
// address extraction, each with a guard byte behind its buffer.
#include <cstdint>
#include <cstring>
#include <vector>

#include "transfer/header_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // The first byte chooses the size of the comment-free copy (1 to 256).
    std::size_t outSize = data[0] + 1u;
    std::vector<char> text(data + 1, data + size);
    text.push_back('\0');

    std::vector<char> stripped(outSize + 1, 'Z');
    stripped[outSize] = '\x7e';
    quorvexia::StripComments(text.data(), stripped.data(), outSize);
    if (std::memchr(stripped.data(), '\0', outSize) == nullptr || stripped[outSize] != '\x7e') __builtin_trap();

    char address[quorvexia::kAddressMax + 2];
    address[quorvexia::kAddressMax + 1] = '\x7e';
    quorvexia::ExtractAddress(address, text.data());
    if (std::strlen(address) > quorvexia::kAddressMax || address[quorvexia::kAddressMax + 1] != '\x7e')
        __builtin_trap();

    std::size_t before = std::strlen(text.data());
    quorvexia::DropControlChars(text.data());
    std::size_t cleaned = std::strlen(text.data());
    if (cleaned > before) __builtin_trap();
    for (std::size_t i = 0; i < cleaned; ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c < 32 && c != '\t' && c != '\r' && c != '\n') __builtin_trap();
    }
    // What is left of the line has no line end and no other control character.
    quorvexia::CutLineEnd(text.data());
    std::size_t cut = std::strlen(text.data());
    if (cut > cleaned || std::memchr(text.data(), '\r', cut) || std::memchr(text.data(), '\n', cut))
        __builtin_trap();
    (void)quorvexia::IsBlankLine(text.data());
    return 0;
}
