// The working settings that the setup tools edit, and the two conversions
// between them and the 1424-byte record image: taking a record apart after it
// was read, and building the image before it is written. Plain functions with
// no user interface, shared by every front end that edits korv.cfg.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "mail_config.h"

namespace quorvexia {

// The connection mode carries the identifiers of the two radio buttons that
// choose it, so a page reaches the button of the current mode directly.
inline constexpr int kConnectByNetwork = 21100;
inline constexpr int kConnectByModem = 21101;

// The longest texts the settings hold, in bytes: 259 for the server,
// directory and log texts, 256 for the dial-up texts, 15 for the size limit.
inline constexpr std::size_t kSettingTextMax = 259;
inline constexpr std::size_t kDialTextMax = 256;
inline constexpr std::size_t kMaxSizeTextMax = 15;

// What the flood protection switch offers when no limit is stored.
inline constexpr std::string_view kDefaultMaxSizeText = "1024";

// The largest limits, in kilobytes, whose byte count fits the signed 32-bit
// field: 2097151 kB = 2147482624 bytes, and -2097152 kB = INT32_MIN.
inline constexpr long kMaxKilobytes = 2097151;
inline constexpr long kMinKilobytes = -2097152;

struct SetupSettings {
    std::string domainName;
    std::string smtpServer;
    std::string pop3Server;
    std::string inboundDir;
    std::string outboundDir;
    std::string pop3User;
    std::string pop3Password;
    std::string logFile;
    int connectionMode = kConnectByNetwork;
    std::string dialEntry;
    std::string dialUser;
    std::string dialPassword;
    int floodProtection = 0;
    std::string maxSizeText{kDefaultMaxSizeText};
    int deleteOversize = 0;
};

// At most `maxLength` bytes of `text`, never ending inside a character.
std::string CutText(std::string_view text, std::size_t maxLength);

// The defaults of a new configuration; of the image only messageCounter is
// set (to 0), every other byte stays as it was.
void SetDefaultSettings(SetupSettings& settings, MailConfig& image);

// Takes a record image apart into the settings. `legacy` marks an image whose
// first 1416 bytes came from bexolind.cfg: it has no size limit, so flood
// protection is off.
void SettingsFromRecord(const MailConfig& image, bool legacy, SetupSettings& settings);

// The number in a kilobyte text, read the way atol reads it: leading white
// space, an optional sign, then decimal digits up to the first other
// character; no digits give 0. Digits beyond what a long holds saturate
// instead of overflowing.
long ParseKilobytes(std::string_view text);

// The byte limit for a kilobyte number. Numbers whose byte count does not fit
// the field are clamped to kMaxKilobytes or kMinKilobytes; `clamped` tells
// whether that happened.
std::int32_t LimitFromKilobytes(long kilobytes, bool& clamped);

struct RecordBuildResult {
    bool sizeClamped = false;  // the kilobyte number was out of range and clamped
    long savedKilobytes = 0;   // the kilobyte number stored (when flood protection is on)
};

// Builds the image for writing: signature, the eight server and directory
// fields cut and zero-filled, the dial-up fields as text plus terminator (the
// entry only in modem mode), and the size limit. messageCounter and the
// padding bytes keep what the image held.
RecordBuildResult BuildRecordImage(const SetupSettings& settings, MailConfig& image);

}  // namespace quorvexia
