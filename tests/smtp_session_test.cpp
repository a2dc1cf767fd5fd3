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
#include "support/temp_dir.h"
#include "transfer/console.h"
#include "transfer/korv_state.h"
#include "transfer/smtp_session.h"

namespace quorvexia {
namespace {

// The server's side as a script: every reply is there from the start (korv
// reads replies in order), and what korv sends is kept.
class ScriptStream final : public platform::ByteStream {
public:
    explicit ScriptStream(std::string replies) : replies_(std::move(replies)) {}
    bool sendAll(const char* data, std::size_t size) override {
        sent_.append(data, size);
        return true;
    }
    long receive(char* data, std::size_t size) override {
        std::size_t n = std::min(size, replies_.size() - position_);
        std::memcpy(data, replies_.data() + position_, n);
        position_ += n;
        return static_cast<long>(n);  // 0 at the end: the server closed
    }
    int lastError() const override { return 0; }
    void setTimeout(int) override {}
    const std::string& sent() const { return sent_; }
    // The commands sent, the message text left out.
    std::vector<std::string> commands() const {
        std::vector<std::string> out;
        bool text = false;
        for (std::size_t start = 0, end; (end = sent_.find("\r\n", start)) != std::string::npos; start = end + 2) {
            std::string line = sent_.substr(start, end - start);
            if (!text) out.push_back(line);
            if (line == "DATA") text = true;
            if (line == ".") {
                out.push_back(line);
                text = false;
            }
        }
        return out;
    }

private:
    std::string replies_;
    std::size_t position_ = 0;
    std::string sent_;
};

struct SmtpCase {
    const char* name;
    std::vector<std::string> replies;  // after the greeting and the reply to HELO
    SessionResult result;
    std::vector<std::string> reports;
    std::vector<std::string> commands;  // after HELO
    bool pairLeft;
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
    void Check(const SmtpCase& c) {
        SCOPED_TRACE(c.name);
        std::string script = "220 ready\r\n250 hello\r\n";
        for (const auto& r : c.replies) script += r + "\r\n";
        auto stream = std::make_unique<ScriptStream>(script);
        ScriptStream& server = *stream;
        Link link(std::move(stream));
        test::RecordingReporter reporter;
        SmtpSession session(config_, side_, reporter);
        EXPECT_EQ(session.dialogue(link), c.result);
        // A second may pass during the transaction; the rate is not the point here.
        for (auto& e : reporter.entries) e = std::regex_replace(e, std::regex(", [0-9]+ CPS$"), ", 0 CPS");
        EXPECT_EQ(reporter.entries, c.reports);
        std::vector<std::string> commands = server.commands();
        ASSERT_GE(commands.size(), 1u);
        EXPECT_EQ(commands.front(), "HELO a.test");
        EXPECT_EQ(std::vector<std::string>(commands.begin() + 1, commands.end()), c.commands);
        EXPECT_EQ(test::FileExists(dir_ / "00000007.wrk"), c.pairLeft);
        EXPECT_EQ(test::FileExists(dir_ / "00000007.txt"), c.pairLeft);
    }

    test::TempDir dir_;
    MailConfig config_{};
    SideSettings side_;
    std::FILE* console_ = nullptr;
};

TEST_F(SmtpSessionTest, EachStepJudgesItsReply) {
    const auto& all = kWholeTransaction;
    const std::vector<std::string> upToData(all.begin(), all.begin() + 5);
    const SmtpCase cases[] = {
        {"accepted", {"250 r", "250 m", "250 a", "250 b", "354 go", "250 queued"}, SessionResult::Done,
         {"|* Sent 00000007 to bob@b.test; 43b, 0 CPS"}, all, false},
        {"RSET refused", {"421 bye"}, SessionResult::Stopped, {"Can't reset; error 421.\n|! Can't reset; error 421"},
         {"RSET"}, true},
        {"RSET without a code", {"what"}, SessionResult::Stopped,
         {"Invalid RSET command response.\n|! Invalid RSET command response"}, {"RSET"}, true},
        {"sender refused", {"250 r", "553 no"}, SessionResult::Done,
         {"Invalid mail sender.\n|? Invalid mail sender; error 553; message 00000007"},
         {"RSET", "MAIL FROM:<ann@a.test>"}, true},
        {"one recipient refused", {"250 r", "250 m", "550 unknown", "250 b", "354 go", "250 queued"},
         SessionResult::Done, {"|? Invalid recipient: bob@b.test", "|* Sent 00000007 to bob@b.test; 43b, 0 CPS"},
         all, false},
        {"every recipient refused", {"250 r", "250 m", "550 a", "550 b"}, SessionResult::Done,
         {"|? Invalid recipient: bob@b.test", "|? Invalid recipient: cy@c.test",
          "All recipients are invalid.\n|? All recipients are invalid; message 00000007"},
         {all.begin(), all.begin() + 4}, true},
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
        test::WriteFile(dir_ / "00000007.wrk", "b.test\nann@a.test\nbob@b.test\n\ncy@c.test\n");
        test::WriteFile(dir_ / "00000007.txt", "To: Bob <bob@b.test>\nSubject: s\n\n.dot\nbody\n");
        Check(c);
    }
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
