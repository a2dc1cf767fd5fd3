// korv /send against a scripted SMTP server on loopback: every outcome of a
// message, every stop of the dialogue, every class of final reply and a cut
// at each step, compared byte for byte on the wire, on the console and in
// the activity log, with the exit status and the files left in the queue.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "platform/dir_search.h"
#include "smtp_test_support.h"

namespace quorvexia::test {
namespace {

const std::string kEnvelope = "example.org\nann@x\nbob@y\n";
const std::string kText = "To: Bob <bob@y>\nSubject: hi\n\nbody\n";
const std::string kWireText = "To: Bob <bob@y>\r\nSubject: hi\r\n\r\nbody\r\n.\r\n";
const std::string kHelo = "HELO example.org\r\n";
const std::string kTransaction = "RSET\r\nMAIL FROM:<ann@x>\r\nRCPT TO:<bob@y>\r\nDATA\r\n";
const std::string kProgressEnd = "\n";  // korv writes to a pipe here: no figures, the line just ends

// The dialogue of an accepted message, step by step.
std::vector<SmtpStep> Accepting() {
    return {Reply("220 hi"),      Reply("250 hello"), Reply("250 reset"),     Reply("250 sender"),
            Reply("250 rcpt ok"), Reply("354 go"),    Data("250 queued")};
}
std::vector<SmtpStep> FirstSteps(std::size_t n) {
    auto all = Accepting();
    all.resize(n);
    return all;
}
std::vector<SmtpStep> WithGreeting(std::string greeting) {
    auto all = Accepting();
    all[0] = Reply(std::move(greeting));
    return all;
}
std::vector<SmtpStep> Then(std::vector<SmtpStep> steps, std::vector<SmtpStep> more) {
    steps.insert(steps.end(), more.begin(), more.end());
    return steps;
}

struct SmtpRun {
    KorvSandbox box;
    ProgramResult result;
    std::string wire;
    std::string head;     // console up to "Logging in..."
    std::string logHead;  // log up to the connect event
    std::string server;

