// Record <-> settings conversions of the setup tools: what a load shows and
// what a save stores, byte for byte.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "config/setup_settings.h"
#include "support/temp_dir.h"

namespace quorvexia {
namespace {

std::string Bytes(const MailConfig& c) {
    return std::string(reinterpret_cast<const char*>(ImageBytes(c)), kMailConfigSize);
}

SetupSettings FloodOn(std::string kilobytes, int deleteOversize = 0) {
    SetupSettings s;
    s.floodProtection = 1;
    s.maxSizeText = std::move(kilobytes);
    s.deleteOversize = deleteOversize;
    return s;
}

TEST(SetupConversionTest, DefaultsGiveTheNewFileImage) {
    MailConfig image{};
    image.messageCounter.set(77);
    SetupSettings s;
    s.domainName = "left over";
    SetDefaultSettings(s, image);
    EXPECT_EQ(image.messageCounter.get(), 0u);
    EXPECT_EQ(s.domainName, "");
    EXPECT_EQ(s.connectionMode, kConnectByNetwork);
    EXPECT_EQ(s.maxSizeText, "1024");
    BuildRecordImage(s, image);
    std::string expected(kMailConfigSize, '\0');
    expected.replace(0, 16, "Quorvexia 20 CFG");
    expected.replace(1416, 4, "\xFF\xFF\xFF\xFF");
    EXPECT_EQ(Bytes(image), expected);
}

struct KilobyteCase {
    const char* text;
    std::int32_t savedBytes;
    bool clamped;
};

TEST(SetupConversionTest, KilobyteTextIsReadAsAtolReadsItAndClampedToTheField) {
    const KilobyteCase cases[] = {
        {"1024", 1048576, false},
        {"  12ab", 12288, false},
        {"\t\n 7", 7168, false},
        {"+3", 3072, false},
        {"", 0, false},
        {"abc", 0, false},
        {" - 5", 0, false},  // a sign must be followed by digits
        {"-5", -5120, false},
        {"0", 0, false},
        {"2097151", 2147482624, false},
        {"2097152", 2147482624, true},  // would wrap to a negative value: no limit
        {"4194304", 2147482624, true},  // would wrap to 0: every message too long
        {"999999999999999999999999", 2147482624, true},
        {"-2097152", INT32_MIN, false},
        {"-3000000", INT32_MIN, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("text \"") + c.text + "\"");
        MailConfig image{};
        RecordBuildResult r = BuildRecordImage(FloodOn(c.text), image);
        EXPECT_EQ(image.maxMessageSize.get(), c.savedBytes);
        EXPECT_EQ(r.sizeClamped, c.clamped);
        EXPECT_EQ(r.savedKilobytes, c.savedBytes / 1024);
    }
}

TEST(SetupConversionTest, SizeLimitSurvivesOnlyInWholeKilobytes) {
    MailConfig image{};
    SetSignature(image.signature, kMailSignature);
    image.maxMessageSize.set(1500);
    image.deleteOversize = 5;
    SetupSettings s;
    SettingsFromRecord(image, false, s);
    EXPECT_EQ(s.floodProtection, 1);
    EXPECT_EQ(s.maxSizeText, "1");
    EXPECT_EQ(s.deleteOversize, 1);
    BuildRecordImage(s, image);
    EXPECT_EQ(image.maxMessageSize.get(), 1024);
    EXPECT_EQ(image.deleteOversize, 1);
}

struct LimitCase {
    std::int32_t stored;
    bool legacy;
    int flood;
    const char* text;
};

TEST(SetupConversionTest, StoredLimitDecidesFloodProtection) {
    const LimitCase cases[] = {
        {0, false, 1, "0"},
        {1023, false, 1, "0"},
        {INT32_MAX, false, 1, "2097151"},
        {-1, false, 0, "1024"},
        {INT32_MIN, false, 0, "1024"},
        {4096, true, 0, "1024"},  // a legacy record has no limit whatever its bytes
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored);
        MailConfig image{};
        image.maxMessageSize.set(c.stored);
        image.deleteOversize = 1;
        SetupSettings s;
        s.deleteOversize = 1;
        SettingsFromRecord(image, c.legacy, s);
        EXPECT_EQ(s.floodProtection, c.flood);
        EXPECT_EQ(s.maxSizeText, c.text);
        EXPECT_EQ(s.deleteOversize, c.flood);
    }
}

TEST(SetupConversionTest, FloodOffStoresNoLimitAndKeepsTheDeleteByte) {
    MailConfig image{};
    image.maxMessageSize.set(4096);
    image.deleteOversize = 7;
    SetupSettings s;
    s.maxSizeText = "55";  // read from the page but not used while the box is clear
    s.deleteOversize = 0;
    BuildRecordImage(s, image);
    EXPECT_EQ(Bytes(image).substr(1416, 5), "\xFF\xFF\xFF\xFF\x07");

    s = FloodOn("2", 1);
    BuildRecordImage(s, image);
    EXPECT_EQ(Bytes(image).substr(1416, 5), std::string("\x00\x08\x00\x00\x01", 5));
    s.deleteOversize = 0;
    BuildRecordImage(s, image);
    EXPECT_EQ(image.deleteOversize, 0);
}

TEST(SetupConversionTest, FixedFieldsAreCutAndZeroFilled) {
    MailConfig image{};
    std::memset(ImageBytes(image), 'Z', kMailConfigSize);
    SetupSettings s;
    s.domainName = std::string(300, 'd');
    s.inboundDir = "in";
    s.pop3User = std::string(127, 'u');
    s.logFile = std::string(80, 'l');
    BuildRecordImage(s, image);
    std::string b = Bytes(image);
    EXPECT_EQ(b.substr(16, 64), std::string(63, 'd') + '\0');
    EXPECT_EQ(b.substr(80, 80), "in" + std::string(78, '\0'));
    EXPECT_EQ(b.substr(160, 80), std::string(80, '\0'));
    EXPECT_EQ(b.substr(368, 128), std::string(127, 'u') + '\0');
    EXPECT_EQ(b.substr(560, 80), std::string(79, 'l') + '\0');
    // The counter and the padding bytes keep what the image held.
    EXPECT_EQ(b.substr(640, 4), "ZZZZ");
    EXPECT_EQ(b[1415], 'Z');
    EXPECT_EQ(b.substr(1421, 3), "ZZZ");
}

TEST(SetupConversionTest, DialFieldsKeepTheBytesBehindTheirTerminator) {
    MailConfig image{};
    image.dialEntry.assign("Office Dialup");
    image.dialUser.assign("someone");
    image.dialPassword.assign("secret");

    SetupSettings s;
    s.connectionMode = kConnectByNetwork;
    s.dialEntry = "Office Dialup";  // a name may stay in the settings in network mode
    s.dialUser = "me";
    s.dialPassword = "";
    BuildRecordImage(s, image);
    std::string b = Bytes(image);
    EXPECT_EQ(b.substr(644, 15), std::string("\0ffice Dialup\0\0", 15));
    EXPECT_EQ(b.substr(901, 8), std::string("me\0eone\0", 8));
    EXPECT_EQ(b.substr(1158, 7), std::string("\0ecret\0", 7));

    // Loading that image shows network mode and no entry.
    SetupSettings loaded;
    SettingsFromRecord(image, false, loaded);
    EXPECT_EQ(loaded.connectionMode, kConnectByNetwork);
    EXPECT_EQ(loaded.dialEntry, "");
    EXPECT_EQ(loaded.dialUser, "me");

    s.connectionMode = kConnectByModem;
    s.dialEntry = "ab";
    BuildRecordImage(s, image);
    EXPECT_EQ(Bytes(image).substr(644, 8), std::string("ab\0ice D", 8));
    SettingsFromRecord(image, false, loaded);
    EXPECT_EQ(loaded.connectionMode, kConnectByModem);
    EXPECT_EQ(loaded.dialEntry, "ab");

    // A 300-character name is cut to the 256 the field holds.
    s.dialEntry = std::string(300, 'e');
    BuildRecordImage(s, image);
    EXPECT_EQ(image.dialEntry.text(), std::string(256, 'e'));
}

TEST(SetupConversionTest, FieldsWithoutTerminatorAreReadToTheirWidthOnly) {
    MailConfig image{};
    std::memset(ImageBytes(image), 'x', kMailConfigSize);
    image.maxMessageSize.set(-1);
    SetupSettings s;
    SettingsFromRecord(image, false, s);
    EXPECT_EQ(s.domainName, std::string(64, 'x'));
    EXPECT_EQ(s.pop3User, std::string(128, 'x'));
    EXPECT_EQ(s.logFile, std::string(80, 'x'));
    EXPECT_EQ(s.dialEntry, std::string(256, 'x'));
    EXPECT_EQ(s.dialPassword, std::string(256, 'x'));
    EXPECT_EQ(s.connectionMode, kConnectByModem);
}

TEST(SetupConversionTest, LoadAndSaveWithoutChangesKeepsTheValues) {
    MailConfig image = test::DefaultConfig();
    image.domainName.assign("example.org");
    image.domainName.bytes[20] = 'j';  // junk behind the terminator
    image.smtpServer.assign("smtp.example.org");
    image.pop3Server.assign("pop.example.org:1110");
    image.pop3User.assign("user");
    image.pop3Password.assign("pw");
    image.inboundDir.assign("/home/u/in");
    image.outboundDir.assign("/home/u/out");
    image.logFile.assign("/home/u/korv.log");
    image.messageCounter.set(4242);
    image.dialEntry.assign("Office");
    image.dialUser.assign("dialer");
    image.dialPassword.assign("dialpw");
    image.maxMessageSize.set(2048);
    image.deleteOversize = 1;
    MailConfig before = image;

    SetupSettings s;
    SettingsFromRecord(image, false, s);
    BuildRecordImage(s, image);
    before.domainName.bytes[20] = '\0';
    EXPECT_EQ(Bytes(image), Bytes(before));
}

}  // namespace
}  // namespace quorvexia
