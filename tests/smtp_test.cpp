// The send phase. The SMTP session as a unit over a scripted byte stream:
// each step's reply judged in lock-step and pipelined (the TLS form, whose
// EHLO offers PIPELINING). Then korv against scripted servers and a real one.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>
#include <map>

#include "smtp_test_support.h"
#include "support/recording_reporter.h"
#include "support/script_stream.h"
#include "support/smtp_server.h"
#include "transfer/console.h"
#include "transfer/smtp_session.h"

namespace quorvexia::test {
namespace {

using enum SessionResult;
using Strings = std::vector<std::string>;
const std::string kM = "00000007", kPair = kM + ".txt " + kM + ".wrk", kMsg = "; message " + kM;
const std::string kEnvelope = "b.test\nann@a.test\nbob@b.test\n\ncy@c.test\n";
const std::string kText = "To: Bob <bob@b.test>\nSubject: s\n\n.dot\nbody\n";
const std::string kSent = "|* Sent " + kM + " to bob@b.test; 43b, 0 CPS";
const std::string hi = "220 ready|250 hello|", r4 = "250 r|250 m|250 a|250 b|", go = hi + r4 + "354 go|";

// A report whose console text is its log text with a full stop.
std::string Told(const std::string& text, char code = '!', const std::string& more = "") {
    return text + ".\n|" + code + " " + text + more;
}

// A queue directory holding the pair 00000007, and sessions over scripts whose
// lines each end with "|" (pipelined, the reply to HELO becomes one to EHLO).
struct World {
    TempDir dir;
    MailConfig config{};
    SideSettings side;
    RecordingReporter reporter;
    std::string sent, console;
    Strings writes;
    World() { Queue(kM, kEnvelope, kText); }
    void Queue(const std::string& base, const std::string& envelope, const std::string& text) {
        WriteFile(dir / (base + ".txt"), text);
        WriteFile(dir / (base + ".wrk"), envelope);
    }
    std::string files() const {  // the queue directory, and what the folder "refused" in it holds
        bool folder = std::filesystem::is_directory(dir / "refused");
        return ListDir(dir.path()) + (folder ? ": " + ListDir(dir / "refused") : "");
    }
    SessionResult run(std::string script, bool pipelined) {
        if (auto at = script.find("|250 hello|"); pipelined && at != std::string::npos)
            script.replace(at, 11, "|250-hello|250 PIPELINING|");
        auto stream = std::make_unique<ScriptStream>(std::regex_replace(script, std::regex("\\|"), "\r\n"));
        stream->onSend = [this](std::string_view bytes) { writes.emplace_back(bytes), sent += bytes; };
        config.domainName.assign("a.test"), config.outboundDir.assign(dir.path());
        config.smtpServer.assign(pipelined ? "smtps://127.0.0.1" : "127.0.0.1");
        std::FILE* out = consoleStream = std::tmpfile();
        consoleInteractive = consoleLineOpen = false;
        Link link(std::move(stream));
        SessionResult result = SmtpSession(config, side, reporter).dialogue(link);
        EndProgressLine();
        char text[4096];
        std::rewind(out), console.assign(text, std::fread(text, 1, sizeof text, out));
        std::fclose(out), consoleStream = stdout;
        // A second may pass during a transaction: the rate is not the point here.
        for (auto& e : reporter.entries) e = std::regex_replace(e, std::regex(", [0-9]+ CPS$"), ", 0 CPS");
        return result;
    }
};

TEST(SmtpSessionTest, EachStepJudgesItsReply) {
    auto lines = [](const char* code, int n, std::size_t width) {  // a reply of n lines
        std::string text;
        for (int i = 1; i <= n; ++i) text += code + std::string(i < n ? "-" : " ") + std::string(width, 'a') + "|";
        return text;
    };
    const std::string bob = "|? Invalid recipient: bob@b.test", badSender = Told("Invalid mail sender", '?', kMsg);
    const std::string refused = Told("Invalid mail sender", '?', "; error 553" + kMsg), m = hi + "250 r|";
    const std::string badData = Told("Invalid DATA command response", '!', kMsg),
                      mailRefused = "SMTP server refused mail: ";
    const Strings allRefused = {bob, "|? Invalid recipient: cy@c.test", Told("All recipients are invalid", '?', kMsg)};
    const struct Row {
        const char* name;
        std::string script;
        Strings reports;
        std::size_t sent, groupSent;  // commands, HELO or EHLO the first
        SessionResult result = Done;
        std::string left = kPair;
        int modes = 3;  // 1 lock-step, 2 pipelined
        std::string envelope = kEnvelope;
    } rows[] = {
        {"accepted", go + "250 queued|", {kSent}, 7, 7, Done, ""},
        {"greeting without a code", "hello|", {Told("Invalid SMTP remote greeting")}, 0, 0, Stopped},
        {"greeting 421", "421 busy|", {Told("SMTP server is not ready", '!', "; error 421")}, 0, 0, Stopped},
        {"HELO reply without a code", "220 a|hello|", {Told("Invalid HELO command response")}, 1, 0, Stopped, kPair, 1},
        {"HELO refused", "220 a|501 no|", {Told("Invalid local domain name", '!', "; error 501")},
         1, 0, Stopped, kPair, 1},
        {"envelope of one line", hi, {badSender}, 1, 1, Done, kPair, 3, "b.test\n"},
        {"blank sender", hi, {badSender}, 1, 1, Done, kPair, 3, "b.test\n \t\nbob@b.test\n"},
        {"sender too long for its buffer", hi, {badSender}, 1, 1, Done, kPair, 3,
         "b\n" + std::string(300, 's') + "\nc\n"},
        {"RSET refused", hi + "421 bye|", {Told("Can't reset; error 421")}, 2, 6, Stopped},
        {"RSET reply of 101 lines", hi + lines("250", 101, 20), {Told("Invalid RSET command response")}, 2, 6, Stopped},
        {"MAIL reply of 65 KiB", m + lines("250", 65, 1018), {Told("Invalid MAIL FROM command response", '!', kMsg)},
         3, 6, Stopped},
        {"sender refused", m + "553 who|503 a|503 b|503 c|", {refused}, 3, 6},
        {"354 after a refused sender", m + "553 no|250 a|503 b|354 go|", {refused}, 0, 6, Stopped, kPair, 2},
        {"530 to MAIL", m + "530 5.7.0 Authentication required.|",
         {Told(mailRefused + "530 5.7.0 Authentication required")}, 3, 6, Stopped},
        {"421 to MAIL, long, control bytes",
         m + "421-4.3.2 a|421 4.3.2 Shut\x01 down\x7f" + std::string(600, 'w') + "|",
         {Told(mailRefused + "421 4.3.2 Shut\\x01 down\\x7F" + std::string(228, 'w'))}, 3, 6, Stopped},
        {"RCPT reply without a code", m + "250 m||", {Told("Invalid RCPT command response", '!', kMsg)}, 4, 6, Stopped},
        {"one recipient refused; replies of several lines, greeting of a code alone below 400",
         "300-a|300|250-h|250 hello|250-r|250 r|250-m|250 m|550-5.1.1 a|550 5.1.1 bob|250-b|250 b|354-go|354 go|"
         "250-a|250 queued|", {bob, kSent}, 7, 7, Done, ""},
        {"every recipient refused, one in 100 lines", m + "250 m|" + lines("550", 100, 20) + "550 b|554 no|",
         allRefused, 5, 6},
        {"354 though every recipient was refused", m + "250 m|550 a|550 b|354 go|554 nothing|", allRefused, 5, 7},
        {"no recipient lines", m + "250 m|", {Told("No valid recipients found", '?', kMsg)}, 3, 3, Done, kPair, 3,
         "b\nann@a.test\n\n \n"},
        // Blank lines passed over; an address too long for its buffer is refused whole, not sent cut.
        {"recipient lines", m + "250 m|550 no|251 forward|354 go|250 ok|",
         {bob, "|? Invalid recipient: " + std::string(254, 'r'), kSent}, 7, 7, Done, "", 3,
         "x\nann@a.test\n\n  \t \nbob@b.test\n" + std::string(260, 'r') + "@z\r\ncy@c.test"},
        {"DATA refused, 400", hi + r4 + "400 no|", {Told("Can't send message", '?', "; error 400" + kMsg)}, 6, 6},
        {"two replies before 354", hi + r4 + "250 x|250 y|354 go|250 queued|", {kSent}, 7, 7, Done, ""},
        {"three replies before 354", hi + r4 + "250 x|250 y|250 z|354 go|", {badData}, 6, 6, Stopped},
        {"DATA reply without a code", hi + r4 + "go ahead|", {badData}, 6, 6, Stopped},
        {"final 299", go + "299 fine|", {kSent}, 7, 7, Done, ""},
        {"final 199", go + "199 hm|", {}, 7, 7},
        {"final 354", go + "354 again|", {}, 7, 7},
        {"final 452", go + "452 full|", {Told("Invalid message data", '?', "; error 452" + kMsg)}, 7, 7},
        {"final 554", go + "554-5.7.1 not|554 5.7.1 compliant|",
         {Told("Permanent failure", '?', "; error 554" + kMsg + ".\n")}, 7, 7, Done, "refused: " + kPair},
        {"final without a code", go + "OK|", {Told("Invalid message data response", '!', kMsg)}, 7, 7, Stopped},
    };
    for (const Row& r : rows) {
        for (bool pipelined : {false, true}) {
            if (!(r.modes & (pipelined ? 2 : 1))) continue;
            SCOPED_TRACE(r.name + std::string(pipelined ? ", pipelined" : ""));
            World w;
            WriteFile(w.dir / (kM + ".wrk"), r.envelope);
            EXPECT_EQ(w.run(r.script, pipelined), r.result);
            EXPECT_EQ(w.reporter.entries, r.reports);
            Strings all = {pipelined ? "EHLO a.test" : "HELO a.test", "RSET", "MAIL FROM:<ann@a.test>",
                           "RCPT TO:<bob@b.test>", "RCPT TO:<cy@c.test>", "DATA", "."};
            all.resize(pipelined ? r.groupSent : r.sent);
            EXPECT_EQ(ScriptStream::Commands(w.sent), all);
            EXPECT_EQ(w.files(), r.left);
        }
    }
    World token;  // a token goes only after the go-ahead to XOAUTH2's first step
    token.side.tokenCommand = "printf s3cret";
    EXPECT_EQ(token.run("220 ready|250-hello|250 AUTH XOAUTH2|504 5.7.4 not now|", true), Stopped);
    EXPECT_EQ(ScriptStream::Commands(token.sent), (Strings{"EHLO a.test", "AUTH XOAUTH2"}));
    World two;  // a stop ends the queue: no MAIL for the next pair
    two.Queue("a", kEnvelope, kText);
    EXPECT_EQ(two.run(m + "530 auth first|", false), Stopped);
    EXPECT_EQ(two.files(), kPair + " a.txt a.wrk");
}

// A pair that cannot be read stays in the queue, and none of its commands goes out.
TEST(SmtpSessionTest, UnreadablePairsStay) {
    const std::string longName(250, 'L');
    for (int fault = 0; fault < 4; ++fault) {  // a name too long; no text, a directory, a named pipe in its place
        SCOPED_TRACE(fault);
        World w;
        const std::string base = fault ? kM : longName, text = w.dir / (kM + ".txt");
        if (fault == 0) w.Queue(longName, kEnvelope, kText);
        std::remove((w.dir / (kM + (fault ? ".txt" : ".wrk"))).c_str());
        ASSERT_TRUE((fault != 2 || mkdir(text.c_str(), 0700) == 0) && (fault != 3 || mkfifo(text.c_str(), 0600) == 0));
        EXPECT_EQ(w.run(hi, false), Done);
        const std::string file = "Error accessing file " + base + (fault ? ".TXT" : ".WRK");
        EXPECT_EQ(w.reporter.entries, Strings{Told(file, '?', "; message " + base)});
        const std::string left[] = {kM + ".txt " + longName + ".txt " + longName + ".wrk", kM + ".wrk", kPair, kPair};
        EXPECT_EQ(w.files(), left[fault]);
    }
}

// The text on the wire, and the recipient that the log names: the last "To:" of the header.
TEST(SmtpSessionTest, TextOnTheWire) {
    const std::string h998(998, 'h'), h995(995, 'h'), p1500(1500, 'p');
    const Strings rows[] = {  // text, wire, recipient
        {".hdr: x\nTo: ann@x\n\n.\n.x\nx.\n..\n", "..hdr: x\r\nTo: ann@x\r\n\r\n..\r\n..x\r\nx.\r\n...\r\n", "ann@x"},
        {h998 + "\n\nTo: late@x\n", h998 + "\r\n\r\nTo: late@x\r\n", "???"},
        {"X: " + h995 + "\nTo: inside@x\n\nb\n", "X: " + h995 + "\r\nTo: inside@x\r\n\r\nb\r\n", "inside@x"},
        {"To: p@q\n\n." + p1500 + "\n", "To: p@q\r\n\r\n.." + p1500.substr(503) + "\r\n" + p1500.substr(997) + "\r\n",
         "p@q"},
        {"To: a@x\nCc: c@x\nTO: b@x\n\nTo: c@x\n", "To: a@x\r\nCc: c@x\r\nTO: b@x\r\n\r\nTo: c@x\r\n", "b@x"},
        {"", "", "???"},
    };
    for (const auto& r : rows) {
        World w;
        w.Queue(kM, kEnvelope, r[0]);
        ASSERT_EQ(w.run(go + "250 queued|", false), Done);
        EXPECT_EQ(w.sent.substr(w.sent.find("DATA\r\n") + 6), r[1] + ".\r\n");
        const std::string size = std::to_string(r[0].size());
        EXPECT_EQ(w.reporter.entries, Strings{"|* Sent " + kM + " to " + r[2] + "; " + size + "b, 0 CPS"});
    }
}

// The link fails after each reply, in a queue of two pairs (one from "d.e.wrk",
// whose base name is "d") and a text without envelope: a pair leaves the queue
// with its own final reply and not before; nothing is sent twice.
TEST(SmtpSessionTest, CutAtEachStep) {
    Strings replies = {"220 ready", "250 hello"};
    for (int i = 0; i < 2; ++i) replies.insert(replies.end(), {"250 r", "250 m", "250 a", "250 b", "354 go", "250 ok"});
    const std::size_t grouped[] = {0, 1, 6, 6, 6, 6, 6, 7, 12, 12, 12, 12, 12, 13, 13};  // commands sent, pipelined
    for (bool pipelined : {false, true}) {
        for (std::size_t k = 0; k <= replies.size(); ++k) {
            SCOPED_TRACE(std::to_string(k) + (pipelined ? " replies, pipelined" : " replies"));
            World w;
            WriteFile(w.dir / "d.e.wrk", kEnvelope), WriteFile(w.dir / "d.txt", kText),
                WriteFile(w.dir / "lonely.txt", "");
            std::string script;
            for (std::size_t i = 0; i < k; ++i) script += replies[i] + "|";
            EXPECT_EQ(w.run(script, pipelined), k == replies.size() ? Done : LinkFailed);
            const long sent = (k >= 8) + (k == replies.size());
            const std::string files = w.files();
            EXPECT_EQ(static_cast<long>(w.reporter.entries.size()), sent);
            EXPECT_EQ(std::count(files.begin(), files.end(), ' '), 4 - 2 * sent) << files;  // two names a pair
            EXPECT_EQ(ScriptStream::Commands(w.sent).size(), pipelined ? grouped[k] : std::min<std::size_t>(k, 13));
            const std::string first = k >= 2 ? "Sending message #1... \n" : "";
            EXPECT_EQ(w.console, first + (k >= 8 ? "Sending message #2... \n" : ""));
        }
    }
}

// A group larger than the window goes out in parts, replies read between them.
TEST(SmtpSessionTest, ALargeGroupGoesOutInParts) {
    World w;
    std::string envelope = "b.test\nann@a.test\n", script = hi + "250 r|250 m|";
    for (int i = 0; i < 150; ++i) envelope += "r" + std::to_string(i) + "@b.test\n", script += "250 ok|";
    w.Queue(kM, envelope, kText);
    ASSERT_EQ(w.run(script + "354 go|250 queued|", true), Done);
    ASSERT_GE(w.writes.size(), 3u);
    EXPECT_EQ(std::count(w.writes[1].begin(), w.writes[1].end(), '\n'), 64);  // after EHLO: RSET, MAIL, 62 RCPTs
    EXPECT_EQ(ScriptStream::Commands(w.sent).size(), 1 + 2 + 150 + 2u);
    EXPECT_EQ(w.files(), "");
}

// Set: renames behave as on a file system without RENAME_NOREPLACE.
bool noReplaceUnsupported = false;

}  // namespace
}  // namespace quorvexia::test

