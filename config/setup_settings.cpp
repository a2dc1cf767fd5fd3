#include "setup_settings.h"

#include <climits>

namespace quorvexia {

std::string CutText(std::string_view text, std::size_t maxLength) {
    return std::string(text.substr(0, WholeCharacterLength(text, maxLength)));
}

void SetDefaultSettings(SetupSettings& settings, MailConfig& image) {
    settings = SetupSettings{};
    image.messageCounter.set(0);
}

void SettingsFromRecord(const MailConfig& image, bool legacy, SetupSettings& settings) {
    settings.domainName = image.domainName.text();
    settings.smtpServer = image.smtpServer.text();
    settings.pop3Server = image.pop3Server.text();
    settings.inboundDir = image.inboundDir.text();
    settings.outboundDir = image.outboundDir.text();
    settings.pop3User = image.pop3User.text();
    settings.pop3Password = image.pop3Password.text();
    settings.logFile = image.logFile.text();
    // A field without a terminator reads as its whole width (257 bytes); the
    // working dial-up texts hold at most 256 characters.
    settings.dialEntry = CutText(image.dialEntry.text(), kDialTextMax);
    settings.dialUser = CutText(image.dialUser.text(), kDialTextMax);
    settings.dialPassword = CutText(image.dialPassword.text(), kDialTextMax);
    settings.connectionMode = settings.dialEntry.empty() ? kConnectByNetwork : kConnectByModem;

    std::int32_t limit = image.maxMessageSize.get();
    if (!legacy && limit >= 0) {
        settings.floodProtection = 1;
        settings.maxSizeText = std::to_string(static_cast<unsigned long>(limit) / 1024);
        settings.deleteOversize = image.deleteOversize != 0 ? 1 : 0;
    } else {
        settings.floodProtection = 0;
        settings.maxSizeText = std::string(kDefaultMaxSizeText);
        settings.deleteOversize = 0;
    }
}

long ParseKilobytes(std::string_view text) {
    std::size_t i = 0;
    auto isSpace = [](char c) {
        return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
    };
    while (i < text.size() && isSpace(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        int digit = text[i] - '0';
        if (value > (LONG_MAX - digit) / 10) {
            value = LONG_MAX;  // saturated: still far beyond any limit the field can hold
            continue;
        }
        value = value * 10 + digit;
    }
    return negative ? -value : value;
}

std::int32_t LimitFromKilobytes(long kilobytes, bool& clamped) {
    clamped = false;
    if (kilobytes > kMaxKilobytes) {
        kilobytes = kMaxKilobytes;
        clamped = true;
    } else if (kilobytes < kMinKilobytes) {
        kilobytes = kMinKilobytes;
        clamped = true;
    }
    return static_cast<std::int32_t>(kilobytes * 1024);
}

RecordBuildResult BuildRecordImage(const SetupSettings& settings, MailConfig& image) {
    RecordBuildResult result;
    SetSignature(image.signature, kMailSignature);
    image.domainName.assign(settings.domainName);
    image.inboundDir.assign(settings.inboundDir);
    image.outboundDir.assign(settings.outboundDir);
    image.smtpServer.assign(settings.smtpServer);
    image.pop3Server.assign(settings.pop3Server);
    image.pop3User.assign(settings.pop3User);
    image.pop3Password.assign(settings.pop3Password);
    image.logFile.assign(settings.logFile);

    // Network mode stores an empty entry; the old name's bytes behind the
    // terminator carry no meaning and are left as they were.
    image.dialEntry.assignText(settings.connectionMode == kConnectByModem ? settings.dialEntry
                                                                          : std::string_view(""));
    image.dialUser.assignText(settings.dialUser);
    image.dialPassword.assignText(settings.dialPassword);

    if (settings.floodProtection) {
        long kilobytes = ParseKilobytes(settings.maxSizeText);
        image.maxMessageSize.set(LimitFromKilobytes(kilobytes, result.sizeClamped));
        result.savedKilobytes = image.maxMessageSize.get() / 1024;
        image.deleteOversize = settings.deleteOversize ? 1 : 0;
    } else {
        image.maxMessageSize.set(-1);
    }
    return result;
}

}  // namespace quorvexia
