// korv's frame as units, the built korv as a process, its daemon wait on a
// terminal, and the line transport over a local socket pair.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>

#include "activity_log.h"
#include "line_transport.h"
#include "platform/paths.h"
#include "run_control.h"
#include "run_options.h"
#include "support/pair_stream.h"
#include "support/program.h"
#include "support/scripted_server.h"

namespace quorvexia {
namespace {

using test::Banner;
using test::KorvSandbox;
using test::MaskLog;
using test::PairStream;
using test::WriteFile;
using namespace std::string_literals;

const std::string kNothing = "No messages for delivery.\n", kHangup = "Hangup not allowed with network connection.\n";
std::string Header(const std::string& words) { return "\n----------  DAY DD MON YY, Quorvexia 2.12; " + words + "\n"; }
// The log line of a console sentence: its full stop and line end go.
std::string LogLine(char code, const std::string& said) {
    return std::string(1, code) + " HH:MM:SS  " + said.substr(0, said.size() - (said.ends_with(".\n") ? 2 : 1)) + "\n";
}

std::string Show(const RunOptions& o) {
    return std::string(o.sendRequested ? "s" : "-") + (o.receiveRequested ? "r" : "-") +
           (o.hangupRequested ? "h" : "-") + (o.debugMode ? "d" : "-") + (HasAction(o) ? "!" : "") + " " +
           std::to_string(o.tries) + " " + std::to_string(o.daemonSeconds);
}

// The console as a memory stream; `text` is what was flushed to it.
struct Console {
    char* text = nullptr;
    std::size_t size = 0;
    Console() { consoleStream = open_memstream(&text, &size); }
    ~Console() { std::fclose(consoleStream), consoleStream = stdout, std::free(text); }
};

// Per switch: shortest prefix, last value taken, first refused, one malformed.
TEST(ParseSwitchesTest, BoundaryRows) {
    const std::pair<std::vector<const char*>, const char*> rows[] = {
        {{}, "---- 1 0"}, {{"/s"}, "s---! 1 0"}, {{"/Receive"}, "-r--! 1 0"}, {{"/H", "/De"}, "--hd! 1 0"},
        {{"send", "/", "/d", "/x", "/tries5", "/daemon"}, "---- 1 0"}, {{"/tries:5", "/T:1"}, "---- 1 0"},
        {{"/T:5", "/tries:0", "/tries:x", "/tries:2147483648"}, "---- 5 0"},
        {{"/tries:2147483647"}, "---- 2147483647 0"},
        {{"/DA:1"}, "---- 1 60"}, {{"/daemon:10", "/daemon:0", "/daemon:x"}, "---- 1 600"},
        {{"/daemon:71582788"}, "---- 1 4294967280"},
        {{"/daemon:9999999999999"}, "---- 1 4294967280"},  // the longest pause, not a wrapped short one
    };
    for (auto [args, want] : rows) {
        args.insert(args.begin(), "korv");
        EXPECT_EQ(Show(ParseSwitches(static_cast<int>(args.size()), args.data())), want) << args.back();
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

// The end of every run: the log closes, the start directory returns, the console is flushed.
TEST(FatalErrorTest, EndRunClosesTheLogAndGoesBack) {
    test::TempDir dir;
    mailConfig.logFile.assign(dir / "korv.log");
    Console console;
    WriteLogHeader(true, true, false);
    ReportFatalError(FatalError("Remote Access Service Failure %d", 9501));
    ASSERT_EQ(chdir("/"), 0);
    EXPECT_EQ(EndRun(1, dir.path()), 1);
    EXPECT_EQ(std::string(console.text, console.size), "Remote Access Service Failure 9501.\n");
    EXPECT_EQ(platform::CurrentDirectory(), dir.path());
    EXPECT_FALSE(LogIsOpen());
    LogEvent('!', "after the log is closed: nowhere");
    EXPECT_EQ(MaskLog(test::ReadFile(dir / "korv.log")),
              Header("SEND/RECEIVE") + "! HH:MM:SS  Remote Access Service Failure 9501\n");
    std::time_t now = std::time(nullptr);
    EXPECT_LE(SecondsSince(now - 125) - 125, 1u);
    EXPECT_EQ(SecondsSince(now + 3600), 0u);  // a clock set back gives 0, not a huge figure
}

// Figures as a transfer drives them: 'm' starts a message, 'l' is its last call.
TEST(ProgressTest, FiguresOnEveryTenthCall) {
    Console console;
    std::size_t taken = 0;
    const std::string bs(12, '\b');
    const struct { char reset; int calls, total, done; std::string shown; } steps[] = {
        {'m', 1, 1000, 250, " 25%"}, {'.', 9, 1000, 260, ""}, {'.', 1, 1000, 500, bs.substr(8) + " 50%"},
        {'l', 1, 1000, 1000, bs.substr(8) + "100%"}, {'m', 1, 1000, 1500, "100%"}, {'m', 1, 1000, -50, "  0%"},
        {'m', 1, 1000, 999, " 99%"}, {'m', 1, 2000000000, 1999999999, " 99%"}, {'m', 1, -1, 512, "  512 bytes"},
        {'.', 9, -1, 600, ""}, {'.', 1, -1, 654321, bs.substr(1) + "654321 bytes"}, {'l', 1, 0, 5, bs + "100%"},
        {'.', 9, 0, 5, ""}, {'.', 1, -1, 7, bs.substr(8) + "    7 bytes"},
    };
    for (const auto& s : steps) {
        if (s.reset != '.') progressCalls = 0;
        if (s.reset == 'm') progressWidth = 0;
        for (int i = 0; i < s.calls; ++i) ShowProgress(s.total, s.done);
        EXPECT_EQ(std::string(console.text + taken, console.size - taken), s.shown) << s.total << " " << s.done;
        taken = console.size;
    }
    progressCalls = 0;
    consoleInteractive = false;  // a file, a pipe or the journal gets no figures
    ShowProgress(1000, 250);
    consoleInteractive = debugMode = true;  // nor does the debug echo
    ShowProgress(1000, 250);
    std::fflush(consoleStream);
    EXPECT_EQ(console.size, taken);
}

using Change = std::function<void(KorvSandbox&)>;
template <typename Field>
Change Set(Field MailConfig::*field, const char* value) {
    return [=](KorvSandbox& b) { (b.config.*field).assign(value); };
}

// Each row changes the golden world (/send, no envelope queued, a log holding an earlier
// run, no server listening) and states korv's console after the banner and its log.
TEST(KorvProgramTest, StartUpPassesAndExitStatus) {
    const std::string smtp = "127.0.0.1:" + std::to_string(test::FreeLoopbackPort());
    const std::string pop3 = "127.0.0.1:" + std::to_string(test::FreeLoopbackPort());
    const std::string S =
        "Solving SMTP host '" + smtp + "'...\nConnecting to SMTP server...\nUnable to open connection.\n";
    const std::string P =
        "Solving POP3 host '" + pop3 + "'...\nConnecting to POP3 server...\nUnable to open connection.\n";
    const std::string R = "Retrying...\n";
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
    const std::vector<std::string> sendHangup = {"/send", "/hangup"}, both = {"/send", "/receive", "/tries:2"};
    const struct { const char* name; Change change; int status; std::string console, log;
                   std::vector<std::string> args = {"/send"}; std::string cwd = "", argv0 = ""; } rows[] = {
        {"golden", nullptr, 0, kNothing, golden},
        {"no action: usage, nothing read",
         [](KorvSandbox& b) { b.config.signature[0] = 'X'; b.config.inboundDir.assign("gone"); },
         1, usage, "", {"/debug", "/tries:5", "send"}},
        {"only the old file",
         [](KorvSandbox& b) { b.writeConfigOnRun = false; WriteFile(b.path("bexolind.cfg"), "x"); },
         1, "Please upgrade old configuration file with KORVCFG.\n", ""},
        {"no file", [](KorvSandbox& b) { b.writeConfigOnRun = false; }, 1, "Could not read configuration.\n", ""},
        {"another signature", [](KorvSandbox& b) { b.config.signature[10] = '1'; }, 1, damaged, ""},
        {"a directory as korv.cfg",
         [](KorvSandbox& b) { b.writeConfigOnRun = false; test::MakeDir(b.path("korv.cfg")); },
         1, damaged, ""},
        {"signature in capitals", [](KorvSandbox& b) { SetSignature(b.config.signature, "QUORVEXIA 20 CFG"); },
         0, kNothing, golden},
        {"korv.conf fault, cut", [](KorvSandbox& b) { WriteFile(b.path("korv.conf"), std::string(300, '.')); },
         1, conf + ".\n", ""},
        {"missing inbound", Set(&MailConfig::inboundDir, "missing/"),
         1, "Email inbound directory not found: missing.\n", ""},
        {"missing outbound", Set(&MailConfig::outboundDir, "nowhere/"),
         1, "Email outbound directory not found: nowhere.\n", ""},
        {"started elsewhere", [](KorvSandbox& b) { WriteFile(b.path("in/korv.cfg"), "x"); },
         0, kNothing, golden, {"/send"}, "in"},
        {"program name without a directory", nullptr, 0, kNothing, golden, {"/send"}, "", "korv"},
        {"a directory as the log", Set(&MailConfig::logFile, "in"), 0, kNothing + kHangup, "", sendHangup},
        {"a full device as the log", Set(&MailConfig::logFile, "/dev/full"), 0, kNothing + kHangup, "", sendHangup},
        {"hang-up alone does not wait in daemon mode", nullptr, 0, kHangup, Header("") + LogLine('?', kHangup),
         {"/hangup", "/daemon:1"}},
        {"fatal error after the log opens", Set(&MailConfig::dialEntry, "Office"), 1, ras,
         Header("SEND") + LogLine('!', ras)},
        {"both fail, a bit each", queue, 3, S + R + S + "\n" + P + R + P,
         Header("SEND/RECEIVE") + SL + SL + PL + PL, both},
        {"nothing to send", nullptr, 2, kNothing + "\n" + P + R + P,
         Header("SEND/RECEIVE") + LogLine('+', kNothing) + PL + PL, both},
        {"tries:0 is one try", queue, 1, S + kHangup, Header("SEND") + SL + LogLine('?', kHangup),
         {"/tries:0", "/send", "/hangup"}},
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

// korv /send /daemon:1 on a pseudo-terminal whose mode the test reads after korv ends;
// `background`: behind a foreground leader that ends with 0 if korv still waits 1.5 s later.
struct PtyKorv {
    int master = -1, slave = -1;
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
    // After a test that failed half-way, korv is not left waiting.
    ~PtyKorv() { if (pid > 0) kill(pid, SIGKILL), waitpid(pid, nullptr, 0); close(master); close(slave); }
    bool lineMode() const { termios t{}; return !tcgetattr(slave, &t) && (t.c_lflag & ICANON) && (t.c_lflag & ECHO); }
    bool waitsForKeys() {
        for (int i = 0; i < 300 && lineMode(); ++i) usleep(10000);
        return test::ReadUntil(master, out, kWaiting, 10000) && !lineMode();
    }
    // Whether korv (or the leader) ends with 0 (it is killed after 20 s); `took` tells how soon.
    double took = 0;
    bool endsWell() {
        auto start = std::chrono::steady_clock::now();
        bool well = test::EndsWellOnTerminal(pid, dup(master), out);  // the terminal stays open
        pid = -1;
        took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        return well;
    }
};

// Esc ends the wait at once; other keys (an arrow key's Esc sequence too) are swallowed,
// start no pass and cost no processor time; a signal keeps its effect; in the background
// the terminal is left alone. Either way the terminal's mode is as before.
TEST(DaemonWaitTest, OnlyEscOrASignalEndsTheWait) {
    const int background = -1;
    for (int how : {0, SIGTERM, SIGINT, SIGQUIT, SIGHUP, background}) {
        SCOPED_TRACE(how);
        KorvSandbox box;
        PtyKorv korv(box, how == background);
        if (how == background) {
            ASSERT_TRUE(test::ReadUntil(korv.master, korv.out, kWaiting, 10000)) << korv.out;
            EXPECT_TRUE(korv.endsWell()) << "korv was stopped by the terminal, or ended";
        } else if (how) {
            ASSERT_TRUE(korv.waitsForKeys()) << korv.out;
            kill(korv.pid, how);
            EXPECT_FALSE(korv.endsWell());
            EXPECT_LT(korv.took, 5);
        } else {
            ASSERT_TRUE(korv.waitsForKeys()) << korv.out;
            EXPECT_EQ(MaskLog(box.log()), Header("SEND") + LogLine('+', kNothing)) << "the log line is written at once";
            for (std::string keys : {"x", "\n", "\x1b[A", "q"}) {
                ASSERT_EQ(write(korv.master, keys.data(), keys.size()), ssize_t(keys.size()));
                test::ReadUntil(korv.master, korv.out, "\x01", 400);
            }
            const std::string pass = Banner() + kNothing + "\n" + kWaiting;
            EXPECT_EQ(korv.out, pass) << "no echo and no new pass";
            ASSERT_EQ(write(korv.master, "\x1b", 1), 1);
            EXPECT_TRUE(korv.endsWell());
            EXPECT_LT(korv.took, 1.5) << "Esc did not end the wait promptly";
            EXPECT_EQ(korv.out, pass + "\n");
            rusage used{};
            getrusage(RUSAGE_CHILDREN, &used);
            EXPECT_LT(used.ru_utime.tv_sec + used.ru_stime.tv_sec +
                          (used.ru_utime.tv_usec + used.ru_stime.tv_usec) / 1e6,
                      0.5);
        }
        EXPECT_TRUE(korv.lineMode());
    }
}

std::string Times(std::size_t n, const std::string& s) { std::string out; while (n--) out += s; return out; }

// A line as rows state it: a run of 10+ of one byte as {N*c}; "+" after a line cut at 999.
std::string Show(std::string_view line, bool cut = false) {
    std::string s;
    for (std::size_t i = 0, n; i < line.size(); i += n) {
        n = std::min(line.find_first_not_of(line[i], i), line.size()) - i;
        s += n >= 10 ? "{" + std::to_string(n) + "*" + line[i] + "}" : std::string(n, line[i]);
    }
    return s + (cut ? "+" : "");
}

// Reads as the row says (l lines, r a reply, d a dot-ended list), then every line to the close.
std::string Read(Link& link, char how) {
    Reply r;
    std::vector<std::string> list;
    std::string s = how == 'l' ? "" : how == 'd' ? "CTF"[static_cast<int>(link.receiveList(list))] + " "s
                    : link.receiveReply(r) ? std::to_string(r.code) + "/" + std::to_string(r.lines) + " " +
                                                 Show(r.lastLine) + " "
                                           : "failed ";
    for (const auto& l : list) s += Show(l) + "|";
    s += how == 'l' ? "" : "> ";
    for (std::string_view line; link.receiveLine(line);) s += Show(line, link.lineWasCut()) + "|";
    return s;
}

std::string Reply250(std::size_t lines, std::size_t width) {
    return Times(lines - 1, "250-" + std::string(width, 'a') + "\r\n") + "250 " + std::string(width, 'a') + "\r\n";
}

TEST(TransportTest, LinesRepliesAndListsAsReceived) {
    const std::string x999(999, 'x'), x998(998, 'x');
    // Each entry of `receives` arrives as one receive.
    const struct { const char* name; char how; std::vector<std::string> receives; std::string want; } rows[] = {
        {"CR LF, LF, CR, CR NUL; NUL inside", 'l', {"a\r\nb\nc\rd\r\0e\0f\r\n"s}, "a|b|c|d|e\0f|"s},
        {"CR | LF, CR | NUL, LF | CR, a line over receives", 'l', {"a\r", "\nb\r", "\0c"s, "d", "e\n", "\rf\r\n"},
         "a|b|cde||f|"},
        {"LF CR, CR CR, CR LF CR LF, LF LF", 'l', {"a\n\rb\r\rc\r\n\r\nd\n\ne\r\n"}, "a||b||c||d||e|"},
        {"999 and its end, also split", 'l', {x999 + "\r\n" + x999, "\r\n", x999 + "\r", "\ny\r\n"},
         "{999*x}|{999*x}|{999*x}|y|"},
        {"1000 and 2500 cut", 'l',
         {x999 + ".\r\n" + std::string(999, 'a') + std::string(999, 'b') + std::string(502, 'c') + "\r\n"},
         "{999*x}+|.|{999*a}+|{999*b}+|{502*c}|"},
        {"close inside a line", 'l', {"250 partial"}, ""},
        {"one line", 'r', {"250 OK\r\nNEXT\r\n"}, "250/1 250 OK > NEXT|"},
        {"code of the last line", 'r', {"220-a\r\n250-b\r\n250 c\r\nNEXT\r\n"}, "250/3 250 c > NEXT|"},
        {"no hyphen ends it", 'r', {"250-a\r\n250x\r\n"}, "250/2 250x > "},
        {"no digits, no code", 'r', {"-250\r\nhello\r\n"}, "-1/1 -250 > hello|"},
        {"long continuation cut, rest skipped", 'r', {"250-" + x998 + "yyy\r\n250 end\r\n"}, "250/2 250 end > "},
        {"long last line keeps its first piece", 'r', {"250 " + x998 + "\r\n"}, "250/1 250 {995*x} > "},
        {"cut by the server", 'r', {"250-first\r\n250-sec"}, "failed > "},
        {"cut in the rest of a long line", 'r', {"250-" + x998 + "yyy"}, "failed > "},
        {"100 lines", 'r', {Reply250(100, 10)}, "250/100 250 {10*a} > "},
        {"101 lines", 'r', {Reply250(101, 10)}, "-1/101 250 {10*a} > "},
        {"64 KiB", 'r', {Reply250(64, 1024 - 6)}, "250/64 250 {995*a} > "},
        {"65 KiB", 'r', {Reply250(65, 1024 - 6)}, "-1/65 250 {995*a} > {23*a}|"},
        {"one line over 64 KiB", 'r', {"250 " + std::string(65996, 'z') + "\r\n"}, "-1/1 250 {995*z} > {66*z}|"},
        {"empty list", 'd', {".\r\n"}, "C > "},
        {"stuffed dot, long line", 'd', {"..hidden\r\n" + std::string(1500, 'l') + "\r\n.\r\nNEXT\r\n"},
         "C .hidden|{1500*l}|> NEXT|"},
        {"100 items", 'd', {Times(100, "ITEM\r\n") + ".\r\n"}, "C " + Times(100, "ITEM|") + "> "},
        {"101 items", 'd', {Times(101, "ITEM\r\n") + ".\r\n"}, "T " + Times(100, "ITEM|") + "> .|"},
        {"cut before the dot", 'd', {"TOP\r\n"}, "F TOP|> "},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        auto* s = new PairStream;
        Link link{std::unique_ptr<platform::ByteStream>(s)};
        // Records of at most 60000 bytes, which the 64 KiB receive buffer takes whole.
        for (const auto& r : row.receives)
            for (std::size_t at = 0; at < r.size(); at += 60000) s->peerSend(r.substr(at, 60000));
        s->closePeer();
        EXPECT_EQ(Read(link, row.how), row.want);
        // The first failure latches: later calls fail without touching the socket.
        int calls = s->receives_ + s->writes_;
        std::string_view kept = "kept";
        EXPECT_FALSE(link.receiveLine(kept) || link.sendLine("NOOP") || link.queueLine("x") || !link.failed());
        EXPECT_TRUE(kept == "kept" && s->receives_ + s->writes_ == calls);
    }
}

// Every send fails with the error number 104.
struct Failing final : platform::ByteStream {
    bool sendAll(const char*, std::size_t) override { return ++sends < 0; }
    long receive(char*, std::size_t) override { return -1; }
    int lastError() const override { return 104; }
    void setTimeout(int) override {}
    static inline int sends = 0;
};

// Commands go out at once, queued lines before the next read; the echo hides the password; an
// upgrade drops what was buffered; a failed send latches; abandon keeps the error number.
TEST(TransportTest, SendBufferEchoUpgradeAndAbandon) {
    Console echo;
    debugMode = true;
    auto* s = new PairStream;
    Link link{std::unique_ptr<platform::ByteStream>(s)};
    EXPECT_TRUE(link.sendLine("USER ann") && link.sendSecretLine("PASS s3cret"));
    EXPECT_TRUE(link.queueLine("line 0") && link.queueLine(""));
    EXPECT_EQ(s->peerRecords(), (std::vector<std::string>{"USER ann\r\n", "PASS s3cret\r\n"}));
    // The reply to STARTTLS and, in the same record, bytes put there before the handshake.
    s->peerSend("220 go ahead\r\n250 injected\r\n");
    std::string_view line;
    EXPECT_TRUE(link.receiveLine(line) && line == "220 go ahead");
    EXPECT_EQ(s->peerRecords(), std::vector<std::string>{"line 0\r\n\r\n"});
    link.queueLine("queued before");
    auto* u = new PairStream;
    link.upgrade(std::unique_ptr<platform::ByteStream>(u));
    u->peerSend("250 over the new stream\r\n");
    EXPECT_TRUE(link.receiveLine(line) && line == "250 over the new stream");
    EXPECT_TRUE(link.sendLine("EHLO x"));
    EXPECT_EQ(u->peerRecords(), std::vector<std::string>{"EHLO x\r\n"});
    link.upgrade(std::make_unique<Failing>());
    EXPECT_FALSE(link.sendLine("RSET") || link.queueLine("body") || !link.failed());
    EXPECT_EQ(Failing::sends, 1);
    Link idle{std::make_unique<Failing>()};
    idle.abandon();
    EXPECT_TRUE(idle.failed() && idle.lastError() == 104);
    idle.setTimeout(1000);  // no stream to reach: nothing happens
    std::fflush(consoleStream);
    EXPECT_EQ(std::string(echo.text, echo.size), "USER ann\nPASS <hidden>\nline 0\n\n220 go ahead\nqueued before\n"
                                                 "250 over the new stream\nEHLO x\nRSET\n");
}

}  // namespace
}  // namespace quorvexia
