// config/ where korvconf cannot reach it; then korvconf: one golden session and what differs
// from it, every refusal with its sentence, secrets that never show, oauth against the fake server.
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstring>
#include <filesystem>

#include "config/config_access.h"
#include "config/config_file.h"
#include "config/config_names.h"
#include "config/server_address.h"
#include "config/setup_settings.h"
#include "config/side_file.h"
#include "korvconf/commands.h"
#include "oauth/fake_auth.h"
#include "platform/process.h"
#include "support/program.h"
#include "utf8_field_cases.h"

namespace quorvexia {
namespace {

using namespace std::chrono_literals;
using namespace test;
using S = TransportSecurity;

// korv.cfg as korvcfg makes it anew, and a record korv runs on with its counter.
const std::string kNew = "Quorvexia 20 CFG" + std::string(1400, '\0') + "\xFF\xFF\xFF\xFF" + std::string(4, '\0');
std::string Record(std::uint32_t counter) {
    MailConfig c = DefaultConfig();
    c.smtpServer.assign("smtp.example.org");
    c.messageCounter.set(counter);
    return ConfigBytes(c);
}
unsigned Mode(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// A cut never leaves the first bytes of a UTF-8 character behind; other bytes are cut where they stand.
TEST(MailConfigTest, CutsFallBetweenCharacters) {
    const std::string e = "\xC3\xA9", euro = "\xE2\x82\xAC", face = "\xF0\x9F\x98\x80";
    const struct { std::string text; std::size_t max, kept; } cases[] = {
        {std::string(70, 'a'), 63, 63}, {e + e, 4, 4}, {"a" + e + e, 3, 3}, {e + e, 3, 2}, {euro + euro, 4, 3},
        {euro + euro, 5, 3}, {face + face, 7, 4}, {euro, 2, 0}, {"caf\xE9\xE9\xE9", 4, 4}, {"ab\xA9\xA9\xA9\xA9", 5, 5},
        {"ab\xC3" "cd", 3, 3}, {"ab\xE2\x82", 3, 3}};
    for (const auto& c : cases) EXPECT_EQ(CutText(c.text, c.max), c.text.substr(0, c.kept)) << c.text << " " << c.max;
    MailConfig image;
    image.dialUser.assignText(std::string(400, 'u'));
    EXPECT_EQ(image.dialUser.text(), std::string(256, 'u'));
}

// Files copied from the old system carry their names in capitals.
TEST(FindConfigFileTest, TheLowerCaseNameFirstThenAnyLetterCaseInByteOrder) {
    TempDir dir;
    for (const char* name : {"KORV.CF", "xkorv.cfg", "Korv.Cfg", "KORV.CFG"}) WriteFile(dir / name, "x");
    EXPECT_EQ(FindConfigFile(dir.path(), kConfigFileName), dir / "KORV.CFG");
    WriteFile(dir / "korv.cfg", "x");
    EXPECT_EQ(FindConfigFile(dir.path(), kConfigFileName) + FindConfigFile("", "x") + FindConfigFile("/none", "x"),
              dir / "korv.cfgx/none/x");
}

// Each kind of lock excludes only itself, on a file beside the real korv.cfg that no replacement touches.
TEST(ConfigLockTest, EachKindExcludesItselfAndOutlivesTheReplacementOfALinkedFile) {
    TempDir dir;
    MakeDir(dir / "real");
    ASSERT_EQ(symlink("real/korv.cfg", (dir / "korv.cfg").c_str()), 0);
    ConfigLock sending = ConfigLock::Acquire(dir / "korv.cfg", ConfigLockKind::Sending, 0ms);
    ConfigLock config = ConfigLock::Acquire(dir / "real/korv.cfg", ConfigLockKind::Config, 0ms);
    EXPECT_TRUE(ConfigLock::Acquire(dir / "korv.cfg", ConfigLockKind::Receiving, 0ms).held());
    int waits = 0;
    ConfigLock busy = ConfigLock::Acquire(dir / "real/korv.cfg", ConfigLockKind::Sending, 200ms, [&] { ++waits; });
    EXPECT_EQ(busy.status(), ConfigLock::Status::Busy);
    EXPECT_EQ(waits, 1) << "a wait is told once";
    ASSERT_TRUE(ReplaceFileAtomically(dir / "korv.cfg", "new", 3));  // through the link
    std::string reason;
    EXPECT_EQ(UpdateConfigFile(dir / "korv.cfg", [](std::string&, bool) { return true; }, reason, 100ms),
              ConfigUpdateResult::LockBusy);
    EXPECT_EQ(ConfigLock::Acquire(dir / "none/korv.cfg", ConfigLockKind::Config, 0ms).error(), std::strerror(ENOENT));
    if (fork() == 0) {  // a write that fails: files may not grow past 2 bytes
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{2, 2};
        setrlimit(RLIMIT_FSIZE, &limit);
        _exit(ReplaceFileAtomically(dir / "korv.cfg", "longer", 6) ? 0 : 1);
    }
    int status = 0;
    wait(&status);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "the failure is told";
    EXPECT_EQ(ReadFile(dir / "korv.cfg") + " " + ListDir(dir / "real"), "new .korv.cfg.lock korv.cfg")
        << "a link stays a link; no temporary is left";
}

// korv's rewrite changes only the counter of a file korv runs on; the setup tools take it from a sound one only.
TEST(SaveMessageCounterTest, ChangesOnlyTheCounterAndTakeCurrentCounterNeedsASoundRecord) {
    const std::string upper = "QUORVEXIA 20 CFG", alone;  // saved as alone: left as it was
    const struct { std::string before, saved; bool sound = false; } cases[] = {
        {Record(7), Record(42), true}, {Record(7) + "tail", Record(42) + "tail", true},
        {upper + Record(7).substr(16), upper + Record(42).substr(16)},
        {Record(7).substr(0, 1423), Record(42)},
        {Record(7).substr(0, 644), Record(42).substr(0, 644) + std::string(780, '\0')},
        {Record(7).substr(0, 643), alone}, {"Bexolind 1.0 CFG" + Record(7).substr(16), alone}, {"", alone}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.before.substr(0, 16) + " " + std::to_string(c.before.size()));
        TempDir dir;
        WriteFile(dir / "korv.cfg", c.before);
        EXPECT_EQ(SaveMessageCounter(dir / "korv.cfg", 42),
                  c.saved.empty() ? CounterSaveResult::NotARecord : CounterSaveResult::Saved);
        EXPECT_EQ(ReadFile(dir / "korv.cfg"), c.saved.empty() ? c.before : c.saved);
        MailConfig image = DefaultConfig(), expected = DefaultConfig();
        expected.messageCounter.set(c.sound ? 7 : 0);
        TakeCurrentCounter(c.before, image);
        EXPECT_EQ(ConfigBytes(image), ConfigBytes(expected)) << "the counter of a sound record, nothing else";
    }
    // A removed file is not made anew; a directory or a named pipe in its place fails, and holds nobody up.
    TempDir dir;
    EXPECT_EQ(SaveMessageCounter(dir / "korv.cfg", 42), CounterSaveResult::NotARecord);
    EXPECT_FALSE(FileExists(dir / "korv.cfg"));
    MakeDir(dir / "korv.cfg");
    ASSERT_EQ(mkfifo((dir / "pipe.cfg").c_str(), 0600), 0);
    EXPECT_EQ(SaveMessageCounter(dir / "korv.cfg", 42), CounterSaveResult::Failed);
    EXPECT_EQ(SaveMessageCounter(dir / "pipe.cfg", 42), CounterSaveResult::Failed);
}

// Every form's port and each fault refused; korvconf's rows below give the sentences.
TEST(ServerForms, EachFormItsSecurityAndPortAndEachFaultRefused) {
    const auto Smtp = ServerProtocol::Smtp, Pop3 = ServerProtocol::Pop3;
    const struct {
        ServerProtocol protocol;
        const char* field;
        S security = S::None;
        const char* host = nullptr;
        int port = 0;
    } cases[] = {
        {Smtp, "mail.example.com", S::None, "mail.example.com", 25}, {Pop3, "::1", S::None, "::1", 110},
        {Smtp, "smtps://h", S::ImplicitTls, "h", 465}, {Pop3, "pop3+starttls://h", S::StartTls, "h", 110},
        {Pop3, "POP3S://127.0.0.2/", S::ImplicitTls, "127.0.0.2", 995}, {Smtp, "host:0"}, {Smtp, "smtps://:465"},
        {Smtp, "smtps://user@h"}, {Smtp, "smtps://h/path"}, {Pop3, "smtp+starttls://h"}, {Pop3, "pop3+tls://h"}};
    for (const auto& c : cases) {
        ServerAddress a;
        std::string error;
        bool ok = ParseServerAddress(c.field, c.protocol, a, error);
        EXPECT_TRUE(ok == (c.host != nullptr) && ok == error.empty()) << c.field << ": " << error;
        // The setup tools leave a bare field alone, as they always did.
        EXPECT_EQ(CheckServerField(c.field, c.protocol), std::strstr(c.field, "://") ? error : "") << c.field;
        if (!ok) continue;
        EXPECT_EQ(std::tuple(a.security, a.host, int{a.port}), std::tuple(c.security, std::string(c.host), c.port));
    }
    EXPECT_EQ(ModeMixupHint(Pop3, S::ImplicitTls) + "|" + ModeMixupHint(Smtp, S::StartTls) + "|" +
                  ModeMixupHint(Smtp, S::None),
              "pop3s:// against a plaintext port: use pop3+starttls://|"
              "smtp+starttls:// against a TLS port: use smtps://|");
}

TEST(CommandLine, SplitsWordsWithSimpleQuoting) {
    const struct { const char* line; std::vector<std::string> words; const char* error = ""; } cases[] = {
        {"  a\t\tb  ", {"a", "b"}}, {"x 'it\"s' \"say \\\"hi\\\" \\\\ \\n\"", {"x", "it\"s", "say \"hi\" \\ \\n"}},
        {"a\\ b c\\'d pre'fix'\"ed\" ''", {"a b", "c'd", "prefixed", ""}},
        {"a \"b\\\"", {}, "a quote \" is not closed"},
        {"a\\", {}, "the command ends in a backslash"}, {"  ", {}, "the command is empty"}};
    for (const auto& c : cases) {
        std::vector<std::string> words;
        std::string error;
        EXPECT_EQ(SplitCommandLine(c.line, words, error), !*c.error) << c.line;
        EXPECT_EQ(error, c.error);
        if (*c.error) continue;
        EXPECT_EQ(words, c.words) << c.line;
    }
}

struct ConfRun { int status; std::string out, err; };
ConfRun Conf(const TempDir& dir, std::vector<std::string> args) {
    ConfRun r;
    r.status = conf::RunKorvconf(args, dir.path(), r.out, r.err);
    return r;
}

// korv.cfg as korvcfg's conversions write it, korv.conf read from a hand-written file and written back whole.
TEST(KorvconfSession, InitSetShowAndTest) {
    TempDir dir;
    ASSERT_EQ(Conf(dir, {"init"}).status, 0);
    EXPECT_EQ(ReadFile(dir / "korv.cfg"), kNew);
    EXPECT_EQ(Mode(dir / "korv.cfg"), 0600u);
    EXPECT_TRUE(Conf(dir, {"show"}).out.ends_with("\nkorv.conf: none (no helpers, no extra CA file)\n"));
    WriteFile(dir / "korv.conf", "# mine\n\n  password-command = true  \r\n   # indented\ntoken-command=echo tok3n\n");
    ConfRun set = Conf(dir, {"set", "domain", "example.org", "SMTP Server", "SMTP+STARTTLS://smtp.example.com",
                             "pop3Server", "pop3s://[2001:db8::1]:9995", "POP3 Username:", "jo", "pop3-password",
                             "Pop3Secret!", "inbound", "in/", "outbound", "/var/out", "logfile", "korv.log",
                             "dial-entry", "Office", "dial-user", "dj", "dial-password", "DialSecret?",
                             "Flood protection", "1", "max-size", "2097151", "delete-oversize", "yes", "ca-file",
                             "/srv/ca.pem"});
    ASSERT_EQ(set.status, 0) << set.err;
    MailConfig built{};
    BuildRecordImage({"example.org", "SMTP+STARTTLS://smtp.example.com", "pop3s://[2001:db8::1]:9995", "in/",
                      "/var/out", "jo", "Pop3Secret!", "korv.log", kConnectByModem, "Office", "dj", "DialSecret?", 1,
                      "2097151", 1}, built);
    EXPECT_EQ(ReadFile(dir / "korv.cfg"), ConfigBytes(built));
    const std::string head = "# Settings of korv beside korv.cfg; see korv(1).\npassword-command = true\n";
    EXPECT_EQ(ReadFile(dir / "korv.conf"), head + "token-command = echo tok3n\nca-file = /srv/ca.pem\n");
    EXPECT_EQ(Conf(dir, {"show"}).out,
              "Mail servers\n  Domain name:                        example.org\n"
              "  SMTP Server:                        SMTP+STARTTLS://smtp.example.com  (STARTTLS, port 587)\n"
              "  POP3 Server:                        pop3s://[2001:db8::1]:9995  (TLS, port 9995)\n"
              "  POP3 Username:                      jo\n  POP3 Password:                      ********\n"
              "Directories\n  Inbound email:                      in/\n  Outbound email:                     /var/out\n"
              "  Logfile:                            korv.log\n"
              "Connection\n  Connect by:                         modem\n"
              "  Using this connection:              Office\n  Connect as Username:                dj\n"
              "  Connect as Password:                ********\nSecurity\n  Flood protection:                   on\n"
              "  Maximum message size:               2097151 kB\n  Delete larger messages from server: on\n"
              "Message counter:                      0\nkorv.conf\n  password-command:   true\n"
              "  token-command:      echo tok3n\n  ca-file:            /srv/ca.pem\n");
    // korv takes the token-command when both are set; its answer is never shown.
    EXPECT_EQ(Conf(dir, {"test"}).out, "token-command works: one line of 5 characters, which korv can use.\n");
    // Only side keys leave korv.cfg alone; an empty value removes a key; the file is private again.
    const std::string record = ReadFile(dir / "korv.cfg");
    chmod((dir / "korv.conf").c_str(), 0644);
    ASSERT_EQ(Conf(dir, {"set", "token-command", ""}).status, 0);
    EXPECT_EQ(ReadFile(dir / "korv.conf") + ReadFile(dir / "korv.cfg"), head + "ca-file = /srv/ca.pem\n" + record);
    EXPECT_EQ(Mode(dir / "korv.conf"), 0600u);
    // Network mode stores an empty entry; the old name's bytes stay behind it.
    ASSERT_EQ(Conf(dir, {"set", "connection", "network"}).status, 0);
    EXPECT_EQ(std::string(ReadConfig(dir / "korv.cfg").dialEntry.bytes.data(), 6), std::string("\0ffice", 6));
    EXPECT_NE(Conf(dir, {"show"}).out.find("  Connect by:                         network\n"), std::string::npos);
}

// Texts longer than their fields are cut where korvcfg cuts them, between characters, each with a note.
TEST(KorvconfSession, LongTextsAreCutBetweenCharactersWithANote) {
    TempDir dir;
    WriteFile(dir / "korv.cfg", kNew);
    std::vector<std::string> args = {"set", "dial-user", std::string(300, 'u'), "dial-entry", std::string(300, 'e')};
    std::string notes = "korvconf: Connect as Username is cut to its first 255 bytes\n"
                        "korvconf: Using this connection is cut to its first 256 bytes\n";
    for (const auto& c : Utf8FieldCases()) {
        args.insert(args.end(), {c.key, c.typed});
        notes += std::string("korvconf: ") + c.label + " is cut to its first " + std::to_string(c.stored.find('\0')) +
                 " bytes\n";
    }
    EXPECT_EQ(Conf(dir, args).err, notes);
    const std::string bytes = ReadFile(dir / "korv.cfg");
    EXPECT_EQ(bytes.substr(644, 514), std::string(256, 'e') + '\0' + std::string(255, 'u') + std::string(2, '\0'));
    for (const auto& c : Utf8FieldCases()) EXPECT_EQ(bytes.substr(c.offset, c.width), c.stored) << c.key;
}

// Counter, padding, bytes beyond the record and the mode go through upgrade, set and init --force.
TEST(KorvconfSession, UpgradeSetAndInitKeepWhatKorvconfDoesNotOwn) {
    TempDir dir;
    MailConfig image{};
    SetSignature(image.signature, kLegacySignature);
    image.smtpServer.bytes.fill('s');  // no terminator: read as its whole width, saved cut
    image.messageCounter.set(4242);
    image.dialEntry.assign("Office");
    image.padding1415 = 0x5A;
    WriteFile(dir / "BEXOLIND.CFG", ConfigBytes(image).substr(0, kLegacyConfigSize));
    ASSERT_EQ(Conf(dir, {"upgrade"}).status, 0);
    SetSignature(image.signature, kMailSignature);
    image.smtpServer.assign(std::string(63, 's'));
    image.maxMessageSize.set(-1);  // the predecessor had no size limit
    EXPECT_EQ(ReadFile(dir / "korv.cfg"), ConfigBytes(image));
    EXPECT_EQ(ListDir(dir.path()), ".korv.cfg.lock korv.cfg");
    image.maxMessageSize.set(1500);  // saved in the whole kilobytes korvcfg shows
    WriteFile(dir / "korv.cfg", ConfigBytes(image) + "TRAILER");
    chmod((dir / "korv.cfg").c_str(), 0640);
    ASSERT_EQ(Conf(dir, {"set", "smtp-server", "new"}).status, 0);
    image.smtpServer.assign("new");
    image.maxMessageSize.set(1024);
    EXPECT_EQ(ReadFile(dir / "korv.cfg"), ConfigBytes(image) + "TRAILER");
    EXPECT_EQ(Mode(dir / "korv.cfg"), 0640u);
    ASSERT_EQ(Conf(dir, {"init", "--force"}).status, 0);
    EXPECT_EQ(ReadFile(dir / "korv.cfg"), kNew.substr(0, 640) + "\x92\x10" + kNew.substr(642));
}

const std::string kDirectory = "(a directory)";
struct Refusal {
    std::vector<std::string> args;
    int status;
    std::string message;                              // all of stderr after "korvconf: "
    std::string cfg = kNew, side = "", legacy = "";  // korv.cfg, korv.conf, bexolind.cfg ("": none)
};

TEST(KorvconfRefusals, EachFaultIsToldAndEveryFileLeftAsItWas) {
    const std::string force = " (replace it with the defaults by 'korvconf init --force')",
                      mend = " (mend or remove the file)";
    const std::string size = "Maximum message size takes whole kilobytes from 0 to 2097151, not ";
    const std::string flood = " takes effect only with flood protection on: give flood-protection on";
    const std::string fields = " (see 'korvconf help' for the fields)", set = "password-command = ";
    const std::vector<std::string> signin = {"oauth", "signin", "--provider", "custom", "--account", "a@b"};
    auto with = [&](std::vector<std::string> more) {
        more.insert(more.begin(), signin.begin(), signin.end());
        return more;
    };
    const Refusal cases[] = {
        {{"set", "smtp", "x"}, 2, "unknown field 'smtp'" + fields},
        {{"set", "domain"}, 2, "set takes pairs of FIELD VALUE" + fields},
        {{"set", "flood-protection", "on", "max-size", "12k"}, 2, size + "'12k'"},
        {{"set", "flood-protection", "on", "max-size", "-1"}, 2, size + "'-1'"},
        {{"set", "flood-protection", "on", "max-size", "2097152"}, 2, size + "'2097152'"},
        {{"set", "flood-protection", "on", "max-size", ""}, 2, size + "''"},
        {{"set", "domain", "x", "max-size", "10"}, 2, "Maximum message size" + flood},
        {{"set", "delete-oversize", "on"}, 2, "Delete larger messages from server" + flood},
        {{"set", "flood-protection", "maybe"}, 2, "Flood protection takes on or off, not 'maybe'"},
        {{"set", "connection", "isdn"}, 2, "Connect by takes network or modem, not 'isdn'"},
        {{"set", "connection", "modem"}, 2, "Connect by modem needs a dial-up entry: give dial-entry NAME"},
        {{"set", "pop3-password", "-"}, 2, "no value for pop3-password on standard input"},
        {{"set", "pop3-server", "imap://h"}, 2,
         "unknown scheme 'imap://' in the POP3 server: use pop3s:// or pop3+starttls://, or no scheme for plain POP3"},
        {{"set", "smtp-server", "pop3s://h"}, 2,
         "pop3s:// is for the POP3 server; the SMTP server takes smtps:// or smtp+starttls://, "
         "or no scheme for plain SMTP"},
        {{"set", "smtp-server", "smtps://h:70000"}, 2,
         "the port in the SMTP server 'smtps://h:70000' is not a number from 1 to 65535"},
        {{"set", "pop3-server", "pop3s://"}, 2,
         "the POP3 server needs a host name after pop3s:// (pop3s://host or pop3s://host:port)"},
        {{"set", "domain", "x", "password-command", "get 'pw"}, 2, "password-command: a quote ' is not closed"},
        {{"frobnicate"}, 2,
         "unknown command 'frobnicate'\n" + conf::UsageText().substr(0, conf::UsageText().size() - 1)},
        {{"init"}, 1, "bexolind.cfg is there: run 'korvconf upgrade' to keep its settings, "
                      "or 'korvconf init --force' for the defaults",
         "", "", "x"},
        {{"upgrade"}, 1, "korv.cfg already exists; bexolind.cfg is left alone"},
        {{"upgrade"}, 1,
         "bexolind.cfg is damaged: its signature is not \"Bexolind 1.0 CFG\" (start anew with 'korvconf init')", "",
         "", "Bexolind 1.0 CFX" + std::string(1400, '\0')},
        {{"set", "domain", "x"}, 1, "korv.cfg is damaged: it is shorter than the 1424-byte record" + force,
         kNew.substr(0, 1423)},
        {{"show"}, 1, "korv.cfg is damaged: its signature is not \"Quorvexia 20 CFG\"" + force,
         "QUORVEXIA 20 CFG" + kNew.substr(16)},
        {{"show"}, 1, "korv.cfg not found (create it with 'korvconf init')", ""},
        {{"set", "domain", "x"}, 1, "korv.cfg not found (bexolind.cfg is there: run 'korvconf upgrade')", "", "", "x"},
        {{"show"}, 1, "cannot read korv.cfg: Is a directory", kDirectory},
        {{"set", "domain", "x", "ca-file", "/b"}, 1, "korv.conf line 2: expected 'key = value', not 'bogus'" + mend,
         kNew, "ca-file = /a\nbogus\n"},
        {{"show"}, 1, "korv.conf line 2: unknown key 'foo' (known keys: password-command, token-command, ca-file, "
                      "oauth, oauth-account, oauth-tenant, oauth-client-id, oauth-authorize-url, oauth-token-url, "
                      "oauth-device-url, oauth-revoke-url, oauth-scope, oauth-store)" + mend, kNew, "# x\nfoo = bar\n"},
        {{"show"}, 1, "korv.conf line 2: ca-file is given twice" + mend, kNew, "ca-file = /a\nca-file = /b\n"},
        {{"show"}, 1, "korv.conf line 1: password-command takes one line without control characters" + mend, kNew,
         set + "\x01\n"},
        {{"test"}, 1, "korv.conf: not a regular file" + mend, kNew, kDirectory},
        {{"test"}, 1, "korv.conf: larger than 65536 bytes" + mend, kNew, std::string(65537, '#')},
        {{"test"}, 2, "korv.conf has no password-command or token-command to test"},
        {{"test"}, 1, "password-command: helper 'printf' printed more than one line", kNew,
         set + "printf 'a\\nb\\n'\n"},
        {{"test"}, 1, "password-command: helper 'true' printed nothing", kNew, set + "true\n"},
        {{"init"}, 1, "korv.cfg already exists" + force},
        {{"test"}, 1, "password-command: helper 'sh' failed with exit status 3", kNew, set + "sh -c 'exit 3'\n"},
        {{"oauth", "signin", "--provider", "custom"}, 2, "oauth signin needs --provider and --account"},
        {{"oauth", "signin", "--provider", "yahoo", "--account", "a@b"}, 2,
         "oauth takes one of microsoft,google,custom, not 'yahoo'"},
        {with({"--device", "--paste"}), 2, "--device and --paste exclude each other"},
        {with({"--store", "disk"}), 2, "oauth-store takes one of keyring,file, not 'disk'"},
        {{"oauth", "status", "now"}, 2, "oauth status takes no arguments"},
        {{"oauth", "refresh"}, 2, "oauth takes signin, status, test or signout"},
        {{"oauth", "status"}, 1, "not signed in: run korvcfg or korvconf oauth signin"},
    };
    for (const Refusal& c : cases) {
        SCOPED_TRACE(c.message);
        TempDir dir;
        WriteFile(dir / ".korv.cfg.lock", "");
        for (const auto& [name, content] :
             {std::pair{"korv.cfg", c.cfg}, std::pair{"korv.conf", c.side}, std::pair{"bexolind.cfg", c.legacy}}) {
            if (content == kDirectory) MakeDir(dir / name);
            else if (!content.empty()) WriteFile(dir / name, content);
        }
        auto files = [&] {
            return ListDir(dir.path()) + ReadFile(dir / "korv.cfg") + ReadFile(dir / "korv.conf") +
                   ReadFile(dir / "bexolind.cfg");
        };
        const std::string before = files();
        ConfRun r = Conf(dir, c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, "korvconf: " + c.message + "\n");
        EXPECT_EQ(files(), before) << "a file was changed or left behind";
    }
}

// korvcfg leaves a file it may not write alone (korvconf runs as nobody: root may write anything).
TEST(KorvconfRefusals, AFileItMayNotWriteIsLeftAlone) {
    TempDir dir;
    WriteFile(dir / "korv.cfg", kNew);
    std::vector<std::string> args = {"set", "domain", "changed"};
    if (geteuid() == 0) {
        ASSERT_EQ(chown(dir.path().c_str(), 65534, 65534) | chown((dir / "korv.cfg").c_str(), 65534, 65534), 0);
        args.insert(args.begin(), {"--reuid=65534", "--regid=65534", "--clear-groups", KORVCONF_PATH});
    }
    ASSERT_EQ(chmod((dir / "korv.cfg").c_str(), 0400), 0);
    ProgramResult r = RunProgram(geteuid() == 0 ? "/usr/bin/setpriv" : KORVCONF_PATH, args, dir.path());
    EXPECT_EQ(std::to_string(r.status) + r.err, "1korvconf: korv.cfg cannot be changed: Permission denied\n");
    EXPECT_EQ(ReadFile(dir / "korv.cfg"), kNew);
}

// Only a password given as "-" is read: from a pipe without a prompt, at a terminal without echo.
TEST(KorvconfSecret, ReadFromAPipeOrUnechoedAtATerminal) {
    TempDir dir;
    WriteFile(dir / "korv.cfg", kNew);
    ProgramResult piped =
        RunProgram(KORVCONF_PATH, {"set", "pop3-password", "-", "pop3-user", "-", "dial-password", "-"}, dir.path(),
                   "pipe secret\r\n-\n");
    EXPECT_EQ(std::to_string(piped.status) + piped.out + piped.err, "0");
    auto saved = [&] {
        MailConfig c = ReadConfig(dir / "korv.cfg");
        return std::string(c.pop3Password.text()) + "|" + std::string(c.pop3User.text()) + "|" +
               std::string(c.dialPassword.text());
    };
    EXPECT_EQ(saved(), "pipe secret|-|-");
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0 && chdir(dir.path().c_str()) == 0)
        execl(KORVCONF_PATH, "korvconf", "set", "pop3-password", "-", "dial-password", "-",
              static_cast<char*>(nullptr));
    if (pid == 0) _exit(127);
    std::string seen;
    for (const auto& [prompt, typed] :
         {std::pair{"POP3 Password: ", "Pop3Typed\r"}, std::pair{"Connect as Password: ", "DialTyped\r"}}) {
        EXPECT_TRUE(ReadUntil(master, seen, prompt, 20000)) << seen;
        EXPECT_EQ(write(master, typed, std::strlen(typed)), static_cast<ssize_t>(std::strlen(typed)));
    }
    EXPECT_TRUE(EndsWellOnTerminal(pid, master, seen)) << seen;
    EXPECT_EQ(seen.find("Typed"), std::string::npos) << "echoed: " << seen;
    EXPECT_EQ(saved(), "Pop3Typed|-|DialTyped");
}

// korv.conf for the fake server, and an xdg-open first in PATH that follows the address like a browser.
struct OauthSetup {
    FakeAuthServer server;
    TempDir dir, bin;
    explicit OauthSetup(const std::string& store, const std::string& provider) {
        SideSettings side = server.side(store, provider);
        side.oauthDeviceUrl = server.url("/devicecode");  // Google's preset has none
        std::string error;
        EXPECT_TRUE(server.ready() && WriteSideFile(dir / "korv.conf", side, error)) << error;
        WriteFile(dir / "korv.cfg", kNew);
        WriteFile(bin / "xdg-open",
                  "#!/bin/sh\ncurl -s -L --max-time 10 --cacert '" + server.pki().caFile() + "' \"$1\" >/dev/null\n");
        chmod((bin / "xdg-open").c_str(), 0755);
        setenv("PATH", (bin.path() + ":" + std::getenv("PATH")).c_str(), 1);
    }
    ProgramResult run(std::vector<std::string> args, std::vector<std::string> more = {}) const {
        args.insert(args.end(), more.begin(), more.end());
        return RunProgram(KORVCONF_PATH, args, dir.path(), "", 60);
    }
};
std::vector<std::string> Signin(const char* provider) {
    return {"oauth", "signin", "--provider", provider, "--account", "ann@example.com"};
}

// Signed in (after a denial in the browser) by device, then at a terminal as
// over SSH: a client secret asked without echo and the browser's last address
// pasted back unechoed. No token or code where others could read it.
TEST(KorvconfOauth, SignInEachWayStatusTestSignOutAndNoSecretInTheOpen) {
    OauthSetup setup("file", "google");
    setup.server.mode("deny");
    ProgramResult denied = setup.run(Signin("google"));
    EXPECT_TRUE(denied.out.starts_with("Sign in at 127.0.0.1 (check that your browser shows this host):\n"
                                       "  https://127.0.0.1:"));
    EXPECT_EQ(denied.err, "korvconf: sign-in was cancelled: sign in again when you are ready (access_denied)\n");
    EXPECT_EQ(setup.run(Signin("google"), {"--paste"}).err,  // input ends before an address comes
              "korvconf: sign-in was cancelled: sign in again when you are ready (nothing was pasted)\n");
    setup.server.mode("device");
    EXPECT_NE(setup.run(Signin("google"), {"--device"}).out.find(
                  "On any device, open https://127.0.0.1/device and enter the code KORV-TEST\n"), std::string::npos);
    setup.server.mode("ok");
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0 && chdir(setup.dir.path().c_str()) == 0)
        execl(KORVCONF_PATH, "korvconf", "oauth", "signin", "--provider", "google", "--account", "ann@example.com",
              "--paste", "--ask-client-secret", static_cast<char*>(nullptr));
    if (pid == 0) _exit(127);
    std::string seen;
    auto type = [&](const std::string& line) {
        EXPECT_EQ(write(master, (line + "\r").data(), line.size() + 1), ssize_t(line.size() + 1));
    };
    EXPECT_TRUE(ReadUntil(master, seen, "Client secret of the app registration: ", 20000)) << seen;
    type("TypedClientSecret-0123456789");
    EXPECT_TRUE(ReadUntil(master, seen, "paste its whole address here:", 20000)) << seen;
    auto start = seen.find("  https://");
    ASSERT_NE(start, std::string::npos) << seen;
    // The browser is sent back to a port no one listens on; its address bar keeps the address.
    auto back = platform::RunProcess({"curl", "-s", "-o", "/dev/null", "-w", "%{redirect_url}", "--max-time", "10",
                                      "--cacert", setup.server.pki().caFile(),
                                      seen.substr(start + 2, seen.find('\r', start) - start - 2)}, true, 20);
    EXPECT_TRUE(ReadUntil(master, seen, "Address: ", 20000)) << seen;
    CmdlineSampler sampler;  // while the code is exchanged and the grant kept
    type(back.out);
    EXPECT_TRUE(EndsWellOnTerminal(pid, master, seen)) << seen;
    std::string processes = sampler.finish();
    EXPECT_NE(seen.find("Signed in as ann@example.com (korv.token)\r\n"
                        "Servers of google: pop3s://pop.gmail.com and smtps://smtp.gmail.com"),
              std::string::npos) << seen;
    EXPECT_TRUE(back.out.find("code=") != std::string::npos && seen.find("code=") == std::string::npos)
        << back.out << seen;
    ProgramResult status = setup.run({"oauth", "status"}), test = setup.run({"oauth", "test"}),
                  show = setup.run({"show"});
    // An hour's token, read back seconds later: 59 or 60 whole minutes.
    const std::string valid = "Signed in as ann@example.com (korv.token) with google; access token valid for ";
    EXPECT_TRUE(status.out == valid + "59 more minutes\n" || status.out == valid + "60 more minutes\n") << status.out;
    EXPECT_EQ(test.out, "The sign-in of ann@example.com works: korv has an access token.\n");
    EXPECT_NE(show.out.find("\n  oauth-account:      ann@example.com\n"), std::string::npos) << show.out;
    std::vector<std::string> secrets = {setup.server.currentAccess(), setup.server.currentRefresh(),
                                        "TypedClientSecret"};
    ExpectNoSecret("korvconf's output", seen + status.out + test.out + show.out + show.err, secrets);
    ExpectNoSecret("korv.conf or korv.cfg", ReadFile(setup.dir / "korv.conf") + ReadFile(setup.dir / "korv.cfg"),
                   secrets);
    ExpectNoSecret("a command line or environment", processes, secrets);
    // A sign-in that cannot be forgotten is not reported as signed out.
    std::filesystem::rename(setup.dir / "korv.token", setup.dir / "kept");
    MakeDir(setup.dir / "korv.token"), WriteFile(setup.dir / "korv.token/x", "");
    ProgramResult stuck = setup.run({"oauth", "signout"});
    EXPECT_EQ(std::to_string(stuck.status) + stuck.out + stuck.err,
              "1korvconf: the stored sign-in cannot be used: sign in "
              "again with korvcfg or korvconf oauth signin (korv.token: Is a directory)\n");
    std::filesystem::remove_all(setup.dir / "korv.token");
    std::filesystem::rename(setup.dir / "kept", setup.dir / "korv.token");
    EXPECT_EQ(setup.run({"oauth", "signout"}).out, "Signed out ann@example.com\n");
    EXPECT_EQ(setup.server.revocations(), 1) << "the grant is withdrawn at Google";
    // A revocation the provider does not confirm: the sign-in is forgotten all the same, and the user told.
    SideSettings side = setup.server.side("file", "google");
    std::string error;
    ASSERT_TRUE(WriteSideFile(setup.dir / "korv.conf", side, error)) << error;
    SignInForTest(setup.server, side, setup.dir.path());
    setup.server.mode("500");
    ProgramResult unconfirmed = setup.run({"oauth", "signout"});
    EXPECT_EQ(unconfirmed.out + unconfirmed.err,
              "Signed out ann@example.com\nkorvconf: the provider did not confirm the "
              "revocation; revoke the app's access in your account settings\n");
    EXPECT_FALSE(FileExists(setup.dir / "korv.token"));
}

