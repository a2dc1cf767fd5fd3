// korvcfg's start-up and file handling with scripted answers: which questions
// are asked, whether the sheet is shown, and the files before and after, byte
// for byte.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <filesystem>

#include "pop3_support.h"
#include "setup/startup.h"
#include "support/program.h"
#include "setup_scripted_boxes.h"
#include "support/temp_dir.h"

namespace quorvexia {
namespace {

using setup::RunSetup;
using setup::SetupData;
using setup::SetupFiles;
using test::FileExists;
using test::Question;
using test::ReadFile;
using test::ScriptedBoxes;
using test::ShownBox;
using test::TempDir;
using test::Warning;
using test::WriteFile;

std::string Bytes(const MailConfig& c) {
    return std::string(reinterpret_cast<const char*>(ImageBytes(c)), kMailConfigSize);
}

std::string DefaultFileBytes() {
    std::string b(kMailConfigSize, '\0');
    b.replace(0, 16, "Quorvexia 20 CFG");
    b.replace(1416, 4, "\xFF\xFF\xFF\xFF");
    return b;
}

// A legacy record with a counter, dial-up settings with bytes behind their
// terminators, junk behind a server field and a set byte at 1415.
std::string LegacyFileBytes() {
    MailConfig c{};
    SetSignature(c.signature, kLegacySignature);
    c.domainName.assign("old.example");
    c.domainName.bytes[40] = 'J';
    c.smtpServer.assign("smtp.old.example");
    c.pop3User.assign("olduser");
    c.messageCounter.set(123456);
    c.dialEntry.assign("Provider X");
    c.dialEntry.bytes[200] = 'q';
    c.dialUser.assign("dialuser");
    c.dialPassword.assign("dialpass");
    c.padding1415 = 0x5A;
    return Bytes(c).substr(0, kLegacyConfigSize);
}

std::string UpgradedBytes() {
    std::string b = LegacyFileBytes() + std::string(8, '\0');
    b.replace(0, 16, "Quorvexia 20 CFG");
    b[16 + 40] = '\0';  // the server and directory fields come back zero-filled
    b.replace(1416, 4, "\xFF\xFF\xFF\xFF");
    return b;
}

// Whether this process holds `path` open (looked up through /proc/self/fd).
bool IsOpenHere(const std::string& path) {
    char real[PATH_MAX];
    if (!realpath(path.c_str(), real)) return false;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        if (std::filesystem::read_symlink(fd.path(), ec) == real) return true;
    }
    return false;
}

struct Sandbox {
    TempDir dir;
    SetupFiles files{dir / "korv.cfg", dir / "bexolind.cfg"};
    SetupData data;
    ScriptedBoxes boxes;
    int sheetRuns = 0;
    std::string fileAtSheet = "(no sheet)";
    bool openAtSheet = false;

