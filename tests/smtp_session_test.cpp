// The SMTP session as a unit: one queued pair sent over a link whose server
// side is a script of replies, each step's reply judged into the session's
// result, the reports (console text and log line), the commands on the wire
// and what is left of the pair.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "support/recording_reporter.h"
#include "support/script_stream.h"
#include "support/temp_dir.h"
#include "transfer/console.h"
#include "transfer/korv_state.h"
#include "transfer/smtp_session.h"

namespace quorvexia {
namespace {

using test::ScriptStream;

struct SmtpCase {
    const char* name;
    std::vector<std::string> replies;  // after the greeting and the reply to HELO
    SessionResult result;
    std::vector<std::string> reports;
    std::vector<std::string> commands;  // after HELO
    bool pairLeft;
    // With PIPELINING, where they differ: the commands sent (and replies to
    // those sent ahead); the rest is the same as lock-step.
    std::vector<std::string> groupCommands = {};
    std::vector<std::string> groupReplies = {};
    bool pipelinedOnly = false;
};

const std::vector<std::string> kWholeTransaction = {"RSET", "MAIL FROM:<ann@a.test>", "RCPT TO:<bob@b.test>",
                                                    "RCPT TO:<cy@c.test>", "DATA", "."};

class SmtpSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        console_ = std::tmpfile();
        consoleStream = console_;
        debugMode = false;
        config_.domainName.assign("a.test");
        config_.outboundDir.assign(dir_.path());
        test::WriteFile(dir_ / "00000007.wrk", "b.test\nann@a.test\nbob@b.test\n\ncy@c.test\n");
        test::WriteFile(dir_ / "00000007.txt", "To: Bob <bob@b.test>\nSubject: s\n\n.dot\nbody\n");
    }
    void TearDown() override {
        consoleStream = stdout;
        std::fclose(console_);
    }
    // Lock-step over plain SMTP, or the TLS form (implicit TLS, the link
    // itself being the script) with a server that offers PIPELINING.
    void Check(const SmtpCase& c, bool pipelined) {
        SCOPED_TRACE(std::string(c.name) + (pipelined ? ", pipelined" : ""));
        config_.smtpServer.assign(pipelined ? "smtps://127.0.0.1" : "127.0.0.1");
        std::string script = pipelined ? "220 ready\r\n250-hello\r\n250 PIPELINING\r\n" : "220 ready\r\n250 hello\r\n";
        for (const auto& r : pipelined && !c.groupReplies.empty() ? c.groupReplies : c.replies) script += r + "\r\n";
        auto stream = std::make_unique<ScriptStream>(script);
        std::string sent;  // kept here: a dropped connection takes the stream with it
        stream->onSend = [&](std::string_view bytes) { sent.append(bytes); };
        Link link(std::move(stream));
        test::RecordingReporter reporter;
        SmtpSession session(config_, side_, reporter);
        EXPECT_EQ(session.dialogue(link), c.result);
        // A second may pass during the transaction; the rate is not the point here.
        for (auto& e : reporter.entries) e = std::regex_replace(e, std::regex(", [0-9]+ CPS$"), ", 0 CPS");
        EXPECT_EQ(reporter.entries, c.reports);
        std::vector<std::string> commands = ScriptStream::Commands(sent);
        ASSERT_GE(commands.size(), 1u);
        EXPECT_EQ(commands.front(), pipelined ? "EHLO a.test" : "HELO a.test");
        EXPECT_EQ(std::vector<std::string>(commands.begin() + 1, commands.end()),
                  pipelined && !c.groupCommands.empty() ? c.groupCommands : c.commands);
        EXPECT_EQ(test::FileExists(dir_ / "00000007.wrk"), c.pairLeft);
        EXPECT_EQ(test::FileExists(dir_ / "00000007.txt"), c.pairLeft);
    }

    test::TempDir dir_;
    MailConfig config_{};
    SideSettings side_;
    std::FILE* console_ = nullptr;
};

