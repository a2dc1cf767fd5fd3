// The message loop with commands sent ahead, against the scripted POP3
// server over a socket pair: the same mailbox fetched in lock-step and
// pipelined gives the same result, reports, console and files; and a cut at
// every point of the pipelined dialogue leaves no pair behind (the server
// keeps every message without QUIT), while no DELE ever goes out before its
// message's pair is stored.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <regex>
#include <sstream>
#include <thread>

#include "pop3_support.h"
#include "support/pair_stream.h"
#include "support/recording_reporter.h"
#include "support/temp_dir.h"
#include "transfer/console.h"
#include "transfer/inbound_store.h"
#include "transfer/korv_state.h"

namespace quorvexia::test {
namespace {

std::string Wire(int i, std::size_t bodyLines = 1) {
    std::string text = "From: ann@a.test\r\nTo: bob@b.test\r\nSubject: " + std::to_string(i) + "\r\n\r\n";
    for (std::size_t l = 0; l < bodyLines; ++l) text += "..line " + std::to_string(l) + "\r\n";
    return text;
}
std::string Stored(const std::string& wire) {
    return std::regex_replace(std::regex_replace(wire, std::regex("\r\n"), "\n"), std::regex("\n\\.\\."), "\n.");
}
std::string Base(unsigned long n) {
    char name[16];
    std::snprintf(name, sizeof name, "%08lu", n);
    return name;
}

struct Outcome {
    SessionResult result;
    std::vector<std::string> reports;
    std::string console;
    std::string files;  // names and contents
    std::string sent;
};

class Pop3Pipelining : public ::testing::Test {
protected:
    void SetUp() override {
        config_ = DefaultConfig();
        config_.inboundDir.assign(dir_.path());
        debugMode = false;
    }

    // One fetch of the mailbox `script` describes, the loop from STAT on.
    Outcome Fetch(const Pop3Script& script, bool pipelined) {
        EXPECT_EQ(std::system(("rm -rf '" + dir_.path() + "'/* '" + dir_.path() + "'/.??*").c_str()), 0);
        char* console = nullptr;
        std::size_t consoleSize = 0;
        consoleStream = open_memstream(&console, &consoleSize);
        auto stream = std::make_unique<PairStream>(SOCK_STREAM);
        std::string record;
        std::mutex mutex;
        std::thread server([&, peer = stream->takePeer()] {
            ServerConnection connection(peer, record, mutex);
            ServePop3(connection, script);
        });
        // Commit before delete: a DELE leaves only once its message's pair is stored.
        stream->onSend = [&](std::string_view bytes) {
            static const std::regex dele("DELE (\\d+)\r\n");
            std::string text(writes_.emplace_back(bytes));
            for (std::sregex_iterator it(text.begin(), text.end(), dele), end; it != end; ++it) {
                unsigned long n = std::stoul((*it)[1]);
                std::int32_t limit = config_.maxMessageSize.get();  // a message too long has no pair
                if (limit >= 0 && script.messages[n - 1].text.size() >= std::size_t(limit)) continue;
                EXPECT_EQ(ReadFile(dir_ / Base(n - 1) + ".txt"), Stored(script.messages[n - 1].text)) << n;
                EXPECT_TRUE(FileExists(dir_ / "." + Base(n - 1) + ".tmp")) << n;
            }
        };
        Outcome o;
        std::size_t total = 0;
        for (const auto& m : script.messages) total += m.text.size();
        {
            Link link(std::move(stream));
            std::string_view greeting;
            EXPECT_TRUE(link.receiveLine(greeting));
            RunState run;
            RecordingReporter reporter;
            InboundStore store(config_, run, reporter);
            o.result = store.receiveAll(link, static_cast<std::uint32_t>(script.messages.size()),
                                        static_cast<std::uint32_t>(total), pipelined);
            if (o.result != SessionResult::LinkFailed) {
                EXPECT_TRUE(store.makeDurable());
            }
            store.tidyUp();
            for (auto& e : reporter.entries) o.reports.push_back(std::regex_replace(e, std::regex(", [0-9]+ CPS$"), ""));
        }
        server.join();
        std::fclose(consoleStream);
        consoleStream = stdout;
        o.console.assign(console, consoleSize);
        std::free(console);
        o.sent = record;
        std::istringstream names(ListDir(dir_.path()));
        for (std::string name; names >> name;) o.files += name + ":" + ReadFile(dir_ / name) + "|";
        return o;
    }

    Pop3Script Mailbox(std::size_t count = 3) const {
        Pop3Script s;
        for (std::size_t i = 1; i <= count; ++i) s.messages.push_back(Wire(static_cast<int>(i), std::min<std::size_t>(i, 5)));
        return s;
    }

