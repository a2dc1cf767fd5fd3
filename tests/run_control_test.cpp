// korv's frame: its switches, directory rules, log end and progress figures as
// units; the built korv as a process (start-up, passes, retries, exit status);
// the daemon wait on a terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>

#include "activity_log.h"
#include "platform/paths.h"
#include "run_control.h"
#include "run_options.h"
#include "support/program.h"
#include "support/scripted_server.h"

namespace quorvexia {
namespace {

using test::Banner;
using test::KorvSandbox;
using test::MaskLog;
using test::WriteFile;

const std::string kNothing = "No messages for delivery.\n", kHangup = "Hangup not allowed with network connection.\n";
std::string Header(const std::string& words) { return "\n----------  DAY DD MON YY, Quorvexia 2.12; " + words + "\n"; }
// The log line of a console sentence: its full stop and line end go.
std::string LogLine(char code, const std::string& said) {
    return std::string(1, code) + " HH:MM:SS  " + said.substr(0, said.size() - (said.ends_with(".\n") ? 2 : 1)) + "\n";
}

std::string Show(const RunOptions& o) {
    return std::string(o.sendRequested ? "s" : "-") + (o.receiveRequested ? "r" : "-") + (o.hangupRequested ? "h" : "-") +
           (o.debugMode ? "d" : "-") + (HasAction(o) ? "!" : "") + " " + std::to_string(o.tries) + " " +
           std::to_string(o.daemonSeconds);
}

// Per switch: the shortest prefix, the last value taken, the first refused and
// one malformed (a refused value keeps the earlier one).
TEST(ParseSwitchesTest, BoundaryRows) {
    const std::pair<std::vector<const char*>, const char*> rows[] = {
        {{}, "---- 1 0"}, {{"/s"}, "s---! 1 0"}, {{"/Receive"}, "-r--! 1 0"}, {{"/H", "/De"}, "--hd! 1 0"},
        {{"send", "/", "/d", "/x", "/tries5", "/daemon"}, "---- 1 0"}, {{"/tries:5", "/T:1"}, "---- 1 0"},
        {{"/T:5", "/tries:0", "/tries:x", "/tries:2147483648"}, "---- 5 0"}, {{"/tries:2147483647"}, "---- 2147483647 0"},
        {{"/DA:1"}, "---- 1 60"}, {{"/daemon:10", "/daemon:0", "/daemon:x"}, "---- 1 600"},
        {{"/daemon:71582788"}, "---- 1 4294967280"},
        {{"/daemon:9999999999999"}, "---- 1 4294967280"},  // the longest pause, not a wrapped short one
    };
    for (auto [args, want] : rows) {
        args.insert(args.begin(), "korv");
        EXPECT_EQ(Show(ParseSwitches(static_cast<int>(args.size()), args.data())), want) << args[1];
    }
}

TEST(NormaliseDirectoryTest, EmptyAndOneTrailingSeparator) {
    const std::pair<const char*, const char*> rows[] = {{"", "."}, {"in/", "in"}, {"/", "/"}, {"//", "/"}, {"d", "d"}};
    for (auto [in, out] : rows) {
        TextField<80> field;
        field.assign(in);
        NormaliseDirectory(field);
        EXPECT_EQ(field.text(), out) << in;
    }
}

// The end of every run, also after a fatal error: the log closes, the
// directory is the starting one again and the console is flushed.
TEST(FatalErrorTest, EndRunClosesTheLogAndGoesBack) {
    test::TempDir dir;
    mailConfig.logFile.assign(dir / "korv.log");
    char* console = nullptr;
    std::size_t size = 0;
    consoleStream = open_memstream(&console, &size);
    WriteLogHeader(true, true, false);
    ReportFatalError(FatalError("Remote Access Service Failure %d", 9501));
    ASSERT_EQ(chdir("/"), 0);
    EXPECT_EQ(EndRun(1, dir.path()), 1);
    EXPECT_EQ(std::string(console, size), "Remote Access Service Failure 9501.\n");
    EXPECT_EQ(platform::CurrentDirectory(), dir.path());
    LogEvent('!', "after the log is closed: nowhere");
    EXPECT_EQ(MaskLog(test::ReadFile(dir / "korv.log")),
              Header("SEND/RECEIVE") + "! HH:MM:SS  Remote Access Service Failure 9501\n");
    std::time_t now = std::time(nullptr);
    EXPECT_LE(SecondsSince(now - 125) - 125, 1u);
    EXPECT_EQ(SecondsSince(now + 3600), 0u);  // a clock set back gives 0, not a huge figure
}

// The figures of a watched console as a transfer drives them: both counters
// start at 0 for a message ('m'), the call counter also for its last call ('l').
TEST(ProgressTest, FiguresOnEveryTenthCall) {
    char* console = nullptr;
    std::size_t size = 0, taken = 0;
    consoleStream = open_memstream(&console, &size);
    const std::string bs(12, '\b');
    const struct { char reset; int calls, total, done; std::string shown; } steps[] = {
        {'m', 1, 1000, 250, " 25%"}, {'.', 9, 1000, 260, ""}, {'.', 1, 1000, 500, bs.substr(8) + " 50%"},
        {'l', 1, 1000, 1000, bs.substr(8) + "100%"}, {'m', 1, 1000, 1500, "100%"}, {'m', 1, 1000, -5, "  0%"},
        {'m', 1, 1000, 999, " 99%"}, {'m', 1, 2000000000, 1999999999, " 99%"}, {'m', 1, -1, 512, "  512 bytes"},
        {'.', 9, -1, 600, ""}, {'.', 1, -1, 654321, bs.substr(1) + "654321 bytes"}, {'l', 1, 0, 5, bs + "100%"},
    };
    for (const auto& s : steps) {
        if (s.reset != '.') progressCalls = 0;
        if (s.reset == 'm') progressWidth = 0;
        for (int i = 0; i < s.calls; ++i) ShowProgress(s.total, s.done);
        EXPECT_EQ(std::string(console + taken, size - taken), s.shown) << s.total << " " << s.done;
        taken = size;
    }
    progressCalls = 0;
    consoleInteractive = false;  // a file, a pipe or the journal gets no figures
    ShowProgress(1000, 250);
    consoleInteractive = debugMode = true;  // nor does the debug echo
    ShowProgress(1000, 250);
    std::fflush(consoleStream);
    EXPECT_EQ(size, taken);
}

using Change = std::function<void(KorvSandbox&)>;
template <typename Field>
Change Set(Field MailConfig::*field, const char* value) {
    return [=](KorvSandbox& b) { (b.config.*field).assign(value); };
}

// The golden run: /send with nothing queued (neither a text file nor a
// directory is an envelope), into a log holding an earlier run. Each row
// changes the sandbox and states what korv's console (after the banner) and
// log then hold. The servers are loopback ports where nothing listens.
TEST(KorvProgramTest, StartUpPassesAndExitStatus) {
    const std::string smtp = "127.0.0.1:" + std::to_string(test::FreeLoopbackPort());
    const std::string pop3 = "127.0.0.1:" + std::to_string(test::FreeLoopbackPort());
    auto attempt = [](const std::string& name, const std::string& server) {
        return "Solving " + name + " host '" + server + "'...\nConnecting to " + name +
               " server...\nUnable to open connection.\n";
    };
    const std::string S = attempt("SMTP", smtp), P = attempt("POP3", pop3), R = "Retrying...\n";
    const std::string SL = "+ HH:MM:SS  Connecting to SMTP server\n! HH:MM:SS  Unable to open connection\n";
    const std::string PL = "+ HH:MM:SS  Connecting to POP3 server\n! HH:MM:SS  Unable to open connection\n";
    const std::string usage =
        "KORV [/send] [/receive] [/hangup] [/debug] [/tries:<n>] [/daemon:<n>]\n\n"
        "  /send\t\tSend mail.\n  /receive\tReceive mail.\n  /hangup\tHangs up modem connection.\n"
        "  /debug\tDebug mode.\n  /tries:<n>\tTries mail transfer up to <n> times on failure.\n"
        "  /daemon:<min>\tChecks mail every <min> minutes; exits on new mail.\n";
    const std::string golden = Header("SEND") + LogLine('+', kNothing), damaged = "Configuration file is damaged.\n";
    const std::string ras = "Could't find Remote Access Service (RASAPI32.DLL).\n";
    // Of the stops that end the cut text, one goes.
    const std::string conf = ("korv.conf line 1: expected 'key = value', not '" + std::string(300, '.')).substr(0, 254);
    const Change queue = [](KorvSandbox& b) { WriteFile(b.path("out/1.wrk"), "\nfrom@example.org\nto@example.org\n"); };
    const Change noConfig = [](KorvSandbox& b) { b.writeConfigOnRun = false; };
    const std::vector<std::string> sendHangup = {"/send", "/hangup"}, both = {"/send", "/receive", "/tries:2"};
    const struct { const char* name; Change change; int status; std::string console, log;
                   std::vector<std::string> args = {"/send"}; std::string cwd = "", argv0 = ""; } rows[] = {
        {"golden", nullptr, 0, kNothing, golden},
        {"no action: usage, nothing read", [](KorvSandbox& b) { b.config.signature[0] = 'X'; b.config.inboundDir.assign("gone"); },
         1, usage, "", {"/debug", "/tries:5", "send"}},
        {"only the old file", [](KorvSandbox& b) { b.writeConfigOnRun = false; WriteFile(b.path("bexolind.cfg"), "\0"); },
         1, "Please upgrade old configuration file with KORVCFG.\n", ""},
        {"no file", noConfig, 1, "Could not read configuration.\n", ""},
        {"another signature", [](KorvSandbox& b) { b.config.signature[10] = '1'; }, 1, damaged, ""},
        {"signature in capitals", [](KorvSandbox& b) { SetSignature(b.config.signature, "QUORVEXIA 20 CFG"); }, 0, kNothing, golden},
        {"korv.conf fault, cut", [](KorvSandbox& b) { WriteFile(b.path("korv.conf"), std::string(300, '.')); }, 1, conf + ".\n", ""},
        {"missing inbound", Set(&MailConfig::inboundDir, "missing/"), 1, "Email inbound directory not found: missing.\n", ""},
        {"missing outbound", Set(&MailConfig::outboundDir, "nowhere/"), 1, "Email outbound directory not found: nowhere.\n", ""},
        {"empty and root directories", [](KorvSandbox& b) { b.config.inboundDir.assign(""); b.config.outboundDir.assign("/"); },
         0, kNothing, golden},
        {"started elsewhere", [](KorvSandbox& b) { WriteFile(b.path("in/korv.cfg"), "x"); }, 0, kNothing, golden, {"/send"}, "in"},
        {"program name without a directory", nullptr, 0, kNothing, golden, {"/send"}, "", "korv"},
        {"no log file", Set(&MailConfig::logFile, ""), 0, kNothing + kHangup, "", sendHangup},
        {"a directory as the log", Set(&MailConfig::logFile, "in"), 0, kNothing + kHangup, "", sendHangup},
        {"a full device as the log", Set(&MailConfig::logFile, "/dev/full"), 0, kNothing + kHangup, "", sendHangup},
        {"hang-up alone does not wait in daemon mode", nullptr, 0, kHangup, Header("") + LogLine('?', kHangup),
         {"/hangup", "/daemon:1"}},
        {"fatal error after the log opens", Set(&MailConfig::dialEntry, "Office"), 1, ras, Header("SEND") + LogLine('!', ras)},
        {"sending fails on every try", queue, 1, S + R + S, Header("SEND") + SL + SL, {"/send", "/tries:2"}},
        {"receiving fails on every try", nullptr, 2, P + R + P + R + P, Header("RECEIVE") + PL + PL + PL, {"/receive", "/tries:3"}},
        {"both fail, a bit each", queue, 3, S + R + S + "\n" + P + R + P, Header("SEND/RECEIVE") + SL + SL + PL + PL, both},
        {"nothing to send", nullptr, 2, kNothing + "\n" + P + R + P, Header("SEND/RECEIVE") + LogLine('+', kNothing) + PL + PL, both},
        {"tries:0 is one try", queue, 1, S + kHangup, Header("SEND") + SL + LogLine('?', kHangup), {"/tries:0", "/send", "/hangup"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        KorvSandbox box;
        box.config.smtpServer.assign(smtp);
        box.config.pop3Server.assign(pop3);
        WriteFile(box.path("out/1.txt"), "x");
        test::MakeDir(box.path("out/2.wrk"));
        WriteFile(box.logPath(), "earlier\n");
        if (row.change) row.change(box);
        if (box.writeConfigOnRun) box.writeConfig();
        auto r = test::RunProgram(box.path("korv"), row.args, box.path(row.cwd), "", 20, row.argv0);
        EXPECT_EQ(r.status, row.status);
        EXPECT_EQ(r.out, Banner() + row.console);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(MaskLog(box.log()), "earlier\n" + row.log);
    }
}

const std::string kWaiting = "Waiting for next event.\n";

// korv /send /daemon:1 on a pseudo-terminal; the test keeps a descriptor of
// its own to read the terminal's mode after korv has gone. With `background`,
// korv runs in a process group of its own behind a leader in the foreground,
// which ends with 0 when korv is still waiting 1.5 s later, neither stopped nor ended.
struct PtyKorv {
    int master = -1, slave = -1, status = -1;
    pid_t pid = -1;
    std::string out;
    PtyKorv(KorvSandbox& box, bool background = false) {
        box.writeConfig();
        std::string exe = box.path("korv");
        pid = forkpty(&master, nullptr, nullptr, nullptr);
        if (pid == 0) {
            termios t;
            tcgetattr(STDIN_FILENO, &t);
            t.c_oflag &= ~OPOST;  // "\n" as korv writes it
            tcsetattr(STDIN_FILENO, TCSANOW, &t);
            if (pid_t korv = background ? fork() : 0; korv > 0) {
                setpgid(korv, korv);
                usleep(1500000);
                bool waiting = waitpid(korv, nullptr, WNOHANG | WUNTRACED) == 0;
                kill(korv, SIGKILL);
                _exit(waiting ? 0 : 1);
            }
            if (background) setpgid(0, 0);
            if (chdir(box.dir().c_str()) == 0) execl(exe.c_str(), exe.c_str(), "/send", "/daemon:1", nullptr);
            _exit(127);
        }
        slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    }
    ~PtyKorv() {
        if (status == -1) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
        close(slave), close(master);
    }
    bool read(const std::string& text, int ms) { return test::ReadUntil(master, out, text, ms); }
    bool lineMode() const {
        termios t{};
        tcgetattr(slave, &t);
        return (t.c_lflag & ICANON) && (t.c_lflag & ECHO);
    }
    bool waitsForKeys() {
        for (int i = 0; i < 300 && lineMode(); ++i) usleep(10000);
        return read(kWaiting, 10000) && !lineMode();
    }
    // Waits at most `ms` for korv to end, reading what it writes meanwhile.
    bool ended(int ms) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (waitpid(pid, &status, WNOHANG) == 0 && std::chrono::steady_clock::now() < end) read("\x01", 20);
        return read("\x01", 50), WIFEXITED(status) || WIFSIGNALED(status);
    }
};

// A signal during the wait keeps its usual effect. Esc ends the wait at once;
// other keys (an arrow key's sequence begins with the Esc code) are swallowed
// without echo and start no pass; waiting costs next to no processor time.
// However the wait ends, the terminal gets its mode back.
TEST(DaemonWaitTest, OnlyEscOrASignalEndsTheWait) {
    for (int sig : {SIGTERM, SIGINT, SIGQUIT, SIGHUP, 0}) {
        SCOPED_TRACE(sig);
        KorvSandbox box;
        PtyKorv korv(box);
        ASSERT_TRUE(korv.waitsForKeys()) << korv.out;
        if (sig) {
            kill(korv.pid, sig);
            ASSERT_TRUE(korv.ended(5000));
            EXPECT_TRUE(WIFSIGNALED(korv.status) && WTERMSIG(korv.status) == sig);
        } else {
            EXPECT_EQ(MaskLog(box.log()), Header("SEND") + LogLine('+', kNothing)) << "each log line is written at once";
            for (std::string keys : {"x", "\n", "\x1b[A", "q"}) {
                ASSERT_EQ(write(korv.master, keys.data(), keys.size()), ssize_t(keys.size()));
                korv.read("\x01", 400);
            }
            const std::string pass = Banner() + kNothing + "\n" + kWaiting;
            EXPECT_EQ(korv.out, pass) << "no echo and no new pass";
            ASSERT_EQ(write(korv.master, "\x1b", 1), 1);
            ASSERT_TRUE(korv.ended(1500)) << "Esc did not end the wait promptly";
            EXPECT_EQ(korv.status, 0);
            EXPECT_EQ(korv.out, pass + "\n");
            rusage used{};
            getrusage(RUSAGE_CHILDREN, &used);
            EXPECT_LT(used.ru_utime.tv_sec + used.ru_stime.tv_sec + (used.ru_utime.tv_usec + used.ru_stime.tv_usec) / 1e6, 0.5);
        }
        EXPECT_TRUE(korv.lineMode());
    }
}

TEST(DaemonWaitTest, InTheBackgroundTheTerminalIsLeftAlone) {
    KorvSandbox box;
    PtyKorv leader(box, /*background=*/true);
    ASSERT_TRUE(leader.read(kWaiting, 10000)) << leader.out;
    ASSERT_TRUE(leader.ended(5000));
    EXPECT_EQ(leader.status, 0) << "korv was stopped by the terminal, or ended";
    EXPECT_TRUE(leader.lineMode());
}

}  // namespace
}  // namespace quorvexia
