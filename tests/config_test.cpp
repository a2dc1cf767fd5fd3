// The configuration library where korvconf cannot reach it: cuts between
// characters, finding the file, the locks and the atomic replacement, korv's
// counter rewrite, the server forms and helper command lines. korvconf_test
// covers the record, the side file and their sentences through the program.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "config/config_access.h"
#include "config/config_file.h"
#include "config/config_names.h"
#include "config/server_address.h"
#include "config/setup_settings.h"
#include "config/side_file.h"
#include "support/temp_dir.h"

namespace quorvexia {
namespace {

using namespace std::chrono_literals;
using namespace test;
using S = TransportSecurity;

// The bytes of a record korv runs on, with its message counter.
std::string Record(std::uint32_t counter) {
    MailConfig c = DefaultConfig();
    c.smtpServer.assign("smtp.example.org");
    c.messageCounter.set(counter);
    return ConfigBytes(c);
}

// Texts arrive as UTF-8: a cut never leaves the first bytes of a character
// behind. Bytes that are no such sequence are cut where they stand.
TEST(MailConfigTest, CutsFallBetweenCharacters) {
    const std::string e = "\xC3\xA9", euro = "\xE2\x82\xAC", face = "\xF0\x9F\x98\x80";
    const struct { std::string text; std::size_t max, kept; } cases[] = {
        {std::string(70, 'a'), 63, 63}, {e + e, 4, 4}, {"a" + e + e, 3, 3}, {e + e, 3, 2}, {euro + euro, 4, 3},
        {euro + euro, 5, 3}, {face + face, 7, 4}, {euro, 2, 0},
        {"caf\xE9\xE9\xE9", 4, 4},         // single-byte code page
        {"ab\xA9\xA9\xA9\xA9\xA9", 6, 6},  // lone continuation bytes
        {"ab\xC3" "cd", 3, 3},             // a lead byte without its continuation
        {"ab\xE2\x82", 3, 3},              // a sequence cut short by the text's end
    };
    for (const auto& c : cases) EXPECT_EQ(CutText(c.text, c.max), c.text.substr(0, c.kept)) << c.text << " " << c.max;
    MailConfig image;
    image.dialUser.assignText(std::string(400, 'u'));
    EXPECT_EQ(image.dialUser.text(), std::string(256, 'u'));
}

// Files copied from the old system carry their names in capitals.
TEST(FindConfigFileTest, TheLowerCaseNameFirstThenAnyLetterCaseInByteOrder) {
    const std::pair<std::vector<const char*>, const char*> cases[] = {{{}, "korv.cfg"}, {{"KORV.CFG"}, "KORV.CFG"},
        {{"KORV.CFG", "korv.cfg"}, "korv.cfg"}, {{"Korv.Cfg", "KORV.CFG"}, "KORV.CFG"}, {{"KORV.CF", "xkorv.cfg"}, "korv.cfg"}};
    for (const auto& [present, found] : cases) {
        TempDir dir;
        for (const char* name : present) WriteFile(dir / name, "x");
        EXPECT_EQ(FindConfigFile(dir.path(), kConfigFileName), dir / found) << ListDir(dir.path());
    }
    EXPECT_EQ(FindConfigFile("", kLegacyConfigFileName), "bexolind.cfg");
    EXPECT_EQ(FindConfigFile("/nonexistent", kLegacyConfigFileName), "/nonexistent/bexolind.cfg");
}

// Each kind of lock excludes only itself, on a side file beside the real
// korv.cfg that no replacement touches: two names of one file share it.
TEST(ConfigLockTest, EachKindExcludesItselfAndOutlivesTheReplacementOfALinkedFile) {
    TempDir dir;
    MakeDir(dir / "real");
    ASSERT_EQ(symlink("real/korv.cfg", (dir / "korv.cfg").c_str()), 0);
    EXPECT_EQ(LockFilePathFor(dir / "korv.cfg"), dir / "real/.korv.cfg.lock");
    ConfigLock sending = ConfigLock::Acquire(dir / "korv.cfg", ConfigLockKind::Sending, 0ms);
    ConfigLock config = ConfigLock::Acquire(dir / "real/korv.cfg", ConfigLockKind::Config, 0ms);
    EXPECT_TRUE(ConfigLock::Acquire(dir / "korv.cfg", ConfigLockKind::Receiving, 0ms).held());
    int waits = 0;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ConfigLock::Acquire(dir / "real/korv.cfg", ConfigLockKind::Sending, 300ms, [&] { ++waits; }).status(),
              ConfigLock::Status::Busy);
    EXPECT_TRUE(std::chrono::steady_clock::now() - start >= 300ms && waits == 1) << "waited, and said so once";
    ASSERT_TRUE(ReplaceFileAtomically(dir / "korv.cfg", "new", 3));
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "korv.cfg")) << "a link stays a link";
    std::string reason;
    EXPECT_EQ(UpdateConfigFile(dir / "korv.cfg", [](std::string&, bool) { return true; }, reason, 100ms),
              ConfigUpdateResult::LockBusy);
    sending.release();
    EXPECT_TRUE(ConfigLock::Acquire(dir / "korv.cfg", ConfigLockKind::Sending, 0ms).held());
    EXPECT_EQ(ConfigLock::Acquire(dir / "missing/korv.cfg", ConfigLockKind::Config, 0ms).error(), std::strerror(ENOENT));

    // A write that fails (files may not grow past 2 bytes) is told, and leaves
    // the old file whole and no temporary file.
    if (fork() == 0) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{2, 2};
        setrlimit(RLIMIT_FSIZE, &limit);
        _exit(ReplaceFileAtomically(dir / "korv.cfg", "longer", 6) ? 0 : 1);
    }
    int status = 0;
    wait(&status);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
    EXPECT_EQ(ReadFile(dir / "korv.cfg") + " " + ListDir(dir / "real"), "new .korv.cfg.lock korv.cfg");
}

