// The configuration record shared by korv and korvcfg: the whole content of
// korv.cfg, held in memory exactly as it lies in the file (1424 bytes, integers
// little-endian on every host), and its 1416-byte predecessor in bexolind.cfg.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace quorvexia {

inline constexpr std::string_view kMailSignature = "Quorvexia 20 CFG";
inline constexpr std::string_view kLegacySignature = "Bexolind 1.0 CFG";
inline constexpr std::size_t kSignatureSize = 16;

// How many bytes of `text` fit in `maxBytes` without splitting a character:
// texts are stored as the UTF-8 the desktop hands over, so a cut that would
// fall inside a well-formed multi-byte sequence moves back to its first byte.
// Bytes that are not such a sequence (a text from an older single-byte code
// page) are cut where they stand.
std::size_t WholeCharacterLength(std::string_view text, std::size_t maxBytes);

// A text field of a fixed width N: the text is what stands before the first
// NUL, or the whole field when it holds none. Nothing reads past the field.
template <std::size_t N>
struct TextField {
    static constexpr std::size_t width = N;
    std::array<char, N> bytes{};

    std::string_view text() const {
        const void* nul = std::memchr(bytes.data(), '\0', N);
        std::size_t length = nul ? static_cast<const char*>(nul) - bytes.data() : N;
        return {bytes.data(), length};
    }
    bool empty() const { return bytes[0] == '\0'; }

    // The whole field anew: at most N-1 bytes, never half a character, every
    // byte after them NUL.
    void assign(std::string_view value) {
        bytes.fill('\0');
        std::size_t length = WholeCharacterLength(value, N - 1);
        std::memcpy(bytes.data(), value.data(), length);
    }

    // The text and its terminator only (at most N-1 bytes, never half a
    // character); the bytes behind the terminator keep what they held.
    void assignText(std::string_view value) {
        std::size_t length = WholeCharacterLength(value, N - 1);
        std::memcpy(bytes.data(), value.data(), length);
        bytes[length] = '\0';
    }
};

// A 32-bit integer stored little-endian whatever the host's byte order.
template <typename T>
struct LittleEndian32 {
    static_assert(sizeof(T) == 4);
    std::array<unsigned char, 4> bytes{};

    T get() const {
        std::uint32_t v = std::uint32_t(bytes[0]) | std::uint32_t(bytes[1]) << 8 |
                          std::uint32_t(bytes[2]) << 16 | std::uint32_t(bytes[3]) << 24;
        return static_cast<T>(v);
    }
    void set(T value) {
        auto v = static_cast<std::uint32_t>(value);
        for (auto& b : bytes) {
            b = static_cast<unsigned char>(v & 0xFF);
            v >>= 8;
        }
    }
};

struct MailConfig {
    std::array<char, kSignatureSize> signature{};
    TextField<64> domainName;
    TextField<80> inboundDir;
    TextField<80> outboundDir;
    TextField<64> smtpServer;
    TextField<64> pop3Server;
    TextField<128> pop3User;
    TextField<64> pop3Password;
    TextField<80> logFile;
    LittleEndian32<std::uint32_t> messageCounter;
    TextField<257> dialEntry;
    TextField<257> dialUser;
    TextField<257> dialPassword;
    unsigned char padding1415 = 0;
    LittleEndian32<std::int32_t> maxMessageSize;
    unsigned char deleteOversize = 0;
    std::array<unsigned char, 3> padding1421{};
};

// The predecessor's record: the same layout up to byte 1415, another signature.
struct LegacyConfig {
    std::array<char, kSignatureSize> signature{};
    TextField<64> domainName;
    TextField<80> inboundDir;
    TextField<80> outboundDir;
    TextField<64> smtpServer;
    TextField<64> pop3Server;
    TextField<128> pop3User;
    TextField<64> pop3Password;
    TextField<80> logFile;
    LittleEndian32<std::uint32_t> messageCounter;
    TextField<257> dialEntry;
    TextField<257> dialUser;
    TextField<257> dialPassword;
    unsigned char padding1415 = 0;
};

inline constexpr std::size_t kMailConfigSize = 1424;
inline constexpr std::size_t kLegacyConfigSize = 1416;

static_assert(sizeof(MailConfig) == kMailConfigSize);
static_assert(sizeof(LegacyConfig) == kLegacyConfigSize);
static_assert(alignof(MailConfig) == 1 && alignof(LegacyConfig) == 1);
static_assert(offsetof(MailConfig, domainName) == 16);
static_assert(offsetof(MailConfig, inboundDir) == 80);
static_assert(offsetof(MailConfig, outboundDir) == 160);
static_assert(offsetof(MailConfig, smtpServer) == 240);
static_assert(offsetof(MailConfig, pop3Server) == 304);
static_assert(offsetof(MailConfig, pop3User) == 368);
static_assert(offsetof(MailConfig, pop3Password) == 496);
static_assert(offsetof(MailConfig, logFile) == 560);
static_assert(offsetof(MailConfig, messageCounter) == 640);
static_assert(offsetof(MailConfig, dialEntry) == 644);
static_assert(offsetof(MailConfig, dialUser) == 901);
static_assert(offsetof(MailConfig, dialPassword) == 1158);
static_assert(offsetof(MailConfig, padding1415) == 1415);
static_assert(offsetof(MailConfig, maxMessageSize) == 1416);
static_assert(offsetof(MailConfig, deleteOversize) == 1420);
static_assert(offsetof(MailConfig, padding1421) == 1421);
static_assert(offsetof(LegacyConfig, dialPassword) == 1158);
static_assert(offsetof(LegacyConfig, padding1415) == 1415);

// The record image as bytes, for reading and writing it whole.
inline unsigned char* ImageBytes(MailConfig& c) { return reinterpret_cast<unsigned char*>(&c); }
inline const unsigned char* ImageBytes(const MailConfig& c) {
    return reinterpret_cast<const unsigned char*>(&c);
}

// Compares the first 16 bytes with a signature, exactly or ignoring letter case.
bool SignatureEquals(const std::array<char, kSignatureSize>& signature, std::string_view expected,
                     bool ignoreCase);
void SetSignature(std::array<char, kSignatureSize>& signature, std::string_view value);

}  // namespace quorvexia
