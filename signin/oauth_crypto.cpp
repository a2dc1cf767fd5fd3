#include "oauth_crypto.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cctype>

namespace quorvexia::signin {

std::string Base64Url(std::string_view bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                            reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    out.resize(static_cast<std::size_t>(n));
    while (!out.empty() && out.back() == '=') out.pop_back();
    for (char& c : out) {
        if (c == '+') c = '-';
        else if (c == '/') c = '_';
    }
    return out;
}

std::string RandomUrlSafe(std::size_t bytes) {
    std::string raw(bytes, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(raw.data()), static_cast<int>(bytes)) != 1) return {};
    return Base64Url(raw);
}

std::string CodeChallengeS256(std::string_view verifier) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(verifier.data(), verifier.size(), digest, &length, EVP_sha256(), nullptr) != 1) return {};
    return Base64Url(std::string_view(reinterpret_cast<const char*>(digest), length));
}

std::string PercentEncode(std::string_view text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::string EncodeParams(const Params& params) {
    std::string out;
    for (const auto& [name, value] : params) {
        if (!out.empty()) out += '&';
        out += PercentEncode(name) + "=" + PercentEncode(value);
    }
    return out;
}

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool Unescape(std::string_view text, std::string& out) {
    out.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] == '%') {
            if (i + 2 >= text.size()) return false;
            int high = HexValue(text[i + 1]), low = HexValue(text[i + 2]);
            if (high < 0 || low < 0) return false;
            out += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            out += text[i];
        }
    }
    return true;
}

}  // namespace

bool DecodeQuery(std::string_view query, Params& params) {
    params.clear();
    while (!query.empty()) {
        auto amp = query.find('&');
        std::string_view pair = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view{} : query.substr(amp + 1);
        if (pair.empty()) continue;
        auto eq = pair.find('=');
        std::string name, value;
        if (!Unescape(pair.substr(0, eq), name)) return false;
        if (eq != std::string_view::npos && !Unescape(pair.substr(eq + 1), value)) return false;
        params.emplace_back(std::move(name), std::move(value));
    }
    return true;
}

const std::string* FindParam(const Params& params, std::string_view name) {
    for (const auto& [n, v] : params)
        if (n == name) return &v;
    return nullptr;
}

}  // namespace quorvexia::signin
