// The retry frame with both phases: /send /receive /tries:3 where SMTP fails
// on every attempt and POP3 succeeds on its second.
#include <gtest/gtest.h>

#include <sstream>

#include "pop3_support.h"
#include "smtp_test_support.h"

namespace quorvexia::test {
namespace {

TEST(SmtpRetry, SendFailsThreeTimesReceiveSucceedsOnTheSecond) {
    KorvSandbox box;
    QueueMessage(box, "m1", "d\nann@x\nbob@y\n", "To: bob@y\n\nhi\n");
    ScriptedServer smtp(SmtpScript({{Reply("421 busy")}, {Reply("421 busy")}, {Reply("421 busy")}}), 3);
    ScriptedServer pop3(
        [](ServerConnection& c, int index) {
            Pop3Script script;
            if (index == 0) script.greeting = "-ERR not now";
            ServePop3(c, script);
        },
        2);
    box.config.smtpServer.assign(smtp.address());
    box.config.pop3Server.assign(pop3.address());
    box.config.pop3User.assign("user");
    box.config.pop3Password.assign("secret");
    auto result = box.run({"/send", "/receive", "/tries:3"});
    smtp.join();
    pop3.join();

    // The frame's lines: each attempt starts with "Solving", retries are
    // announced, and one empty line parts the phases.
    std::istringstream lines(result.out.substr(Banner().size()));
    std::string line, frame;
    while (std::getline(lines, line)) {
        if (line.starts_with("Solving") || line == "Retrying..." || line.empty()) frame += line + "|";
    }
    const std::string s = "Solving SMTP host '" + smtp.address() + "'...|";
    const std::string p = "Solving POP3 host '" + pop3.address() + "'...|";
    EXPECT_EQ(frame, s + "Retrying...|" + s + "Retrying...|" + s + "|" + p + "Retrying...|" + p) << result.out;
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(smtp.accepted(), 3);
    EXPECT_EQ(pop3.accepted(), 2);
    EXPECT_EQ(smtp.received(), "QUIT\r\nQUIT\r\nQUIT\r\n");
    EXPECT_EQ(ListDir(box.outbound()), "m1.txt m1.wrk");
    std::string log = MaskSmtpLog(box.log());
    std::size_t notReady = 0;
    for (std::size_t at = 0; (at = log.find("! HH:MM:SS  SMTP server is not ready; error 421\n", at)) !=
                             std::string::npos;
         ++at)
        ++notReady;
    EXPECT_EQ(notReady, 3u) << log;
}

}  // namespace
}  // namespace quorvexia::test
