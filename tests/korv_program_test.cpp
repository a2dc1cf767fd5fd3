// The built korv as a process: its console text, its log and its exit status
// for the usage text, the configuration and directory checks, the pass frame
// with its retries, and hang-up without a dial-up entry.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/program.h"
#include "support/scripted_server.h"
#include "support/temp_dir.h"

namespace quorvexia {
namespace {

using test::Banner;
using test::FileExists;
using test::KorvSandbox;
using test::MaskLog;
using test::ProgramResult;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

const std::string kUsage =
    "KORV [/send] [/receive] [/hangup] [/debug] [/tries:<n>] [/daemon:<n>]\n\n"
    "  /send\t\tSend mail.\n  /receive\tReceive mail.\n"
    "  /hangup\tHangs up modem connection.\n  /debug\tDebug mode.\n"
    "  /tries:<n>\tTries mail transfer up to <n> times on failure.\n"
    "  /daemon:<min>\tChecks mail every <min> minutes; exits on new mail.\n";

std::string Header(const std::string& words) {
    return "\n----------  DAY DD MON YY, Quorvexia 2.12; " + words + "\n";
}

std::vector<std::string> SplitOn(const std::string& text, const std::string& sep) {
    std::vector<std::string> parts;
    std::size_t from = 0;
    for (std::size_t at; (at = text.find(sep, from)) != std::string::npos; from = at + sep.size())
        parts.push_back(text.substr(from, at - from));
    parts.push_back(text.substr(from));
    return parts;
}

// Runs korv; whatever it writes to standard error (a sanitizer's report
// included) is a fault.
ProgramResult Checked(ProgramResult r) {
    EXPECT_EQ(r.err, "");
    return r;
}
ProgramResult RunKorv(KorvSandbox& box, const std::vector<std::string>& args, const std::string& cwd = "") {
    return Checked(box.run(args, cwd));
}

TEST(KorvUsageTest, NoActionPrintsUsageAndReadsNothing) {
    const std::vector<std::vector<std::string>> argSets = {
        {}, {"/debug"}, {"/tries:5"}, {"/d", "/daemon:3", "send"}, {"/x"}};
    enum Config { Valid, Missing, Damaged };
    for (Config config : {Valid, Missing, Damaged}) {
        for (const auto& args : argSets) {
            KorvSandbox box;
            box.config.inboundDir.assign("no-such-dir");  // would be fatal if checked
            if (config == Missing) box.writeConfigOnRun = false;
            if (config == Damaged) box.config.signature[0] = 'X';
            ProgramResult r = RunKorv(box, args);
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.out, Banner() + kUsage);
            EXPECT_FALSE(FileExists(box.logPath())) << "a log was written";
        }
    }
}

TEST(KorvConfigTest, ConfigurationFatalErrors) {
    struct Case {
        const char* name;
        void (*prepare)(KorvSandbox&);
        std::string console;
    };
    const Case cases[] = {
        {"only the old file",
         [](KorvSandbox& b) {
             b.writeConfigOnRun = false;
             WriteFile(b.path("bexolind.cfg"), std::string(1416, '\0'));
         },
         "Please upgrade old configuration file with KORVCFG.\n"},
        {"no file", [](KorvSandbox& b) { b.writeConfigOnRun = false; }, "Could not read configuration.\n"},
        {"an old record named korv.cfg",
         [](KorvSandbox& b) {
             b.writeConfigOnRun = false;
             WriteFile(b.path("korv.cfg"), "Bexolind 1.0 CFG" + std::string(1400, '\0'));
         },
         "Configuration file is damaged.\n"},
        {"another signature", [](KorvSandbox& b) { b.config.signature[10] = '1'; },
         "Configuration file is damaged.\n"},
        {"empty file",
         [](KorvSandbox& b) {
             b.writeConfigOnRun = false;
             WriteFile(b.path("korv.cfg"), "");
         },
         "Configuration file is damaged.\n"},
        {"korv.cfg is a directory",
         [](KorvSandbox& b) {
             b.writeConfigOnRun = false;
             test::MakeDir(b.path("korv.cfg"));
         },
         "Configuration file is damaged.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        KorvSandbox box;
        c.prepare(box);
        WriteFile(box.logPath(), "earlier\n");
        ProgramResult r = RunKorv(box, {"/send", "/receive"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, Banner() + c.console);
        EXPECT_EQ(box.log(), "earlier\n") << "the log is not open yet";
    }
}

TEST(KorvConfigTest, SignatureInCapitalsAndShortFilesAreAccepted) {
    KorvSandbox box;
    SetSignature(box.config.signature, "QUORVEXIA 20 CFG");
    ProgramResult r = RunKorv(box, {"/send"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, Banner() + "No messages for delivery.\n");

    // A file of the signature alone: every directory empty (checked as the
    // program's own), no log.
    KorvSandbox shortBox;
    shortBox.writeConfigOnRun = false;
    WriteFile(shortBox.path("korv.cfg"), "quorvexia 20 cfg");
    r = RunKorv(shortBox, {"/send"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, Banner() + "No messages for delivery.\n");
    EXPECT_EQ(test::ListDir(shortBox.dir()), "in korv korv.cfg out");

    // A file that stops inside the log field: the directories and the start of
    // the log name are there, the rest of the image is zero.
    KorvSandbox cutBox;
    cutBox.config.logFile.assign("cut.log");
    cutBox.writeConfig();
    cutBox.writeConfigOnRun = false;
    std::string bytes = ReadFile(cutBox.path("korv.cfg"));
    WriteFile(cutBox.path("korv.cfg"), bytes.substr(0, 563));  // "cut" without ".log"
    r = RunKorv(cutBox, {"/send"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(MaskLog(ReadFile(cutBox.path("cut"))), Header("SEND") + "+ HH:MM:SS  No messages for delivery\n");
}

TEST(KorvDirectoryTest, MissingDirectoriesAreFatalWithTheNormalisedName) {
    struct Case {
        std::string inbound, outbound, console;
    };
    const Case cases[] = {
        {"missing/", "out", "Email inbound directory not found: missing.\n"},
        {"in", "nowhere", "Email outbound directory not found: nowhere.\n"},
        {"gone", "nowhere/", "Email inbound directory not found: gone.\n"},
        {"korv.cfg", "out", "Email inbound directory not found: korv.cfg.\n"},
        {"in", "/no/such/place/", "Email outbound directory not found: /no/such/place.\n"},
        {std::string(79, 'q') + "/", "out", "Email inbound directory not found: " + std::string(79, 'q') + ".\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.inbound + " " + c.outbound);
        KorvSandbox box;
        box.config.inboundDir.assign(c.inbound);
        box.config.outboundDir.assign(c.outbound);
        ProgramResult r = RunKorv(box, {"/send"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, Banner() + c.console);
        EXPECT_FALSE(FileExists(box.logPath())) << "checked before the log opens";
        EXPECT_EQ(test::ListDir(box.dir()), "in korv korv.cfg out") << "nothing is created";
    }
}

TEST(KorvDirectoryTest, AcceptedDirectoryForms) {
    struct Case {
        std::string inbound, outbound;
    };
    const Case cases[] = {{"", ""}, {"in/", "out/"}, {".", "./"}, {"/", "/"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.inbound + " " + c.outbound);
        KorvSandbox box;
        box.config.inboundDir.assign(c.inbound);
        box.config.outboundDir.assign(c.outbound);
        box.config.logFile.assign("");
        ProgramResult r = RunKorv(box, {"/send"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, Banner() + "No messages for delivery.\n");
    }
}

TEST(KorvProgramDirTest, ConfigurationComesFromTheProgramsDirectory) {
    KorvSandbox box;
    box.config.inboundDir.assign("in/");
    TempDir other;
    WriteFile(other / "korv.cfg", "damaged");
    ProgramResult r = RunKorv(box, {"/send"}, other.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, Banner() + "No messages for delivery.\n");
    EXPECT_EQ(MaskLog(box.log()), Header("SEND") + "+ HH:MM:SS  No messages for delivery\n");
    EXPECT_EQ(test::ListDir(other.path()), "korv.cfg");
}

TEST(KorvProgramDirTest, ProgramNameWithoutSlashMeansTheCurrentDirectory) {
    KorvSandbox box;  // holds a valid configuration that must not be used
    TempDir cwd;
    test::MakeDir(cwd / "in");
    test::MakeDir(cwd / "out");
    MailConfig config = test::DefaultConfig();
    config.inboundDir.assign("in");
    config.outboundDir.assign("out");
    config.logFile.assign("here.log");
    test::WriteConfig(cwd / "korv.cfg", config);
    box.writeConfig();
    ProgramResult r = Checked(test::RunProgram(box.path("korv"), {"/send"}, cwd.path(), "", 60, "korv"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, Banner() + "No messages for delivery.\n");
    EXPECT_EQ(MaskLog(ReadFile(cwd / "here.log")), Header("SEND") + "+ HH:MM:SS  No messages for delivery\n");
    EXPECT_FALSE(FileExists(box.logPath()));

    WriteFile(cwd / "korv.cfg", "damaged");
    r = Checked(test::RunProgram(box.path("korv"), {"/send"}, cwd.path(), "", 60, "korv"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, Banner() + "Configuration file is damaged.\n");
}

TEST(KorvSendTest, NothingQueuedIsSuccess) {
    // Files that are no envelope: another extension, another case, a directory.
    KorvSandbox box;
    WriteFile(box.path("out/1.txt"), "x");
    WriteFile(box.path("out/2.wrkx"), "x");
    WriteFile(box.path("out/3.WRK"), "x");
    test::MakeDir(box.path("out/4.wrk"));
    WriteFile(box.path("5.wrk"), "x");  // beside, not in, the outbound directory
    ProgramResult r = RunKorv(box, {"/send"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, Banner() + "No messages for delivery.\n");
    EXPECT_EQ(MaskLog(box.log()), Header("SEND") + "+ HH:MM:SS  No messages for delivery\n");
}

TEST(KorvLogTest, TwoRunsAppendTwoBlocks) {
    KorvSandbox box;
    RunKorv(box, {"/send"});
    RunKorv(box, {"/SEND", "/tries:2"});
    const std::string block = Header("SEND") + "+ HH:MM:SS  No messages for delivery\n";
    EXPECT_EQ(MaskLog(box.log()), block + block);
}

TEST(KorvLogTest, NoLogFileMeansNoFileAndTheSameConsole) {
    for (const char* logFile : {"", "nodir/korv.log", "in"}) {
        SCOPED_TRACE(logFile);
        KorvSandbox box;
        box.config.logFile.assign(logFile);
        ProgramResult r = RunKorv(box, {"/send", "/hangup"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out,
                  Banner() + "No messages for delivery.\nHangup not allowed with network connection.\n");
        EXPECT_EQ(test::ListDir(box.dir()), "in korv korv.cfg out");
        EXPECT_EQ(test::ListDir(box.inbound()), "");
    }
}

TEST(KorvHangupTest, HangupWithoutDialEntry) {
    KorvSandbox box;
    ProgramResult r = RunKorv(box, {"/hangup"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, Banner() + "Hangup not allowed with network connection.\n");
    EXPECT_EQ(MaskLog(box.log()), Header("") + "? HH:MM:SS  Hangup not allowed with network connection\n");
}

// A pass without a transfer has nothing to wait for: /hangup goes straight on
// to the hang-up even in daemon mode.
TEST(KorvHangupTest, HangupAloneDoesNotWaitInDaemonMode) {
    KorvSandbox box;
    ProgramResult r = box.run({"/hangup", "/daemon:1"}, "", 20);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, Banner() + "Hangup not allowed with network connection.\n");
}

TEST(KorvLogTest, FatalErrorAfterTheLogOpensIsLoggedWithoutFullStop) {
    // A configured dial-up entry with no provider to reach it ends the run
    // after the log is open.
    KorvSandbox box;
    box.config.dialEntry.assign("Office");
    ProgramResult r = RunKorv(box, {"/send"});
    EXPECT_EQ(r.status, 1);
    const std::string text = "Could't find Remote Access Service (RASAPI32.DLL)";
    EXPECT_EQ(r.out, Banner() + text + ".\n");
    EXPECT_EQ(MaskLog(box.log()), Header("SEND") + "! HH:MM:SS  " + text + "\n");
}

// The frame around failing sessions. The servers are loopback ports where
// nothing listens, so these hold for the real sessions as well: each attempt
// fails the same way, and only the frame's own texts are asserted.
class KorvPassTest : public ::testing::Test {
protected:
    void SetUp() override {
        box.config.smtpServer.assign("127.0.0.1:" + std::to_string(test::FreeLoopbackPort()));
        box.config.pop3Server.assign("127.0.0.1:" + std::to_string(test::FreeLoopbackPort()));
    }
    // What follows the banner, after checking that the banner is there.
    std::string afterBanner(const ProgramResult& r) {
        EXPECT_EQ(r.out.substr(0, Banner().size()), Banner());
        return r.out.substr(std::min(r.out.size(), Banner().size()));
    }
    std::string logStart(std::size_t size) { return MaskLog(box.log()).substr(0, size); }
    KorvSandbox box;
};

TEST_F(KorvPassTest, SendAndReceiveBothFailAfterTheirTries) {
    WriteFile(box.path("out/00000001.txt"), "Subject: x\n\nbody\n");
    WriteFile(box.path("out/00000001.wrk"), "\nfrom@example.org\nto@example.org\n");
    ProgramResult r = RunKorv(box, {"/send", "/receive", "/tries:3"});
    EXPECT_EQ(r.status, 3);
    // smtp1 R smtp2 R smtp3 "\n" pop1 R pop2 R pop3, every attempt alike.
    auto parts = SplitOn(afterBanner(r), "Retrying...\n");
    ASSERT_EQ(parts.size(), 5u) << r.out;
    const std::string& smtp = parts[0];
    const std::string& pop3 = parts[3];
    EXPECT_EQ(parts[1], smtp);
    EXPECT_EQ(parts[2], smtp + "\n" + pop3) << "one empty line between the phases";
    EXPECT_EQ(parts[4], pop3);
    EXPECT_EQ(logStart(Header("SEND/RECEIVE").size()), Header("SEND/RECEIVE"));
    EXPECT_TRUE(FileExists(box.path("out/00000001.wrk"))) << "an unsent message stays queued";
}

TEST_F(KorvPassTest, EachPhaseSetsOnlyItsOwnBit) {
    struct Case {
        std::vector<std::string> args;
        bool queued;
        int status;
        std::size_t retries;
        const char* words;
    };
    const Case cases[] = {
        {{"/send"}, true, 1, 0, "SEND"},
        {{"/send", "/tries:2"}, true, 1, 1, "SEND"},
        {{"/receive"}, false, 2, 0, "RECEIVE"},
        {{"/receive", "/tries:4"}, false, 2, 3, "RECEIVE"},
        {{"/send", "/receive", "/tries:2"}, false, 2, 1, "SEND/RECEIVE"},
        {{"/tries:0", "/send", "/hangup"}, true, 1, 0, "SEND"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.words + std::string(" ") + std::to_string(c.args.size()));
        KorvSandbox fresh;
        fresh.config = box.config;
        if (c.queued) WriteFile(fresh.path("out/a.wrk"), "\nfrom@example.org\nto@example.org\n");
        ProgramResult r = RunKorv(fresh, c.args);
        EXPECT_EQ(r.status, c.status);
        auto parts = SplitOn(r.out, "Retrying...\n");
        EXPECT_EQ(parts.size() - 1, c.retries) << r.out;
        EXPECT_EQ(MaskLog(fresh.log()).substr(0, Header(c.words).size()), Header(c.words));
    }
}

TEST_F(KorvPassTest, NothingToSendThenAnEmptyLineBeforeReceiving) {
    ProgramResult r = RunKorv(box, {"/send", "/receive", "/tries:2"});
    EXPECT_EQ(r.status, 2);
    std::string rest = afterBanner(r);
    const std::string prefix = "No messages for delivery.\n\n";
    ASSERT_EQ(rest.substr(0, prefix.size()), prefix) << r.out;
    auto parts = SplitOn(rest.substr(prefix.size()), "Retrying...\n");
    ASSERT_EQ(parts.size(), 2u) << r.out;
    EXPECT_EQ(parts[0], parts[1]);
    const std::string logStart = Header("SEND/RECEIVE") + "+ HH:MM:SS  No messages for delivery\n";
    EXPECT_EQ(MaskLog(box.log()).substr(0, logStart.size()), logStart);
}

}  // namespace
}  // namespace quorvexia
