// POP3 receiving: the reply numbers; the message loop of the inbound store
// in-process over a socket pair, lock-step and pipelined alike; korv /receive
// against a scripted server (one golden transcript, then the refusals, each
// stating its console, log and wire text); and a real Dovecot.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

#include "pop3_dovecot.h"
#include "pop3_support.h"
#include "support/pair_stream.h"
#include "support/program.h"
#include "support/recording_reporter.h"
#include "transfer/console.h"
#include "transfer/inbound_store.h"
#include "transfer/pop3_session.h"

namespace quorvexia::test {
namespace {

TEST(ParseReplyNumbers, Table) {
    const struct { const char* reply; int count; std::int32_t first, second; } rows[] = {  // -7: not written
        {"+OK 2 320", 2, 2, 320}, {"+OK", 0, -7, -7}, {"+OK 2", 1, 2, -7}, {"+OK   7    910 octets", 2, 7, 910},
        {"+OK 2 ", 2, 2, 0}, {"+OK\t2 320", 1, 320, -7}, {"+OK -3 +4", 2, -3, 4}, {"+OK 12abc 5x", 2, 12, 5},
        {"+OK 99999999999 -99999999999", 2, INT32_MAX, INT32_MIN},
        {"+OK 2147483647 -2147483648", 2, INT32_MAX, INT32_MIN}};
    for (const auto& r : rows) {
        std::int32_t first = -7, second = -7;
        EXPECT_EQ(ParseReplyNumbers(r.reply, &first, &second), r.count) << r.reply;
        EXPECT_EQ(first, r.first) << r.reply;
        EXPECT_EQ(second, r.second) << r.reply;
    }
}

std::string Message(int i) {
    return "From: Ann <ann@a.test>\r\nTo: bob@b.test\r\nSubject: " + std::to_string(i) + "\r\n\r\n..x\r\n";
}
std::string Stored(const std::string& wire) {
    return std::regex_replace(std::regex_replace(wire, std::regex("\r\n"), "\n"), std::regex("\n\\.\\."), "\n.");
}
// "LIST 1|RETR 1" as the lines on the wire.
std::string Lines(const std::string& s) { return s.empty() ? s : std::regex_replace(s, std::regex("\\||$"), "\r\n"); }

struct Outcome {
    SessionResult result;
    std::string reports, files, texts, sent;
    std::uint32_t counter;
};

// The message loop from STAT on, leaving the inbound directory empty. Every
// DELE is checked as it leaves: once RETR went out for its message, the whole
// text is stored beside a staged envelope.
class Pop3Store : public ::testing::Test {
protected:
    TempDir dir_;
    MailConfig config_ = DefaultConfig();
    std::string firstWrite_;