    // Runs the whole start-up; the sheet records the file as it is when the
    // sheet shows, applies `edit` and answers `ok`.
    int run(bool ok, std::function<void(SetupSettings&)> edit = {}) {
        return RunSetup(files, data, boxes, [&](SetupData& d) {
            ++sheetRuns;
            fileAtSheet = FileExists(files.current) ? ReadFile(files.current) : "(none)";
            openAtSheet = IsOpenHere(files.current);
            if (edit) edit(d.settings);
            return ok;
        });
    }
};

TEST(SetupStartupTest, NoFileYesCreatesDefaultsBeforeTheSheetAndCancelKeepsThem) {
    Sandbox s;
    s.boxes.answers = {true};
    EXPECT_EQ(s.run(false), 0);
    EXPECT_EQ(s.boxes.shown, std::vector<ShownBox>{Question(setup::kTextCreateNew)});
    EXPECT_EQ(s.sheetRuns, 1);
    EXPECT_EQ(s.fileAtSheet, DefaultFileBytes());
    EXPECT_EQ(ReadFile(s.files.current), DefaultFileBytes());
    struct stat st;
    ASSERT_EQ(stat(s.files.current.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "korv.cfg holds passwords";
    EXPECT_FALSE(s.openAtSheet) << "no file is held open while the sheet shows";
}

TEST(SetupStartupTest, NoFileYesAndOkWritesTheEditsOverTheDefaults) {
    Sandbox s;
    s.boxes.answers = {true};
    s.run(true, [](SetupSettings& st) {
        st.smtpServer = "smtp.example.org";
        st.floodProtection = 1;
        st.maxSizeText = "64";
    });
    MailConfig expected = test::DefaultConfig();
    expected.smtpServer.assign("smtp.example.org");
    expected.maxMessageSize.set(65536);
    EXPECT_EQ(ReadFile(s.files.current), Bytes(expected));
}

TEST(SetupStartupTest, NoFileNoEndsWithoutFileOrSheet) {
    Sandbox s;
    s.boxes.answers = {false};
    EXPECT_EQ(s.run(true), 0);
    EXPECT_EQ(s.sheetRuns, 0);
    EXPECT_EQ(test::ListDir(s.dir.path()), "");
}

TEST(SetupStartupTest, UpgradeKeepsCounterAndDialFieldsAndRemovesTheOldFileEvenOnCancel) {
    Sandbox s;
    WriteFile(s.files.legacy, LegacyFileBytes());
    s.boxes.answers = {true};
    s.run(false);
    EXPECT_EQ(s.boxes.shown, std::vector<ShownBox>{Question(setup::kTextUpgrade)});
    EXPECT_EQ(s.fileAtSheet, UpgradedBytes());
    EXPECT_EQ(ReadFile(s.files.current), UpgradedBytes());
    EXPECT_FALSE(FileExists(s.files.legacy));
    EXPECT_EQ(s.data.settings.connectionMode, kConnectByModem);
    EXPECT_EQ(s.data.settings.dialEntry, "Provider X");
    EXPECT_EQ(s.data.settings.floodProtection, 0);
}

// Files copied from the old system keep their capitals: an upper-case
// BEXOLIND.CFG is offered for the upgrade, an upper-case KORV.CFG is edited
// in place.
TEST(SetupStartupTest, UpperCaseNamesAreFoundWhenTheLowerCaseOnesAreAbsent) {
    Sandbox s;
    WriteFile(s.dir / "BEXOLIND.CFG", LegacyFileBytes());
    s.files = setup::FindSetupFiles(s.dir.path());
    s.boxes.answers = {true};
    s.run(false);
    EXPECT_EQ(s.boxes.shown, std::vector<ShownBox>{Question(setup::kTextUpgrade)});
    EXPECT_EQ(test::ListDir(s.dir.path()), ".korv.cfg.lock korv.cfg");
    EXPECT_EQ(ReadFile(s.dir / "korv.cfg"), UpgradedBytes());

    ASSERT_EQ(std::rename((s.dir / "korv.cfg").c_str(), (s.dir / "KORV.CFG").c_str()), 0);
    Sandbox again;
    again.files = setup::FindSetupFiles(s.dir.path());
    again.run(true, [](SetupSettings& st) { st.smtpServer = "smtp.example.org"; });
    EXPECT_TRUE(again.boxes.shown.empty());
    // The lock file goes with the spelling found; the old one stays, unused.
    EXPECT_EQ(test::ListDir(s.dir.path()), ".KORV.CFG.lock .korv.cfg.lock KORV.CFG");
    EXPECT_EQ(test::ReadConfig(s.dir / "KORV.CFG").smtpServer.text(), "smtp.example.org");
    EXPECT_EQ(test::ReadConfig(s.dir / "KORV.CFG").messageCounter.get(), 123456u);
}

TEST(SetupStartupTest, UpgradeDeclinedChangesNothing) {
    Sandbox s;
    WriteFile(s.files.legacy, LegacyFileBytes());
    s.boxes.answers = {false};
    s.run(true);
    EXPECT_EQ(s.sheetRuns, 0);
    EXPECT_EQ(test::ListDir(s.dir.path()), "bexolind.cfg");
    EXPECT_EQ(ReadFile(s.files.legacy), LegacyFileBytes());
}

struct DamagedCase {
    const char* name;
    bool legacy;       // the damaged file is bexolind.cfg
    std::string bytes;
};

std::vector<DamagedCase> DamagedCases() {
    std::string current = Bytes(test::DefaultConfig());
    std::string legacy = LegacyFileBytes();
    std::string upper = current;
    upper.replace(0, 16, "QUORVEXIA 20 CFG");
    std::string wrongLegacy = legacy;
    wrongLegacy.replace(0, 16, "bexolind 1.0 cfg");
    return {
        {"current, one byte short", false, current.substr(0, kMailConfigSize - 1)},
        {"current, signature in capitals", false, upper},
        {"current, empty", false, ""},
        {"current, legacy record", false, legacy},
        {"legacy, one byte short", true, legacy.substr(0, kLegacyConfigSize - 1)},
        {"legacy, signature in small letters", true, wrongLegacy},
    };
}

TEST(SetupStartupTest, DamagedFileDeclinedChangesNothing) {
    for (const DamagedCase& c : DamagedCases()) {
        SCOPED_TRACE(c.name);
        Sandbox s;
        std::string path = c.legacy ? s.files.legacy : s.files.current;
        WriteFile(path, c.bytes);
        s.boxes.answers = c.legacy ? std::deque<bool>{true, false} : std::deque<bool>{false};
        s.run(true);
        EXPECT_EQ(s.boxes.shown.back(), Question(setup::kTextDamaged));
        EXPECT_EQ(s.sheetRuns, 0);
        EXPECT_EQ(test::ListDir(s.dir.path()), c.legacy ? "bexolind.cfg" : "korv.cfg");
        EXPECT_EQ(ReadFile(path), c.bytes);
    }
}

TEST(SetupStartupTest, DamagedCurrentFileRebuiltIsWrittenOnlyOnOk) {
    for (const DamagedCase& c : DamagedCases()) {
        if (c.legacy) continue;
        SCOPED_TRACE(c.name);
        Sandbox cancel;
        WriteFile(cancel.files.current, c.bytes);
        cancel.boxes.answers = {true};
        cancel.run(false);
        EXPECT_EQ(cancel.sheetRuns, 1);
        EXPECT_EQ(ReadFile(cancel.files.current), c.bytes);

        Sandbox ok;
        WriteFile(ok.files.current, c.bytes);
        ok.boxes.answers = {true};
        ok.run(true);
        // The rebuilt record: defaults over the bytes that were read; the dial-up
        // fields and padding keep what stood behind their first byte.
        MailConfig expected{};
        std::memcpy(ImageBytes(expected), c.bytes.data(), std::min(c.bytes.size(), kMailConfigSize));
        SetSignature(expected.signature, kMailSignature);
        for (auto* f : {&expected.domainName, &expected.smtpServer, &expected.pop3Server,
                        &expected.pop3Password}) f->assign("");
        for (auto* f : {&expected.inboundDir, &expected.outboundDir, &expected.logFile}) f->assign("");
        expected.pop3User.assign("");
        expected.messageCounter.set(0);
        expected.dialEntry.bytes[0] = expected.dialUser.bytes[0] = expected.dialPassword.bytes[0] = '\0';
        expected.maxMessageSize.set(-1);
        EXPECT_EQ(ReadFile(ok.files.current), Bytes(expected));
        EXPECT_EQ(ok.boxes.shown, std::vector<ShownBox>{Question(setup::kTextDamaged)});
    }
}

TEST(SetupStartupTest, DamagedLegacyFileRebuiltGivesDefaultsAndIsRemoved) {
    Sandbox s;
    std::string damaged = LegacyFileBytes();
    damaged.replace(0, 16, "Bexolind 1.1 CFG");
    WriteFile(s.files.legacy, damaged);
    s.boxes.answers = {true, true};
    s.run(false);
    EXPECT_EQ(s.boxes.shown,
              (std::vector<ShownBox>{Question(setup::kTextUpgrade), Question(setup::kTextDamaged)}));
    EXPECT_EQ(s.sheetRuns, 1);
    EXPECT_FALSE(FileExists(s.files.legacy));
    MailConfig written = test::ReadConfig(s.files.current);
    EXPECT_EQ(ReadFile(s.files.current).size(), kMailConfigSize);
    EXPECT_EQ(written.messageCounter.get(), 0u);
    EXPECT_TRUE(written.domainName.empty());
    EXPECT_TRUE(written.dialEntry.empty());
    EXPECT_EQ(written.maxMessageSize.get(), -1);
}

TEST(SetupStartupTest, WithKorvCfgPresentTheLegacyFileIsNeverLookedAt) {
    for (bool damaged : {false, true}) {
        SCOPED_TRACE(damaged ? "damaged korv.cfg" : "sound korv.cfg");
        Sandbox s;
        std::string current = Bytes(test::DefaultConfig());
        if (damaged) current.resize(100);
        WriteFile(s.files.current, current);
        WriteFile(s.files.legacy, LegacyFileBytes());
        s.boxes.answers = {false};
        s.run(true);
        for (const ShownBox& box : s.boxes.shown) EXPECT_NE(box.text, setup::kTextUpgrade);
        EXPECT_EQ(ReadFile(s.files.legacy), LegacyFileBytes());
    }
}

TEST(SetupStartupTest, UnopenableKorvCfgIsReportedAndNoSheetShown) {
    // A directory in its place cannot be opened for update, whoever runs the test.
    Sandbox s;
    test::MakeDir(s.files.current);
    WriteFile(s.files.legacy, LegacyFileBytes());
    s.run(true);
    EXPECT_EQ(s.boxes.shown, std::vector<ShownBox>{Warning(setup::kTextCouldNotOpen)});
    EXPECT_EQ(s.sheetRuns, 0);
    EXPECT_EQ(ReadFile(s.files.legacy), LegacyFileBytes());
}

TEST(SetupStartupTest, ReadOnlyKorvCfgIsReportedAndNoSheetShown) {
    Sandbox s;
    std::string bytes = Bytes(test::DefaultConfig());
    WriteFile(s.files.current, bytes);
    ASSERT_EQ(chmod(s.files.current.c_str(), 0444), 0);
    ASSERT_EQ(chmod(s.dir.path().c_str(), 0755), 0);
    // The superuser may write any file: run the start-up as nobody then.
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(3);
        ScriptedBoxes boxes;
        SetupData data;
        int sheets = 0;
        RunSetup(s.files, data, boxes, [&](SetupData&) { return ++sheets, true; });
        bool asExpected = sheets == 0 && boxes.shown == std::vector<ShownBox>{Warning(setup::kTextCouldNotOpen)};
        _exit(asExpected ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "3: could not become nobody; 1: other boxes or a sheet";
    EXPECT_EQ(ReadFile(s.files.current), bytes);
}

TEST(SetupStartupTest, KorvCfgThatCannotBeCreatedKeepsTheLegacyFile) {
    Sandbox s;
    s.files.current = s.dir / "missing/korv.cfg";
    WriteFile(s.files.legacy, LegacyFileBytes());
    s.boxes.answers = {true};
    s.run(true);
    EXPECT_EQ(s.boxes.shown,
              (std::vector<ShownBox>{Question(setup::kTextUpgrade), Warning(setup::kTextCouldNotCreate)}));
    EXPECT_EQ(s.sheetRuns, 0);
    EXPECT_EQ(ReadFile(s.files.legacy), LegacyFileBytes());

    Sandbox fresh;
    fresh.files.current = fresh.dir / "missing/korv.cfg";
    fresh.boxes.answers = {true};
    fresh.run(true);
    EXPECT_EQ(fresh.boxes.shown,
              (std::vector<ShownBox>{Question(setup::kTextCreateNew), Warning(setup::kTextCouldNotCreate)}));
    EXPECT_EQ(fresh.sheetRuns, 0);
}

// A new korv.cfg that cannot take the upgraded record (here: files may not
// grow past 100 bytes) leaves bexolind.cfg in place, the only copy of the settings.
TEST(SetupStartupTest, FailedUpgradeWriteKeepsTheLegacyFile) {
    Sandbox s;
    WriteFile(s.files.legacy, LegacyFileBytes());
    pid_t pid = fork();
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{100, 100};
        setrlimit(RLIMIT_FSIZE, &limit);
        s.boxes.answers = {true};
        s.run(false);
        bool asExpected = s.sheetRuns == 1 &&
                          s.boxes.shown == std::vector<ShownBox>{Question(setup::kTextUpgrade),
                                                                 Warning(setup::kTextCouldNotWrite)};
        _exit(asExpected ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "other boxes, or no sheet";
    EXPECT_EQ(ReadFile(s.files.legacy), LegacyFileBytes());
}

TEST(SetupStartupTest, SaveRewritesInPlaceAndKeepsBytesBeyondTheRecord) {
    Sandbox s;
    MailConfig c = test::DefaultConfig();
    c.messageCounter.set(99);
    c.maxMessageSize.set(1500);
    c.deleteOversize = 1;
    std::string tail = "trailing bytes that korvcfg does not own";
    WriteFile(s.files.current, Bytes(c) + tail);
    ASSERT_EQ(chmod(s.files.current.c_str(), 0640), 0);
    s.run(true, [](SetupSettings& st) { st.domainName = "example.org"; });
    EXPECT_TRUE(s.boxes.shown.empty());
    c.domainName.assign("example.org");
    c.maxMessageSize.set(1024);
    EXPECT_EQ(ReadFile(s.files.current), Bytes(c) + tail);
    struct stat st;
    ASSERT_EQ(stat(s.files.current.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u) << "an existing file keeps its mode";
    EXPECT_FALSE(s.openAtSheet);
}

// korv replaces korv.cfg while the sheet shows (a receive stored messages):
// OK saves the edits into the file as it is then, with korv's counter.
TEST(SetupStartupTest, OkAfterARewriteWhileTheSheetShowsKeepsTheNewCounter) {
    for (bool damagedBefore : {false, true}) {
        SCOPED_TRACE(damagedBefore ? "rebuilt file" : "sound file");
        Sandbox s;
        MailConfig c = test::DefaultConfig();
        c.messageCounter.set(3);
        std::string tail = "tail";
        WriteFile(s.files.current, damagedBefore ? std::string("damaged") : Bytes(c) + tail);
        s.boxes.answers = {true};
        s.run(true, [&](SetupSettings& st) {
            MailConfig rewritten = c;
            rewritten.messageCounter.set(11);
            std::string bytes = Bytes(rewritten) + tail;
            ASSERT_TRUE(ReplaceFileAtomically(s.files.current, bytes.data(), bytes.size()));
            st.smtpServer = "smtp.example.org";
        });
        MailConfig expected = c;
        expected.smtpServer.assign("smtp.example.org");
        expected.messageCounter.set(11);
        EXPECT_EQ(ReadFile(s.files.current), Bytes(expected) + tail);
    }
}

// The same with a real korv that receives two messages while the sheet shows.
TEST(SetupStartupTest, OkAfterARealKorvReceiveSavesTheEditsAndKorvsCounter) {
    test::KorvSandbox box;
    test::Pop3Script script;
    script.messages = {test::ScriptMessage("From: a@x.example\r\n\r\none\r\n"),
                       test::ScriptMessage("From: b@x.example\r\n\r\ntwo\r\n")};
    test::ScriptedServer server([&](test::ServerConnection& c, int) { test::ServePop3(c, script); });
    box.config.pop3Server.assign(server.address());
    box.config.messageCounter.set(20);
    box.writeConfig();
    box.writeConfigOnRun = false;

    SetupData data;
    ScriptedBoxes boxes;
    SetupFiles files{box.path("korv.cfg"), box.path("bexolind.cfg")};
    test::ProgramResult korv;
    RunSetup(files, data, boxes, [&](SetupData& d) {
        korv = box.run({"/receive"});
        d.settings.domainName = "edited.example";
        d.settings.pop3User = "someone";
        return true;
    });
    EXPECT_EQ(korv.status, 0) << korv.out;
    EXPECT_TRUE(boxes.shown.empty());
    MailConfig saved = test::ReadConfig(box.path("korv.cfg"));
    EXPECT_EQ(saved.messageCounter.get(), 22u) << "korv's counter after its two messages";
    EXPECT_EQ(saved.domainName.text(), "edited.example");
    EXPECT_EQ(saved.pop3User.text(), "someone");
    EXPECT_EQ(saved.pop3Server.text(), server.address());
}

TEST(SetupStartupTest, AFailedSaveIsReportedEachTime) {
    TempDir dir;
    SetupData data;
    ScriptedBoxes boxes;
    EXPECT_FALSE(setup::SaveConfig(dir / "missing/korv.cfg", data, boxes));
    EXPECT_FALSE(setup::SaveConfig(dir / "missing/korv.cfg", data, boxes));
    EXPECT_EQ(boxes.shown, (std::vector<ShownBox>{Warning(setup::kTextCouldNotWrite),
                                                  Warning(setup::kTextCouldNotWrite)}));
}

TEST(SetupStartupTest, OversizedLimitIsClampedWithAWarning) {
    Sandbox s;
    WriteFile(s.files.current, Bytes(test::DefaultConfig()));
    s.run(true, [](SetupSettings& st) {
        st.floodProtection = 1;
        st.maxSizeText = "3000000";
    });
    EXPECT_EQ(s.boxes.shown, std::vector<ShownBox>{Warning(setup::SizeClampedText(2097151))});
    EXPECT_EQ(test::ReadConfig(s.files.current).maxMessageSize.get(), 2147482624);
}

}  // namespace
}  // namespace quorvexia