extern "C" int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned flags) noexcept {
    if (quorvexia::test::noReplaceUnsupported && (flags & RENAME_NOREPLACE)) return errno = EINVAL, -1;
    return static_cast<int>(syscall(SYS_renameat2, fromDir, from, toDir, to, flags));
}

namespace quorvexia::test {
namespace {

// A pair refused for good moves into "refused" as it was, for its owner only; a
// name taken there gets the next free suffix, with or without RENAME_NOREPLACE.
// Where the folder cannot be made, the pair stays queued.
TEST(SmtpSessionTest, PairsRefusedForGoodAreKept) {
    for (bool unsupported : {false, true}) {
        SCOPED_TRACE(unsupported ? "without RENAME_NOREPLACE" : "");
        noReplaceUnsupported = unsupported;
        World w;
        const std::string refused = w.dir / "refused", script = go + "550 no|";
        ASSERT_EQ(w.run(script, false), Done);
        EXPECT_EQ(ReadFile(refused + "/" + kM + ".wrk") + ReadFile(refused + "/" + kM + ".txt"), kEnvelope + kText);
        EXPECT_EQ(std::filesystem::status(refused).permissions(), std::filesystem::perms::owner_all);
        w.Queue(kM, kEnvelope, "second");
        WriteFile(refused + "/" + kM + "-1.wrk", "older"), WriteFile(refused + "/" + kM + "-2.txt", "older");
        ASSERT_EQ(w.run(script, false), Done);
        EXPECT_EQ(w.files(), "refused: " + kM + "-1.wrk " + kM + "-2.txt " + kM + "-3.txt " + kM + "-3.wrk " + kPair);
        EXPECT_EQ(ReadFile(refused + "/" + kM + "-3.txt") + ReadFile(refused + "/" + kM + "-2.txt"), "secondolder");
    }
    noReplaceUnsupported = false;
    World blocked;
    WriteFile(blocked.dir / "refused", "a file");
    blocked.run(go + "550 no|", false);
    EXPECT_EQ(blocked.reporter.entries, (Strings{Told("Permanent failure", '?', "; error 550" + kMsg + ".\n"),
                                                Told("Can't move message " + kM + " to refused", '?')}));
    EXPECT_EQ(blocked.files(), kPair + " refused");
}

// korv /send: the golden transcript (console, log, wire, exit status, queue),
// then the rows that differ from it in the frame around the session; "%"
// stands for the server's address.
TEST(SmtpSession, GoldenTranscriptAndWhatDiffers) {
    const std::string in = "Solving SMTP host '%'...\nConnecting to SMTP server...\nLogging in...\n";
    const std::string sending = "Sending message #1... \n", end = "Closing connection...\nConnection closed.\n";
    const std::string sent = "* HH:MM:SS  Sent m1 to bob@y; 34b, N CPS\n", lost = "Remote closed connection. (0)";
    const std::string closed = "+ HH:MM:SS  Mail session closed\n$ HH:MM:SS  To %, M:SS\n";
    const std::string wire = "HELO example.org\r\nRSET\r\nMAIL FROM:<ann@x>\r\nRCPT TO:<bob@y>\r\nDATA\r\n";
    const std::string body = "To: Bob <bob@y>\r\nSubject: hi\r\n\r\nbody\r\n.\r\nQUIT\r\n";
    const std::vector<SmtpStep> all = {Reply("220 hi"), Reply("250 hello"), Reply("250 reset"), Reply("250 sender"),
                                       Reply("250 rcpt ok"), Reply("354 go"), Data("250 queued")};
    const struct {
        const char* name;
        std::vector<std::vector<SmtpStep>> connections;
        std::string option, console, log, wire;
        int status = 0;
        std::string server = "";
    } rows[] = {
        {"golden", {all}, "", in + sending + end, sent + closed, wire + body},
        {"debug", {all}, "/debug",
         in + "220 hi\nHELO example.org\n250 hello\nSending message #1... \n"
              "RSET\n250 reset\nMAIL FROM:<ann@x>\n250 sender\n"
              "RCPT TO:<bob@y>\n250 rcpt ok\nDATA\n354 go\nTo: Bob <bob@y>\nSubject: hi\n\nbody\n.\n250 queued\n"
              "Closing connection...\nQUIT\n221 bye\nConnection closed.\n", sent + closed, wire + body},
        {"HELO refused", {{all[0], Reply("501 bad domain")}}, "", in + "Invalid local domain name.\n" + end,
         "! HH:MM:SS  Invalid local domain name; error 501\n" + closed, "HELO example.org\r\nQUIT\r\n", 1},
        // A session refused whole is tried again, and the one that works ends the tries.
        {"tried again", {{Reply("421 busy")}, all}, "/tries:3",
         in + "SMTP server is not ready.\n" + end + "Retrying...\n" + in + sending + end,
         "! HH:MM:SS  SMTP server is not ready; error 421\n" + closed + "+ HH:MM:SS  Connecting to SMTP server\n" +
             sent + closed,
         "QUIT\r\n" + wire + body},
        {"cut after DATA", {{all[0], all[1], all[2], all[3], all[4], Cut()}}, "", in + sending + lost + "\n",
         "! HH:MM:SS  " + lost + "\n", wire, 1},
        {"no such host", {}, "", "Solving SMTP host '%'...\nCould not resolve SMTP host.\n",
         "! HH:MM:SS  Could not resolve host\n", "", 1, "no-such-host.invalid"},
        {"nobody listening", {}, "",
         "Solving SMTP host '%'...\nConnecting to SMTP server...\nUnable to open connection.\n",
         "! HH:MM:SS  Unable to open connection\n", "", 1, "127.0.0.1:" + std::to_string(FreeLoopbackPort())},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        KorvSandbox box;
        QueueMessage(box, "m1", "example.org\nann@x\nbob@y\n", "To: Bob <bob@y>\nSubject: hi\n\nbody\n");
        ScriptedServer smtp(SmtpScript(r.connections), static_cast<int>(r.connections.size()));
        const std::string server = r.server.empty() ? smtp.address() : r.server;
        box.config.smtpServer.assign(server), box.config.domainName.assign("example.org");
        ProgramResult result = box.run(r.option.empty() ? Strings{"/send"} : Strings{"/send", r.option});
        smtp.join();
        auto at = [&](const std::string& text) { return std::regex_replace(text, std::regex("%"), server); };
        EXPECT_EQ(result.out, Banner() + at(r.console));
        EXPECT_EQ(MaskSmtpLog(box.log()),
                  "\n----------  DAY DD MON YY, Quorvexia 2.12; SEND\n"
                  "+ HH:MM:SS  Connecting to SMTP server\n" + at(r.log));
        EXPECT_EQ(smtp.received(), r.wire);
        EXPECT_EQ(ListDir(box.outbound()), r.status ? "m1.txt m1.wrk" : "");
        EXPECT_EQ(result.status, r.status);
        EXPECT_EQ(result.err, "");
    }
}

// A server that goes away while the text is on its way: the write fails, the
// open progress line is ended, no QUIT, the pair stays.
TEST(SmtpSession, CutInTheBody) {
    KorvSandbox box;
    std::string big = "To: bob@y\n\n";
    while (big.size() < 8 * 1024 * 1024) big += std::string(70, 'b') + "\n";
    QueueMessage(box, "m1", "example.org\nann@x\nbob@y\n", big);
    ScriptedServer smtp(SmtpScript({{Reply("220 a"), Reply("250 b"), Reply("250 c"), Reply("250 d"), Reply("250 e"),
                                     Reply("354 f"), Cut()}}));
    box.config.smtpServer.assign(smtp.address());
    ProgramResult r = box.run({"/send"});
    smtp.join();
    EXPECT_TRUE(std::regex_search(r.out, std::regex(R"(#1\.\.\. \nRemote closed connection\. \((32|104)\)\n$)")))
        << r.out;
    EXPECT_TRUE(std::regex_search(box.log(),
                                  std::regex(R"(\n! ..:..:..  Remote closed connection\. \((32|104)\)\n$)")));
    EXPECT_EQ(smtp.received().find("QUIT"), std::string::npos);
    EXPECT_EQ(ListDir(box.outbound()), "m1.txt m1.wrk");
    EXPECT_EQ(r.status, 1);
}

// korv /send against a real SMTP server on loopback: each message of a queue
// that holds one of 50 MiB arrives byte for byte with its envelope.
TEST(SmtpInterop, QueueWithA50MiBMessageArrivesWhole) {
    KorvSandbox box;
    TempDir received;
    SmtpServerProcess sink(received.path(), 240);
    ASSERT_TRUE(sink.ready());
    std::string big = "To: big@y.example\nSubject: fifty\n\n";
    for (unsigned i = 0; big.size() < 50u * 1024 * 1024; ++i)
        big += (i % 7 ? "" : ".") + std::string(20 + i % 150, static_cast<char>('a' + i % 26)) + "\n";
    std::map<std::string, Strings> queue = {  // sender: recipients, text
        {"a@x.example", {"b@y.example\n", "To: b@y.example\nSubject: one\n\nHello.\n.\n..\n.end\n"}},
        {"c@x.example", {"d@y.example\ne@y.example\n", "Subject: two\n\n" + std::string(998, 'w') + "\n"}},
        {"f@x.example", {"g@y.example\n", ""}},
        {"h@x.example", {"big@y.example\n", big}}};
    for (const auto& [sender, message] : queue)
        QueueMessage(box, sender.substr(0, 1), "client.example\n" + sender + "\n\n" + message[0], message[1]);
    box.config.smtpServer.assign(sink.address()), box.config.domainName.assign("client.example");
    ProgramResult result = box.run({"/send"}, "", 240);
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(ListDir(box.outbound()), "");
    for (int n = 1; n <= 4; ++n) {
        const std::string env = ReadFile(received / (std::to_string(n) + ".env")),
                          sender = env.substr(0, env.find('\n'));
        ASSERT_TRUE(queue.count(sender)) << sender;
        EXPECT_EQ(env, sender + "\n" + queue[sender][0]);
        std::string wire;  // each line with CR LF, dots as written
        for (char c : queue[sender][1]) c == '\n' ? wire += "\r\n" : wire += c;
        EXPECT_TRUE(ReadFile(received / (std::to_string(n) + ".data")) == wire) << sender;
        queue.erase(sender);
    }
    const std::string sentBig = "Sent h to big@y.example; " + std::to_string(big.size()) + "b, ";
    EXPECT_NE(MaskSmtpLog(box.log()).find(sentBig), std::string::npos);
}

}  // namespace
}  // namespace quorvexia::test
