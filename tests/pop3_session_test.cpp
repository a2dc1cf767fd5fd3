// korv /receive against a scripted POP3 server on loopback: the login and
// status refusals, every per-message problem, a cut of the connection at each
// step, with the exact console text, log lines, files left and korv.cfg.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <regex>

#include "pop3_support.h"
#include "support/program.h"

namespace quorvexia::test {
namespace {

const std::string kLogHeader = "\n----------  DAY DD MON YY, Quorvexia 2.12; RECEIVE\n";

std::string Message(int i, const std::string& extra = "") {
    return "From: Ann Lee <ann@example.org>\r\nTo: bob@example.net\r\nSubject: test " + std::to_string(i) +
           "\r\n\r\nBody " + std::to_string(i) + "\r\n" + extra;
}
// The same message as stored: LF line ends.
std::string Stored(const std::string& wire) { return std::regex_replace(wire, std::regex("\r\n"), "\n"); }

const std::string kEnvelope = "example.net\nann@example.org\nbob@example.net\n";

ino_t Inode(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

class Pop3Run : public ::testing::Test {
protected:
    KorvSandbox sb;
    std::string server;    // the server field, as the messages show it
    std::string dialogue;  // everything korv sent
    ProgramResult result;

    void SetUp() override {
        sb.config.pop3User.assign("ann");
        sb.config.pop3Password.assign("secret");
    }

    void Run(const Pop3Script& script, std::vector<std::string> args = {"/receive"}) {
        ScriptedServer pop3([&](ServerConnection& c, int) { ServePop3(c, script); });
        server = pop3.address();
        sb.config.pop3Server.assign(server);
        result = sb.run(args);
        pop3.join();
        dialogue = pop3.received();
        EXPECT_EQ(result.err, "");
    }

    std::string Head() const {
        return Banner() + "Solving POP3 host '" + server + "'...\nConnecting to POP3 server...\nLogging in...\n";
    }
    static std::string Closed() { return "Closing connection...\nConnection closed.\n"; }
    std::string LinkLost() const { return "Remote closed connection. (0)\n"; }

    // The log with time stamps, the duration and the rate masked.
    std::string Log() const {
        std::string log = MaskLog(sb.log());
        log = std::regex_replace(log, std::regex(", \\d+:\\d\\d\n"), ", M:SS\n");
        return std::regex_replace(log, std::regex(", \\d+ CPS\n"), ", N CPS\n");
    }
    std::string LogOf(const std::vector<std::string>& events) const {
        std::string log = kLogHeader + "+ HH:MM:SS  Connecting to POP3 server\n";
        for (const auto& e : events) log += e.substr(0, 1) + " HH:MM:SS  " + e.substr(2) + "\n";
        return log;
    }
    std::vector<std::string> ClosedEvents() const { return {"+ Mail session closed", "$ To " + server + ", M:SS"}; }

    std::uint32_t SavedCounter() const { return ReadConfig(sb.path("korv.cfg")).messageCounter.get(); }
};

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// ---- Part of the session: login and status ----

struct LoginRow {
    const char* name;
    std::function<void(Pop3Script&)> change;
    std::string console;   // between "Logging in..." and the closing lines
    std::string event;     // the '!' event
    std::string sent;      // the dialogue korv sent
};

TEST_F(Pop3Run, LoginAndStatusRefusals) {
    const std::vector<LoginRow> rows = {
        {"greeting", [](Pop3Script& s) { s.greeting = "-ERR busy"; }, "POP3 server is not ready.\n",
         "! POP3 server is not ready", "QUIT\r\n"},
        {"USER", [](Pop3Script& s) { s.user = "-ERR who"; }, "Invalid username.\n", "! Invalid username",
         "USER ann\r\nQUIT\r\n"},
        {"PASS", [](Pop3Script& s) { s.pass = "-ERR no"; }, "Invalid mail password.\n",
         "! Invalid mail password", "USER ann\r\nPASS secret\r\nQUIT\r\n"},
        {"STAT", [](Pop3Script& s) { s.stat = "-ERR locked"; }, "Can't get mail status.\n",
         "! Can't get mail status", "USER ann\r\nPASS secret\r\nSTAT\r\nQUIT\r\n"},
        {"STAT one number", [](Pop3Script& s) { s.stat = "+OK 3"; }, "Invalid mail status response.\n",
         "! Invalid mail status response", "USER ann\r\nPASS secret\r\nSTAT\r\nQUIT\r\n"},
        {"STAT no numbers", [](Pop3Script& s) { s.stat = "+OK"; }, "Invalid mail status response.\n",
         "! Invalid mail status response", "USER ann\r\nPASS secret\r\nSTAT\r\nQUIT\r\n"},
        {"STAT negative count", [](Pop3Script& s) { s.stat = "+OK -1 0"; }, "Invalid mail status response.\n",
         "! Invalid mail status response", "USER ann\r\nPASS secret\r\nSTAT\r\nQUIT\r\n"},
        {"reply with a tab", [](Pop3Script& s) { s.stat = "+OK\t2 100"; }, "Invalid mail status response.\n",
         "! Invalid mail status response", "USER ann\r\nPASS secret\r\nSTAT\r\nQUIT\r\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::remove(sb.logPath().c_str());
        sb.config.messageCounter.set(41);
        Pop3Script script;
        script.messages = {{Message(1)}};
        row.change(script);
        Run(script);
        EXPECT_EQ(result.status, 2);
        EXPECT_EQ(result.out, Head() + row.console + Closed());
        EXPECT_EQ(Log(), LogOf(std::vector<std::string>{row.event} + ClosedEvents()));
        EXPECT_EQ(dialogue, row.sent);
        EXPECT_EQ(ListDir(sb.inbound()), "");
        EXPECT_EQ(SavedCounter(), 41u);
    }
}

TEST_F(Pop3Run, WrongPasswordRewritesTheConfigurationUnchanged) {
    Pop3Script script;
    script.pass = "-ERR [AUTH] bad";
    ScriptedServer pop3([&](ServerConnection& c, int) { ServePop3(c, script); });
    sb.config.pop3Server.assign(pop3.address());
    sb.config.messageCounter.set(7);
    sb.writeConfig();
    sb.writeConfigOnRun = false;
    std::string before = ReadFile(sb.path("korv.cfg"));
    ino_t inode = Inode(sb.path("korv.cfg"));
    result = sb.run({"/receive"});
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(ReadFile(sb.path("korv.cfg")), before);  // byte for byte, the whole record
    EXPECT_NE(Inode(sb.path("korv.cfg")), inode);      // but replaced
}

TEST_F(Pop3Run, UnresolvedHostAndRefusedConnectionLeaveTheConfigurationAlone) {
    int probe = socket(AF_INET, SOCK_STREAM, 0);  // a loopback port that nobody listens on
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    getsockname(probe, reinterpret_cast<sockaddr*>(&addr), &len);
    std::string refused = "127.0.0.1:" + std::to_string(ntohs(addr.sin_port));

    struct Row {
        std::string field, console, event;
    };
    const std::vector<Row> rows = {
        {"nonexistent.invalid", "Could not resolve POP3 host.\n", "! Could not resolve host"},
        {"[::1", "Could not resolve POP3 host.\n", "! Could not resolve host"},
        {refused, "Connecting to POP3 server...\nUnable to open connection.\n", "! Unable to open connection"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.field);
        std::remove(sb.logPath().c_str());
        sb.config.pop3Server.assign(row.field);
        sb.writeConfig();
        ino_t inode = Inode(sb.path("korv.cfg"));
        sb.writeConfigOnRun = false;
        result = sb.run({"/receive"});
        EXPECT_EQ(result.status, 2);
        EXPECT_EQ(result.out, Banner() + "Solving POP3 host '" + row.field + "'...\n" + row.console);
        EXPECT_EQ(MaskLog(sb.log()), LogOf({row.event}));
        EXPECT_EQ(Inode(sb.path("korv.cfg")), inode);
    }
    close(probe);
}

TEST_F(Pop3Run, EmptyMailbox) {
    sb.config.messageCounter.set(12);
    Run(Pop3Script{});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, Head() + "Receiving 0 message(s) (0 bytes)...\n" + Closed());
    EXPECT_EQ(Log(), LogOf(std::vector<std::string>{"- Receiving 0 message(s); 0b"} + ClosedEvents()));
    EXPECT_EQ(dialogue, "USER ann\r\nPASS secret\r\nSTAT\r\nQUIT\r\n");
    EXPECT_EQ(ListDir(sb.inbound()), "");
    EXPECT_EQ(SavedCounter(), 12u);
}

// ---- The message loop ----

TEST_F(Pop3Run, StoresAPairAndDeletesOnTheServer) {
    sb.config.messageCounter.set(42);
    Pop3Script script;
    script.messages = {{Message(1)}};
    std::string size = std::to_string(Message(1).size());
    Run(script);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, Head() + "Receiving 1 message(s) (" + size + " bytes)...\n" +
                              "Getting message #1... \n" + Closed());
    EXPECT_EQ(Log(), LogOf(std::vector<std::string>{"- Receiving 1 message(s); " + size + "b",
                                                    "* Rcvd 00000042 from ann@example.org; " +
                                                        std::to_string(Stored(Message(1)).size()) + "b, N CPS"} +
                           ClosedEvents()));
    EXPECT_EQ(dialogue, "USER ann\r\nPASS secret\r\nSTAT\r\nLIST 1\r\nRETR 1\r\nDELE 1\r\nQUIT\r\n");
    EXPECT_EQ(ListDir(sb.inbound()), "00000042.txt 00000042.wrk");
    EXPECT_EQ(ReadFile(sb.inbound() + "/00000042.txt"), Stored(Message(1)));
    EXPECT_EQ(ReadFile(sb.inbound() + "/00000042.wrk"), kEnvelope);
    // The whole record comes back with only the counter moved on.
    MailConfig expected = sb.config;
    expected.messageCounter.set(43);
    std::string bytes(reinterpret_cast<const char*>(ImageBytes(expected)), kMailConfigSize);
    EXPECT_EQ(ReadFile(sb.path("korv.cfg")), bytes);
}

TEST_F(Pop3Run, DebugModeEchoesTheDialogueAndHidesThePassword) {
    Pop3Script script;
    script.messages = {{"Subject: x\r\n\r\n..dot\r\n"}};  // 21 bytes
    Run(script, {"/receive", "/debug"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, Head() +
                              "+OK POP3 ready\nUSER ann\n+OK\nPASS <hidden>\n+OK\nSTAT\n+OK 1 21\n"
                              "Receiving 1 message(s) (21 bytes)...\n"
                              "Getting message #1... \n"
                              "LIST 1\n+OK 1 21\nRETR 1\n+OK\nSubject: x\n\n..dot\n.\nDELE 1\n+OK\n"
                              "Closing connection...\nQUIT\n+OK bye\nConnection closed.\n");
    EXPECT_EQ(ReadFile(sb.inbound() + "/00000000.txt"), "Subject: x\n\n.dot\n");
}

struct MessageRow {
    const char* name;
    std::function<void(Pop3Script&, MailConfig&)> change;
    std::string console;                // from "Receiving" to before the closing lines
    std::vector<std::string> events;    // after "Connecting to POP3 server", before the closing events
    std::string files;                  // in the inbound directory
    std::string sent;                   // after STAT, before QUIT
    int status;
    std::uint32_t counter;              // saved in korv.cfg
};

TEST_F(Pop3Run, PerMessageProblems) {
    const std::string m = Message(1);
    const std::string size = std::to_string(m.size());
    const std::string stored = std::to_string(Stored(m).size());
    const std::string announce = "Receiving 1 message(s) (" + size + " bytes)...\n";
    const std::string announceEvent = "- Receiving 1 message(s); " + size + "b";
    const std::string getting = "Getting message #1... ";
    const std::string progress = getting + "\n";  // a pipe gets no figures
    const std::string rcvd = "* Rcvd 00000005 from ann@example.org; " + stored + "b, N CPS";
    const std::vector<MessageRow> rows = {
        {"LIST without two numbers", [](Pop3Script& s, MailConfig&) { s.messages[0].list = "+OK 1"; },
         announce + getting + "\nInvalid mail size response.\n",
         {announceEvent, "? Invalid mail size response; message 1"}, "", "LIST 1\r\n", 0, 6},
        {"LIST refused: fetched without a limit",
         [](Pop3Script& s, MailConfig& c) {
             s.messages[0].list = "-ERR no such";
             c.maxMessageSize.set(1);
         },
         announce + progress, {announceEvent, rcvd},
         "00000005.txt 00000005.wrk", "LIST 1\r\nRETR 1\r\nDELE 1\r\n", 0, 6},
        {"size equal to the limit, deleted",
         [&](Pop3Script&, MailConfig& c) {
             c.maxMessageSize.set(static_cast<std::int32_t>(m.size()));
             c.deleteOversize = 1;
         },
         announce + getting + "\nDeleting too long message from server.\n",
         {announceEvent, "? Deleting too long message from server; message 1"}, "", "LIST 1\r\nDELE 1\r\n", 0, 6},
        {"too long, deletion refused",
         [](Pop3Script& s, MailConfig& c) {
             c.maxMessageSize.set(0);
             c.deleteOversize = 1;
             s.messages[0].dele = "-ERR no";
         },
         announce + getting + "\nDeleting too long message from server.\nCan't delete message from server.\n",
         {announceEvent, "? Deleting too long message from server; message 1",
          "? Can't delete message from server; message 1"},
         "", "LIST 1\r\nDELE 1\r\n", 2, 5},
        {"too long, left on the server",
         [](Pop3Script&, MailConfig& c) {
             c.maxMessageSize.set(0);
             c.deleteOversize = 2;
         },
         announce + getting + "\nLeaving too long message on server.\n",
         {announceEvent, "? Leaving too long message on server; message 1"}, "", "LIST 1\r\n", 0, 6},
        {"one byte under the limit is fetched",
         [&](Pop3Script&, MailConfig& c) {
             c.maxMessageSize.set(static_cast<std::int32_t>(m.size() + 1));
             c.deleteOversize = 1;
         },
         announce + progress, {announceEvent, rcvd}, "00000005.txt 00000005.wrk", "LIST 1\r\nRETR 1\r\nDELE 1\r\n",
         0, 6},
        {"RETR refused", [](Pop3Script& s, MailConfig&) { s.messages[0].retr = "-ERR locked"; },
         announce + getting + "\nCan't retrieve message.\n", {announceEvent, "? Can't retrieve message; message 1"}, "",
         "LIST 1\r\nRETR 1\r\n", 0, 6},
        {"text file cannot be created",
         [&](Pop3Script&, MailConfig&) { MakeDir(sb.inbound() + "/00000005.txt"); },
         announce + getting + "\nCan't create file 00000005.TXT.",
         {announceEvent, "! Can't create file 00000005.TXT; message 1"}, "", "LIST 1\r\nRETR 1\r\n", 2,
         5},
        // A pipe by the chosen name would hold the run at its open, waiting for a reader.
        {"text file is a named pipe",
         [&](Pop3Script&, MailConfig&) { ASSERT_EQ(mkfifo((sb.inbound() + "/00000005.txt").c_str(), 0600), 0); },
         announce + getting + "\nCan't create file 00000005.TXT.",
         {announceEvent, "! Can't create file 00000005.TXT; message 1"}, "", "LIST 1\r\nRETR 1\r\n", 2,
         5},
        {"write error on the text file",
         [&](Pop3Script&, MailConfig&) {
             ASSERT_EQ(symlink("/dev/full", (sb.inbound() + "/00000005.txt").c_str()), 0);
         },
         announce + progress + "Couldn't write file 00000005.TXT.",
         {announceEvent, "! Couldn't write file 00000005.TXT; message 1"}, "", "LIST 1\r\nRETR 1\r\n", 2, 5},
        {"envelope file cannot be created",
         [&](Pop3Script&, MailConfig&) { MakeDir(sb.inbound() + "/.00000005.tmp"); },
         announce + progress + "Can't create file 00000005.WRK.",
         {announceEvent, "! Can't create file 00000005.WRK; message 1"}, ".00000005.tmp", "LIST 1\r\nRETR 1\r\n", 2,
         5},
        {"envelope file is a named pipe",
         [&](Pop3Script&, MailConfig&) { ASSERT_EQ(mkfifo((sb.inbound() + "/.00000005.tmp").c_str(), 0600), 0); },
         announce + progress + "Can't create file 00000005.WRK.",
         {announceEvent, "! Can't create file 00000005.WRK; message 1"}, ".00000005.tmp", "LIST 1\r\nRETR 1\r\n", 2,
         5},
        {"DELE refused", [](Pop3Script& s, MailConfig&) { s.messages[0].dele = "-ERR locked"; },
         announce + progress + "Can't delete message from server.\n",
         {announceEvent, "? Can't delete message from server; message 1"}, "", "LIST 1\r\nRETR 1\r\nDELE 1\r\n", 2, 5},
        {"envelopes 5 to 7 taken",
         [&](Pop3Script&, MailConfig&) {
             for (const char* name : {"00000005", "00000006", "00000007"}) {
                 WriteFile(sb.inbound() + "/" + name + ".txt", "old\n");
                 WriteFile(sb.inbound() + "/" + name + ".wrk", "old\n");
             }
         },
         announce + progress,
         {announceEvent, "* Rcvd 00000008 from ann@example.org; " + stored + "b, N CPS"},
         "00000005.txt 00000005.wrk 00000006.txt 00000006.wrk 00000007.txt 00000007.wrk 00000008.txt "
         "00000008.wrk",
         "LIST 1\r\nRETR 1\r\nDELE 1\r\n", 0, 9},
        {"a text file without envelope is replaced",
         [&](Pop3Script&, MailConfig&) { WriteFile(sb.inbound() + "/00000005.txt", "stale\n"); }, announce + progress,
         {announceEvent, rcvd}, "00000005.txt 00000005.wrk", "LIST 1\r\nRETR 1\r\nDELE 1\r\n", 0, 6},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::string inbound = sb.inbound();
        std::string cmd = "rm -rf '" + inbound + "' && mkdir '" + inbound + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
        std::remove(sb.logPath().c_str());
        sb.config = DefaultConfig();
        sb.config.inboundDir.assign("in");
        sb.config.outboundDir.assign("out");
        sb.config.logFile.assign("korv.log");
        sb.config.pop3User.assign("ann");
        sb.config.pop3Password.assign("secret");
        sb.config.messageCounter.set(5);
        Pop3Script script;
        script.messages = {{m}};
        row.change(script, sb.config);
        Run(script);
        EXPECT_EQ(result.status, row.status);
        EXPECT_EQ(result.out, Head() + row.console + Closed());
        EXPECT_EQ(Log(), LogOf(row.events + ClosedEvents()));
        EXPECT_EQ(ListDir(sb.inbound()), row.files);
        EXPECT_EQ(dialogue, "USER ann\r\nPASS secret\r\nSTAT\r\n" + row.sent + "QUIT\r\n");
        EXPECT_EQ(SavedCounter(), row.counter);
    }
}

TEST_F(Pop3Run, NoFreeNameNeverOverwritesAStoredPair) {
    struct Row {
        const char* name;
        std::uint32_t counter;
        std::vector<std::uint32_t> taken;
        std::string base;
    };
    std::vector<std::uint32_t> all;
    for (std::uint32_t i = 100; i < 100 + 1024; ++i) all.push_back(i);
    const std::vector<Row> rows = {
        {"all 1024 candidates taken", 100, all, "00000100"},
        {"the last counter value taken", 4294967295u, {4294967295u}, "4294967295"},
        {"the counter would pass the 32-bit limit", 4294967290u,
         {4294967290u, 4294967291u, 4294967292u, 4294967293u, 4294967294u, 4294967295u}, "4294967290"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::remove(sb.logPath().c_str());
        char name[32];
        for (auto c : row.taken) {
            std::snprintf(name, sizeof name, "%08lu", static_cast<unsigned long>(c));
            WriteFile(sb.inbound() + "/" + name + ".wrk", "x\n");
            WriteFile(sb.inbound() + "/" + name + ".txt", "stored\n");
        }
        std::string before = ListDir(sb.inbound());
        sb.config.messageCounter.set(row.counter);
        Pop3Script script;
        script.messages = {{Message(1)}};
        Run(script);
        EXPECT_EQ(result.status, 2);
        EXPECT_NE(result.out.find("Getting message #1... \nCan't create file " + row.base + ".TXT.Closing"),
                  std::string::npos)
            << result.out;
        EXPECT_NE(Log().find("! HH:MM:SS  Can't create file " + row.base + ".TXT; message 1\n"), std::string::npos);
        EXPECT_EQ(ListDir(sb.inbound()), before);
        for (auto c : row.taken) {
            std::snprintf(name, sizeof name, "%08lu", static_cast<unsigned long>(c));
            EXPECT_EQ(ReadFile(sb.inbound() + "/" + name + ".txt"), "stored\n");
        }
        EXPECT_EQ(dialogue.find("DELE"), std::string::npos);
        EXPECT_EQ(SavedCounter(), row.counter);
        ASSERT_EQ(std::system(("rm -f '" + sb.inbound() + "'/*").c_str()), 0);
    }
}

TEST_F(Pop3Run, TheCounterStopsAtTheLimitInsteadOfWrapping) {
    sb.config.messageCounter.set(4294967295u);
    Pop3Script script;
    script.messages = {{Message(1)}, {Message(2)}};
    Run(script);
    // The first message takes the last name; the second finds none left and
    // stays on the server.
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(ListDir(sb.inbound()), "4294967295.txt 4294967295.wrk");
    EXPECT_EQ(ReadFile(sb.inbound() + "/4294967295.txt"), Stored(Message(1)));
    EXPECT_NE(result.out.find("Can't create file 4294967295.TXT."), std::string::npos);
    EXPECT_EQ(dialogue.find("RETR 2\r\nDELE"), std::string::npos);
    EXPECT_EQ(SavedCounter(), 4294967295u);
}

TEST_F(Pop3Run, ThreeMessagesTheSecondRefusedByRetr) {
    Pop3Script script;
    script.messages = {{Message(1)}, {Message(2)}, {Message(3)}};
    script.messages[1].retr = "-ERR busy";
    sb.config.messageCounter.set(20);
    Run(script);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(ListDir(sb.inbound()), "00000020.txt 00000020.wrk 00000022.txt 00000022.wrk");
    EXPECT_EQ(ReadFile(sb.inbound() + "/00000022.txt"), Stored(Message(3)));
    EXPECT_EQ(SavedCounter(), 23u);
}

TEST_F(Pop3Run, DeleRefusedForTheSecondOfThree) {
    Pop3Script script;
    script.messages = {{Message(1)}, {Message(2)}, {Message(3)}};
    script.messages[1].dele = "-ERR no";
    Run(script, {"/receive"});
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(ListDir(sb.inbound()), "00000000.txt 00000000.wrk");
    EXPECT_EQ(dialogue, "USER ann\r\nPASS secret\r\nSTAT\r\nLIST 1\r\nRETR 1\r\nDELE 1\r\nLIST 2\r\nRETR 2\r\n"
                        "DELE 2\r\nQUIT\r\n");
    EXPECT_EQ(SavedCounter(), 1u);
}

struct CutRow {
    const char* name;
    Cut cut;
    std::string sent;      // after the first message's commands
    std::string console;   // after the first message's progress line
};

// Without QUIT the server keeps every message, so no pair of the connection stays.
TEST_F(Pop3Run, ACutAtEachStepLeavesNoPairOfTheConnection) {
    // Nine lines: the progress figure is drawn at the start and at the end only.
    const std::string m2 = Message(2, std::string(2000, 'z') + "\r\nlast\r\n");
    const std::string getting2 = "Getting message #2... ";
    const std::vector<CutRow> rows = {
        {"on LIST", Cut::OnList, "LIST 2\r\n", getting2 + "\n"},
        {"before RETR is answered", Cut::AfterListReply, "LIST 2\r\nRETR 2\r\n", getting2 + "\n"},
        {"after the RETR reply", Cut::AfterRetrReply, "LIST 2\r\nRETR 2\r\n", getting2 + "\n"},
        {"in the middle of the text", Cut::MidText, "LIST 2\r\nRETR 2\r\n", getting2 + "\n"},
        {"before the DELE reply", Cut::OnDele, "LIST 2\r\nRETR 2\r\nDELE 2\r\n",
         getting2 + "\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_EQ(std::system(("rm -f '" + sb.inbound() + "'/* '" + sb.inbound() + "'/.??*").c_str()), 0);
        std::remove(sb.logPath().c_str());
        sb.config.messageCounter.set(0);
        Pop3Script script;
        script.messages = {{Message(1)}, {m2}};
        script.cut = row.cut;
        script.cutMessage = 2;
        Run(script);
        EXPECT_EQ(result.status, 2);
        std::string size = std::to_string(Message(1).size() + m2.size());
        EXPECT_EQ(result.out, Head() + "Receiving 2 message(s) (" + size + " bytes)...\n" +
                                  "Getting message #1... \n" + row.console + LinkLost());
        EXPECT_EQ(Log(), LogOf({"- Receiving 2 message(s); " + size + "b",
                                "* Rcvd 00000000 from ann@example.org; " +
                                    std::to_string(Stored(Message(1)).size()) + "b, N CPS",
                                "! Remote closed connection. (0)"}));
        EXPECT_EQ(dialogue, "USER ann\r\nPASS secret\r\nSTAT\r\nLIST 1\r\nRETR 1\r\nDELE 1\r\n" + row.sent);
        EXPECT_EQ(ListDir(sb.inbound()), "");
        EXPECT_EQ(SavedCounter(), 1u);
    }
}

TEST_F(Pop3Run, LinkLostDuringLogin) {
    for (Cut cut : {Cut::OnUser, Cut::OnStat}) {
        std::remove(sb.logPath().c_str());
        Pop3Script script;
        script.cut = cut;
        Run(script);
        EXPECT_EQ(result.status, 2);
        EXPECT_EQ(result.out, Head() + LinkLost());
        EXPECT_EQ(Log(), LogOf({"! Remote closed connection. (0)"}));
        EXPECT_EQ(dialogue.find("QUIT"), std::string::npos);
        EXPECT_TRUE(FileExists(sb.path("korv.cfg")));
    }
}

// ---- What is stored ----

struct TextRow {
    const char* name;
    std::string wire;      // the text as the server sends it
    std::string stored;    // the text file
    std::string envelope;  // the envelope file
};

TEST_F(Pop3Run, StoredTextAndEnvelope) {
    using namespace std::string_literals;
    const std::string a999(999, 'a');
    const std::vector<TextRow> rows = {
        {"dots", "To: x@y\r\n\r\n..\r\n.x\r\n .y\r\n...z\r\n", "To: x@y\n\n.\nx\n .y\n..z\n", "y\n???\nx@y\n"},
        {"no To:", "From: a@b\r\n\r\nhi\r\n", "From: a@b\n\nhi\n", "???\na@b\n???\n"},
        {"no header", "\r\nFrom: a@b\r\nTo: c@d\r\n", "\nFrom: a@b\nTo: c@d\n", "???\n???\n???\n"},
        {"To: in the body", "To: a@one\r\n\r\nTo: b@two\r\n", "To: a@one\n\nTo: b@two\n", "one\n???\na@one\n"},
        {"two To: lines, letter case", "to: a@one\r\nTO: <b@two>\r\nfrom: (x) c@d\r\n\r\n",
         "to: a@one\nTO: <b@two>\nfrom: (x) c@d\n\n", "two\nc@d\nb@two\n"},
        {"Resent-To does not count", "Resent-To: a@one\r\nTo: b\r\n\r\n", "Resent-To: a@one\nTo: b\n\n", "b\n???\nb\n"},
        {"NUL bytes stored whole", "To: a@b\r\n\r\nx\0y\0\r\n"s, "To: a@b\n\nx\0y\0\n"s, "b\n???\na@b\n"},
        {"8-bit bytes", "To: a@b\r\n\r\n\xe4\xf6\xfc\xff\r\n", "To: a@b\n\n\xe4\xf6\xfc\xff\n", "b\n???\na@b\n"},
        {"2500 characters in pieces", "To: a@b\r\n\r\n" + std::string(2500, 'q') + "\r\n",
         "To: a@b\n\n" + std::string(999, 'q') + "\n" + std::string(999, 'q') + "\n" + std::string(502, 'q') + "\n",
         "b\n???\na@b\n"},
        {"a cut piece that is a dot is text", "To: a@b\r\n\r\n" + a999 + ".\r\n" + a999 + "..x\r\nend\r\n",
         "To: a@b\n\n" + a999 + "\n.\n" + a999 + "\n..x\nend\n", "b\n???\na@b\n"},
        {"a cut piece is no header", "X: " + std::string(996, 'h') + "To: z@z\r\nTo: a@b\r\n\r\n",
         "X: " + std::string(996, 'h') + "\nTo: z@z\nTo: a@b\n\n", "b\n???\na@b\n"},
        {"CR NUL and bare LF line ends", "To: a@b\r\0\r\nx\ny\r\n"s, "To: a@b\n\nx\ny\n", "b\n???\na@b\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_EQ(std::system(("rm -f '" + sb.inbound() + "'/*").c_str()), 0);
        sb.config.messageCounter.set(0);
        Pop3Script script;
        script.messages = {{row.wire}};
        Run(script);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(ReadFile(sb.inbound() + "/00000000.txt"), row.stored);
        EXPECT_EQ(ReadFile(sb.inbound() + "/00000000.wrk"), row.envelope);
    }
}

}  // namespace
}  // namespace quorvexia::test
