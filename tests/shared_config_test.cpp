// Several programs on one korv.cfg, as real processes: two korv runs on one
// queue against a real SMTP server, a korvconf change while korv receives,
// and a killed korv that must not leave a lock behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <thread>

#include "config/config_access.h"
#include "pop3_support.h"
#include "smtp_test_support.h"
#include "support/smtp_server.h"

namespace quorvexia::test {
namespace {

using namespace std::chrono_literals;

// korv started in its sandbox without waiting for it; its console output
// comes through a pipe. Stopped by the test, or killed when it goes.
struct RunningKorv {
    pid_t pid = -1;
    int out = -1;
    std::string seen;

    RunningKorv(const KorvSandbox& box, std::vector<std::string> args) {
        int pipeFds[2];
        if (pipe(pipeFds) != 0) return;
        pid = fork();
        if (pid == 0) {
            dup2(pipeFds[1], 1);
            close(pipeFds[0]);
            if (chdir(box.dir().c_str()) != 0) _exit(126);
            std::vector<char*> argv{const_cast<char*>("./korv")};
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(box.path("korv").c_str(), argv.data());
            _exit(127);
        }
        close(pipeFds[1]);
        out = pipeFds[0];
    }
    ~RunningKorv() {
        stop(SIGKILL);
        if (out >= 0) close(out);
    }
    // Reads the console until `text` shows, for at most `ms` milliseconds.
    bool readUntil(const std::string& text, int ms) { return ReadUntil(out, seen, text, ms); }
    void stop(int signal) {
        if (pid <= 0) return;
        kill(pid, signal);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }
};

std::string Queued(int n) {
    char base[16];
    std::snprintf(base, sizeof base, "%08d", n);
    return base;
}

// The scheduler case: a second run starts while the first is still sending
// from a queue of 40 to a server that takes 50 ms over each message.
TEST(SharedConfigTest, TwoRunsOnOneQueueDeliverEveryMessageExactlyOnce) {
    KorvSandbox box;
    TempDir received;
    SmtpServerProcess sink(received.path(), 120, 0.05);
    ASSERT_TRUE(sink.ready());
    for (int n = 1; n <= 40; ++n) {
        std::string sender = "s" + std::to_string(n) + "@x.example";
        QueueMessage(box, Queued(n), "x.example\n" + sender + "\nr@y.example\n",
                     "Subject: " + std::to_string(n) + "\n\nbody\n");
    }
    box.config.smtpServer.assign(sink.address());
    box.config.domainName.assign("client.example");
    box.writeConfig();
    box.writeConfigOnRun = false;

    ProgramResult first, second;
    std::thread a([&] { first = box.run({"/send"}, "", 90); });
    std::this_thread::sleep_for(300ms);
    std::thread b([&] { second = box.run({"/send"}, "", 90); });
    a.join();
    b.join();

    EXPECT_EQ(first.status, 0) << first.out;
    EXPECT_EQ(second.status, 0) << second.out;
    EXPECT_NE(second.out.find("Waiting for another run on this configuration...\n"), std::string::npos)
        << second.out;
    EXPECT_EQ(ListDir(box.outbound()), "") << "the queue is empty";

    std::multiset<std::string> senders;
    for (int n = 1; FileExists(received / (std::to_string(n) + ".env")); ++n) {
        std::string env = ReadFile(received / (std::to_string(n) + ".env"));
        senders.insert(env.substr(0, env.find('\n')));
    }
    EXPECT_EQ(senders.size(), 40u) << "deliveries";
    for (int n = 1; n <= 40; ++n)
        EXPECT_EQ(senders.count("s" + std::to_string(n) + "@x.example"), 1u) << "message " << n;
}

// korv's rewrite after its POP3 connection keeps what korvconf saved while
// the connection was open, and advances only the counter.
TEST(SharedConfigTest, KorvconfChangeDuringAReceiveSurvivesKorvsRewrite) {
    KorvSandbox box;
    Pop3Script script;
    script.messages = {ScriptMessage("From: a@x.example\r\n\r\none\r\n"),
                       ScriptMessage("From: b@x.example\r\n\r\ntwo\r\n")};
    ProgramResult conf;
    ScriptedServer server([&](ServerConnection& c, int) {
        // korv has read korv.cfg and is connected: now another program saves.
        conf = RunProgram(KORVCONF_PATH, {"set", "smtp-server", "new.example.org", "pop3-user", "newuser"},
                          box.dir(), "", 60);
        ServePop3(c, script);
    });
    box.config.pop3Server.assign(server.address());
    box.config.pop3User.assign("olduser");
    box.config.messageCounter.set(5);
    auto result = box.run({"/receive"});
    server.join();
    EXPECT_EQ(conf.status, 0) << conf.err;
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(ListDir(box.inbound()), "00000005.txt 00000005.wrk 00000006.txt 00000006.wrk");

    MailConfig expected = box.config;
    expected.smtpServer.assign("new.example.org");
    expected.pop3User.assign("newuser");
    expected.messageCounter.set(7);
    MailConfig saved = ReadConfig(box.path("korv.cfg"));
    EXPECT_EQ(saved.smtpServer.text(), "new.example.org");
    EXPECT_EQ(saved.pop3User.text(), "newuser");
    EXPECT_EQ(saved.messageCounter.get(), 7u);
    EXPECT_EQ(std::memcmp(ImageBytes(saved), ImageBytes(expected), kMailConfigSize), 0)
        << "every other byte as korvconf left it";
}

// A korv killed in the middle of its send phase: the next run starts at once.
TEST(SharedConfigTest, AKilledRunLeavesNoLockBehind) {
    KorvSandbox box;
    QueueMessage(box, "00000001", "x.example\na@x.example\nb@y.example\n", "Subject: s\n\nbody\n");
    // A server that greets and then says nothing more: korv waits in its phase.
    ScriptedServer stalled([](ServerConnection& c, int) {
        c.send("220 hi\r\n");
        c.waitForClose();
    });
    box.config.smtpServer.assign(stalled.address());
    box.writeConfig();

    RunningKorv korv(box, {"/send"});
    ASSERT_GT(korv.pid, 0);
    for (int i = 0; i < 400 && stalled.accepted() == 0; ++i) std::this_thread::sleep_for(50ms);
    ASSERT_EQ(stalled.accepted(), 1);
    EXPECT_EQ(ConfigLock::Acquire(box.path("korv.cfg"), ConfigLockKind::Sending, 0ms).status(),
              ConfigLock::Status::Busy)
        << "the running korv holds the send lock";
    korv.stop(SIGKILL);

    ScriptedServer working(SmtpScript({{Reply("220 hi"), Reply("250 hello"), Reply("250 reset"),
                                        Reply("250 sender"), Reply("250 recipient"), Reply("354 go"),
                                        Data("250 taken")}}));
    box.config.smtpServer.assign(working.address());
    auto start = std::chrono::steady_clock::now();
    auto result = box.run({"/send"});
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(result.out.find("Waiting"), std::string::npos) << result.out;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
    EXPECT_EQ(ListDir(box.outbound()), "");
}

}  // namespace
}  // namespace quorvexia::test

