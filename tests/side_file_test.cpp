// The side file beside korv.cfg, and the splitting of helper command lines.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "config/side_file.h"
#include "support/temp_dir.h"

namespace quorvexia {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;

TEST(SideFile, ReadsKeysCommentsAndBlanks) {
    SideSettings s;
    std::string error;
    ASSERT_TRUE(ParseSideText("# korv's helpers\n\n  password-command = secret-tool lookup mail ann  \r\n"
                              "token-command=/usr/local/bin/token 'ann@example.com'\n"
                              "ca-file =\t/etc/korv/ca.pem\n"
                              "   # indented comment\n",
                              s, error))
        << error;
    EXPECT_EQ(s.passwordCommand, "secret-tool lookup mail ann");
    EXPECT_EQ(s.tokenCommand, "/usr/local/bin/token 'ann@example.com'");
    EXPECT_EQ(s.caFile, "/etc/korv/ca.pem");
    // An empty value leaves the key unset; an empty file is no setting at all.
    ASSERT_TRUE(ParseSideText("ca-file =\n", s, error));
    EXPECT_EQ(s.caFile, "");
    ASSERT_TRUE(ParseSideText("", s, error));
}

TEST(SideFile, FaultsNameTheLine) {
    struct {
        const char* text;
        const char* error;
    } cases[] = {
        {"# ok\nca-file = /x\npassword_command = y\n",
         "line 3: unknown key 'password_command' (known keys: password-command, token-command, ca-file, oauth, oauth-account, oauth-tenant, "
         "oauth-client-id, oauth-authorize-url, oauth-token-url, oauth-device-url, oauth-revoke-url, oauth-scope, oauth-store)"},
        {"\n\ntoken-command\n", "line 3: expected 'key = value', not 'token-command'"},
        {"ca-file = /a\nca-file = /b\n", "line 2: ca-file is given twice"},
        {"token-command = get 'token\n", "line 1: token-command: a quote ' is not closed"},
        {"password-command = a\x01" "b\n", "line 1: password-command takes one line without control characters"},
        {"= value\n", "line 1: unknown key '' (known keys: password-command, token-command, ca-file, oauth, oauth-account, oauth-tenant, "
         "oauth-client-id, oauth-authorize-url, oauth-token-url, oauth-device-url, oauth-revoke-url, oauth-scope, oauth-store)"},
    };
    for (const auto& c : cases) {
        SideSettings s;
        std::string error;
        EXPECT_FALSE(ParseSideText(c.text, s, error)) << c.text;
        EXPECT_EQ(error, c.error);
    }
}

TEST(SideFile, WrittenPrivateAndReadBack) {
    TempDir dir;
    std::string path = dir / kSideFileName;
    SideSettings s, back;
    std::string error;
    EXPECT_EQ(ReadSideFile(path, back, error), SideFileStatus::Absent);

    s.tokenCommand = "oauth-helper --account \"ann b\"";
    s.caFile = "/srv/ca.pem";
    ASSERT_TRUE(WriteSideFile(path, s, error)) << error;
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(ReadFile(path), "# Settings of korv beside korv.cfg; see korv(1).\n"
                              "token-command = oauth-helper --account \"ann b\"\n"
                              "ca-file = /srv/ca.pem\n");
    ASSERT_EQ(ReadSideFile(path, back, error), SideFileStatus::Read) << error;
    EXPECT_EQ(back.tokenCommand, s.tokenCommand);
    EXPECT_EQ(back.caFile, s.caFile);
    EXPECT_EQ(back.passwordCommand, "");

    // A file that others could read is made private again by the next write.
    chmod(path.c_str(), 0644);
    ASSERT_TRUE(WriteSideFile(path, s, error));
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST(SideFile, UnreadableFilesAreNamed) {
    TempDir dir;
    SideSettings s;
    std::string error;
    WriteFile(dir / "bad.conf", "# first\nfoo = bar\n");
    EXPECT_EQ(ReadSideFile(dir / "bad.conf", s, error), SideFileStatus::Failed);
    EXPECT_EQ(error, "korv.conf line 2: unknown key 'foo' (known keys: password-command, token-command, ca-file, oauth, oauth-account, oauth-tenant, "
         "oauth-client-id, oauth-authorize-url, oauth-token-url, oauth-device-url, oauth-revoke-url, oauth-scope, oauth-store)");
    test::MakeDir(dir / "adir");
    EXPECT_EQ(ReadSideFile(dir / "adir", s, error), SideFileStatus::Failed);
    EXPECT_EQ(error, "korv.conf: not a regular file");
    WriteFile(dir / "big.conf", std::string(kSideFileMaxBytes + 1, '#'));
    EXPECT_EQ(ReadSideFile(dir / "big.conf", s, error), SideFileStatus::Failed);
    EXPECT_EQ(error, "korv.conf: larger than 65536 bytes");
}

TEST(CommandLine, SplitsWordsWithSimpleQuoting) {
    using Words = std::vector<std::string>;
    struct {
        const char* line;
        Words words;
    } cases[] = {
        {"secret-tool lookup service mail", {"secret-tool", "lookup", "service", "mail"}},
        {"  a\t\tb  ", {"a", "b"}},
        {"get 'two words' \"and three words\"", {"get", "two words", "and three words"}},
        {"x 'it\"s' \"say \\\"hi\\\" \\\\ \\n\"", {"x", "it\"s", "say \"hi\" \\ \\n"}},
        {"a\\ b c\\'d", {"a b", "c'd"}},
        {"pre'fix'\"ed\"", {"prefixed"}},
        {"''", {""}},
        {"$HOME/bin/token;rm -rf /", {"$HOME/bin/token;rm", "-rf", "/"}},
    };
    for (const auto& c : cases) {
        Words words;
        std::string error;
        EXPECT_TRUE(SplitCommandLine(c.line, words, error)) << c.line << ": " << error;
        EXPECT_EQ(words, c.words) << c.line;
    }
    struct {
        const char* line;
        const char* error;
    } faults[] = {
        {"a 'b", "a quote ' is not closed"},
        {"a \"b\\\"", "a quote \" is not closed"},
        {"a\\", "the command ends in a backslash"},
        {"  ", "the command is empty"},
    };
    for (const auto& f : faults) {
        Words words;
        std::string error;
        EXPECT_FALSE(SplitCommandLine(f.line, words, error)) << f.line;
        EXPECT_EQ(error, f.error);
    }
}

}  // namespace
}  // namespace quorvexia