// Within oauth/with_keyring.sh the sign-in lands in the key ring; elsewhere none is reached and nothing changes.
TEST(KorvconfOauthKeyring, SignInLandsInTheKeyRingOrIsRefusedWithoutOne) {
    OauthSetup setup("keyring", "custom");
    if (!std::getenv("KORV_TEST_KEYRING")) {
        const std::string before = ReadFile(setup.dir / "korv.conf") + ListDir(setup.dir.path());
        setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus", 1);
        unsetenv("DISPLAY");
        EXPECT_TRUE(setup.run(Signin("custom")).err.starts_with(
                        "korvconf: no key ring can be reached: sign in from a desktop session, "
                        "or with --store file to keep the sign-in in korv.token beside korv.cfg ("));
        EXPECT_EQ(ReadFile(setup.dir / "korv.conf") + ListDir(setup.dir.path()), before);
        return;
    }
    EXPECT_TRUE(setup.run(Signin("custom")).out.ends_with("\nSigned in as ann@example.com (key ring)\n"));
    EXPECT_FALSE(FileExists(setup.dir / "korv.token"));
    const std::vector<std::string> lookup = {"secret-tool", "lookup", "provider", "custom", "account",
                                             "ann@example.com", "client-id", "korv-test-client"};
    EXPECT_NE(platform::RunProcess(lookup, true, 20).out.find(setup.server.currentRefresh()), std::string::npos);
    EXPECT_EQ(setup.run({"oauth", "test"}).status + setup.run({"oauth", "signout"}).status, 0);
    EXPECT_EQ(platform::RunProcess(lookup, true, 20).out, "");
}

}  // namespace
}  // namespace quorvexia
