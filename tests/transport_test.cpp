// The line transport over a local socket pair: every line-end form, line ends
// split between receives, long lines cut without loss, the failure latch, the
// debug echo, a clean start for each connection and for an upgraded stream,
// and the readers of multi-line replies and dot-ended lists.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "transfer/console.h"
#include "transfer/korv_state.h"
#include "support/pair_stream.h"
#include "transfer/line_transport.h"

namespace quorvexia {
namespace {

using test::PairStream;


// A link over a fresh PairStream; `s` stays usable as the test's view of it.
struct PairLink {
    explicit PairLink(int type = SOCK_SEQPACKET) : stream(new PairStream(type)), s(*stream), link(std::move(stream)) {}
    std::unique_ptr<PairStream> stream;
    PairStream& s;
    Link link;
};

class TransportTest : public ::testing::Test {
protected:
    void SetUp() override { debugMode = false; }
    void TearDown() override {
        debugMode = false;
        consoleStream = stdout;
    }
    // Every line up to the peer's close, then checks the close is a failure.
    std::vector<std::string> AllLines(Link& link) {
        std::vector<std::string> lines;
        for (int guard = 0; guard < 100; ++guard) {
            std::string_view line;
            if (!link.receiveLine(line)) break;
            lines.emplace_back(line);
        }
        EXPECT_TRUE(link.failed());
        return lines;
    }
};

struct LineEndCase {
    const char* name;
    std::vector<std::string> receives;  // one entry per receive
    std::vector<std::string> lines;
};

TEST_F(TransportTest, LineEndForms) {
    using namespace std::string_literals;
    const std::string x999(999, 'x');
    const std::string y2500 = std::string(999, 'a') + std::string(999, 'b') + std::string(502, 'c');
    const std::vector<LineEndCase> cases = {
        {"CR LF", {"250 OK\r\n"}, {"250 OK"}},
        {"CR LF then more", {"250 OK\r\n354 go\r\n"}, {"250 OK", "354 go"}},
        {"CR | LF split", {"abc\r", "\nxyz\r\n"}, {"abc", "xyz"}},
        {"CR NUL", {"a\r\0b\r\n"s}, {"a", "b"}},
        {"CR | NUL split", {"a\r", "\0b\n"s}, {"a", "b"}},
        {"bare LF", {"a\nb\n"}, {"a", "b"}},
        {"bare CR", {"a\rb\r"}, {"a", "b"}},
        {"LF CR is two ends", {"a\n\rb\r\n"}, {"a", "", "b"}},
        {"LF | CR split", {"a\n", "\rb\r\n"}, {"a", "", "b"}},
        {"CR CR is an empty line", {"a\r\rb\r\n"}, {"a", "", "b"}},
        {"empty lines", {"\r\n\r\n"}, {"", ""}},
        {"line split over receives", {"ab", "c", "d\r\n"}, {"abcd"}},
        {"NUL inside a line", {"a\0b\r\n"s}, {"a\0b"s}},
        {"999 and CR LF", {x999 + "\r\n"}, {x999}},
        {"999 | CR LF split", {x999, "\r\n", "y\r\n"}, {x999, "y"}},
        {"999 CR | LF split", {x999 + "\r", "\ny\r\n"}, {x999, "y"}},
        {"1000 cut at 999", {x999 + "z\r\n"}, {x999, "z"}},
        {"1000 cut, dot piece", {x999 + ".\r\n"}, {x999, "."}},
        {"2500 in pieces", {y2500.substr(0, 1000), y2500.substr(1000) + "\r\n"},
         {std::string(999, 'a'), std::string(999, 'b'), std::string(502, 'c')}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PairLink p;
        for (const auto& r : c.receives) p.s.peerSend(r);
        p.s.closePeer();
        EXPECT_EQ(AllLines(p.link), c.lines);
    }
}

TEST_F(TransportTest, CutPiecesAreMarked) {
    PairLink p(SOCK_STREAM);
    p.s.peerSend(std::string(2500, 'q') + "\r\nnext\r\n" + std::string(999, 'r') + "\r\n");
    std::vector<std::pair<std::size_t, bool>> got;
    for (int i = 0; i < 5; ++i) {
        std::string_view line;
        ASSERT_TRUE(p.link.receiveLine(line));
        got.emplace_back(line.size(), p.link.lineWasCut());
    }
    std::vector<std::pair<std::size_t, bool>> want = {{999, true}, {999, true}, {502, false}, {4, false}, {999, false}};
    EXPECT_EQ(got, want);
}

TEST_F(TransportTest, CloseInTheMiddleOfALineFailsWithoutHanging) {
    PairLink p(SOCK_STREAM);
    std::string_view line = "before";
    p.s.peerSend("250 partial li");
    p.s.closePeer();
    EXPECT_FALSE(p.link.receiveLine(line));
    EXPECT_TRUE(p.link.failed());
    EXPECT_EQ(line, "before");  // the destination is left as it was
    int receives = p.s.receives_;
    EXPECT_FALSE(p.link.receiveLine(line));
    EXPECT_EQ(p.s.receives_, receives);  // the latch answers without the socket
}

TEST_F(TransportTest, SendFailureLatchesUntilTheNextConnection) {
    PairLink p;
    p.s.closePeer();
    EXPECT_FALSE(p.link.sendLine("RSET"));  // this call failed, and the latch holds it
    EXPECT_TRUE(p.link.failed());
    int writes = p.s.writes_;
    EXPECT_FALSE(p.link.sendLine("NOOP"));
    EXPECT_FALSE(p.link.sendSecretLine("PASS x"));
    EXPECT_FALSE(p.link.queueLine("body"));
    std::string_view line;
    EXPECT_FALSE(p.link.receiveLine(line));
    EXPECT_EQ(p.s.writes_, writes);

    PairLink next;
    EXPECT_TRUE(next.link.sendLine("NOOP"));
    EXPECT_FALSE(next.link.failed());
    EXPECT_EQ(next.s.peerRecords(), std::vector<std::string>{"NOOP\r\n"});
}

TEST_F(TransportTest, NothingCarriesIntoTheNextConnection) {
    std::string_view line;
    {
        PairLink first;
        first.s.peerSend("+OK one\r\nleft over\r\nand more");
        ASSERT_TRUE(first.link.receiveLine(line));
        EXPECT_EQ(line, "+OK one");
        first.link.queueLine("never sent");
    }
    PairLink second;
    second.s.peerSend("+OK two\r\n");
    ASSERT_TRUE(second.link.receiveLine(line));
    EXPECT_EQ(line, "+OK two");
    EXPECT_TRUE(second.s.peerRecords().empty());  // the queued line of the first connection is gone
}

TEST_F(TransportTest, CommandsGoOutInOneWriteAndQueuedLinesBeforeTheNextReply) {
    PairLink p;
    EXPECT_TRUE(p.link.sendLine("USER ann"));
    EXPECT_TRUE(p.link.sendLine(""));
    EXPECT_EQ(p.s.peerRecords(), (std::vector<std::string>{"USER ann\r\n", "\r\n"}));

    for (int i = 0; i < 3; ++i) EXPECT_TRUE(p.link.queueLine("line " + std::to_string(i)));
    EXPECT_TRUE(p.s.peerRecords().empty());  // still gathered
    p.s.peerSend("250 OK\r\n");
    std::string_view line;
    ASSERT_TRUE(p.link.receiveLine(line));
    EXPECT_EQ(p.s.peerRecords(), std::vector<std::string>{"line 0\r\nline 1\r\nline 2\r\n"});
}

TEST_F(TransportTest, DebugEchoHidesThePassword) {
    std::FILE* echo = std::tmpfile();
    ASSERT_NE(echo, nullptr);
    consoleStream = echo;
    debugMode = true;
    PairLink p;
    p.link.sendLine("USER ann");
    p.link.sendSecretLine("PASS s3cret");
    p.s.peerSend("+OK welcome\r\n");
    std::string_view line;
    p.link.receiveLine(line);
    std::fflush(echo);
    std::rewind(echo);
    char text[200] = {};
    std::size_t n = std::fread(text, 1, sizeof text - 1, echo);
    std::fclose(echo);
    EXPECT_EQ(std::string(text, n), "USER ann\nPASS <hidden>\n+OK welcome\n");
    EXPECT_EQ(p.s.peerRecords(), (std::vector<std::string>{"USER ann\r\n", "PASS s3cret\r\n"}));
}

TEST_F(TransportTest, UpgradeDropsWhatWasBufferedInEitherDirection) {
    PairLink p(SOCK_STREAM);
    // The reply to STARTTLS and, in the same segment, bytes an attacker put
    // before the handshake: none of them may count as read over the new stream.
    p.s.peerSend("220 go ahead\r\n250 injected\r\n");
    std::string_view line;
    ASSERT_TRUE(p.link.receiveLine(line));
    EXPECT_EQ(line, "220 go ahead");
    p.link.queueLine("queued before");

    auto upgraded = std::make_unique<PairStream>(SOCK_STREAM);
    PairStream& u = *upgraded;
    p.link.upgrade(std::move(upgraded));
    u.peerSend("250 over the new stream\r\n");
    ASSERT_TRUE(p.link.receiveLine(line));
    EXPECT_EQ(line, "250 over the new stream");
    EXPECT_TRUE(u.peerRecords().empty());  // the queued line went nowhere (the old stream is closed)
    EXPECT_TRUE(p.link.sendLine("EHLO x"));
    EXPECT_EQ(u.peerRecords(), std::vector<std::string>{"EHLO x\r\n"});
}

TEST_F(TransportTest, AbandonedLinkFailsAndKeepsTheStreamsErrorNumber) {
    class FailingStream final : public platform::ByteStream {
    public:
        bool sendAll(const char*, std::size_t) override { return false; }
        long receive(char*, std::size_t) override { return -1; }
        int lastError() const override { return 104; }
        void setTimeout(int) override {}
    };
    Link link(std::make_unique<FailingStream>());
    EXPECT_FALSE(link.sendLine("RSET"));
    EXPECT_EQ(link.lastError(), 104);
    link.abandon();
    EXPECT_TRUE(link.failed());
    EXPECT_EQ(link.lastError(), 104);
    std::string_view line;
    EXPECT_FALSE(link.receiveLine(line));
    link.setTimeout(1000);  // no stream to reach: nothing happens
}

struct ReplyCase {
    const char* name;
    std::string bytes;
    int code;  // of the first reply
    std::string lastLine;
    std::size_t lines;
    std::string next;  // the line read after the reply
};

TEST_F(TransportTest, MultiLineRepliesAreReadWhole) {
    const std::string x998(998, 'x');
    const std::vector<ReplyCase> cases = {
        {"one line", "250 OK\r\nNEXT\r\n", 250, "250 OK", 1, "NEXT"},
        {"code alone", "250\r\nNEXT\r\n", 250, "250", 1, "NEXT"},
        {"continuations", "250-first\r\n250-second\r\n250 last\r\nNEXT\r\n", 250, "250 last", 3, "NEXT"},
        {"code of the last line", "220-a\r\n250 b\r\nNEXT\r\n", 250, "250 b", 2, "NEXT"},
        {"no hyphen ends it", "250-a\r\n250x\r\nNEXT\r\n", 250, "250x", 2, "NEXT"},
        {"text without digits ends it", "250-a\r\nhello\r\nNEXT\r\n", -1, "hello", 2, "NEXT"},
        {"bare hyphen line ends it", "-250\r\nNEXT\r\n", -1, "-250", 1, "NEXT"},
        {"four-line 550", "550-5.1.1 a\r\n550-5.1.1 b\r\n550-5.1.1 c\r\n550 5.1.1 d\r\nNEXT\r\n", 550,
         "550 5.1.1 d", 4, "NEXT"},
        {"long continuation cut, rest skipped",
         "250-" + x998 + "yyy\r\n250 end\r\nNEXT\r\n", 250, "250 end", 2, "NEXT"},
        {"long last line keeps its first piece", "250 " + x998 + "\r\nNEXT\r\n", 250, "250 " + x998.substr(0, 995), 1,
         "NEXT"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PairLink p(SOCK_STREAM);
        p.s.peerSend(c.bytes);
        Reply reply;
        ASSERT_TRUE(p.link.receiveReply(reply));
        EXPECT_EQ(reply.code, c.code);
        EXPECT_EQ(reply.lastLine, c.lastLine);
        EXPECT_EQ(reply.lines, c.lines);
        std::string_view line;
        ASSERT_TRUE(p.link.receiveLine(line));
        EXPECT_EQ(line, c.next);
    }
}

TEST_F(TransportTest, RepliesBeyondTheirBoundsHaveNoCode) {
    auto lines = [](std::size_t n, std::size_t width) {
        std::string text;
        for (std::size_t i = 1; i < n; ++i) text += "250-" + std::string(width, 'a') + "\r\n";
        return text + "250 " + std::string(width, 'a') + "\r\n";
    };
    struct Case {
        const char* name;
        std::string bytes;
        int code;
    };
    const Case cases[] = {
        {"100 lines", lines(100, 10), 250},
        {"101 lines", lines(101, 10), -1},
        {"64 KiB", lines(64, 1024 - 6), 250},          // 64 lines of 1024 bytes with CR LF
        {"65 KiB", lines(65, 1024 - 6), -1},
        {"one line of 70000 bytes", "250 " + std::string(70000, 'z') + "\r\n", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PairLink p(SOCK_STREAM);
        std::thread peer([&] { p.s.peerSend(c.bytes); });
        Reply reply;
        ASSERT_TRUE(p.link.receiveReply(reply));
        peer.join();
        EXPECT_EQ(reply.code, c.code);
        EXPECT_LE(reply.lines, kReplyMaxLines + 1);
    }
}

TEST_F(TransportTest, ReplyCutByTheServerIsALinkFailure) {
    PairLink p(SOCK_STREAM);
    p.s.peerSend("250-first\r\n250-sec");
    p.s.closePeer();
    Reply reply;
    EXPECT_FALSE(p.link.receiveReply(reply));
    EXPECT_TRUE(p.link.failed());
}

TEST_F(TransportTest, DotEndedListsAreReadAndBounded) {
    struct Case {
        const char* name;
        std::string bytes;
        ListRead result;
        std::vector<std::string> lines;
    };
    std::string many;
    for (int i = 0; i < 101; ++i) many += "ITEM\r\n";
    const Case cases[] = {
        {"empty", ".\r\n", ListRead::Complete, {}},
        {"capabilities", "TOP\r\nUSER\r\nSASL PLAIN\r\n.\r\n", ListRead::Complete, {"TOP", "USER", "SASL PLAIN"}},
        {"stuffed dots", "..hidden\r\n.\r\n", ListRead::Complete, {".hidden"}},
        {"long line joined", std::string(1500, 'l') + "\r\n.\r\n", ListRead::Complete, {std::string(1500, 'l')}},
        {"100 lines", many.substr(6) + ".\r\n", ListRead::Complete, std::vector<std::string>(100, "ITEM")},
        {"101 lines", many + ".\r\n", ListRead::TooLong, std::vector<std::string>(100, "ITEM")},
        {"cut before the dot", "TOP\r\n", ListRead::LinkFailed, {"TOP"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PairLink p(SOCK_STREAM);
        p.s.peerSend(c.bytes);
        p.s.closePeer();
        std::vector<std::string> lines;
        EXPECT_EQ(p.link.receiveList(lines), c.result);
        EXPECT_EQ(lines, c.lines);
    }
}

}  // namespace
}  // namespace quorvexia