namespace quorvexia::test {
namespace {

// Between daemon passes nothing is held: other runs and the setup tools go
// ahead at once.
TEST(SharedConfigTest, TheDaemonWaitHoldsNoLock) {
    KorvSandbox box;
    QueueMessage(box, "00000001", "x.example\na@x.example\nb@y.example\n", "Subject: s\n\nbody\n");
    ScriptedServer smtp(SmtpScript({{Reply("220 hi"), Reply("250 hello"), Reply("250 reset"),
                                     Reply("250 sender"), Reply("250 recipient"), Reply("354 go"),
                                     Data("250 taken")}}));
    ScriptedServer pop3([](ServerConnection& c, int) { ServePop3(c, Pop3Script{}); });
    box.config.smtpServer.assign(smtp.address());
    box.config.pop3Server.assign(pop3.address());
    box.writeConfig();

    RunningKorv korv(box, {"/send", "/receive", "/daemon:5"});
    ASSERT_TRUE(korv.readUntil("Waiting for next event.", 30000)) << korv.seen;
    std::string cfg = box.path("korv.cfg");
    for (ConfigLockKind kind : {ConfigLockKind::Sending, ConfigLockKind::Receiving, ConfigLockKind::Config})
        EXPECT_TRUE(ConfigLock::Acquire(cfg, kind, 0ms).held()) << static_cast<int>(kind);
    auto conf = RunProgram(KORVCONF_PATH, {"set", "domain", "during.example"}, box.dir(), "", 30);
    EXPECT_EQ(conf.status, 0) << conf.err;
    korv.stop(SIGTERM);
    EXPECT_EQ(ReadConfig(cfg).domainName.text(), "during.example");
    EXPECT_EQ(ListDir(box.outbound()), "");
}

}  // namespace
}  // namespace quorvexia::test