    TempDir dir_;
    MailConfig config_;
    std::vector<std::string> writes_;  // every write of the client
};

// The commands in their order; with many messages, no more than the window at once.
TEST_F(Pop3Pipelining, CommandsGoAheadWithinTheWindow) {
    Outcome o = Fetch(Mailbox(), true);
    EXPECT_EQ(o.result, SessionResult::Done);
    EXPECT_EQ(o.sent, "LIST 1\r\nRETR 1\r\nLIST 2\r\nRETR 2\r\nLIST 3\r\nRETR 3\r\nDELE 1\r\nDELE 2\r\nDELE 3\r\n");
    writes_.clear();
    o = Fetch(Mailbox(300), true);
    EXPECT_EQ(o.result, SessionResult::Done);
    EXPECT_EQ(std::count(o.files.begin(), o.files.end(), '|'), 600);
    std::string first;
    for (unsigned long n = 1; n <= kPipelineCommands / 2; ++n)
        first += "LIST " + std::to_string(n) + "\r\nRETR " + std::to_string(n) + "\r\n";
    ASSERT_FALSE(writes_.empty());
    EXPECT_EQ(writes_[0], first);
}

TEST_F(Pop3Pipelining, TheSameMailboxGivesTheSameOutcomeBothWays) {
    struct Row {
        const char* name;
        std::function<void(Pop3Script&, MailConfig&)> change;
    };
    const Row rows[] = {
        {"three messages", [](Pop3Script&, MailConfig&) {}},
        {"LIST without two numbers", [](Pop3Script& s, MailConfig&) { s.messages[1].list = "+OK 2"; }},
        {"LIST refused: fetched all the same", [](Pop3Script& s, MailConfig&) { s.messages[1].list = "-ERR no"; }},
        {"RETR refused", [](Pop3Script& s, MailConfig&) { s.messages[1].retr = "-ERR busy"; }},
        {"too long, deleted",
         [](Pop3Script& s, MailConfig& c) {
             s.messages[1] = Wire(2, 40);
             c.maxMessageSize.set(200);
             c.deleteOversize = 1;
         }},
        {"too long, left",
         [](Pop3Script& s, MailConfig& c) {
             s.messages[1] = Wire(2, 40);
             c.maxMessageSize.set(200);
             c.deleteOversize = 2;
         }},
        {"a text over 64 KiB", [](Pop3Script& s, MailConfig&) { s.messages[0] = Wire(1, 9000); }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Pop3Script script = Mailbox();
        config_.maxMessageSize.set(-1);
        row.change(script, config_);
        Outcome lockStep = Fetch(script, false);
        Outcome pipelined = Fetch(script, true);
        EXPECT_EQ(pipelined.result, lockStep.result);
        EXPECT_EQ(pipelined.reports, lockStep.reports);
        EXPECT_EQ(pipelined.console, lockStep.console);
        EXPECT_EQ(pipelined.files, lockStep.files);
        EXPECT_NE(lockStep.files, "");
    }
}

// Lock-step stops at the refusal; pipelined, the messages after it were
// stored and their deletion asked for already: they are kept, the refused
// one is not, and nothing is on disk that the server keeps too.
TEST_F(Pop3Pipelining, ARefusedDeleKeepsExactlyThePairsTheServerDeletes) {
    Pop3Script script = Mailbox();
    script.messages[1].dele = "-ERR no";
    Outcome o = Fetch(script, true);
    EXPECT_EQ(o.result, SessionResult::Stopped);
    const std::string envelope = "b.test\nann@a.test\nbob@b.test\n";
    EXPECT_EQ(o.files, "00000000.txt:" + Stored(Wire(1, 1)) + "|00000000.wrk:" + envelope + "|00000002.txt:" +
                           Stored(Wire(3, 3)) + "|00000002.wrk:" + envelope + "|");
    EXPECT_NE(std::find(o.reports.begin(), o.reports.end(),
                        "Can't delete message from server.\n|? Can't delete message from server; message 2"),
              o.reports.end());
}

TEST_F(Pop3Pipelining, ACutAtEveryPointLeavesNoPair) {
    const Cut cuts[] = {Cut::OnList, Cut::AfterListReply, Cut::AfterRetrReply, Cut::MidText, Cut::OnDele};
    for (unsigned long n = 1; n <= 3; ++n) {
        for (Cut cut : cuts) {
            SCOPED_TRACE("message " + std::to_string(n) + ", cut " + std::to_string(static_cast<int>(cut)));
            Pop3Script script = Mailbox();
            script.cut = cut;
            script.cutMessage = n;
            Outcome o = Fetch(script, true);
            EXPECT_EQ(o.result, SessionResult::LinkFailed);
            EXPECT_EQ(o.files, "");
        }
    }
}

}  // namespace
}  // namespace quorvexia::test