// Each case runs in lock-step and pipelined: the same result, reports and pair.
TEST_F(SmtpSessionTest, EachStepJudgesItsReply) {
    const auto& all = kWholeTransaction;
    const std::vector<std::string> upToData(all.begin(), all.begin() + 5);
    const std::vector<std::string> dot = {"RSET", "MAIL FROM:<ann@a.test>", "RCPT TO:<bob@b.test>",
                                          "RCPT TO:<cy@c.test>", "DATA", "."};
    const SmtpCase cases[] = {
        {"accepted", {"250 r", "250 m", "250 a", "250 b", "354 go", "250 queued"}, SessionResult::Done,
         {"|* Sent 00000007 to bob@b.test; 43b, 0 CPS"}, all, false},
        // A stop drops the connection in the middle of a group: nothing more is read.
        {"RSET refused", {"421 bye"}, SessionResult::Stopped, {"Can't reset; error 421.\n|! Can't reset; error 421"},
         {"RSET"}, true, upToData},
        {"RSET without a code", {"what"}, SessionResult::Stopped,
         {"Invalid RSET command response.\n|! Invalid RSET command response"}, {"RSET"}, true, upToData},
        {"sender refused", {"250 r", "553 no"}, SessionResult::Done,
         {"Invalid mail sender.\n|? Invalid mail sender; error 553; message 00000007"},
         {"RSET", "MAIL FROM:<ann@a.test>"}, true, upToData, {"250 r", "553 no", "503 a", "503 b", "503 c"}},
        {"530 to MAIL ends the session", {"250 r", "530 auth first"}, SessionResult::Stopped,
         {"SMTP server refused mail: 530 auth first.\n|! SMTP server refused mail: 530 auth first"},
         {"RSET", "MAIL FROM:<ann@a.test>"}, true, upToData},
        {"RCPT reply without a code", {"250 r", "250 m", "what"}, SessionResult::Stopped,
         {"Invalid RCPT command response.\n|! Invalid RCPT command response; message 00000007"},
         {all.begin(), all.begin() + 3}, true, upToData},
        {"one recipient refused", {"250 r", "250 m", "550 unknown", "250 b", "354 go", "250 queued"},
         SessionResult::Done, {"|? Invalid recipient: bob@b.test", "|* Sent 00000007 to bob@b.test; 43b, 0 CPS"},
         all, false},
        {"every recipient refused", {"250 r", "250 m", "550 a", "550 b"}, SessionResult::Done,
         {"|? Invalid recipient: bob@b.test", "|? Invalid recipient: cy@c.test",
          "All recipients are invalid.\n|? All recipients are invalid; message 00000007"},
         {all.begin(), all.begin() + 4}, true, upToData, {"250 r", "250 m", "550 a", "550 b", "554 no recipients"}},
        // RFC 2920: a 354 after every recipient was refused gets a lone dot.
        {"354 though every recipient was refused", {}, SessionResult::Done,
         {"|? Invalid recipient: bob@b.test", "|? Invalid recipient: cy@c.test",
          "All recipients are invalid.\n|? All recipients are invalid; message 00000007"},
         {}, true, dot, {"250 r", "250 m", "550 a", "550 b", "354 go", "554 nothing"}, true},
        // A recipient taken after the refused sender: only a drop can stop the delivery.
        {"354 after a refused sender", {}, SessionResult::Stopped,
         {"Invalid mail sender.\n|? Invalid mail sender; error 553; message 00000007"}, {}, true, upToData,
         {"250 r", "553 no", "250 a", "503 b", "354 go"}, true},
        {"DATA refused", {"250 r", "250 m", "250 a", "250 b", "451 later"}, SessionResult::Done,
         {"Can't send message.\n|? Can't send message; error 451; message 00000007"}, upToData, true},
        {"354 after three lines", {"250 r", "250 m", "250 a", "250 b", "250 x", "250 y", "250 z", "354 go"},
         SessionResult::Stopped,
         {"Invalid DATA command response.\n|! Invalid DATA command response; message 00000007"}, upToData, true},
        {"text refused for good", {"250 r", "250 m", "250 a", "250 b", "354 go", "554 no"}, SessionResult::Done,
         {"Permanent failure.\n|? Permanent failure; error 554; message 00000007.\n"}, all, false},
        {"text refused for now", {"250 r", "250 m", "250 a", "250 b", "354 go", "452 full"}, SessionResult::Done,
         {"Invalid message data.\n|? Invalid message data; error 452; message 00000007"}, all, true},
        {"closed before the final reply", {"250 r", "250 m", "250 a", "250 b", "354 go"}, SessionResult::LinkFailed,
         {}, all, true},
    };
    for (const auto& c : cases) {
        for (bool pipelined : {false, true}) {
            if (c.pipelinedOnly && !pipelined) continue;
            test::WriteFile(dir_ / "00000007.wrk", "b.test\nann@a.test\nbob@b.test\n\ncy@c.test\n");
            test::WriteFile(dir_ / "00000007.txt", "To: Bob <bob@b.test>\nSubject: s\n\n.dot\nbody\n");
            Check(c, pipelined);
        }
    }
}

// A group larger than the window goes out in parts, replies read between them.
TEST_F(SmtpSessionTest, ALargeGroupGoesOutInParts) {
    std::string envelope = "b.test\nann@a.test\n", replies = "220 a\r\n250-b\r\n250 PIPELINING\r\n250 r\r\n250 m\r\n";
    for (int i = 0; i < 150; ++i) {
        envelope += "r" + std::to_string(i) + "@b.test\n";
        replies += "250 ok\r\n";
    }
    test::WriteFile(dir_ / "00000007.wrk", envelope);
    auto stream = std::make_unique<ScriptStream>(replies + "354 go\r\n250 queued\r\n");
    std::vector<std::size_t> lines;
    stream->onSend = [&](std::string_view bytes) { lines.push_back(std::count(bytes.begin(), bytes.end(), '\n')); };
    ScriptStream& server = *stream;
    Link link(std::move(stream));
    test::RecordingReporter reporter;
    config_.smtpServer.assign("smtps://127.0.0.1");
    SmtpSession session(config_, side_, reporter);
    ASSERT_EQ(session.dialogue(link), SessionResult::Done);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[1], 64u);  // after EHLO: RSET, MAIL and 62 RCPTs
    std::size_t recipients = 0;
    for (const auto& c : server.commands()) recipients += c.rfind("RCPT TO:", 0) == 0;
    EXPECT_EQ(recipients, 150u);
    EXPECT_FALSE(test::FileExists(dir_ / "00000007.wrk"));
}

TEST_F(SmtpSessionTest, TheTextGoesOutDotStuffedAfterItsEnvelope) {
    auto stream = std::make_unique<ScriptStream>("220 a\r\n250 b\r\n250 c\r\n250 d\r\n250 e\r\n250 f\r\n354 g\r\n250 h\r\n");
    ScriptStream& server = *stream;
    Link link(std::move(stream));
    test::RecordingReporter reporter;
    SmtpSession session(config_, side_, reporter);
    ASSERT_EQ(session.dialogue(link), SessionResult::Done);
    EXPECT_EQ(server.sent(),
              "HELO a.test\r\nRSET\r\nMAIL FROM:<ann@a.test>\r\nRCPT TO:<bob@b.test>\r\nRCPT TO:<cy@c.test>\r\n"
              "DATA\r\nTo: Bob <bob@b.test>\r\nSubject: s\r\n\r\n..dot\r\nbody\r\n.\r\n");
}

}  // namespace
}  // namespace quorvexia
