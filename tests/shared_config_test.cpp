// Several programs on one korv.cfg, as real processes: two korv runs on one
// queue against a real SMTP server; a killed korv that leaves no lock behind;
// korvconf saving while korv receives and while the daemon waits.
#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "config/config_access.h"
#include "pop3_support.h"
#include "smtp_test_support.h"
#include "support/smtp_server.h"

namespace quorvexia::test {
namespace {

using namespace std::chrono_literals;

// A second run starts while the first is still sending from a queue of 40 to
// a server that takes 50 ms over each message: every message goes exactly once.
TEST(SharedConfigTest, TwoRunsOnOneQueueDeliverEveryMessageExactlyOnce) {
    KorvSandbox box;
    TempDir received;
    SmtpServerProcess sink(received.path(), 120, 0.05);
    ASSERT_TRUE(sink.ready());
    for (int n = 10; n < 50; ++n)
        QueueMessage(box, "000000" + std::to_string(n),
                     "x.example\ns" + std::to_string(n) + "@x.example\nr@y.example\n", "Subject: s\n\nbody\n");
    box.config.smtpServer.assign(sink.address());
    box.config.domainName.assign("client.example");
    box.writeConfig();
    box.writeConfigOnRun = false;
    ProgramResult first, second;
    std::thread a([&] { first = box.run({"/send"}, "", 90); });
    std::this_thread::sleep_for(300ms);
    second = box.run({"/send"}, "", 90);
    a.join();
    EXPECT_EQ(first.status, 0) << first.out;
    EXPECT_EQ(second.status, 0) << second.out;
    EXPECT_NE(second.out.find("Waiting for another run on this configuration...\n"), std::string::npos) << second.out;
    EXPECT_EQ(ListDir(box.outbound()), "");
    std::multiset<std::string> senders;
    for (int n = 1; FileExists(received / (std::to_string(n) + ".env")); ++n) {
        std::string env = ReadFile(received / (std::to_string(n) + ".env"));
        senders.insert(env.substr(0, env.find('\n')));
    }
    EXPECT_EQ(senders.size(), 40u);
    for (int n = 10; n < 50; ++n) EXPECT_EQ(senders.count("s" + std::to_string(n) + "@x.example"), 1u) << n;
}

// korv killed in its send phase holds the send lock until then, and leaves
// none: the next run starts at once. korvconf saves while that run is
// connected to the POP3 server, and korv's rewrite keeps it, moving only the
// counter on. Between daemon passes no lock is held: korvconf saves again.
TEST(SharedConfigTest, ProgramsTakeTurnsOnOneConfiguration) {
    KorvSandbox box;
    const std::string cfg = box.path("korv.cfg");
    QueueMessage(box, "00000001", "x.example\na@x.example\nb@y.example\n", "Subject: s\n\nbody\n");
    ScriptedServer stalled([&](ServerConnection& c, int) {  // greets, then says nothing more
        c.send("220 hi\r\n");
        EXPECT_EQ(ConfigLock::Acquire(cfg, ConfigLockKind::Sending, 0ms).status(), ConfigLock::Status::Busy);
        c.waitForClose();
    });
    box.config.smtpServer.assign(stalled.address());
    EXPECT_EQ(box.run({"/send"}, "", 2).status, 128 + 9);
    EXPECT_EQ(stalled.accepted(), 1);

    ScriptedServer smtp(SmtpScript({{Reply("220 hi"), Reply("250 hello"), Reply("250 reset"), Reply("250 sender"),
                                     Reply("250 recipient"), Reply("354 go"), Data("250 taken")}}));
    ProgramResult conf, wait;
    ScriptedServer pop3([&](ServerConnection& c, int index) {
        Pop3Script script;
        if (index == 0) {  // korv has read korv.cfg and is connected: now korvconf saves
            conf = RunProgram(KORVCONF_PATH, {"set", "smtp-server", "new.example.org", "pop3-user", "newuser"},
                              box.dir(), "", 60);
            script.messages = {ScriptMessage("From: a@x.example\r\n\r\none\r\n"),
                               ScriptMessage("From: b@x.example\r\n\r\ntwo\r\n")};
        }
        ServePop3(c, script);
    }, 2);
    box.config.smtpServer.assign(smtp.address());
    box.config.pop3Server.assign(pop3.address());
    box.config.messageCounter.set(5);
    ProgramResult result = box.run({"/send", "/receive"});
    EXPECT_EQ(conf.status, 0) << conf.err;
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(result.out.find("Waiting"), std::string::npos) << result.out;
    EXPECT_EQ(ListDir(box.outbound()), "");
    EXPECT_EQ(ListDir(box.inbound()), "00000005.txt 00000005.wrk 00000006.txt 00000006.wrk");
    MailConfig expected = box.config;
    expected.smtpServer.assign("new.example.org");
    expected.pop3User.assign("newuser");
    expected.messageCounter.set(7);
    EXPECT_EQ(ReadFile(cfg), ConfigBytes(expected)) << "every other byte as korvconf left it";

    // The daemon: its pass finds an empty mailbox; it waits until killed.
    box.writeConfigOnRun = false;
    std::thread daemon([&] { wait = box.run({"/receive", "/daemon:5"}, "", 5); });
    pop3.join();
    bool free = false;
    for (int i = 0; i < 60 && !free; ++i, std::this_thread::sleep_for(50ms)) {
        ConfigLock s = ConfigLock::Acquire(cfg, ConfigLockKind::Sending, 0ms),
                   r = ConfigLock::Acquire(cfg, ConfigLockKind::Receiving, 0ms),
                   c = ConfigLock::Acquire(cfg, ConfigLockKind::Config, 0ms);
        free = s.held() && r.held() && c.held();
    }
    EXPECT_TRUE(free) << "a lock is held in the daemon wait";
    conf = RunProgram(KORVCONF_PATH, {"set", "domain", "during.example"}, box.dir(), "", 30);
    daemon.join();
    EXPECT_EQ(conf.status, 0) << conf.err;
    EXPECT_NE(wait.out.find("Waiting for next event."), std::string::npos) << wait.out;
    EXPECT_EQ(ReadConfig(cfg).domainName.text(), "during.example");
}

}  // namespace
}  // namespace quorvexia::test
