// The line transport over a local socket pair: every line-end form, line ends
// split between receives, long lines cut without loss, the failure latch, the
// debug echo and a clean start for each connection.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "transfer/console.h"
#include "transfer/korv_state.h"
#include "transfer/line_transport.h"

namespace quorvexia {
namespace {

// A byte stream over one end of a socket pair. With SOCK_SEQPACKET every
// write of the peer arrives as one receive, so a test decides exactly how the
// bytes are split between receives.
class PairStream final : public platform::ByteStream {
public:
    explicit PairStream(int type = SOCK_SEQPACKET) {
        int fds[2];
        if (socketpair(AF_UNIX, type | SOCK_CLOEXEC, 0, fds) != 0) throw std::runtime_error("socketpair");
        mine_ = fds[0];
        peer_ = fds[1];
    }
    ~PairStream() override {
        ::close(mine_);
        closePeer();
    }
    bool sendAll(const char* data, std::size_t size) override {
        ++writes_;
        ssize_t n = ::send(mine_, data, size, MSG_NOSIGNAL);
        return n == static_cast<ssize_t>(size);
    }
    long receive(char* data, std::size_t size) override {
        ++receives_;
        pollfd pfd{mine_, POLLIN, 0};
        if (poll(&pfd, 1, 5000) <= 0) return -1;  // never hang a test
        return static_cast<long>(::recv(mine_, data, size, 0));
    }
    int lastError() const override { return 0; }
    void setTimeout(int) override {}

