// korv /receive against a real POP3 server (Dovecot) on loopback: 8-bit
// bytes, lines that start with a dot, long lines and a 5 MiB message all
// arrive as they lie in the mailbox, the mailbox is emptied, and a second
// run stores nothing new.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <regex>
#include <vector>

#include "pop3_dovecot.h"
#include "support/program.h"

namespace quorvexia::test {
namespace {

// A message as it lies in the mailbox (LF line ends, no CR or NUL bytes).
std::string GeneratedMessage(int index, std::size_t bodyBytes, std::mt19937& random) {
    std::string text = "From: Sender " + std::to_string(index) + " <sender" + std::to_string(index) +
                       "@example.org>\nTo: Ann <ann@example.net>\nSubject: message " + std::to_string(index) +
                       "\n\n.\n..two dots\n.leading dot\n";
    std::uniform_int_distribution<int> length(0, 998), byte(32, 255), shape(0, 9);
    while (text.size() < bodyBytes) {
        std::string line;
        int kind = shape(random);
        std::size_t n = kind == 0 ? 998 : static_cast<std::size_t>(length(random)) % 120;
        for (std::size_t i = 0; i < n; ++i) line += static_cast<char>(byte(random));
        if (kind == 1) line = "." + line;
        text += line + "\n";
    }
    return text;
}

TEST(Pop3Interop, DovecotMailboxArrivesWhole) {
    if (!DovecotServer::Installed()) GTEST_SKIP() << "dovecot is not installed";
    std::mt19937 random(20240601);
    std::vector<std::string> originals;
    for (int i = 0; i < 12; ++i) originals.push_back(GeneratedMessage(i, i == 5 ? 5u << 20 : 3000u * i, random));

    DovecotServer dovecot;
    for (std::size_t i = 0; i < originals.size(); ++i)
        dovecot.addMessage("17000000" + std::to_string(10 + i) + ".M1P1.quorvexia", originals[i]);
    ASSERT_TRUE(dovecot.start());

    KorvSandbox sb;
    sb.config.pop3Server.assign(dovecot.address());
    sb.config.pop3User.assign(dovecot.user());
    sb.config.pop3Password.assign(dovecot.password());
    sb.config.messageCounter.set(100);
    ProgramResult first = sb.run({"/receive"}, "", 120);
    EXPECT_EQ(first.status, 0) << first.out;
    EXPECT_EQ(first.err, "");
    EXPECT_NE(first.out.find("Receiving 12 message(s)"), std::string::npos) << first.out;

    std::vector<std::string> stored;
    for (int n = 100; n < 112; ++n) {
        std::string base = sb.inbound() + "/00000" + std::to_string(n);
        ASSERT_TRUE(FileExists(base + ".wrk")) << base;
        stored.push_back(ReadFile(base + ".txt"));
        std::smatch subject;
        ASSERT_TRUE(std::regex_search(stored.back(), subject, std::regex("Subject: message (\\d+)\n")));
        EXPECT_EQ(ReadFile(base + ".wrk"), "example.net\nsender" + subject[1].str() + "@example.org\nann@example.net\n");
    }
    std::vector<std::string> expected = originals;
    std::sort(stored.begin(), stored.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_TRUE(stored == expected) << "the stored texts differ from the mailbox";
    EXPECT_EQ(dovecot.messagesLeft(), 0);
    EXPECT_EQ(ReadConfig(sb.path("korv.cfg")).messageCounter.get(), 112u);

    std::string files = ListDir(sb.inbound());
    ProgramResult second = sb.run({"/receive"}, "", 60);
    EXPECT_EQ(second.status, 0);
    EXPECT_NE(second.out.find("Receiving 0 message(s) (0 bytes)...\n"), std::string::npos) << second.out;
    EXPECT_EQ(ListDir(sb.inbound()), files);
}

// One korv /receive with syncfs replaced by the preloaded stand-in in `mode`.
ProgramResult ReceiveWithSyncfsFault(KorvSandbox& sb, const char* mode) {
    const char* asan = std::getenv("ASAN_OPTIONS");
    std::string savedAsan = asan ? asan : "";
    // The stand-in comes before the sanitizer's runtime in the library list.
    setenv("ASAN_OPTIONS", (savedAsan + ":verify_asan_link_order=0").c_str(), 1);
    setenv("LD_PRELOAD", SYNCFS_FAULT_PATH, 1);
    setenv("QUORVEXIA_SYNCFS_FAULT", mode, 1);
    ProgramResult result = sb.run({"/receive"}, "", 120);
    unsetenv("QUORVEXIA_SYNCFS_FAULT");
    unsetenv("LD_PRELOAD");
    if (asan) setenv("ASAN_OPTIONS", savedAsan.c_str(), 1);
    else unsetenv("ASAN_OPTIONS");
    return result;
}

// The stored pairs reach the disk in one sync before QUIT, their envelope
// files get the final names only after it, and the server deletes only at
// QUIT: korv killed in that sync, or a sync that fails, leaves every message
// on the server and no envelope file; the next run fetches them all once and
// clears what the killed run left.
TEST(Pop3Interop, NoMessageLeavesTheServerBeforeItsPairIsOnDisk) {
    if (!DovecotServer::Installed()) GTEST_SKIP() << "dovecot is not installed";
    struct Case {
        const char* mode;
        int status;
        const char* left;  // the inbound directory after the faulty run
    } cases[] = {
        {"kill", 128 + 9, ".00000000.tmp .00000001.tmp .00000002.tmp 00000000.txt 00000001.txt 00000002.txt"},
        {"fail", 2, ""},  // not known to be on disk: removed, as the server keeps the messages
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        DovecotServer dovecot;
        for (int i = 0; i < 3; ++i)
            dovecot.addMessage("170000001" + std::to_string(i) + ".M1P1.quorvexia",
                               "From: a@example.org\nTo: b@example.net\nSubject: " + std::to_string(i) + "\n\nbody\n");
        ASSERT_TRUE(dovecot.start());
        KorvSandbox sb;
        sb.config.pop3Server.assign(dovecot.address());
        sb.config.pop3User.assign(dovecot.user());
        sb.config.pop3Password.assign(dovecot.password());

        ProgramResult faulty = ReceiveWithSyncfsFault(sb, c.mode);
        EXPECT_EQ(faulty.status, c.status) << faulty.out << faulty.err;
        EXPECT_EQ(faulty.out.find("Closing connection..."), std::string::npos) << faulty.out;
        EXPECT_EQ(dovecot.messagesLeft(), 3);
        EXPECT_EQ(ListDir(sb.inbound()), c.left);
        if (*c.left == '\0') {
            EXPECT_NE(faulty.out.find("Couldn't force received mail to disk; 3 message(s) left on the server.\n"),
                      std::string::npos)
                << faulty.out;
            EXPECT_NE(sb.log().find("Couldn't force received mail to disk; 3 message(s) left on the server\n"),
                      std::string::npos);
        }

        ProgramResult clean = sb.run({"/receive"}, "", 120);
        EXPECT_EQ(clean.status, 0) << clean.out;
        EXPECT_NE(clean.out.find("Receiving 3 message(s)"), std::string::npos) << clean.out;
        EXPECT_EQ(dovecot.messagesLeft(), 0);
        EXPECT_EQ(ListDir(sb.inbound()), "00000000.txt 00000000.wrk 00000001.txt 00000001.wrk 00000002.txt 00000002.wrk");
    }
}

}  // namespace
}  // namespace quorvexia::test
