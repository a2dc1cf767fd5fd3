// korv /send against a real SMTP server (aiosmtpd) on loopback: a queue that
// holds a 50 MiB message arrives byte for byte, each with the envelope of its
// .wrk file, and the queue is empty afterwards.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "smtp_test_support.h"
#include "support/smtp_server.h"

namespace quorvexia::test {
namespace {

// The text as the server must hand it on: each line with CR LF, dots as written.
std::string OnTheWire(const std::string& text) {
    std::string wire;
    wire.reserve(text.size() + text.size() / 30);
    for (char c : text) {
        if (c == '\n') wire += '\r';
        wire += c;
    }
    return wire;
}

TEST(SmtpInterop, QueueWithA50MiBMessageArrivesWhole) {
    KorvSandbox box;
    TempDir received;
    SmtpServerProcess sink(received.path(), 240);
    ASSERT_TRUE(sink.ready());

    std::map<std::string, std::pair<std::string, std::string>> expected;  // sender -> recipients, text
    auto queue = [&](const std::string& base, const std::string& sender, const std::string& recipients,
                     const std::string& text) {
        std::string envelope = "example.org\n" + sender + "\n";
        std::string list;
        for (std::size_t at = 0; at < recipients.size();) {
            std::size_t end = recipients.find(' ', at);
            if (end == std::string::npos) end = recipients.size();
            envelope += recipients.substr(at, end - at) + "\n\n";
            list += recipients.substr(at, end - at) + "\n";
            at = end + 1;
        }
        QueueMessage(box, base, envelope, text);
        expected[sender] = {list, OnTheWire(text)};
    };
    queue("00000001", "a@x.example", "b@y.example", "To: b@y.example\nSubject: one\n\nHello.\n.\n..\n.end\n");
    queue("00000002", "c@x.example", "d@y.example e@y.example", "Subject: two\n\n" + std::string(998, 'w') + "\n");
    queue("00000003", "f@x.example", "g@y.example", "");
    std::string big = "To: big@y.example\nSubject: fifty\n\n";
    for (unsigned i = 0; big.size() < 50u * 1024 * 1024; ++i) {
        if (i % 7 == 0) big += '.';
        big.append(20 + i % 150, static_cast<char>('a' + i % 26));
        big += '\n';
    }
    queue("00000004", "h@x.example", "big@y.example", big);

    box.config.smtpServer.assign(sink.address());
    box.config.domainName.assign("client.example");
    auto result = box.run({"/send"}, "", 240);
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(ListDir(box.outbound()), "");

    for (int n = 1; n <= 4; ++n) {
        std::string env = ReadFile(received / (std::to_string(n) + ".env"));
        std::string sender = env.substr(0, env.find('\n'));
        ASSERT_TRUE(expected.count(sender)) << "message " << n << " came from " << sender;
        EXPECT_EQ(env.substr(sender.size() + 1), expected[sender].first);
        std::string data = ReadFile(received / (std::to_string(n) + ".data"));
        EXPECT_EQ(data.size(), expected[sender].second.size()) << sender;
        EXPECT_TRUE(data == expected[sender].second) << sender;
        expected.erase(sender);
    }
    EXPECT_TRUE(expected.empty());
    EXPECT_NE(MaskSmtpLog(box.log()).find("* HH:MM:SS  Sent 00000004 to big@y.example; " +
                                          std::to_string(big.size()) + "b, "),
              std::string::npos);
}

}  // namespace
}  // namespace quorvexia::test