// korv's rewrite changes only the counter of korv.cfg as it is now, when korv
// would run on it; the setup tools take that counter from a sound record only.
TEST(SaveMessageCounterTest, ChangesOnlyTheCounterAndTakeCurrentCounterNeedsASoundRecord) {
    const std::string upper = "QUORVEXIA 20 CFG", none;  // saved as none: left alone
    const struct { std::string before, saved; bool sound; } cases[] = {
        {Record(7) + "tail", Record(42) + "tail", true},  // edited meanwhile, bytes beyond the record
        {upper + Record(7).substr(16), upper + Record(42).substr(16), false},
        {Record(7).substr(0, 1423), Record(42), false},  // one byte short: filled up as korv read it
        {Record(7).substr(0, 644), Record(42).substr(0, 644) + std::string(780, '\0'), false},
        {Record(7).substr(0, 643), none, false},
        {"Bexolind 1.0 CFG" + Record(7).substr(16), none, false},
        {"", none, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.before.substr(0, 16) + " " + std::to_string(c.before.size()));
        TempDir dir;
        WriteFile(dir / "korv.cfg", c.before);
        EXPECT_EQ(SaveMessageCounter(dir / "korv.cfg", 42), c.saved.empty() ? CounterSaveResult::NotARecord : CounterSaveResult::Saved);
        EXPECT_EQ(ReadFile(dir / "korv.cfg"), c.saved.empty() ? c.before : c.saved);
        MailConfig image = DefaultConfig(), expected = DefaultConfig();
        expected.messageCounter.set(c.sound ? 7 : 0);
        TakeCurrentCounter(c.before, image);
        EXPECT_EQ(ConfigBytes(image), ConfigBytes(expected)) << "the counter of a sound record, nothing else";
    }
    // A removed file is not made anew; a directory or a named pipe in its place
    // is a failure, and the pipe holds nobody up.
    TempDir dir;
    EXPECT_EQ(SaveMessageCounter(dir / "korv.cfg", 42), CounterSaveResult::NotARecord);
    EXPECT_FALSE(FileExists(dir / "korv.cfg"));
    MakeDir(dir / "korv.cfg");
    ASSERT_EQ(mkfifo((dir / "pipe.cfg").c_str(), 0600), 0);
    EXPECT_EQ(SaveMessageCounter(dir / "korv.cfg", 42), CounterSaveResult::Failed);
    EXPECT_EQ(SaveMessageCounter(dir / "pipe.cfg", 42), CounterSaveResult::Failed);
}

