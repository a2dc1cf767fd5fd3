// The activity log, FatalError and the progress indicator, as units.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <regex>
#include <string>

#include "activity_log.h"
#include "console.h"
#include "korv_state.h"
#include "platform/paths.h"
#include "run_control.h"
#include "support/program.h"
#include "support/temp_dir.h"

namespace quorvexia {
namespace {

using test::ReadFile;
using test::TempDir;

const char* const kHeaderPattern =
    "\n----------  (Mon|Tue|Wed|Thu|Fri|Sat|Sun) [0-3][0-9] "
    "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [0-9][0-9], Quorvexia 2\\.12; ";

class LogTest : public ::testing::Test {
protected:
    void SetUp() override { mailConfig.logFile.assign(dir.path() + "/korv.log"); }
    void TearDown() override {
        CloseLog();
        mailConfig.logFile.assign("");
    }
    std::string logText() const { return ReadFile(dir / "korv.log"); }
    TempDir dir;
};

TEST_F(LogTest, HeaderCarriesTheActionWords) {
    struct Case {
        bool send, receive, hangup;
        const char* words;
    };
    const Case cases[] = {
        {true, false, false, "SEND"},
        {false, true, false, "RECEIVE"},
        {true, true, false, "SEND/RECEIVE"},
        {true, true, true, "SEND/RECEIVE"},
        {false, false, true, ""},
        {false, true, true, "RECEIVE"},
    };
    for (const auto& c : cases) {
        std::remove((dir / "korv.log").c_str());
        WriteLogHeader(c.send, c.receive, c.hangup);
        EXPECT_TRUE(LogIsOpen());
        CloseLog();
        std::string log = logText();
        EXPECT_TRUE(std::regex_match(log, std::regex(std::string(kHeaderPattern) + c.words + "\n")))
            << "[" << log << "]";
    }
}

TEST_F(LogTest, BlocksAreAppendedAndEventsWrittenUnchanged) {
    test::WriteFile(dir / "korv.log", "earlier run\n");
    WriteLogHeader(true, false, false);
    LogEvent('+', "No messages for delivery");
    LogEvent('?', "Text with its own full stop.");
    CloseLog();
    WriteLogHeader(false, true, false);
    LogEventf('-', "Receiving %lu message(s); %lub", 3ul, 1234ul);
    CloseLog();
    LogEvent('!', "after the log is closed: nowhere");
    EXPECT_EQ(test::MaskLog(logText()),
              "earlier run\n"
              "\n----------  DAY DD MON YY, Quorvexia 2.12; SEND\n"
              "+ HH:MM:SS  No messages for delivery\n"
              "? HH:MM:SS  Text with its own full stop.\n"
              "\n----------  DAY DD MON YY, Quorvexia 2.12; RECEIVE\n"
              "- HH:MM:SS  Receiving 3 message(s); 1234b\n");
}

TEST_F(LogTest, NoLogWhenTheFileCannotBeOpened) {
    for (const std::string& name : {std::string(), dir / "missing/korv.log", dir.path()}) {
        mailConfig.logFile.assign(name);
        WriteLogHeader(true, true, false);
        EXPECT_FALSE(LogIsOpen()) << name;
        LogEvent('+', "nothing");
        CloseLog();
    }
    EXPECT_EQ(test::ListDir(dir.path()), "");
}

// Sets TZ so that the local time of `now` reads `hh:mm:ss`.
void MakeLocalTimeRead(std::time_t now, int hh, int mm, int ss) {
    long want = hh * 3600L + mm * 60L + ss;
    long utc = static_cast<long>(now % 86400);
    long east = ((want - utc) % 86400 + 86400) % 86400;  // seconds to add to UTC
    if (east > 43200) east -= 86400;
    long west = -east;  // the TZ variable counts westwards
    char tz[64];
    long a = west < 0 ? -west : west;
    std::snprintf(tz, sizeof tz, "QTZ%c%ld:%02ld:%02ld", west < 0 ? '-' : '+', a / 3600, a / 60 % 60,
                  a % 60);
    setenv("TZ", tz, 1);
    tzset();
}

TEST_F(LogTest, EventTimeHasTheHourSpacePadded) {
    const char* savedTz = std::getenv("TZ");
    std::string saved = savedTz ? savedTz : "";
    struct Case {
        int h, m, s;
        const char* stamp;
    };
    const Case cases[] = {{9, 5, 7, " 9:05:07"}, {0, 0, 0, " 0:00:00"}, {23, 59, 59, "23:59:59"},
                          {12, 30, 1, "12:30:01"}};
    for (const auto& c : cases) {
        // The clock may tick between setting the zone and writing the line; try again then.
        std::string line;
        for (int attempt = 0; attempt < 5; ++attempt) {
            std::remove((dir / "korv.log").c_str());
            std::time_t before = std::time(nullptr);
            MakeLocalTimeRead(before, c.h, c.m, c.s);
            WriteLogHeader(false, false, true);
            LogEvent('*', "Sent a to b; 1b, 1 CPS");
            CloseLog();
            if (std::time(nullptr) != before) continue;
            std::string log = logText();
            line = log.substr(log.find('\n', 1) + 1);
            break;
        }
        EXPECT_EQ(line, std::string("* ") + c.stamp + "  Sent a to b; 1b, 1 CPS\n");
    }
    if (savedTz) setenv("TZ", saved.c_str(), 1); else unsetenv("TZ");
    tzset();
}

// A FatalError ends the run, so each case runs in a child whose console goes
// to a file and which ends the way KorvMain does; the child's exit status and
// that file are the result.
struct FatalResult {
    int status = -1;
    std::string console;
};

FatalResult RunFatal(const TempDir& dir, const std::function<void()>& body, const std::string& startDir = "") {
    std::string consolePath = dir / "console.txt";
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        consoleStream = std::fopen(consolePath.c_str(), "w");
        if (!consoleStream) _exit(98);
        try {
            body();
        } catch (const FatalError& error) {
            ReportFatalError(error);
            std::exit(EndRun(1, startDir));
        }
        _exit(99);  // nothing was thrown
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    FatalResult r;
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    r.console = ReadFile(consolePath);
    return r;
}

TEST(FatalErrorTest, OneFullStopOnTheConsole) {
    TempDir dir;
    const std::string longText(600, 'x');
    struct Case {
        std::function<void()> call;
        std::string console;
    };
    const Case cases[] = {
        {[] { throw FatalError("Configuration file is damaged"); }, "Configuration file is damaged.\n"},
        {[] { throw FatalError("Ends with a stop."); }, "Ends with a stop.\n"},
        {[] { throw FatalError("Two stops.."); }, "Two stops..\n"},
        {[] { throw FatalError("."); }, ".\n"},
        {[] { throw FatalError("%s", ""); }, ".\n"},
        {[] { throw FatalError("Email inbound directory not found: %s", "in"); },
         "Email inbound directory not found: in.\n"},
        {[] { throw FatalError("Remote Access Service Failure %d", 9501); }, "Remote Access Service Failure 9501.\n"},
        // A text longer than the message holds is cut, never written past its end.
        {[&] { throw FatalError("Connection error: %s", longText.c_str()); },
         "Connection error: " + std::string(255 - 18, 'x') + ".\n"},
        {[&] { throw FatalError("%s.", longText.c_str()); }, std::string(255, 'x') + ".\n"},
    };
    for (const auto& c : cases) {
        FatalResult r = RunFatal(dir, c.call);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.console, c.console);
    }
}

TEST(FatalErrorTest, LogsWithoutTheFullStopAndRestoresTheStartingDirectory) {
    TempDir dir;
    test::MakeDir(dir / "elsewhere");
    FatalResult r = RunFatal(dir, [&] {
        mailConfig.logFile.assign(dir / "korv.log");
        if (chdir((dir / "elsewhere").c_str()) != 0) _exit(97);
        // Runs inside exit(), after the run's end changed the directory back.
        std::atexit([] { ConsolePrint("cwd %s\n", platform::CurrentDirectory().c_str()); });
        WriteLogHeader(true, false, false);
        throw FatalError("Could not read configuration.");
    }, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.console, "Could not read configuration.\ncwd " + dir.path() + "\n");
    EXPECT_EQ(test::MaskLog(ReadFile(dir / "korv.log")),
              "\n----------  DAY DD MON YY, Quorvexia 2.12; SEND\n"
              "! HH:MM:SS  Could not read configuration\n");

    std::remove((dir / "korv.log").c_str());
    r = RunFatal(dir, [&] {
        mailConfig.logFile.assign(dir / "korv.log");
        WriteLogHeader(false, true, false);
        throw FatalError("%s", std::string(600, 'y').c_str());
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(test::MaskLog(ReadFile(dir / "korv.log")),
              "\n----------  DAY DD MON YY, Quorvexia 2.12; RECEIVE\n"
              "! HH:MM:SS  " + std::string(255, 'y') + "\n");
}

TEST(SecondsSinceTest, WholeSecondsAndNeverBelowZero) {
    std::time_t now = std::time(nullptr);
    unsigned long past = SecondsSince(now - 125);
    EXPECT_TRUE(past == 125 || past == 126) << past;
    // A clock set back since the start gives 0, not a huge unsigned figure.
    EXPECT_EQ(SecondsSince(now + 3600), 0u);
}

// The console as a memory stream; take() returns what was written since the
// last take() without flushing, so a missing flush in the code shows.
class ProgressTest : public ::testing::Test {
protected:
    void SetUp() override {
        stream = open_memstream(&buffer, &size);
        consoleStream = stream;
        consoleInteractive = true;  // figures must reach a watched console at once
        debugMode = false;
        reset();
    }
    void TearDown() override {
        consoleStream = stdout;
        debugMode = false;
        std::fclose(stream);
        std::free(buffer);
    }
    static void reset() {
        progressCalls = 0;
        progressWidth = 0;
    }
    std::string take() {
        std::string text(buffer ? buffer + taken : "", size - taken);
        taken = size;
        return text;
    }
    static std::string Backspaces(int n) { return std::string(static_cast<std::size_t>(n), '\b'); }

    std::FILE* stream = nullptr;
    char* buffer = nullptr;
    std::size_t size = 0;
    std::size_t taken = 0;
};

TEST_F(ProgressTest, RedrawsOnEveryTenthCall) {
    ShowProgress(1000, 250);
    EXPECT_EQ(take(), " 25%");
    EXPECT_EQ(progressWidth, 4);
    for (int i = 1; i <= 9; ++i) {
        ShowProgress(1000, 250 + i * 10);
        EXPECT_EQ(take(), "") << "call " << i;
    }
    EXPECT_EQ(progressCalls, 10);
    ShowProgress(1000, 500);
    EXPECT_EQ(take(), Backspaces(4) + " 50%");
    EXPECT_EQ(progressCalls, 1);
    // The final call of a message: the caller sets the counter to 0, so it draws.
    progressCalls = 0;
    ShowProgress(1000, 1000);
    EXPECT_EQ(take(), Backspaces(4) + "100%");
}

TEST_F(ProgressTest, FiguresForKnownUnknownAndZeroTotals) {
    struct Case {
        std::int32_t total, done;
        std::string text;
    };
    const Case cases[] = {
        {1000, 1500, "100%"},
        {1000, -5, "  0%"},
        {1000, 0, "  0%"},
        {1000, 999, " 99%"},
        {40000000, 30000000, " 75%"},
        {2000000000, 1999999999, " 99%"},
        {2147483647, 2147483647, "100%"},
        {3, 1, " 33%"},
        {-1, 512, "  512 bytes"},
        {-1, 0, "    0 bytes"},
        {-1, 123456, "123456 bytes"},
        {-7, 99999, "99999 bytes"},
        {0, 77, "100%"},
        {0, 0, "100%"},
    };
    for (const auto& c : cases) {
        reset();
        ShowProgress(c.total, c.done);
        EXPECT_EQ(take(), c.text) << c.total << "/" << c.done;
        EXPECT_EQ(progressWidth, static_cast<std::int32_t>(c.text.size())) << c.total << "/" << c.done;
        EXPECT_EQ(progressCalls, 1);
    }
}

TEST_F(ProgressTest, NextRedrawErasesWhatWasShown) {
    ShowProgress(-1, 512);
    EXPECT_EQ(take(), "  512 bytes");
    for (int i = 0; i < 9; ++i) ShowProgress(-1, 600);
    EXPECT_EQ(take(), "");
    ShowProgress(-1, 654321);
    EXPECT_EQ(take(), Backspaces(11) + "654321 bytes");
    EXPECT_EQ(progressWidth, 12);
    progressCalls = 0;
    ShowProgress(0, 5);
    EXPECT_EQ(take(), Backspaces(12) + "100%");
    EXPECT_EQ(progressWidth, 4);
    EXPECT_EQ(progressCalls, 1);
}

// Output to a file, a pipe or the journal gets no figures at all, and the
// counters of a watched console are left as they were.
TEST_F(ProgressTest, UnwatchedConsoleShowsNoFigures) {
    consoleInteractive = false;
    progressCalls = 0;
    progressWidth = 4;
    ShowProgress(1000, 250);
    for (int i = 0; i < 10; ++i) ShowProgress(1000, 500);
    ShowProgress(-1, 5);
    ShowProgress(0, 0);
    std::fflush(stream);
    EXPECT_EQ(take(), "");
    EXPECT_EQ(progressCalls, 0);
    EXPECT_EQ(progressWidth, 4);
}

TEST_F(ProgressTest, DebugModeShowsNothingAndKeepsTheCounters) {
    debugMode = true;
    for (std::int32_t calls : {0, 3, 10}) {
        progressCalls = calls;
        progressWidth = 7;
        ShowProgress(1000, 500);
        ShowProgress(-1, 5);
        ShowProgress(0, 0);
        EXPECT_EQ(take(), "");
        EXPECT_EQ(progressCalls, calls);
        EXPECT_EQ(progressWidth, 7);
    }
}

}  // namespace
}  // namespace quorvexia