    void peerSend(const std::string& bytes) {
        ASSERT_EQ(::send(peer_, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    }
    // What the peer has been sent, one record per write (empty when nothing waits).
    std::vector<std::string> peerRecords() {
        std::vector<std::string> records;
        for (;;) {
            pollfd pfd{peer_, POLLIN, 0};
            if (poll(&pfd, 1, 0) <= 0) return records;
            char buf[70000];
            ssize_t n = ::recv(peer_, buf, sizeof buf, 0);
            if (n <= 0) return records;
            records.emplace_back(buf, static_cast<std::size_t>(n));
        }
    }
    void closePeer() {
        if (peer_ >= 0) ::close(peer_);
        peer_ = -1;
    }
    int writes_ = 0;
    int receives_ = 0;

private:
    int mine_ = -1;
    int peer_ = -1;
};

class TransportTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetLink();
        debugMode = false;
    }
    void TearDown() override {
        debugMode = false;
        consoleStream = stdout;
    }
    // Every line up to the peer's close, then checks the close is a failure.
    std::vector<std::string> AllLines(PairStream& s) {
        std::vector<std::string> lines;
        for (int guard = 0; guard < 100; ++guard) {
            std::size_t length = 0;
            if (ReceiveLine(s, replyLine, kReplyLineSize, &length) != 0) break;
            lines.emplace_back(replyLine, length);
        }
        EXPECT_EQ(linkFailed, 1);
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
        ResetLink();
        PairStream s;
        for (const auto& r : c.receives) s.peerSend(r);
        s.closePeer();
        EXPECT_EQ(AllLines(s), c.lines);
    }
}

TEST_F(TransportTest, CutPiecesAreMarked) {
    PairStream s(SOCK_STREAM);
    s.peerSend(std::string(2500, 'q') + "\r\nnext\r\n" + std::string(999, 'r') + "\r\n");
    std::vector<std::pair<std::size_t, bool>> got;
    for (int i = 0; i < 5; ++i) {
        std::size_t length = 0;
        ASSERT_EQ(ReceiveLine(s, replyLine, kReplyLineSize, &length), 0);
        got.emplace_back(length, LineWasCut());
    }
    std::vector<std::pair<std::size_t, bool>> want = {{999, true}, {999, true}, {502, false}, {4, false}, {999, false}};
    EXPECT_EQ(got, want);
}

TEST_F(TransportTest, CloseInTheMiddleOfALineFailsWithoutHanging) {
    PairStream s(SOCK_STREAM);
    std::snprintf(replyLine, kReplyLineSize, "before");
    s.peerSend("250 partial li");
    s.closePeer();
    EXPECT_EQ(ReceiveLine(s, replyLine, kReplyLineSize), 1);
    EXPECT_EQ(linkFailed, 1);
    EXPECT_STREQ(replyLine, "before");  // the destination is left as it was
    int receives = s.receives_;
    EXPECT_EQ(ReceiveLine(s, replyLine, kReplyLineSize), 1);
    EXPECT_EQ(s.receives_, receives);  // the latch answers without the socket
}

TEST_F(TransportTest, SendFailureLatchesUntilTheNextConnection) {
    PairStream s;
    s.closePeer();
    EXPECT_EQ(SendLine(s, "RSET"), 0);  // this call failed, but reports it only through the latch
    EXPECT_EQ(linkFailed, 1);
    int writes = s.writes_;
    EXPECT_EQ(SendLine(s, "NOOP"), 1);
    EXPECT_EQ(SendSecretLine(s, "PASS x"), 1);
    EXPECT_EQ(QueueLine(s, "body"), 1);
    EXPECT_EQ(ReceiveLine(s, replyLine, kReplyLineSize), 1);
    EXPECT_EQ(s.writes_, writes);

    ResetLink();
    PairStream next;
    EXPECT_EQ(SendLine(next, "NOOP"), 0);
    EXPECT_EQ(linkFailed, 0);
    EXPECT_EQ(next.peerRecords(), std::vector<std::string>{"NOOP\r\n"});
}

TEST_F(TransportTest, NothingCarriesIntoTheNextConnection) {
    {
        PairStream first;
        first.peerSend("+OK one\r\nleft over\r\nand more");
        ASSERT_EQ(ReceiveLine(first, replyLine, kReplyLineSize), 0);
        EXPECT_STREQ(replyLine, "+OK one");
        QueueLine(first, "never sent");
    }
    ResetLink();
    PairStream second;
    second.peerSend("+OK two\r\n");
    ASSERT_EQ(ReceiveLine(second, replyLine, kReplyLineSize), 0);
    EXPECT_STREQ(replyLine, "+OK two");
    EXPECT_TRUE(second.peerRecords().empty());  // the queued line of the first connection is gone
}

TEST_F(TransportTest, CommandsGoOutInOneWriteAndQueuedLinesBeforeTheNextReply) {
    PairStream s;
    EXPECT_EQ(SendLine(s, "USER ann"), 0);
    EXPECT_EQ(SendLine(s, ""), 0);
    EXPECT_EQ(s.peerRecords(), (std::vector<std::string>{"USER ann\r\n", "\r\n"}));

    for (int i = 0; i < 3; ++i) EXPECT_EQ(QueueLine(s, "line " + std::to_string(i)), 0);
    EXPECT_TRUE(s.peerRecords().empty());  // still gathered
    s.peerSend("250 OK\r\n");
    ASSERT_EQ(ReceiveLine(s, replyLine, kReplyLineSize), 0);
    EXPECT_EQ(s.peerRecords(), std::vector<std::string>{"line 0\r\nline 1\r\nline 2\r\n"});
}

TEST_F(TransportTest, DebugEchoHidesThePassword) {
    std::FILE* echo = std::tmpfile();
    ASSERT_NE(echo, nullptr);
    consoleStream = echo;
    debugMode = true;
    PairStream s;
    SendLine(s, "USER ann");
    SendSecretLine(s, "PASS s3cret");
    s.peerSend("+OK welcome\r\n");
    ReceiveLine(s, replyLine, kReplyLineSize);
    std::fflush(echo);
    std::rewind(echo);
    char text[200] = {};
    std::size_t n = std::fread(text, 1, sizeof text - 1, echo);
    std::fclose(echo);
    EXPECT_EQ(std::string(text, n), "USER ann\nPASS <hidden>\n+OK welcome\n");
    EXPECT_EQ(s.peerRecords(), (std::vector<std::string>{"USER ann\r\n", "PASS s3cret\r\n"}));
}

}  // namespace
}  // namespace quorvexia
