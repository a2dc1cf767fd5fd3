// korvconf: the same bytes as korvcfg's conversions for the same settings,
// clear refusals that leave the file alone, and masked passwords.
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <sstream>

#include "config/config_access.h"
#include "config/setup_settings.h"
#include "korvconf/commands.h"
#include "support/program.h"
#include "support/temp_dir.h"
#include "utf8_field_cases.h"

namespace quorvexia {
namespace {

using test::FileExists;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

std::string Bytes(const MailConfig& c) {
    return std::string(reinterpret_cast<const char*>(ImageBytes(c)), kMailConfigSize);
}

struct ConfRun {
    int status;
    std::string out;
    std::string err;
};

ConfRun Korvconf(const TempDir& dir, std::vector<std::string> args) {
    ConfRun r;
    r.status = conf::RunKorvconf(args, dir.path(), r.out, r.err);
    return r;
}

// What korvcfg writes for these settings over `image`.
std::string Expected(const SetupSettings& settings, MailConfig image) {
    BuildRecordImage(settings, image);
    return Bytes(image);
}

MailConfig NewImage() {
    MailConfig image{};
    SetupSettings defaults;
    SetDefaultSettings(defaults, image);
    return image;
}

TEST(KorvconfInit, WritesKorvcfgsNewFileWithMode0600) {
    TempDir dir;
    ConfRun r = Korvconf(dir, {"init"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string bytes = ReadFile(dir / "korv.cfg");
    std::string expected = std::string("Quorvexia 20 CFG") + std::string(1400, '\0') +
                           "\xFF\xFF\xFF\xFF" + std::string(4, '\0');
    EXPECT_EQ(bytes, expected);
    SetupSettings defaults;
    EXPECT_EQ(bytes, Expected(defaults, NewImage()));
    struct stat st;
    ASSERT_EQ(stat((dir / "korv.cfg").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

struct RoundTripCase {
    const char* name;
    std::vector<std::string> args;
    std::function<void(SetupSettings&)> edit;
};

TEST(KorvconfSet, SameBytesAsTheSharedConversions) {
    const std::string longText(300, 'L');
    const std::vector<RoundTripCase> cases = {
        {"texts",
         {"set", "domain", "example.org", "SMTP Server", "smtp.example.org:2525", "pop3Server",
          "pop.example.org", "POP3 Username:", "jo", "pop3-password", "s3cret", "inbound", "in/",
          "outbound", "/var/mail/out", "logfile", "korv.log"},
         [](SetupSettings& s) {
             s.domainName = "example.org";
             s.smtpServer = "smtp.example.org:2525";
             s.pop3Server = "pop.example.org";
             s.pop3User = "jo";
             s.pop3Password = "s3cret";
             s.inboundDir = "in/";
             s.outboundDir = "/var/mail/out";
             s.logFile = "korv.log";
         }},
        {"long texts are cut like korvcfg cuts them",
         {"set", "domain", longText, "pop3-user", longText, "dial-user", longText, "dial-entry", longText},
         [&](SetupSettings& s) {
             s.domainName = longText.substr(0, 259);
             s.pop3User = longText.substr(0, 259);
             s.dialUser = longText.substr(0, 255);
             s.dialEntry = longText.substr(0, 256);
             s.connectionMode = kConnectByModem;
         }},
        {"modem with entry, user and password",
         {"set", "dial-entry", "Office", "dial-user", "jo", "dial-password", "pw"},
         [](SetupSettings& s) {
             s.connectionMode = kConnectByModem;
             s.dialEntry = "Office";
             s.dialUser = "jo";
             s.dialPassword = "pw";
         }},
        {"flood protection with size and delete",
         {"set", "flood-protection", "on", "max-size", "0020", "delete-oversize", "yes"},
         [](SetupSettings& s) {
             s.floodProtection = 1;
             s.maxSizeText = "20";
             s.deleteOversize = 1;
         }},
        {"largest size that fits",
         {"set", "flood-protection", "on", "max-size", "2097151"},
         [](SetupSettings& s) {
             s.floodProtection = 1;
             s.maxSizeText = "2097151";
         }},
        {"size zero",
         {"set", "Flood protection", "1", "Maximum message size", "0"},
         [](SetupSettings& s) {
             s.floodProtection = 1;
             s.maxSizeText = "0";
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        ASSERT_EQ(Korvconf(dir, {"init"}).status, 0);
        ConfRun r = Korvconf(dir, c.args);
        ASSERT_EQ(r.status, 0) << r.err;
        SetupSettings settings;
        c.edit(settings);
        EXPECT_EQ(ReadFile(dir / "korv.cfg"), Expected(settings, NewImage()));
    }
}

TEST(KorvconfSet, AccentedTextsAreCutBetweenCharactersAsKorvcfgCutsThem) {
    TempDir dir;
    ASSERT_EQ(Korvconf(dir, {"init"}).status, 0);
    std::vector<std::string> args = {"set"};
    std::string notes;
    for (const auto& c : test::Utf8FieldCases()) {
        args.push_back(c.key);
        args.push_back(c.typed);
        notes += std::string("korvconf: ") + c.label + " is cut to its first " +
                 std::to_string(c.stored.find('\0')) + " bytes\n";
    }
    ConfRun r = Korvconf(dir, args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, notes);
    std::string bytes = ReadFile(dir / "korv.cfg");
    ASSERT_EQ(bytes.size(), kMailConfigSize);
    for (const auto& c : test::Utf8FieldCases()) {
        SCOPED_TRACE(c.key);
        EXPECT_EQ(bytes.substr(c.offset, c.width), c.stored);
    }
}

// Files copied from the old system keep their capitals.
TEST(KorvconfFiles, FindsUpperCaseNamesWhenTheLowerCaseOnesAreAbsent) {
    TempDir dir;
    MailConfig legacy{};
    SetSignature(legacy.signature, kLegacySignature);
    legacy.messageCounter.set(5);
    WriteFile(dir / "BEXOLIND.CFG", Bytes(legacy).substr(0, kLegacyConfigSize));
    ConfRun init = Korvconf(dir, {"init"});
    EXPECT_EQ(init.status, 1);
    EXPECT_NE(init.err.find("run 'korvconf upgrade'"), std::string::npos) << init.err;

    ConfRun upgrade = Korvconf(dir, {"upgrade"});
    ASSERT_EQ(upgrade.status, 0) << upgrade.err;
    EXPECT_EQ(test::ListDir(dir.path()), ".korv.cfg.lock korv.cfg");
    EXPECT_EQ(test::ReadConfig(dir / "korv.cfg").messageCounter.get(), 5u);

    // An upper-case KORV.CFG is read and changed in place; no second file appears.
    ASSERT_EQ(std::rename((dir / "korv.cfg").c_str(), (dir / "KORV.CFG").c_str()), 0);
    ASSERT_EQ(Korvconf(dir, {"set", "domain", "example.org"}).status, 0);
    // The lock file goes with the spelling found; the old one stays, unused.
    EXPECT_EQ(test::ListDir(dir.path()), ".KORV.CFG.lock .korv.cfg.lock KORV.CFG");
    EXPECT_EQ(test::ReadConfig(dir / "KORV.CFG").domainName.text(), "example.org");
    ConfRun shown = Korvconf(dir, {"show"});
    EXPECT_EQ(shown.status, 0);
    EXPECT_NE(shown.out.find("Message counter:                      5\n"), std::string::npos) << shown.out;
}

TEST(KorvconfSet, CarriesCounterPaddingExcessAndModeThrough) {
    TempDir dir;
    MailConfig image = NewImage();
    SetupSettings settings;
    settings.smtpServer = "old";
    settings.floodProtection = 1;
    settings.maxSizeText = "3";
    BuildRecordImage(settings, image);
    image.messageCounter.set(4242);
    image.padding1415 = 0x5A;
    image.maxMessageSize.set(1500);  // not whole kilobytes: korvcfg saves 1 kB back
    WriteFile(dir / "korv.cfg", Bytes(image) + "TRAILER");
    ASSERT_EQ(chmod((dir / "korv.cfg").c_str(), 0640), 0);

    ConfRun r = Korvconf(dir, {"set", "smtp-server", "new"});
    ASSERT_EQ(r.status, 0) << r.err;
    SetupSettings loaded;
    SettingsFromRecord(image, false, loaded);
    loaded.smtpServer = "new";
    std::string bytes = ReadFile(dir / "korv.cfg");
    EXPECT_EQ(bytes, Expected(loaded, image) + "TRAILER");
    MailConfig saved = test::ReadConfig(dir / "korv.cfg");
    EXPECT_EQ(saved.messageCounter.get(), 4242u);
    EXPECT_EQ(saved.padding1415, 0x5A);
    EXPECT_EQ(saved.maxMessageSize.get(), 1024);
    struct stat st;
    ASSERT_EQ(stat((dir / "korv.cfg").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST(KorvconfSet, NetworkKeepsTheOldEntryBytesBehindAnEmptyEntry) {
    TempDir dir;
    ASSERT_EQ(Korvconf(dir, {"init"}).status, 0);
    ASSERT_EQ(Korvconf(dir, {"set", "dial-entry", "Office"}).status, 0);
    ASSERT_EQ(Korvconf(dir, {"set", "connection", "network"}).status, 0);
    MailConfig saved = test::ReadConfig(dir / "korv.cfg");
    EXPECT_TRUE(saved.dialEntry.empty());
    EXPECT_EQ(std::string(saved.dialEntry.bytes.data() + 1, 5), "ffice");
    ConfRun shown = Korvconf(dir, {"show"});
    EXPECT_NE(shown.out.find("Connect by:                         network\n"), std::string::npos)
        << shown.out;
}

TEST(KorvconfShow, EveryLabelAndMaskedPasswords) {
    TempDir dir;
    ASSERT_EQ(Korvconf(dir, {"init"}).status, 0);
    ASSERT_EQ(Korvconf(dir, {"set", "domain", "example.org", "pop3-password", "Pop3Secret!",
                             "dial-entry", "Office", "dial-password", "DialSecret?"})
                  .status,
              0);
    ConfRun r = Korvconf(dir, {"show"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find("Secret"), std::string::npos) << r.out;
    const char* expected =
        "Mail servers\n"
        "  Domain name:                        example.org\n"
        "  SMTP Server:\n"
        "  POP3 Server:\n"
        "  POP3 Username:\n"
        "  POP3 Password:                      ********\n"
        "Directories\n"
        "  Inbound email:\n"
        "  Outbound email:\n"
        "  Logfile:\n"
        "Connection\n"
        "  Connect by:                         modem\n"
        "  Using this connection:              Office\n"
        "  Connect as Username:\n"
        "  Connect as Password:                ********\n"
        "Security\n"
        "  Flood protection:                   off\n"
        "  Maximum message size:               1024 kB\n"
        "  Delete larger messages from server: off\n"
        "Message counter:                      0\n"
        "korv.conf: none (no helpers, no extra CA file)\n";
    EXPECT_EQ(r.out, expected);
}

TEST(KorvconfServerForms, AcceptedShownWithTheirMeaningAndRefusedWhenUnknown) {
    TempDir dir;
    ASSERT_EQ(Korvconf(dir, {"init"}).status, 0);
    ConfRun set = Korvconf(dir, {"set", "smtp-server", "SMTP+STARTTLS://smtp.example.com", "pop3-server",
                                 "pop3s://[2001:db8::1]:9995"});
    ASSERT_EQ(set.status, 0) << set.err;
    MailConfig saved = test::ReadConfig(dir / "korv.cfg");
    EXPECT_EQ(saved.smtpServer.text(), "SMTP+STARTTLS://smtp.example.com");
    EXPECT_EQ(saved.pop3Server.text(), "pop3s://[2001:db8::1]:9995");
    ConfRun shown = Korvconf(dir, {"show"});
    EXPECT_NE(shown.out.find("  SMTP Server:                        SMTP+STARTTLS://smtp.example.com  (STARTTLS, port 587)\n"),
              std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("  POP3 Server:                        pop3s://[2001:db8::1]:9995  (TLS, port 9995)\n"),
              std::string::npos) << shown.out;

    const std::string before = ReadFile(dir / "korv.cfg");
    struct {
        std::vector<std::string> args;
        const char* message;
    } refused[] = {
        {{"set", "pop3-server", "imap://mail.example.com"},
         "korvconf: unknown scheme 'imap://' in the POP3 server: use pop3s:// or pop3+starttls://, or no scheme for plain POP3\n"},
        {{"set", "domain", "x", "smtp-server", "pop3s://mail.example.com"},
         "korvconf: pop3s:// is for the POP3 server; the SMTP server takes smtps:// or smtp+starttls://, or no scheme for plain SMTP\n"},
        {{"set", "smtp-server", "smtps://mail.example.com:70000"},
         "korvconf: the port in the SMTP server 'smtps://mail.example.com:70000' is not a number from 1 to 65535\n"},
    };
    for (const auto& r : refused) {
        ConfRun run = Korvconf(dir, r.args);
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.err, r.message);
    }
    EXPECT_EQ(ReadFile(dir / "korv.cfg"), before);
}

TEST(KorvconfSideFile, KeysSetShownAndRemoved) {
    TempDir dir;
    ASSERT_EQ(Korvconf(dir, {"init"}).status, 0);
    ConfRun set = Korvconf(dir, {"set", "token-command", "get-token --user 'ann b'", "pop3-user", "ann",
                                 "ca-file", "/srv/ca.pem"});
    ASSERT_EQ(set.status, 0) << set.err;
    EXPECT_EQ(test::ReadConfig(dir / "korv.cfg").pop3User.text(), "ann");
    EXPECT_EQ(ReadFile(dir / "korv.conf"), "# Settings of korv beside korv.cfg; see korv(1).\n"
                                           "token-command = get-token --user 'ann b'\n"
                                           "ca-file = /srv/ca.pem\n");
    struct stat st;
    ASSERT_EQ(stat((dir / "korv.conf").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    ConfRun shown = Korvconf(dir, {"show"});
    ASSERT_EQ(shown.status, 0) << shown.err;
    EXPECT_NE(shown.out.find("korv.conf\n"
                             "  password-command:   (not set)\n"
                             "  token-command:      get-token --user 'ann b'\n"
                             "  ca-file:            /srv/ca.pem\n"),
              std::string::npos)
        << shown.out;

    // Only side keys: korv.cfg is left as it was; an empty value removes a key.
    const std::string record = ReadFile(dir / "korv.cfg");
    ASSERT_EQ(Korvconf(dir, {"set", "token-command", ""}).status, 0);
    EXPECT_EQ(ReadFile(dir / "korv.conf"), "# Settings of korv beside korv.cfg; see korv(1).\n"
                                           "ca-file = /srv/ca.pem\n");
    EXPECT_EQ(ReadFile(dir / "korv.cfg"), record);
}

TEST(KorvconfSideFile, FaultsChangeNothing) {
    TempDir dir;
    ASSERT_EQ(Korvconf(dir, {"init"}).status, 0);
    const std::string record = ReadFile(dir / "korv.cfg");

    ConfRun quote = Korvconf(dir, {"set", "domain", "x", "password-command", "secret-tool 'lookup"});
    EXPECT_EQ(quote.status, 2);
    EXPECT_EQ(quote.err, "korvconf: password-command: a quote ' is not closed\n");
    EXPECT_FALSE(FileExists(dir / "korv.conf"));

    WriteFile(dir / "korv.conf", "ca-file = /a\nbogus\n");
    ConfRun damaged = Korvconf(dir, {"set", "domain", "x", "ca-file", "/b"});
    EXPECT_EQ(damaged.status, 1);
    EXPECT_EQ(damaged.err, "korvconf: korv.conf line 2: expected 'key = value', not 'bogus' (mend or remove the file)\n");
    EXPECT_EQ(ReadFile(dir / "korv.cfg"), record);
    EXPECT_EQ(ReadFile(dir / "korv.conf"), "ca-file = /a\nbogus\n");
    ConfRun shown = Korvconf(dir, {"show"});
    EXPECT_EQ(shown.status, 1);
    EXPECT_EQ(shown.err, damaged.err);
}

// `test` runs the helper as korv would and gives korv's own sentence for an
// answer korv refuses, so a helper that prints several lines is caught at
// setup rather than at the first transfer.
TEST(KorvconfSideFile, TestRunsTheHelperAsKorvWould) {
    struct Case {
        std::vector<std::string> set;
        int status;
        const char* out;
        const char* err;
    };
    const std::vector<Case> cases = {
        {{"password-command", "printf 'pw\\nsecond\\n'"}, 1, "",
         "korvconf: password-command: helper 'printf' printed more than one line\n"},
        {{"password-command", "true"}, 1, "", "korvconf: password-command: helper 'true' printed nothing\n"},
        {{"password-command", "sh -c 'exit 3'"}, 1, "", "korvconf: password-command: helper 'sh' failed with exit status 3\n"},
        // korv takes the token-command when both are set.
        {{"password-command", "true", "token-command", "echo tok3n"}, 0,
         "token-command works: one line of 5 characters, which korv can use.\n", ""},
        {{}, 2, "", "korvconf: korv.conf has no password-command or token-command to test\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.err);
        TempDir dir;
        ASSERT_EQ(Korvconf(dir, {"init"}).status, 0);
        std::vector<std::string> set = {"set"};
        set.insert(set.end(), c.set.begin(), c.set.end());
        if (!c.set.empty()) {
            ASSERT_EQ(Korvconf(dir, set).status, 0);
        }
        ConfRun run = Korvconf(dir, {"test"});
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.out, c.out);
        EXPECT_EQ(run.err, c.err);
    }
}

struct ErrorCase {
    const char* name;
    std::function<void(const TempDir&)> prepare;  // after a sound korv.cfg was written
    std::vector<std::string> args;
    int status;
    const char* message;
};

TEST(KorvconfErrors, RefusedWithAClearMessageAndTheFileUnchanged) {
    const std::vector<ErrorCase> cases = {
        {"unknown field", {}, {"set", "smtp", "x"}, 2, "unknown field 'smtp'"},
        {"missing value", {}, {"set", "domain"}, 2, "pairs of FIELD VALUE"},
        {"letters in a size", {}, {"set", "flood-protection", "on", "max-size", "12k"}, 2,
         "whole kilobytes from 0 to 2097151, not '12k'"},
        {"negative size", {}, {"set", "flood-protection", "on", "max-size", "-1"}, 2, "not '-1'"},
        {"size too large", {}, {"set", "flood-protection", "on", "max-size", "2097152"}, 2,
         "not '2097152'"},
        {"empty size", {}, {"set", "flood-protection", "on", "max-size", ""}, 2, "not ''"},
        {"size without flood protection", {}, {"set", "max-size", "10"}, 2,
         "only with flood protection on"},
        {"delete without flood protection", {}, {"set", "delete-oversize", "on"}, 2,
         "only with flood protection on"},
        {"bad switch", {}, {"set", "flood-protection", "maybe"}, 2, "takes on or off, not 'maybe'"},
        {"bad connection", {}, {"set", "connection", "isdn"}, 2, "network or modem, not 'isdn'"},
        {"modem without entry", {}, {"set", "connection", "modem"}, 2, "needs a dial-up entry"},
        {"a later bad pair stops the earlier good one", {}, {"set", "domain", "x", "max-size", "x"}, 2,
         "not 'x'"},
        {"unknown command", {}, {"frobnicate"}, 2, "unknown command 'frobnicate'"},
        {"init over an existing file", {}, {"init"}, 1, "korv.cfg already exists"},
        {"upgrade over an existing file", {}, {"upgrade"}, 1, "korv.cfg already exists"},
        {"short file",
         [](const TempDir& d) { WriteFile(d / "korv.cfg", ReadFile(d / "korv.cfg").substr(0, 1423)); },
         {"set", "domain", "x"}, 1, "korv.cfg is damaged: it is shorter than the 1424-byte record"},
        {"signature in capitals (korv takes it, korvcfg does not)",
         [](const TempDir& d) {
             std::string b = ReadFile(d / "korv.cfg");
             b.replace(0, 16, "QUORVEXIA 20 CFG");
             WriteFile(d / "korv.cfg", b);
         },
         {"show"}, 1, "korv.cfg is damaged: its signature is not \"Quorvexia 20 CFG\""},
        {"missing file", [](const TempDir& d) { std::remove((d / "korv.cfg").c_str()); }, {"show"}, 1,
         "korv.cfg not found (create it with 'korvconf init')"},
        {"only the predecessor's file",
         [](const TempDir& d) {
             std::remove((d / "korv.cfg").c_str());
             WriteFile(d / "bexolind.cfg", "x");
         },
         {"set", "domain", "x"}, 1, "run 'korvconf upgrade'"},
        {"damaged predecessor",
         [](const TempDir& d) {
             std::remove((d / "korv.cfg").c_str());
             WriteFile(d / "bexolind.cfg", std::string("Bexolind 1.0 CFX") + std::string(1400, '\0'));
         },
         {"upgrade"}, 1, "bexolind.cfg is damaged: its signature is not \"Bexolind 1.0 CFG\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        ASSERT_EQ(Korvconf(dir, {"init"}).status, 0);
        ASSERT_EQ(Korvconf(dir, {"set", "domain", "kept.example"}).status, 0);
        if (c.prepare) c.prepare(dir);
        std::string before = ReadFile(dir / "korv.cfg");
        std::string legacyBefore = ReadFile(dir / "bexolind.cfg");
        ConfRun r = Korvconf(dir, c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(r.err.rfind("korvconf: ", 0), 0u) << r.err;
        EXPECT_EQ(ReadFile(dir / "korv.cfg"), before);
        EXPECT_EQ(ReadFile(dir / "bexolind.cfg"), legacyBefore);
        std::istringstream names(test::ListDir(dir.path()));
        for (std::string name; names >> name;)
            EXPECT_TRUE(name.rfind(".korv.cfg.", 0) != 0 || name == ".korv.cfg.lock")
                << "a temporary file was left: " << name;
    }
}

TEST(KorvconfSet, LeavesAFileItMayNotWriteAlone) {
    TempDir dir;
    ASSERT_EQ(Korvconf(dir, {"init"}).status, 0);
    ASSERT_EQ(chmod((dir / "korv.cfg").c_str(), 0400), 0);
    std::string before = ReadFile(dir / "korv.cfg");
    // Root may write anything, so the check runs as an ordinary user.
    uid_t user = geteuid() == 0 ? 65534 : geteuid();
    if (geteuid() == 0) {
        ASSERT_EQ(chown(dir.path().c_str(), user, 65534), 0);
        ASSERT_EQ(chown((dir / "korv.cfg").c_str(), user, 65534), 0);
    }
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(user) != 0)) _exit(99);
        ConfRun r = Korvconf(dir, {"set", "domain", "changed"});
        bool told = r.err == "korvconf: korv.cfg cannot be changed: Permission denied\n";
        _exit(told ? r.status : 98);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(ReadFile(dir / "korv.cfg"), before);
}

TEST(KorvconfInit, ForceRebuildsADamagedFileWithCounterZero) {
    TempDir dir;
    WriteFile(dir / "korv.cfg", "garbage");
    ASSERT_EQ(Korvconf(dir, {"init", "--force"}).status, 0);
    SetupSettings defaults;
    EXPECT_EQ(ReadFile(dir / "korv.cfg"), Expected(defaults, NewImage()));
}

// Over a sound file the defaults come back, but korv's counter goes on: the
// next received message must not take a name the mail reader has seen.
TEST(KorvconfInit, ForceOverASoundFileKeepsItsCounter) {
    TempDir dir;
    ASSERT_EQ(Korvconf(dir, {"init"}).status, 0);
    ASSERT_EQ(Korvconf(dir, {"set", "domain", "old.example"}).status, 0);
    ASSERT_EQ(SaveMessageCounter(dir / "korv.cfg", 31), CounterSaveResult::Saved);
    ASSERT_EQ(Korvconf(dir, {"init", "--force"}).status, 0);
    MailConfig expected = NewImage();
    expected.messageCounter.set(31);
    SetupSettings defaults;
    EXPECT_EQ(ReadFile(dir / "korv.cfg"), Expected(defaults, expected));
}

TEST(KorvconfUpgrade, KeepsCounterAndDialUpSettingsAndRemovesTheOldFile) {
    TempDir dir;
    MailConfig legacy{};
    SetSignature(legacy.signature, kLegacySignature);
    legacy.smtpServer.bytes.fill('s');  // no terminator: read as its whole width, saved cut
    legacy.pop3User.assign("jo");
    legacy.messageCounter.set(77);
    legacy.dialEntry.assign("Office");
    legacy.dialUser.assign("dialjo");
    legacy.dialPassword.assign("dialpw");
    legacy.padding1415 = 0x33;
    WriteFile(dir / "bexolind.cfg", Bytes(legacy).substr(0, kLegacyConfigSize));

    ConfRun r = Korvconf(dir, {"upgrade"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(FileExists(dir / "bexolind.cfg"));

    MailConfig image{};
    std::memcpy(ImageBytes(image), ImageBytes(legacy), kLegacyConfigSize);
    SetupSettings settings;
    SettingsFromRecord(image, true, settings);
    EXPECT_EQ(ReadFile(dir / "korv.cfg"), Expected(settings, image));
    MailConfig saved = test::ReadConfig(dir / "korv.cfg");
    EXPECT_EQ(saved.messageCounter.get(), 77u);
    EXPECT_EQ(saved.dialEntry.text(), "Office");
    EXPECT_EQ(saved.smtpServer.text(), std::string(63, 's'));
    EXPECT_EQ(saved.padding1415, 0x33);
    EXPECT_EQ(saved.maxMessageSize.get(), -1);
    EXPECT_EQ(saved.deleteOversize, 0);
}

TEST(KorvconfProgram, WorksOnTheCurrentDirectoryAndReportsByExitStatus) {
    TempDir dir;
    auto none = test::RunProgram(KORVCONF_PATH, {}, dir.path());
    EXPECT_EQ(none.status, 2);
    EXPECT_NE(none.err.find("Usage: korvconf COMMAND"), std::string::npos);
    EXPECT_EQ(test::RunProgram(KORVCONF_PATH, {"init"}, dir.path()).status, 0);
    EXPECT_EQ(test::RunProgram(KORVCONF_PATH, {"set", "logfile", "k.log"}, dir.path()).status, 0);
    auto shown = test::RunProgram(KORVCONF_PATH, {"show"}, dir.path());
    EXPECT_EQ(shown.status, 0);
    EXPECT_NE(shown.out.find("  Logfile:                            k.log\n"), std::string::npos)
        << shown.out;
    auto cut = test::RunProgram(KORVCONF_PATH, {"set", "logfile", std::string(90, 'p')}, dir.path());
    EXPECT_EQ(cut.status, 0);
    EXPECT_EQ(cut.err, "korvconf: Logfile is cut to its first 79 bytes\n");
    EXPECT_EQ(test::ReadConfig(dir / "korv.cfg").logFile.text(), std::string(79, 'p'));
}

// Passwords given as "-" come from standard input (the core takes a reader),
// in the order of the command, before the file is touched.
TEST(KorvconfSecret, DashReadsEachPasswordInOrderAndNothingElse) {
    TempDir dir;
    ASSERT_EQ(Korvconf(dir, {"init"}).status, 0);
    std::vector<std::string> prompts;
    std::vector<std::string> lines = {"first secret", "-"};
    auto reader = [&](const std::string& prompt, std::string& value) {
        prompts.push_back(prompt);
        if (lines.empty()) return false;
        value = lines.front();
        lines.erase(lines.begin());
        return true;
    };
    ConfRun r;
    r.status = conf::RunKorvconf({"set", "pop3-password", "-", "pop3-user", "-", "dial-password", "-"},
                                 dir.path(), r.out, r.err, reader);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(prompts, (std::vector<std::string>{"POP3 Password: ", "Connect as Password: "}));
    MailConfig saved = test::ReadConfig(dir / "korv.cfg");
    EXPECT_EQ(saved.pop3Password.text(), "first secret");
    EXPECT_EQ(saved.pop3User.text(), "-") << "only a password is read";
    EXPECT_EQ(saved.dialPassword.text(), "-") << "a second line of \"-\" is a password too";

    std::string before = ReadFile(dir / "korv.cfg");
    ConfRun none;
    none.status = conf::RunKorvconf({"set", "domain", "x.example", "pop3-password", "-"}, dir.path(),
                                    none.out, none.err, reader);
    EXPECT_EQ(none.status, 2);
    EXPECT_EQ(none.err, "korvconf: no value for pop3-password on standard input\n");
    EXPECT_EQ(ReadFile(dir / "korv.cfg"), before);
}

TEST(KorvconfProgram, PasswordFromAPipeLeavesNoTraceInOutput) {
    TempDir dir;
    ASSERT_EQ(test::RunProgram(KORVCONF_PATH, {"init"}, dir.path()).status, 0);
    auto set = test::RunProgram(KORVCONF_PATH, {"set", "pop3-password", "-", "dial-password", "-"}, dir.path(),
                                "pipe secret\r\nsecond\n");
    EXPECT_EQ(set.status, 0) << set.err;
    EXPECT_EQ(set.out + set.err, "") << "no prompt when no one is at a terminal";
    MailConfig saved = test::ReadConfig(dir / "korv.cfg");
    EXPECT_EQ(saved.pop3Password.text(), "pipe secret");
    EXPECT_EQ(saved.dialPassword.text(), "second");

    auto empty = test::RunProgram(KORVCONF_PATH, {"set", "pop3-password", "-"}, dir.path(), "");
    EXPECT_EQ(empty.status, 2);
    EXPECT_EQ(test::ReadConfig(dir / "korv.cfg").pop3Password.text(), "pipe secret");
}

// At a terminal korvconf asks, and what is typed is not echoed.
TEST(KorvconfProgram, PasswordPromptOnATerminalDoesNotEcho) {
    TempDir dir;
    ASSERT_EQ(test::RunProgram(KORVCONF_PATH, {"init"}, dir.path()).status, 0);
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (chdir(dir.path().c_str()) != 0) _exit(127);
        execl(KORVCONF_PATH, "korvconf", "set", "pop3-password", "-", static_cast<char*>(nullptr));
        _exit(127);
    }
    std::string seen;
    auto readUntil = [&](const std::string& wanted, int ms) { return test::ReadUntil(master, seen, wanted, ms); };
    EXPECT_TRUE(readUntil("POP3 Password: ", 20000)) << seen;
    // The echo is turned off before the prompt is shown.
    const char typed[] = "TypedSecret42\r";
    ASSERT_EQ(write(master, typed, sizeof typed - 1), static_cast<ssize_t>(sizeof typed - 1));
    readUntil("\n", 20000);
    int status = -1;
    for (int i = 0; i < 400 && waitpid(pid, &status, WNOHANG) == 0; ++i) {
        readUntil("never", 50);
    }
    if (!WIFEXITED(status)) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    close(master);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << seen;
    EXPECT_EQ(seen.find("TypedSecret42"), std::string::npos) << "echoed: " << seen;
    EXPECT_EQ(test::ReadConfig(dir / "korv.cfg").pop3Password.text(), "TypedSecret42");
}

}  // namespace
}  // namespace quorvexia
