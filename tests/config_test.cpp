// The configuration record: its bytes, korv's read and its atomic rewrite.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

#include "config/config_file.h"
#include "config/config_names.h"
#include "config/setup_settings.h"
#include "support/temp_dir.h"

namespace quorvexia {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;

std::string Bytes(const MailConfig& c) {
    return std::string(reinterpret_cast<const char*>(ImageBytes(c)), kMailConfigSize);
}

TEST(MailConfigTest, FieldsLieAtTheirOffsetsLittleEndian) {
    MailConfig c;
    SetSignature(c.signature, kMailSignature);
    c.domainName.assign("example.org");
    c.logFile.assign("log");
    c.messageCounter.set(0x01020304u);
    c.dialEntry.assign("Office");
    c.maxMessageSize.set(-2);
    c.deleteOversize = 1;
    std::string b = Bytes(c);
    EXPECT_EQ(b.substr(0, 16), "Quorvexia 20 CFG");
    EXPECT_EQ(b.substr(16, 12), std::string("example.org\0", 12));
    EXPECT_EQ(b.substr(560, 4), std::string("log\0", 4));
    EXPECT_EQ(b.substr(640, 4), "\x04\x03\x02\x01");
    EXPECT_EQ(b.substr(644, 7), std::string("Office\0", 7));
    EXPECT_EQ(b.substr(1416, 4), "\xFE\xFF\xFF\xFF");
    EXPECT_EQ(b[1420], '\x01');
    EXPECT_EQ(c.maxMessageSize.get(), -2);
    EXPECT_EQ(c.messageCounter.get(), 0x01020304u);
}

TEST(MailConfigTest, TextFieldsAreCutAndNeverReadPastTheirWidth) {
    MailConfig c;
    c.smtpServer.assign(std::string(300, 'x'));
    EXPECT_EQ(c.smtpServer.text(), std::string(63, 'x'));
    EXPECT_EQ(c.smtpServer.bytes[63], '\0');

    // A field without any NUL reads as its whole width, not into the next field.
    c.smtpServer.bytes.fill('y');
    c.pop3Server.assign("next");
    EXPECT_EQ(c.smtpServer.text(), std::string(64, 'y'));

    // assignText keeps what follows the terminator; assign clears it.
    c.dialEntry.assign("LongEntryName");
    c.dialEntry.assignText("");
    EXPECT_TRUE(c.dialEntry.empty());
    EXPECT_EQ(c.dialEntry.bytes[1], 'o');
    c.dialUser.assignText(std::string(400, 'u'));
    EXPECT_EQ(c.dialUser.text().size(), 256u);
}

// Texts arrive as UTF-8 from the desktop and the command line: a cut never
// leaves the first bytes of a character behind (they show as a replacement
// mark and reach korv as a broken byte). Other bytes are cut where they stand.
TEST(MailConfigTest, CutsFallBetweenCharacters) {
    struct Case {
        const char* name;
        std::string text;
        std::size_t max;
        std::size_t kept;
    };
    const std::string e = "\xC3\xA9";          // é, two bytes
    const std::string euro = "\xE2\x82\xAC";  // €, three
    const std::string face = "\xF0\x9F\x98\x80";  // four
    const Case cases[] = {
        {"ascii", std::string(70, 'a'), 63, 63},
        {"short enough", e + e, 4, 4},
        {"after a whole e-acute", "a" + e + e, 3, 3},
        {"inside an e-acute", e + e, 3, 2},
        {"inside a euro after 1 byte", euro + euro, 4, 3},
        {"inside a euro after 2 bytes", euro + euro, 5, 3},
        {"inside a four-byte character after 3", face + face, 7, 4},
        {"inside the very first character", euro, 2, 0},
        {"latin-1 bytes are not sequences", "caf\xE9\xE9\xE9", 4, 4},
        {"lone continuation bytes", "ab\xA9\xA9\xA9\xA9\xA9", 6, 6},
        {"lead without its continuation", "ab\xC3" "cd", 3, 3},
        {"sequence cut short by the text's end", "ab\xE2\x82", 3, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(WholeCharacterLength(c.text, c.max), c.kept);
        EXPECT_EQ(CutText(c.text, c.max), c.text.substr(0, c.kept));
    }

    // 140 e-acutes: the record keeps 31 of them in its 64-byte field, then NULs.
    std::string accents;
    for (int i = 0; i < 140; ++i) accents += e;
    MailConfig c;
    c.domainName.assign(accents);
    std::string expected;
    for (int i = 0; i < 31; ++i) expected += e;
    EXPECT_EQ(std::string(c.domainName.bytes.data(), 64), expected + std::string(2, '\0'));
    c.dialUser.assignText(accents + accents);
    EXPECT_EQ(c.dialUser.text().size(), 256u);
    EXPECT_EQ(c.dialUser.bytes[256], '\0');
}

TEST(MailConfigTest, SignatureComparisonWithAndWithoutCase) {
    MailConfig c;
    SetSignature(c.signature, "QUORVEXIA 20 CFG");
    EXPECT_TRUE(SignatureEquals(c.signature, kMailSignature, true));
    EXPECT_FALSE(SignatureEquals(c.signature, kMailSignature, false));
    SetSignature(c.signature, "Quorvexia 21 CFG");
    EXPECT_FALSE(SignatureEquals(c.signature, kMailSignature, true));
}

TEST(ReadKorvConfigTest, ShortFileLeavesTheRestZero) {
    TempDir dir;
    MailConfig written;
    SetSignature(written.signature, kMailSignature);
    written.domainName.assign("d");
    WriteFile(dir / "korv.cfg", Bytes(written).substr(0, 100));
    MailConfig image;
    ASSERT_EQ(ReadKorvConfig((dir / "korv.cfg").c_str(), (dir / "bexolind.cfg").c_str(), image),
              ConfigOpenResult::Read);
    EXPECT_EQ(image.domainName.text(), "d");
    EXPECT_EQ(image.maxMessageSize.get(), 0);
    EXPECT_EQ(Bytes(image).substr(100), std::string(kMailConfigSize - 100, '\0'));
}

TEST(ReadKorvConfigTest, MissingFilesAreTold) {
    TempDir dir;
    MailConfig image;
    std::string cfg = dir / "korv.cfg", legacy = dir / "bexolind.cfg";
    EXPECT_EQ(ReadKorvConfig(cfg.c_str(), legacy.c_str(), image), ConfigOpenResult::Unreadable);
    WriteFile(legacy, "x");
    EXPECT_EQ(ReadKorvConfig(cfg.c_str(), legacy.c_str(), image), ConfigOpenResult::OnlyLegacy);
}

TEST(ReplaceFileAtomicallyTest, LongerFileIsCutAndModeKept) {
    TempDir dir;
    std::string path = dir / "korv.cfg";
    WriteFile(path, std::string(2000, 'z'));
    chmod(path.c_str(), 0640);
    MailConfig c;
    SetSignature(c.signature, kMailSignature);
    ASSERT_TRUE(ReplaceFileAtomically(path, ImageBytes(c), kMailConfigSize));
    EXPECT_EQ(ReadFile(path), Bytes(c));
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(test::ListDir(dir.path()), "korv.cfg");  // no temporary file left
}

TEST(ReplaceFileAtomicallyTest, NewFileIsPrivate) {
    TempDir dir;
    std::string path = dir / "korv.cfg";
    ASSERT_TRUE(ReplaceFileAtomically(path, "abc", 3));
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST(ReplaceFileAtomicallyTest, SymbolicLinkStaysALink) {
    TempDir dir;
    test::MakeDir(dir / "real");
    WriteFile(dir / "real/korv.cfg", "old");
    ASSERT_EQ(symlink("real/korv.cfg", (dir / "korv.cfg").c_str()), 0);
    ASSERT_TRUE(ReplaceFileAtomically(dir / "korv.cfg", "new", 3));
    struct stat st;
    ASSERT_EQ(lstat((dir / "korv.cfg").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(ReadFile(dir / "real/korv.cfg"), "new");
}

TEST(ReplaceFileAtomicallyTest, FailedWriteLeavesTheOldFileWhole) {
    TempDir dir;
    std::string path = dir / "korv.cfg";
    WriteFile(path, "old contents");
    // A child whose files may not grow past 100 bytes: the write of the record fails.
    pid_t pid = fork();
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{100, 100};
        setrlimit(RLIMIT_FSIZE, &limit);
        MailConfig c;
        _exit(ReplaceFileAtomically(path, ImageBytes(c), kMailConfigSize) ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1) << "the rewrite must report its failure";
    EXPECT_EQ(ReadFile(path), "old contents");
    EXPECT_EQ(test::ListDir(dir.path()), "korv.cfg");  // the temporary file is gone
}

// Files copied from the old system carry their names in capitals.
TEST(FindConfigFileTest, LowerCaseFirstThenAnyLetterCase) {
    struct Case {
        std::vector<const char*> present;
        const char* found;
    };
    const Case cases[] = {
        {{}, "korv.cfg"},
        {{"KORV.CFG"}, "KORV.CFG"},
        {{"KORV.CFG", "korv.cfg"}, "korv.cfg"},
        {{"Korv.Cfg", "KORV.CFG"}, "KORV.CFG"},  // byte order: capitals first
        {{"korv.cfg.bak", "KORV.CF", "xkorv.cfg"}, "korv.cfg"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        std::string listed;
        for (const char* name : c.present) {
            WriteFile(dir / name, "x");
            listed += std::string(name) + " ";
        }
        SCOPED_TRACE(listed);
        EXPECT_EQ(FindConfigFile(dir.path(), kConfigFileName), dir / c.found);
    }

    // The current directory is named by the bare file name; a directory that
    // cannot be read gives the lower-case name.
    EXPECT_EQ(FindConfigFile("", kLegacyConfigFileName), "bexolind.cfg");
    EXPECT_EQ(FindConfigFile("/nonexistent-dir", kLegacyConfigFileName), "/nonexistent-dir/bexolind.cfg");
}

}  // namespace
}  // namespace quorvexia
