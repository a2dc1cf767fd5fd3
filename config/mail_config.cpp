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

void SetSignature(std::array<char, kSignatureSize>& signature, std::string_view value) {
    signature.fill('\0');
    for (std::size_t i = 0; i < kSignatureSize && i < value.size(); ++i) signature[i] = value[i];
}

}  // namespace quorvexia