    void go(std::vector<std::vector<SmtpStep>> script, std::vector<std::string> args = {"/send"},
            std::vector<std::string>* texts = nullptr) {
        int connections = static_cast<int>(script.size());
        ScriptedServer smtp(SmtpScript(std::move(script), texts), connections);
        server = smtp.address();
        box.config.smtpServer.assign(server);
        box.config.domainName.assign("example.org");
        result = box.run(args);
        smtp.join();
        wire = smtp.received();
        head = Banner() + "Solving SMTP host '" + server + "'...\nConnecting to SMTP server...\nLogging in...\n";
        logHead = "\n----------  DAY DD MON YY, Quorvexia 2.12; SEND\n+ HH:MM:SS  Connecting to SMTP server\n";
    }
    std::string closed() const {
        return "+ HH:MM:SS  Mail session closed\n$ HH:MM:SS  To " + server + ", M:SS\n";
    }
    std::string log() const { return MaskSmtpLog(box.log()); }
    std::string files() const { return ListDir(box.outbound()); }
};

struct Case {
    const char* name;
    std::vector<SmtpStep> steps;
    std::string wire;     // everything after HELO (HELO itself is checked by the cases that cut before it)
    std::string console;  // after "Logging in...\n"
    std::string events;   // log lines after the connect event
    int status;
    bool pairLeft;
    bool refused = false;  // the pair moved into out/refused
};

const char* kClosing = "Closing connection...\nConnection closed.\n";

std::vector<Case> SessionCases() {
    const std::string msg = "Sending message #1... ";
    const std::string size = std::to_string(kText.size());
    const std::string sent = "* HH:MM:SS  Sent m1 to bob@y; " + size + "b, N CPS\n";
    return {
        {"accepted", Accepting(), kHelo + kTransaction + kWireText + "QUIT\r\n",
         msg + kProgressEnd + kClosing, sent, 0, false},
        {"final 299", Then(FirstSteps(6), {Data("299 fine")}), kHelo + kTransaction + kWireText + "QUIT\r\n",
         msg + kProgressEnd + kClosing, sent, 0, false},
        {"final 550", Then(FirstSteps(6), {Data("550 no")}), kHelo + kTransaction + kWireText + "QUIT\r\n",
         msg + kProgressEnd + "Permanent failure.\n" + kClosing,
         "? HH:MM:SS  Permanent failure; error 550; message m1.\n\n", 0, false, true},
        {"final 451", Then(FirstSteps(6), {Data("451 later")}), kHelo + kTransaction + kWireText + "QUIT\r\n",
         msg + kProgressEnd + "Invalid message data.\n" + kClosing,
         "? HH:MM:SS  Invalid message data; error 451; message m1\n", 0, true},
        {"final 354", Then(FirstSteps(6), {Data("354 again")}), kHelo + kTransaction + kWireText + "QUIT\r\n",
         msg + kProgressEnd + kClosing, "", 0, true},
        {"final 199", Then(FirstSteps(6), {Data("199 hm")}), kHelo + kTransaction + kWireText + "QUIT\r\n",
         msg + kProgressEnd + kClosing, "", 0, true},
        {"S6 final without code", Then(FirstSteps(6), {Data("OK")}),
         kHelo + kTransaction + kWireText + "QUIT\r\n",
         msg + kProgressEnd + "Invalid message data response.\n" + kClosing,
         "! HH:MM:SS  Invalid message data response; message m1\n", 1, true},
        {"E4 sender refused", Then(FirstSteps(3), {Reply("553 who")}),
         kHelo + "RSET\r\nMAIL FROM:<ann@x>\r\nQUIT\r\n", msg + "\nInvalid mail sender.\n" + kClosing,
         "? HH:MM:SS  Invalid mail sender; error 553; message m1\n", 0, true},
        {"E6 recipient refused", Then(FirstSteps(4), {Reply("550 unknown")}),
         kHelo + "RSET\r\nMAIL FROM:<ann@x>\r\nRCPT TO:<bob@y>\r\nQUIT\r\n",
         msg + "\nAll recipients are invalid.\n" + kClosing,
         "? HH:MM:SS  Invalid recipient: bob@y\n? HH:MM:SS  All recipients are invalid; message m1\n", 0, true},
        {"E7 DATA refused", Then(FirstSteps(5), {Reply("554 no data")}), kHelo + kTransaction + "QUIT\r\n",
         msg + "\nCan't send message.\n" + kClosing, "? HH:MM:SS  Can't send message; error 554; message m1\n",
         0, true},
        {"DATA: two lines before 354", Then(FirstSteps(5), {Reply("250 a\r\n250 b\r\n354 go"), Data("250 ok")}),
         kHelo + kTransaction + kWireText + "QUIT\r\n", msg + kProgressEnd + kClosing, sent, 0, false},
        {"S5 three lines before 354", Then(FirstSteps(5), {Reply("250 a\r\n250 b\r\n250 c\r\n354 go")}),
         kHelo + kTransaction + "QUIT\r\n", msg + "\nInvalid DATA command response.\n" + kClosing,
         "! HH:MM:SS  Invalid DATA command response; message m1\n", 1, true},
        {"S5 DATA reply without code", Then(FirstSteps(5), {Reply("go ahead")}), kHelo + kTransaction + "QUIT\r\n",
         msg + "\nInvalid DATA command response.\n" + kClosing,
         "! HH:MM:SS  Invalid DATA command response; message m1\n", 1, true},
        {"S1 RSET reply without code", Then(FirstSteps(2), {Reply("reset")}), kHelo + "RSET\r\nQUIT\r\n",
         msg + "\nInvalid RSET command response.\n" + kClosing, "! HH:MM:SS  Invalid RSET command response\n", 1,
         true},
        {"S2 RSET refused", Then(FirstSteps(2), {Reply("500 what")}), kHelo + "RSET\r\nQUIT\r\n",
         msg + "\nCan't reset; error 500.\n" + kClosing, "! HH:MM:SS  Can't reset; error 500\n", 1, true},
        {"S3 MAIL reply without code", Then(FirstSteps(3), {Reply(" 250")}),
         kHelo + "RSET\r\nMAIL FROM:<ann@x>\r\nQUIT\r\n", msg + "\nInvalid MAIL FROM command response.\n" + kClosing,
         "! HH:MM:SS  Invalid MAIL FROM command response; message m1\n", 1, true},
        {"S4 RCPT reply without code", Then(FirstSteps(4), {Reply("")}),
         kHelo + "RSET\r\nMAIL FROM:<ann@x>\r\nRCPT TO:<bob@y>\r\nQUIT\r\n",
         msg + "\nInvalid RCPT command response.\n" + kClosing,
         "! HH:MM:SS  Invalid RCPT command response; message m1\n", 1, true},
        {"greeting without code", {Reply("hello")}, "QUIT\r\n", "Invalid SMTP remote greeting.\n" + std::string(kClosing),
         "! HH:MM:SS  Invalid SMTP remote greeting\n", 1, true},
        {"greeting 421", {Reply("421 busy")}, "QUIT\r\n", "SMTP server is not ready.\n" + std::string(kClosing),
         "! HH:MM:SS  SMTP server is not ready; error 421\n", 1, true},
        {"greeting 300", WithGreeting("300 odd"), kHelo + kTransaction + kWireText + "QUIT\r\n",
         msg + kProgressEnd + kClosing, sent, 0, false},
        {"HELO reply without code", {Reply("220 hi"), Reply("hello")}, kHelo + "QUIT\r\n",
         "Invalid HELO command response.\n" + std::string(kClosing), "! HH:MM:SS  Invalid HELO command response\n",
         1, true},
        {"HELO refused", {Reply("220 hi"), Reply("501 bad domain")}, kHelo + "QUIT\r\n",
         "Invalid local domain name.\n" + std::string(kClosing),
         "! HH:MM:SS  Invalid local domain name; error 501\n", 1, true},
    };
}

TEST(SmtpSession, EveryReplyPath) {
    for (auto c : SessionCases()) {
        SCOPED_TRACE(c.name);
        SmtpRun run;
        QueueMessage(run.box, "m1", kEnvelope, kText);
        run.go({c.steps});
        EXPECT_EQ(run.wire, c.wire);
        EXPECT_EQ(run.result.out, run.head + c.console);
        bool closes = c.console.ends_with(kClosing);
        EXPECT_EQ(run.log(), run.logHead + c.events + (closes ? run.closed() : ""));
        EXPECT_EQ(run.result.status, c.status);
        EXPECT_EQ(run.files(), c.pairLeft ? "m1.txt m1.wrk" : c.refused ? "refused" : "");
        if (c.refused) {
            EXPECT_EQ(ListDir(run.box.outbound() + "/refused"), "m1.txt m1.wrk");
        }
        EXPECT_EQ(run.result.err, "");
    }
}

TEST(SmtpSession, GreetingOfTheCodeAlone) {
    SmtpRun run;
    QueueMessage(run.box, "m1", kEnvelope, kText);
    run.go({WithGreeting("220")});
    EXPECT_EQ(run.wire, kHelo + kTransaction + kWireText + "QUIT\r\n");
    EXPECT_EQ(run.result.status, 0);
    EXPECT_EQ(run.files(), "");
}

// The link fails at each step: no QUIT, the pair stays, exit status 1.
TEST(SmtpSession, CutAtEachStep) {
    const std::string msg = "Sending message #1... ";
    struct CutCase {
        const char* name;
        std::vector<SmtpStep> steps;
        std::string wire;
        std::string console;
    } cases[] = {
        {"greeting", {Cut()}, "", ""},
        {"HELO", Then(FirstSteps(1), {Cut()}), kHelo, ""},
        {"RSET", Then(FirstSteps(2), {Cut()}), kHelo + "RSET\r\n", msg + "\n"},
        {"MAIL", Then(FirstSteps(3), {Cut()}), kHelo + "RSET\r\nMAIL FROM:<ann@x>\r\n", msg + "\n"},
        {"RCPT", Then(FirstSteps(4), {Cut()}), kHelo + "RSET\r\nMAIL FROM:<ann@x>\r\nRCPT TO:<bob@y>\r\n",
         msg + "\n"},
        {"DATA", Then(FirstSteps(5), {Cut()}), kHelo + kTransaction, msg + "\n"},
        {"final reply", Then(FirstSteps(6), {Cut(true)}), kHelo + kTransaction + kWireText, msg + kProgressEnd},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SmtpRun run;
        QueueMessage(run.box, "m1", kEnvelope, kText);
        run.go({c.steps});
        EXPECT_EQ(run.wire, c.wire);
        EXPECT_EQ(run.result.out, run.head + c.console + "Remote closed connection. (0)\n");
        EXPECT_EQ(run.log(), run.logHead + "! HH:MM:SS  Remote closed connection. (0)\n");
        EXPECT_EQ(run.result.status, 1);
        EXPECT_EQ(run.files(), "m1.txt m1.wrk");
    }
}

// A server that goes away while the text is on its way: the writes fail,
// the open progress line is ended, no QUIT, the pair stays.
TEST(SmtpSession, CutInTheBody) {
    SmtpRun run;
    std::string big = "To: bob@y\n\n";
    while (big.size() < 8 * 1024 * 1024) big += std::string(70, 'b') + "\n";
    QueueMessage(run.box, "m1", kEnvelope, big);
    run.go({Then(FirstSteps(5), {Reply("354 go"), Cut()})});
    // The server closes at once, so the client's first text line is the one it reads before the cut.
    EXPECT_EQ(run.wire.substr(0, (kHelo + kTransaction).size() + 11), kHelo + kTransaction + "To: bob@y\r\n");
    EXPECT_LT(run.wire.size(), big.size());
    EXPECT_EQ(run.wire.find("QUIT"), std::string::npos);
    EXPECT_TRUE(std::regex_search(run.result.out, std::regex(R"(Sending message #1\.\.\. \nRemote closed connection\. \((32|104)\)\n$)")))
        << run.result.out;
    EXPECT_TRUE(std::regex_search(run.log(), std::regex(R"(\n! HH:MM:SS  Remote closed connection\. \((32|104)\)\n$)")));
    EXPECT_EQ(run.result.status, 1);
    EXPECT_EQ(run.files(), "m1.txt m1.wrk");
}

// Outcomes decided before any command of the message is sent.
TEST(SmtpSession, MessagesRefusedBeforeAnyCommand) {
    const std::string longName(250, 'L');
    struct LocalCase {
        const char* name;
        std::string base, envelope, text;
        bool noText = false, textIsDir = false;
        std::string console, events;
        std::string left;
        bool textIsPipe = false;
    } cases[] = {
        {"E1 name too long", longName, kEnvelope, kText, false, false,
         "Error accessing file " + longName + ".WRK.\n",
         "? HH:MM:SS  Error accessing file " + longName + ".WRK; message " + longName + "\n",
         longName + ".txt " + longName + ".wrk"},
        {"E2 envelope of one line", "m1", "example.org\n", kText, false, false, "Invalid mail sender.\n",
         "? HH:MM:SS  Invalid mail sender; message m1\n", "m1.txt m1.wrk"},
        {"E2 blank sender", "m1", "example.org\n \t\nbob@y\n", kText, false, false, "Invalid mail sender.\n",
         "? HH:MM:SS  Invalid mail sender; message m1\n", "m1.txt m1.wrk"},
        {"E2 sender longer than its buffer", "m1", "x\n" + std::string(300, 's') + "\nbob@y\n", kText, false,
         false, "Invalid mail sender.\n", "? HH:MM:SS  Invalid mail sender; message m1\n", "m1.txt m1.wrk"},
        {"E3 text missing", "m1", kEnvelope, "", true, false, "Error accessing file m1.TXT.\n",
         "? HH:MM:SS  Error accessing file m1.TXT; message m1\n", "m1.wrk"},
        {"E3 text is a directory", "m1", kEnvelope, "", true, true, "Error accessing file m1.TXT.\n",
         "? HH:MM:SS  Error accessing file m1.TXT; message m1\n", "m1.txt m1.wrk"},
        // Opening a pipe for reading would wait for a writer that never comes.
        {"E3 text is a named pipe", "m1", kEnvelope, "", true, false, "Error accessing file m1.TXT.\n",
         "? HH:MM:SS  Error accessing file m1.TXT; message m1\n", "m1.txt m1.wrk", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SmtpRun run;
        if (c.noText) {
            WriteFile(run.box.outbound() + "/" + c.base + ".wrk", c.envelope);
            if (c.textIsDir) MakeDir(run.box.outbound() + "/" + c.base + ".txt");
            if (c.textIsPipe) {
                ASSERT_EQ(mkfifo((run.box.outbound() + "/" + c.base + ".txt").c_str(), 0600), 0);
            }
        } else {
            QueueMessage(run.box, c.base, c.envelope, c.text);
        }
        run.go({{Reply("220 hi"), Reply("250 hello")}});
        EXPECT_EQ(run.wire, kHelo + "QUIT\r\n");
        EXPECT_EQ(run.result.out, run.head + "Sending message #1... \n" + c.console + kClosing);
        EXPECT_EQ(run.log(), run.logHead + c.events + run.closed());
        EXPECT_EQ(run.result.status, 0);
        EXPECT_EQ(run.files(), c.left);
    }
}

TEST(SmtpSession, RecipientLines) {
    SmtpRun run;
    // Blank lines skipped, a refused recipient among accepted ones, an
    // address too long for its buffer refused whole rather than sent in pieces.
    std::string envelope = "first line\n ann@x\n\n  \t \nbob@y\n" + std::string(260, 'r') + "@z\r\nbad@y\ncy@z";
    QueueMessage(run.box, "m1", envelope, kText);
    run.go({Then(FirstSteps(4), {Reply("250 ok"), Reply("550 no such user"), Reply("251 forward"),
                                 Reply("354 go"), Data("250 ok")})});
    EXPECT_EQ(run.wire, kHelo + "RSET\r\nMAIL FROM:< ann@x>\r\nRCPT TO:<bob@y>\r\nRCPT TO:<bad@y>\r\n"
                                "RCPT TO:<cy@z>\r\nDATA\r\n" + kWireText + "QUIT\r\n");
    EXPECT_EQ(run.log(), run.logHead + "? HH:MM:SS  Invalid recipient: " + std::string(254, 'r') +
                             "\n? HH:MM:SS  Invalid recipient: bad@y\n* HH:MM:SS  Sent m1 to bob@y; " +
                             std::to_string(kText.size()) + "b, N CPS\n" + run.closed());
    EXPECT_EQ(run.files(), "");
}

TEST(SmtpSession, NoRecipientLines) {
    SmtpRun run;
    QueueMessage(run.box, "m1", "d\nann@x\n\n \n", kText);
    run.go({Then(FirstSteps(4), {})});
    EXPECT_EQ(run.wire, kHelo + "RSET\r\nMAIL FROM:<ann@x>\r\nQUIT\r\n");
    EXPECT_EQ(run.result.out, run.head + "Sending message #1... \nNo valid recipients found.\n" + kClosing);
    EXPECT_EQ(run.log(), run.logHead + "? HH:MM:SS  No valid recipients found; message m1\n" + run.closed());
    EXPECT_EQ(run.files(), "m1.txt m1.wrk");
}

// What the text looks like on the wire.
TEST(SmtpSession, TextBytesOnTheWire) {
    struct TextCase {
        const char* name;
        std::string text, wire, to;
    } cases[] = {
        {"dots", ".hdr: x\nTo: ann@x\n\n.\n.x\nx.\n..\n", "..hdr: x\r\nTo: ann@x\r\n\r\n..\r\n..x\r\nx.\r\n...\r\n",
         "ann@x"},
        {"controls and high bytes", "To: \x01" "b\x7f@y\nS: \xe4\xf6\t\x1b[m\n\nline\x0c\n\x0c\nend",
         "To: b\x7f@y\r\nS: \xe4\xf6\t[m\r\n\r\nline\r\n\r\nend\r\n", "b\x7f@y"},
        {"lone CR", "To: a@b\rjunk\nSubject: s\rmore\n\nbo\rdy\n", "To: a@b\r\nSubject: s\r\n\r\nbo\r\n", "a@b"},
        {"CR LF file", "to: C <c@d>\r\n\r\nbody\r\n", "to: C <c@d>\r\n\r\nbody\r\n", "c@d"},
        {"998 then empty", std::string(998, 'h') + "\n\nTo: late@x\n", std::string(998, 'h') + "\r\n\r\nTo: late@x\r\n",
         "???"},
        {"998 in the header", "X: " + std::string(995, 'h') + "\nTo: inside@x\n\nb\n",
         "X: " + std::string(995, 'h') + "\r\nTo: inside@x\r\n\r\nb\r\n", "inside@x"},
        {"long line in pieces", "To: p@q\n\n." + std::string(1500, 'p') + "\n",
         "To: p@q\r\n\r\n.." + std::string(997, 'p') + "\r\n" + std::string(503, 'p') + "\r\n", "p@q"},
        {"last To wins, Cc ignored", "To: first@x\nCc: cc@x\nTO: second@x\n\nTo: body@x\n",
         "To: first@x\r\nCc: cc@x\r\nTO: second@x\r\n\r\nTo: body@x\r\n", "second@x"},
        {"empty text", "", "", "???"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SmtpRun run;
        QueueMessage(run.box, "m1", kEnvelope, c.text);
        std::vector<std::string> texts;
        run.go({Accepting()}, {"/send"}, &texts);
        EXPECT_EQ(run.wire, kHelo + kTransaction + c.wire + ".\r\nQUIT\r\n");
        ASSERT_EQ(texts.size(), 1u);
        EXPECT_EQ(texts[0], c.wire);
        EXPECT_NE(run.log().find("Sent m1 to " + c.to + "; " + std::to_string(c.text.size()) + "b"),
                  std::string::npos)
            << run.log();
        EXPECT_EQ(run.files(), "");
    }
}

TEST(SmtpSession, EmptyTextEndsItsLineWithoutFigures) {
    SmtpRun run;
    QueueMessage(run.box, "m1", kEnvelope, "");
    run.go({Accepting()});
    EXPECT_EQ(run.result.out, run.head + "Sending message #1... \n" + kClosing);
}

TEST(SmtpSession, DebugEchoesTheDialogue) {
    SmtpRun run;
    QueueMessage(run.box, "m1", kEnvelope, kText);
    run.go({Accepting()}, {"/send", "/debug"});
    EXPECT_EQ(run.result.out, run.head +
                                  "220 hi\nHELO example.org\n250 hello\nSending message #1... \n"
                                  "RSET\n250 reset\nMAIL FROM:<ann@x>\n250 sender\nRCPT TO:<bob@y>\n250 rcpt ok\n"
                                  "DATA\n354 go\nTo: Bob <bob@y>\nSubject: hi\n\nbody\n.\n250 queued\n"
                                  "Closing connection...\nQUIT\n221 bye\nConnection closed.\n");
    EXPECT_EQ(run.result.status, 0);
}

TEST(SmtpSession, SeveralMessagesInDirectoryOrder) {
    SmtpRun run;
    QueueMessage(run.box, "a", kEnvelope, kText);
    QueueMessage(run.box, "b", "d\nann@x\n", kText);  // E5 after MAIL
    QueueMessage(run.box, "c", kEnvelope, kText);
    WriteFile(run.box.outbound() + "/lonely.txt", kText);  // no envelope: never sent, never deleted
    WriteFile(run.box.outbound() + "/d.e.wrk", kEnvelope);  // base name d: its text is d.txt
    WriteFile(run.box.outbound() + "/d.txt", kText);
    std::vector<std::string> order;
    {
        platform::DirSearch search(run.box.outbound(), "*.wrk");
        std::string name;
        while (search.next(name)) order.push_back(name);
    }
    ASSERT_EQ(order.size(), 4u);
    std::vector<SmtpStep> steps = {Reply("220 hi"), Reply("250 hello")};
    std::string wire = kHelo, console, events;
    unsigned n = 0;
    for (const auto& name : order) {
        std::string base = name.substr(0, name.find('.'));
        console += "Sending message #" + std::to_string(++n) + "... ";
        if (base == "b") {
            steps = Then(steps, {Reply("250 r"), Reply("250 m")});
            wire += "RSET\r\nMAIL FROM:<ann@x>\r\n";
            console += "\nNo valid recipients found.\n";
            events += "? HH:MM:SS  No valid recipients found; message b\n";
        } else {
            steps = Then(steps, {Reply("250 r"), Reply("250 m"), Reply("250 t"), Reply("354 go"), Data("250 ok")});
            wire += kTransaction + kWireText;
            console += kProgressEnd;
            events += "* HH:MM:SS  Sent " + base + " to bob@y; " + std::to_string(kText.size()) + "b, N CPS\n";
        }
    }
    run.go({steps});
    EXPECT_EQ(run.wire, wire + "QUIT\r\n");
    EXPECT_EQ(run.result.out, run.head + console + kClosing);
    EXPECT_EQ(run.log(), run.logHead + events + run.closed());
    EXPECT_EQ(run.files(), "b.txt b.wrk lonely.txt");
}

TEST(SmtpSession, HostNotResolvedAndConnectionRefused) {
    {
        KorvSandbox box;
        box.config.smtpServer.assign("no-such-host.invalid");
        QueueMessage(box, "m1", kEnvelope, kText);
        auto r = box.run({"/send"});
        EXPECT_EQ(r.out, Banner() + "Solving SMTP host 'no-such-host.invalid'...\nCould not resolve SMTP host.\n");
        EXPECT_EQ(MaskSmtpLog(box.log()), "\n----------  DAY DD MON YY, Quorvexia 2.12; SEND\n"
                                          "+ HH:MM:SS  Connecting to SMTP server\n! HH:MM:SS  Could not resolve host\n");
        EXPECT_EQ(r.status, 1);
    }
    {
        KorvSandbox box;
        unsigned short port;
        { ScriptedServer closed([](ServerConnection&, int) {}, 0); port = closed.port(); }
        box.config.smtpServer.assign("127.0.0.1:" + std::to_string(port));
        QueueMessage(box, "m1", kEnvelope, kText);
        auto r = box.run({"/send"});
        EXPECT_EQ(r.out, Banner() + "Solving SMTP host '127.0.0.1:" + std::to_string(port) +
                             "'...\nConnecting to SMTP server...\nUnable to open connection.\n");
        EXPECT_NE(box.log().find("Unable to open connection\n"), std::string::npos);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(ListDir(box.outbound()), "m1.txt m1.wrk");
    }
}

// Replies of several lines, each read whole: a refused recipient among
// accepted ones does not put the client a reply behind, and the next message
// is judged by its own replies.
TEST(SmtpSession, MultiLineRepliesAreReadWhole) {
    SmtpRun run;
    const std::string envelope = "example.org\nann@x\nbob@y\ncy@z\n";
    QueueMessage(run.box, "a", envelope, kText);
    QueueMessage(run.box, "b", envelope, kText);
    std::vector<std::string> order;
    {
        platform::DirSearch search(run.box.outbound(), "*.wrk");
        std::string name;
        while (search.next(name)) order.push_back(name.substr(0, 1));
    }
    ASSERT_EQ(order.size(), 2u);
    std::vector<SmtpStep> steps = {Reply("220-hi\r\n220-there\r\n220 ready"), Reply("250-hello\r\n250 there")};
    std::string wire = kHelo, events;
    for (const auto& base : order) {
        steps = Then(steps, {Reply("250-r\r\n250 r"), Reply("250-m\r\n250 m"),
                             Reply("550-5.1.1 a\r\n550-5.1.1 b\r\n550-5.1.1 c\r\n550 5.1.1 unknown"),
                             Reply("250-ok\r\n250 ok"), Reply("354-go\r\n354 go"), Data("250-a\r\n250-b\r\n250 queued")});
        wire += "RSET\r\nMAIL FROM:<ann@x>\r\nRCPT TO:<bob@y>\r\nRCPT TO:<cy@z>\r\nDATA\r\n" + kWireText;
        events += "? HH:MM:SS  Invalid recipient: bob@y\n* HH:MM:SS  Sent " + base + " to bob@y; " +
                  std::to_string(kText.size()) + "b, N CPS\n";
    }
    steps.push_back(Reply("221-bye\r\n221 bye"));  // to QUIT
    run.go({steps});
    EXPECT_EQ(run.wire, wire + "QUIT\r\n");
    EXPECT_EQ(run.log(), run.logHead + events + run.closed());
    EXPECT_EQ(run.result.status, 0);
    EXPECT_EQ(run.files(), "");
}

// A reply past 100 lines or 64 KiB has no code: the step's "Invalid ... response".
TEST(SmtpSession, RepliesBeyondTheirBounds) {
    auto lines = [](const char* code, std::size_t n, std::size_t width) {
        std::string text;
        for (std::size_t i = 1; i < n; ++i) text += std::string(code) + "-" + std::string(width, 'a') + "\r\n";
        return text + code + " " + std::string(width, 'a');
    };
    struct BoundCase {
        const char* name;
        std::vector<SmtpStep> steps;
        std::string wire, console, events;
    } cases[] = {
        {"RSET reply of 101 lines", Then(FirstSteps(2), {Reply(lines("250", 101, 20))}), kHelo + "RSET\r\nQUIT\r\n",
         "Invalid RSET command response.\n", "! HH:MM:SS  Invalid RSET command response\n"},
        {"MAIL reply of 65 KiB", Then(FirstSteps(3), {Reply(lines("250", 65, 1018))}),
         kHelo + "RSET\r\nMAIL FROM:<ann@x>\r\nQUIT\r\n", "Invalid MAIL FROM command response.\n",
         "! HH:MM:SS  Invalid MAIL FROM command response; message m1\n"},
        {"RCPT reply of 100 lines is fine", Then(FirstSteps(4), {Reply(lines("550", 100, 20))}),
         kHelo + "RSET\r\nMAIL FROM:<ann@x>\r\nRCPT TO:<bob@y>\r\nQUIT\r\n", "All recipients are invalid.\n",
         "? HH:MM:SS  Invalid recipient: bob@y\n? HH:MM:SS  All recipients are invalid; message m1\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SmtpRun run;
        QueueMessage(run.box, "m1", kEnvelope, kText);
        run.go({c.steps});
        EXPECT_EQ(run.wire, c.wire);
        EXPECT_EQ(run.result.out, run.head + "Sending message #1... \n" + c.console + kClosing);
        EXPECT_EQ(run.log(), run.logHead + c.events + run.closed());
        EXPECT_EQ(run.files(), "m1.txt m1.wrk");
    }
}

// 530 (authentication required) and 421 (closing) to MAIL refuse the whole
// session: one MAIL, not one per message, every pair kept, the send bit set.
TEST(SmtpSession, SessionWideRefusalOfMail) {
    struct RefusalCase {
        const char* name;
        std::string reply;
        std::string shown;  // the reply as the messages quote it
    } cases[] = {
        {"530", "530 5.7.0 Authentication required.", "530 5.7.0 Authentication required"},
        {"421 of several lines, control bytes", "421-4.3.2 one\r\n421 4.3.2 Shutting\x01 down\x7f",
         "421 4.3.2 Shutting\\x01 down\\x7F"},
        {"long reply cut", "530 " + std::string(600, 'w'), "530 " + std::string(251, 'w')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SmtpRun run;
        QueueMessage(run.box, "a", kEnvelope, kText);
        QueueMessage(run.box, "b", kEnvelope, kText);
        run.go({Then(FirstSteps(3), {Reply(c.reply)})});
        EXPECT_EQ(run.wire, kHelo + "RSET\r\nMAIL FROM:<ann@x>\r\nQUIT\r\n");
        EXPECT_EQ(run.result.out,
                  run.head + "Sending message #1... \nSMTP server refused mail: " + c.shown + ".\n" + kClosing);
        EXPECT_EQ(run.log(), run.logHead + "! HH:MM:SS  SMTP server refused mail: " + c.shown + "\n" + run.closed());
        EXPECT_EQ(run.result.status, 1);
        EXPECT_EQ(run.files(), "a.txt a.wrk b.txt b.wrk");
    }
}

// A message refused for good goes into out/refused, byte for byte, and stays
// there: never sent again, never overwritten by a later refusal of its name.
TEST(SmtpSession, PermanentlyRefusedMailIsKept) {
    SmtpRun run;
    const std::string text = "To: Bob <bob@y>\nSubject: first\n\nbody\n";
    QueueMessage(run.box, "m1", kEnvelope, text);
    run.go({Then(FirstSteps(6), {Data("554-5.7.1 not\r\n554 5.7.1 compliant")})});
    const std::string refused = run.box.outbound() + "/refused";
    EXPECT_EQ(run.files(), "refused");
    EXPECT_EQ(ListDir(refused), "m1.txt m1.wrk");
    EXPECT_EQ(ReadFile(refused + "/m1.wrk"), kEnvelope);
    EXPECT_EQ(ReadFile(refused + "/m1.txt"), text);
    struct stat info {};
    ASSERT_EQ(stat(refused.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_EQ(run.result.status, 0);

    // The next run finds nothing to send.
    ProgramResult again = run.box.run({"/send"});
    EXPECT_NE(again.out.find("No messages for delivery.\n"), std::string::npos);

    // A second refusal of the same base name takes the next free suffix.
    SmtpRun second;
    QueueMessage(second.box, "m1", kEnvelope, kText);
    MakeDir(second.box.outbound() + "/refused");
    WriteFile(second.box.outbound() + "/refused/m1.wrk", "older envelope");
    WriteFile(second.box.outbound() + "/refused/m1-1.txt", "older text alone");
    second.go({Then(FirstSteps(6), {Data("550 no")})});
    EXPECT_EQ(ListDir(second.box.outbound() + "/refused"), "m1-1.txt m1-2.txt m1-2.wrk m1.wrk");
    EXPECT_EQ(ReadFile(second.box.outbound() + "/refused/m1.wrk"), "older envelope");
    EXPECT_EQ(ReadFile(second.box.outbound() + "/refused/m1-2.txt"), kText);

    // Where the folder cannot be made, the pair stays queued and the problem is told.
    SmtpRun blocked;
    QueueMessage(blocked.box, "m1", kEnvelope, kText);
    WriteFile(blocked.box.outbound() + "/refused", "a file, not a folder");
    blocked.go({Then(FirstSteps(6), {Data("550 no")})});
    EXPECT_EQ(blocked.files(), "m1.txt m1.wrk refused");
    EXPECT_EQ(blocked.result.out, blocked.head + "Sending message #1... " + kProgressEnd + "Permanent failure.\n" +
                                      "Can't move message m1 to refused.\n" + kClosing);
    EXPECT_EQ(blocked.log(), blocked.logHead + "? HH:MM:SS  Permanent failure; error 550; message m1.\n\n" +
                                 "? HH:MM:SS  Can't move message m1 to refused\n" + blocked.closed());
}

}  // namespace
}  // namespace quorvexia::test