    bool Staged(const std::string& text) {
        for (const auto& e : std::filesystem::directory_iterator(dir_.path())) {
            std::string name = e.path().filename();
            if (name[0] == '.' && ReadFile(dir_ / name.substr(1, name.size() - 5) + ".txt") == text) return true;
        }
        return false;
    }
    Outcome Fetch(const Pop3Script& script, bool pipelined, std::vector<std::string> stored = {}) {
        std::uint32_t total = 0;
        for (std::size_t i = 0; i < script.messages.size(); ++i) {
            total += static_cast<std::uint32_t>(script.messages[i].text.size());
            if (i >= stored.size()) stored.push_back(Stored(script.messages[i].text));
        }
        static std::FILE* const quiet = std::fopen("/dev/null", "w");  // the progress lines
        consoleStream = quiet;
        config_.inboundDir.assign(dir_.path());
        auto stream = std::make_unique<PairStream>(SOCK_STREAM);
        std::string record, sent;
        std::mutex mutex;
        std::thread server([&, peer = stream->takePeer()] {
            ServerConnection connection(peer, record, mutex);
            ServePop3(connection, script);
        });
        stream->onSend = [&](std::string_view bytes) {
            static const std::regex dele("DELE (\\d+)\r\n");
            std::string text(bytes);
            for (std::sregex_iterator it(text.begin(), text.end(), dele), end; it != end; ++it) {
                if (sent.find("RETR " + (*it)[1].str() + "\r\n") == std::string::npos) continue;  // not fetched
                EXPECT_TRUE(Staged(stored[std::stoul((*it)[1]) - 1])) << (*it)[0];
            }
            if (sent.empty()) firstWrite_ = text;
            sent += text;
        };
        Outcome o{};
        {
            Link link(std::move(stream));
            std::string_view greeting;
            EXPECT_TRUE(link.receiveLine(greeting));
            RunState run{config_.messageCounter.get()};
            RecordingReporter reporter;
            InboundStore store(config_, run, reporter);
            o.result = store.receiveAll(link, static_cast<std::uint32_t>(script.messages.size()), total, pipelined);
            EXPECT_TRUE(o.result == SessionResult::LinkFailed || store.makeDurable());
            store.tidyUp();
            for (auto& e : reporter.entries) o.reports += std::regex_replace(e, std::regex(", [0-9]+ CPS$"), "");
            o.counter = run.messageCounter;
        }
        server.join();
        o.sent = record;
        o.files = ListDir(dir_.path());
        std::istringstream names(o.files);
        for (std::string name; names >> name; std::filesystem::remove_all(dir_ / name))
            if (name[0] != '.') o.texts += ReadFile(dir_ / name) + "|";
        return o;
    }
};

// Each row is fetched lock-step and pipelined: the same result, reports,
// texts and file names either way; its commands and counter are lock-step's.
TEST_F(Pop3Store, PerMessageOutcomes) {
    auto W = [](std::string t, int n = 1) { return t + ".\n|? " + t + "; message " + std::to_string(n); };
    auto F = [](std::string t, int n = 1) { return t + ".|! " + t + "; message " + std::to_string(n); };
    auto R = [](std::string base) { return "|* Rcvd " + base + " from ann@a.test; 53b"; };
    auto Take = [&](std::uint32_t first, std::uint32_t count) {
        for (std::uint32_t n = first; n - first < count; ++n)
            for (const char* ext : {".txt", ".wrk"})
                WriteFile(dir_ / Format("%08lu", static_cast<unsigned long>(n)) + ext, "x");
    };
    const std::string pair5 = "00000005.txt 00000005.wrk", fetched = "LIST 1|RETR 1|DELE 1", read = "LIST 1|RETR 1";
    const auto kDone = SessionResult::Done, kStop = SessionResult::Stopped;
    const struct {
        const char* name;
        std::function<void(Pop3Script&, MailConfig&)> change;
        SessionResult result;
        std::string reports, files, sent;  // files "=": as before the run
        std::uint32_t counter;
    } rows[] = {
        {"empty mailbox", [](auto& s, auto&) { s.messages.clear(); }, kDone, "", "", "", 5},
        {"LIST without two numbers", [](auto& s, auto&) { s.messages[0].list = "+OK 1"; }, kDone,
         W("Invalid mail size response"), "", "LIST 1", 6},
        {"LIST refused: fetched despite a limit",
         [](auto& s, auto& c) { s.messages[0].list = "-ERR"; c.maxMessageSize.set(1); }, kDone,
         R("00000005"), pair5, fetched, 6},
        {"size equal to the limit, deleted",
         [](auto&, auto& c) { c.maxMessageSize.set(59); c.deleteOversize = 1; }, kDone,
         W("Deleting too long message from server"), "", "LIST 1|DELE 1", 6},
        {"one byte under the limit, fetched",
         [](auto&, auto& c) { c.maxMessageSize.set(60); c.deleteOversize = 1; }, kDone,
         R("00000005"), pair5, fetched, 6},
        {"too long, deletion refused",
         [](auto& s, auto& c) { c.maxMessageSize.set(0); c.deleteOversize = 1; s.messages[0].dele = "-ERR"; }, kStop,
         W("Deleting too long message from server") + W("Can't delete message from server"), "", "LIST 1|DELE 1", 5},
        {"too long, left", [](auto&, auto& c) { c.maxMessageSize.set(0); c.deleteOversize = 2; }, kDone,
         W("Leaving too long message on server"), "", "LIST 1", 6},
        {"RETR refused", [](auto& s, auto&) { s.messages[0].retr = "-ERR locked"; }, kDone,
         W("Can't retrieve message"), "", read, 6},
        {"text file is a directory", [&](auto&, auto&) { MakeDir(dir_ / "00000005.txt"); }, kStop,
         F("Can't create file 00000005.TXT"), "", read, 5},
        // A pipe by the chosen name would hold the run at its open, waiting for a reader.
        {"text file is a named pipe",
         [&](auto&, auto&) { ASSERT_EQ(mkfifo((dir_ / "00000005.txt").c_str(), 0600), 0); }, kStop,
         F("Can't create file 00000005.TXT"), "", read, 5},
        {"write error on the text file",
         [&](auto&, auto&) { ASSERT_EQ(symlink("/dev/full", (dir_ / "00000005.txt").c_str()), 0); }, kStop,
         F("Couldn't write file 00000005.TXT"), "", read, 5},
        {"envelope file is a directory", [&](auto&, auto&) { MakeDir(dir_ / ".00000005.tmp"); }, kStop,
         F("Can't create file 00000005.WRK"), "=", read, 5},
        {"envelope file is a named pipe",
         [&](auto&, auto&) { ASSERT_EQ(mkfifo((dir_ / ".00000005.tmp").c_str(), 0600), 0); }, kStop,
         F("Can't create file 00000005.WRK"), "=", read, 5},
        {"names 5 and 6 taken", [&](auto&, auto&) { Take(5, 2); }, kDone, R("00000007"),
         "00000005.txt 00000005.wrk 00000006.txt 00000006.wrk 00000007.txt 00000007.wrk", fetched, 8},
        {"a text without envelope is replaced", [&](auto&, auto&) { WriteFile(dir_ / "00000005.txt", "x"); }, kDone,
         R("00000005"), pair5, fetched, 6},
        {"all 1024 candidates taken", [&](auto&, auto& c) { c.messageCounter.set(100); Take(100, 1024); }, kStop,
         F("Can't create file 00000100.TXT"), "=", read, 100},
        {"the last counter value taken",
         [&](auto&, auto& c) { c.messageCounter.set(UINT32_MAX); Take(UINT32_MAX, 1); }, kStop,
         F("Can't create file 4294967295.TXT"), "=", read, UINT32_MAX},
        {"the counter stops at the limit",
         [](auto& s, auto& c) { c.messageCounter.set(UINT32_MAX); s.messages.push_back(Message(2)); }, kStop,
         R("4294967295") + F("Can't create file 4294967295.TXT", 2), "4294967295.txt 4294967295.wrk",
         fetched + "|LIST 2|RETR 2", UINT32_MAX},
        {"the second of three refused by RETR",
         [](auto& s, auto&) { s.messages = {Message(1), Message(2), Message(3)}; s.messages[1].retr = "-ERR"; }, kDone,
         R("00000005") + W("Can't retrieve message", 2) + R("00000007"),
         "00000005.txt 00000005.wrk 00000007.txt 00000007.wrk", fetched + "|LIST 2|RETR 2|LIST 3|RETR 3|DELE 3", 8},
    };
    for (const auto& row : rows) {
        Outcome lockStep{};
        for (bool pipelined : {false, true}) {
            SCOPED_TRACE(std::string(row.name) + (pipelined ? ", pipelined" : ""));
            Pop3Script script;
            script.messages = {Message(1)};
            config_ = DefaultConfig();
            config_.messageCounter.set(5);
            row.change(script, config_);
            std::string before = ListDir(dir_.path()), n = std::to_string(script.messages.size()),
                        size = std::to_string(59 * script.messages.size());
            Outcome o = Fetch(script, pipelined);
            EXPECT_EQ(o.result, row.result);
            EXPECT_EQ(o.reports, "Receiving " + n + " message(s) (" + size + " bytes)...\n|- Receiving " + n +
                                     " message(s); " + size + "b" + row.reports);
            EXPECT_EQ(o.files, row.files == "=" ? before : row.files);
            if (pipelined) {
                EXPECT_EQ(o.texts, lockStep.texts);
            } else {  // the commands, then the counter
                EXPECT_EQ(o.sent + std::to_string(o.counter), Lines(row.sent) + std::to_string(row.counter));
            }
            lockStep = o;
        }
    }
}

TEST_F(Pop3Store, StoredTextAndEnvelope) {
    using namespace std::string_literals;
    const std::string a999(999, 'a'), q999(999, 'q');
    const struct { std::string wire, stored, envelope; } rows[] = {
        {"To: x@y\r\n\r\n..\r\n.x\r\n .y\r\n...z\r\n", "To: x@y\n\n.\nx\n .y\n..z\n", "y\n???\nx@y\n"},
        {"From: a@b\r\n\r\nhi\r\n", "From: a@b\n\nhi\n", "???\na@b\n???\n"},
        {"\r\nFrom: a@b\r\nTo: c@d\r\n", "\nFrom: a@b\nTo: c@d\n", "???\n???\n???\n"},  // no header
        {"To: a@one\r\n\r\nTo: b@two\r\n", "To: a@one\n\nTo: b@two\n", "one\n???\na@one\n"},
        {"to: a@one\r\nTO: <b@two>\r\nfrom: (x) c@d\r\n\r\n", "to: a@one\nTO: <b@two>\nfrom: (x) c@d\n\n",
         "two\nc@d\nb@two\n"},
        {"Resent-To: a@one\r\nTo: b\r\n\r\n", "Resent-To: a@one\nTo: b\n\n", "b\n???\nb\n"},
        {"To: a@b\r\n\r\nx\0y\0\r\n\xe4\xff\r\n"s, "To: a@b\n\nx\0y\0\n\xe4\xff\n"s, "b\n???\na@b\n"},
        {"To: a@b\r\n\r\n" + q999 + q999 + "qq\r\n", "To: a@b\n\n" + q999 + "\n" + q999 + "\nqq\n", "b\n???\na@b\n"},
        // The piece after a cut is neither a dot line nor a header line.
        {"To: a@b\r\n\r\n" + a999 + ".\r\n" + a999 + "..x\r\n", "To: a@b\n\n" + a999 + "\n.\n" + a999 + "\n..x\n",
         "b\n???\na@b\n"},
        {"X: " + std::string(996, 'h') + "To: z@z\r\nTo: a@b\r\n\r\n",
         "X: " + std::string(996, 'h') + "\nTo: z@z\nTo: a@b\n\n", "b\n???\na@b\n"},
        {"To: a@b\r\0\r\nx\ny\r\n"s, "To: a@b\n\nx\ny\n", "b\n???\na@b\n"},  // CR NUL and bare LF line ends
    };
    Pop3Script script;
    std::vector<std::string> stored;
    std::string expected;
    for (const auto& r : rows) {
        script.messages.push_back(r.wire);
        stored.push_back(r.stored);
        expected += r.stored + "|" + r.envelope + "|";
    }
    for (bool pipelined : {false, true}) EXPECT_EQ(Fetch(script, pipelined, stored).texts, expected) << pipelined;
}

// Pipelined, a refused DELE stops the loop after the following messages were
// stored and their deletion asked for: those pairs stay, the refused one does not.
TEST_F(Pop3Store, PipelinedCommandsWithinTheWindowAndARefusedDele) {
    Pop3Script script;
    script.messages = {Message(1), Message(2), Message(3)};
    script.messages[1].dele = "-ERR no";
    Outcome o = Fetch(script, false);
    EXPECT_EQ(o.sent + o.files, Lines("LIST 1|RETR 1|DELE 1|LIST 2|RETR 2|DELE 2") + "00000000.txt 00000000.wrk");
    o = Fetch(script, true);
    EXPECT_EQ(o.result, SessionResult::Stopped);
    EXPECT_EQ(o.sent, Lines("LIST 1|RETR 1|LIST 2|RETR 2|LIST 3|RETR 3|DELE 1|DELE 2|DELE 3"));
    EXPECT_EQ(o.files, "00000000.txt 00000000.wrk 00000002.txt 00000002.wrk");
    EXPECT_NE(o.reports.find("Can't delete message from server.\n|? Can't delete message from server; message 2"),
              std::string::npos);
    script = {};
    std::string window;
    for (int n = 1; n <= 300; ++n) script.messages.push_back(Message(n));
    for (std::size_t n = 1; n <= kPipelineCommands / 2; ++n) window += Format("LIST %zu\r\nRETR %zu\r\n", n, n);
    o = Fetch(script, true);
    EXPECT_EQ(std::count(o.files.begin(), o.files.end(), ' '), 599);
    EXPECT_EQ(firstWrite_, window);
}

// Without QUIT the server keeps every message, so no pair of the connection stays.
TEST_F(Pop3Store, ACutAtEachStepLeavesNoPair) {
    const struct { Cut cut; const char* sent; } cuts[] = {{Cut::OnList, "LIST"}, {Cut::AfterListReply, "LIST|RETR"},
        {Cut::AfterRetrReply, "LIST|RETR"}, {Cut::MidText, "LIST|RETR"}, {Cut::OnDele, "LIST|RETR|DELE"}};
    const std::regex command("[A-Z]+");
    for (unsigned long n = 1; n <= 3; ++n) {
        for (const auto& c : cuts) {
            for (bool pipelined : {false, true}) {
                SCOPED_TRACE("message " + std::to_string(n) + ", " + c.sent + (pipelined ? ", pipelined" : ""));
                Pop3Script script;
                script.messages = {Message(1), Message(2) + std::string(900, 'z') + "\r\n", Message(3)};
                script.cut = c.cut;
                script.cutMessage = n;
                Outcome o = Fetch(script, pipelined);
                EXPECT_EQ(o.result, SessionResult::LinkFailed);
                EXPECT_EQ(o.files, "");
                if (pipelined) continue;
                std::string sent;
                for (unsigned long i = 1; i < n; ++i)
                    sent += std::regex_replace("LIST|RETR|DELE|", command, "$& " + std::to_string(i));
                sent = Lines(sent + std::regex_replace(c.sent, command, "$& " + std::to_string(n)));
                EXPECT_EQ(o.sent + std::to_string(o.counter),
                          sent + std::to_string(n - 1));  // the commands, then the counter
            }
        }
    }
}

// The console and log of korv with the scripted server's address as "S", the
// log without its times, durations and rates.
std::string Masked(const std::string& text) {
    std::string masked = std::regex_replace(MaskLog(text), std::regex("HH:MM:SS  |, \\d+:\\d\\d|, \\d+ CPS"), "");
    return std::regex_replace(masked, std::regex("127\\.0\\.0\\.1:\\d+"), "S");
}

// korv /receive with the counter at 41: the golden transcript (in debug mode,
// the dialogue echoed), then the refusals and cuts, each a whole transcript.
// korv.cfg comes back with only the counter moved on, replaced after a
// connection and left alone without one.
TEST(Pop3Run, Transcripts) {
    const std::string login = "Connecting to POP3 server...\nLogging in...\n",
                      closed = "Closing connection...\nConnection closed.\n";
    const std::string closedLog = "+ Mail session closed\n$ To S\n", lost = "Remote closed connection. (0)\n";
    const std::string got = "Receiving 1 message(s) (59 bytes)...\nGetting message #1... \n",
                      gotLog = "- Receiving 1 message(s); 59b\n";
    auto C = [&](std::string text) { return login + text + ".\n" + closed; };
    auto L = [&](std::string text) { return "! " + text + "\n" + closedLog; };
    const struct {
        std::string field;  // empty: the scripted server
        std::function<void(Pop3Script&, const std::string& inbound)> change;
        std::string console, log, sent;
        std::uint32_t counter = 41;
        int status = 2;
        std::string files = "";
    } rows[] = {
        {"", [](auto&, auto&) {},
         login + "+OK POP3 ready\nUSER ann\n+OK\nPASS <hidden>\n+OK\nSTAT\n+OK 1 59\n" + got +
             "LIST 1\n+OK 1 59\nRETR 1\n+OK\n"
             "From: Ann <ann@a.test>\nTo: bob@b.test\nSubject: 1\n\n..x\n.\nDELE 1\n+OK\n"
             "Closing connection...\nQUIT\n+OK bye\nConnection closed.\n",
         gotLog + "* Rcvd 00000041 from ann@a.test; 53b\n" + closedLog,
         "USER ann|PASS secret|STAT|LIST 1|RETR 1|DELE 1|QUIT", 42, 0, "00000041.txt 00000041.wrk"},
        {"", [](auto& s, auto&) { s.greeting = "-ERR busy"; }, C("POP3 server is not ready"),
         L("POP3 server is not ready"), "QUIT"},
        {"", [](auto& s, auto&) { s.user = "-ERR who"; }, C("Invalid username"),
         L("Invalid username"), "USER ann|QUIT"},
        {"", [](auto& s, auto&) { s.pass = "-ERR [AUTH] no"; }, C("Invalid mail password"),
         L("Invalid mail password"), "USER ann|PASS secret|QUIT"},
        {"", [](auto& s, auto&) { s.stat = "-ERR locked"; }, C("Can't get mail status"),
         L("Can't get mail status"), "USER ann|PASS secret|STAT|QUIT"},
        {"", [](auto& s, auto&) { s.stat = "+OK 3"; }, C("Invalid mail status response"),
         L("Invalid mail status response"), "USER ann|PASS secret|STAT|QUIT"},
        {"", [](auto& s, auto&) { s.stat = "+OK -1 0"; }, C("Invalid mail status response"),
         L("Invalid mail status response"), "USER ann|PASS secret|STAT|QUIT"},
        {"", [](auto& s, auto&) { s.cut = Cut::OnUser; }, login + lost, "! " + lost, "USER ann"},
        {"", [](auto& s, auto&) { s.cut = Cut::OnStat; }, login + lost, "! " + lost, "USER ann|PASS secret|STAT"},
        // A file failure's console text has no line end: the closing follows on its line.
        {"", [](auto&, auto& in) { MakeDir(in + "/00000041.txt"); },
         login + got + "Can't create file 00000041.TXT." + closed,
         gotLog + "! Can't create file 00000041.TXT; message 1\n" + closedLog,
         "USER ann|PASS secret|STAT|LIST 1|RETR 1|QUIT"},
        // The pair of message 1 goes, as the server keeps it; the counter moved on.
        {"", [](auto& s, auto&) { s.messages.push_back(Message(2)); s.cut = Cut::OnList; s.cutMessage = 2; },
         login + "Receiving 2 message(s) (118 bytes)...\nGetting message #1... \nGetting message #2... \n" + lost,
         "- Receiving 2 message(s); 118b\n* Rcvd 00000041 from ann@a.test; 53b\n! " + lost,
         "USER ann|PASS secret|STAT|LIST 1|RETR 1|DELE 1|LIST 2", 42},
        {"nonexistent.invalid", nullptr, "Could not resolve POP3 host.\n", "! Could not resolve host\n", ""},
        {"[::1", nullptr, "Could not resolve POP3 host.\n", "! Could not resolve host\n", ""},
        {"127.0.0.1:" + std::to_string(FreeLoopbackPort()), nullptr,
         "Connecting to POP3 server...\nUnable to open connection.\n", "! Unable to open connection\n", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.console);
        KorvSandbox sb;
        sb.config.pop3User.assign("ann");
        sb.config.pop3Password.assign("secret");
        sb.config.messageCounter.set(41);
        Pop3Script script;
        script.messages = {Message(1)};
        std::optional<ScriptedServer> pop3;
        if (row.change) {
            row.change(script, sb.inbound());
            pop3.emplace([&](ServerConnection& c, int) { ServePop3(c, script); });
        }
        sb.config.pop3Server.assign(pop3 ? pop3->address() : row.field);
        sb.writeConfig();
        sb.writeConfigOnRun = false;
        struct stat before {}, after {};
        stat(sb.path("korv.cfg").c_str(), &before);
        std::vector<std::string> args{"/receive"};
        if (row.status == 0) args.push_back("/debug");
        ProgramResult r = sb.run(args);
        EXPECT_EQ(r.status, row.status);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(Masked(r.out), Banner() + "Solving POP3 host '" + Masked(row.field.empty() ? "S" : row.field) +
                                     "'...\n" + row.console);
        EXPECT_EQ(Masked(sb.log()),
                  "\n----------  DAY DD MON YY, Quorvexia 2.12; RECEIVE\n+ Connecting to POP3 server\n" + row.log);
        if (pop3) pop3->join();
        EXPECT_EQ(pop3 ? pop3->received() : "", Lines(row.sent));
        EXPECT_EQ(ListDir(sb.inbound()), row.files);
        sb.config.messageCounter.set(row.counter);
        EXPECT_EQ(ReadFile(sb.path("korv.cfg")), ConfigBytes(sb.config));
        stat(sb.path("korv.cfg").c_str(), &after);
        EXPECT_EQ(after.st_ino != before.st_ino, pop3.has_value());
    }
}

// A private Dovecot holding `texts` (as they lie in the mailbox, LF line
// ends), and a sandbox whose korv signs in to it.
struct DovecotBox {
    DovecotServer dovecot;
    KorvSandbox sb;
    explicit DovecotBox(const std::vector<std::string>& texts) {
        for (std::size_t i = 0; i < texts.size(); ++i)
            dovecot.addMessage("17000000" + std::to_string(10 + i) + ".M1P1.q", texts[i]);
        EXPECT_TRUE(dovecot.start());
        sb.config.pop3Server.assign(dovecot.address());
        sb.config.pop3User.assign(dovecot.user());
        sb.config.pop3Password.assign(dovecot.password());
    }
};

// 8-bit bytes, lines that start with a dot, long lines and a 5 MiB message
// arrive as they lie in the mailbox; the mailbox is emptied, and a second run
// stores nothing new.
TEST(Pop3Interop, DovecotMailboxArrivesWhole) {
    if (!DovecotServer::Installed()) GTEST_SKIP() << "dovecot is not installed";
    std::mt19937 random(20240601);
    std::uniform_int_distribution<int> length(0, 119), byte(32, 255), shape(0, 9);
    std::vector<std::string> texts, envelopes, stored, storedEnvelopes;
    for (int i = 0; i < 12; ++i) {
        std::string from = "sender" + std::to_string(i) + "@example.org";
        texts.push_back("From: <" + from + ">\nTo: Ann <ann@example.net>\nSubject: " + std::to_string(i) +
                        "\n\n.\n..two dots\n.leading dot\n");
        while (texts.back().size() < (i == 5 ? 5u << 20 : 3000u * i)) {
            int kind = shape(random);
            std::string line(kind == 0 ? 998 : length(random), ' ');
            for (char& c : line) c = static_cast<char>(byte(random));
            texts.back() += (kind == 1 ? "." : "") + line + "\n";
        }
        envelopes.push_back("example.net\n" + from + "\nann@example.net\n");
    }
    DovecotBox box(texts);
    box.sb.config.messageCounter.set(100);
    ProgramResult first = box.sb.run({"/receive"}, "", 120);
    EXPECT_EQ(first.status, 0) << first.out << first.err;
    for (int n = 100; n < 112; ++n) {
        stored.push_back(ReadFile(box.sb.inbound() + "/00000" + std::to_string(n) + ".txt"));
        storedEnvelopes.push_back(ReadFile(box.sb.inbound() + "/00000" + std::to_string(n) + ".wrk"));
    }
    for (auto* v : {&texts, &envelopes, &stored, &storedEnvelopes}) std::sort(v->begin(), v->end());
    EXPECT_TRUE(stored == texts) << "the stored texts differ from the mailbox";
    EXPECT_EQ(storedEnvelopes, envelopes);
    EXPECT_EQ(box.dovecot.messagesLeft(), 0);
    EXPECT_EQ(ReadConfig(box.sb.path("korv.cfg")).messageCounter.get(), 112u);
    std::string files = ListDir(box.sb.inbound());
    ProgramResult second = box.sb.run({"/receive"}, "", 60);
    EXPECT_NE(second.out.find("Receiving 0 message(s) (0 bytes)...\n"), std::string::npos) << second.out;
    EXPECT_EQ(ListDir(box.sb.inbound()), files);
}

// The stored pairs reach the disk in one sync before QUIT, their envelope
// files get the final names only after it, and the server deletes only at
// QUIT: korv killed in that sync, or a sync that fails, leaves every message
// on the server and no envelope file; the next run fetches them all once and
// clears what the killed run left.
TEST(Pop3Interop, NoMessageLeavesTheServerBeforeItsPairIsOnDisk) {
    if (!DovecotServer::Installed()) GTEST_SKIP() << "dovecot is not installed";
    const struct { const char* mode; int status; const char* left; } cases[] = {
        {"kill", 128 + 9, ".00000000.tmp .00000001.tmp .00000002.tmp 00000000.txt 00000001.txt 00000002.txt"},
        {"fail", 2, ""},  // not known to be on disk: removed, as the server keeps the messages
    };
    // The stand-in for syncfs comes before the sanitizer's runtime in the library list.
    const char* asan = std::getenv("ASAN_OPTIONS");
    setenv("ASAN_OPTIONS", (std::string(asan ? asan : "") + ":verify_asan_link_order=0").c_str(), 1);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        DovecotBox box({"To: b@example.net\n\n0\n", "To: b@example.net\n\n1\n", "To: b@example.net\n\n2\n"});
        setenv("LD_PRELOAD", SYNCFS_FAULT_PATH, 1);
        setenv("QUORVEXIA_SYNCFS_FAULT", c.mode, 1);
        ProgramResult faulty = box.sb.run({"/receive"}, "", 120);
        unsetenv("LD_PRELOAD");
        EXPECT_EQ(faulty.status, c.status) << faulty.out << faulty.err;
        EXPECT_EQ(faulty.out.find("Closing connection..."), std::string::npos) << faulty.out;
        EXPECT_EQ(box.dovecot.messagesLeft(), 3);
        EXPECT_EQ(ListDir(box.sb.inbound()), c.left);
        const std::string text = "Couldn't force received mail to disk; 3 message(s) left on the server";
        EXPECT_EQ(faulty.out.find(text + ".\n") != std::string::npos, !*c.left) << faulty.out;
        EXPECT_EQ(box.sb.log().find(text + "\n") != std::string::npos, !*c.left);
        ProgramResult clean = box.sb.run({"/receive"}, "", 120);
        EXPECT_EQ(clean.status, 0) << clean.out;
        EXPECT_EQ(box.dovecot.messagesLeft(), 0);
        EXPECT_EQ(ListDir(box.sb.inbound()),
                  "00000000.txt 00000000.wrk 00000001.txt 00000001.wrk 00000002.txt 00000002.wrk");
    }
}

}  // namespace
}  // namespace quorvexia::test