TEST(ServerForms, EachFormItsSecurityAndPortAndEachFaultRefused) {
    const auto Smtp = ServerProtocol::Smtp, Pop3 = ServerProtocol::Pop3;
    const struct { ServerProtocol protocol; const char* field; S security = S::None; const char* host = nullptr; int port = 0; } cases[] = {
        {Smtp, "mail.example.com", S::None, "mail.example.com", 25}, {Pop3, "::1", S::None, "::1", 110},
        {Pop3, "[::1]:1110", S::None, "::1", 1110}, {Smtp, "SMTP+StartTLS://h", S::StartTls, "h", 587},
        {Smtp, "smtps://h", S::ImplicitTls, "h", 465}, {Pop3, "pop3+starttls://h", S::StartTls, "h", 110},
        {Pop3, "pop3s://[2001:db8::1]:9995", S::ImplicitTls, "2001:db8::1", 9995},
        {Pop3, "pop3s://127.0.0.2/", S::ImplicitTls, "127.0.0.2", 995},
        // Refused; the setup tools leave a bare field alone, as they always did.
        {Smtp, "host:0"}, {Smtp, "smtps://"}, {Smtp, "smtps://:465"}, {Smtp, "smtps://user@h"}, {Smtp, "smtps://h/path"},
        {Smtp, "smtps://h:99999"}, {Pop3, "pop3s://[::1"}, {Smtp, "imap://h"}, {Smtp, "pop3s://h"},
        {Pop3, "smtp+starttls://h"}, {Pop3, "pop3+tls://h"},
    };
    for (const auto& c : cases) {
        ServerAddress a;
        std::string error;
        bool ok = ParseServerAddress(c.field, c.protocol, a, error);
        EXPECT_TRUE(ok == (c.host != nullptr) && ok == error.empty()) << c.field << ": " << error;
        EXPECT_EQ(CheckServerField(c.field, c.protocol), std::strstr(c.field, "://") ? error : "") << c.field;
        if (!ok) continue;
        EXPECT_EQ(std::tuple(a.security, a.host, int{a.port}), std::tuple(c.security, std::string(c.host), c.port));
    }
    EXPECT_EQ(ComposeServerField(Pop3, S::StartTls, "h"), "pop3+starttls://h");
    EXPECT_EQ(ModeMixupHint(Pop3, S::ImplicitTls) + "|" + ModeMixupHint(Smtp, S::StartTls) + "|" + ModeMixupHint(Smtp, S::None),
              "pop3s:// against a plaintext port: use pop3+starttls://|smtp+starttls:// against a TLS port: use smtps://|");
}

TEST(CommandLine, SplitsWordsWithSimpleQuoting) {
    const struct { const char* line; std::vector<std::string> words; const char* error; } cases[] = {
        {"  a\t\tb  ", {"a", "b"}, ""},
        {"x 'it\"s' \"say \\\"hi\\\" \\\\ \\n\"", {"x", "it\"s", "say \"hi\" \\ \\n"}, ""},
        {"a\\ b c\\'d pre'fix'\"ed\" ''", {"a b", "c'd", "prefixed", ""}, ""},
        {"a \"b\\\"", {}, "a quote \" is not closed"},
        {"a\\", {}, "the command ends in a backslash"},
        {"  ", {}, "the command is empty"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> words;
        std::string error;
        EXPECT_EQ(SplitCommandLine(c.line, words, error), !*c.error) << c.line;
        EXPECT_EQ(error, c.error);
        if (!*c.error) {
            EXPECT_EQ(words, c.words);
        }
    }
}

}  // namespace
}  // namespace quorvexia
