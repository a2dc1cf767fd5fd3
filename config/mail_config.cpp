#include "mail_config.h"

#include <cctype>

namespace quorvexia {

bool SignatureEquals(const std::array<char, kSignatureSize>& signature, std::string_view expected,
                     bool ignoreCase) {
    if (expected.size() != kSignatureSize) return false;
    for (std::size_t i = 0; i < kSignatureSize; ++i) {
        unsigned char a = static_cast<unsigned char>(signature[i]);
        unsigned char b = static_cast<unsigned char>(expected[i]);
        if (ignoreCase) {
            a = static_cast<unsigned char>(std::tolower(a));
            b = static_cast<unsigned char>(std::tolower(b));
        }
        if (a != b) return false;
    }
    return true;
}

std::size_t WholeCharacterLength(std::string_view text, std::size_t maxBytes) {
    if (text.size() <= maxBytes) return text.size();
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    auto continuation = [&](std::size_t i) { return (byte(i) & 0xC0) == 0x80; };
    // The cut falls before text[maxBytes]. Find the lead byte of the sequence
    // it would split: at most three continuation bytes stand behind one.
    std::size_t lead = maxBytes;
    while (lead > 0 && maxBytes - lead < 3 && continuation(lead)) --lead;
    if (lead == maxBytes && !continuation(maxBytes)) return maxBytes;  // between two characters
    unsigned char c = byte(lead);
    std::size_t length = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    if (length == 0 || lead + length <= maxBytes || lead + length > text.size()) return maxBytes;
    for (std::size_t i = lead + 1; i < lead + length; ++i)
        if (!continuation(i)) return maxBytes;
    return lead;
}

void SetSignature(std::array<char, kSignatureSize>& signature, std::string_view value) {
    signature.fill('\0');
    for (std::size_t i = 0; i < kSignatureSize && i < value.size(); ++i) signature[i] = value[i];
}

}  // namespace quorvexia
