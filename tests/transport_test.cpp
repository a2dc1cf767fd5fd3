// The line transport over a local socket pair: line ends, also split between
// receives; long lines cut without loss; replies and dot-ended lists with their
// bounds; the failure latch; the send buffer, debug echo and stream upgrade.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "support/pair_stream.h"
#include "transfer/console.h"
#include "transfer/korv_state.h"
#include "transfer/line_transport.h"

namespace quorvexia {
namespace {

using namespace std::string_literals;
using test::PairStream;

std::string Times(std::size_t n, const std::string& s) { std::string out; while (n--) out += s; return out; }

// A line as the rows state it: a run of ten or more of one byte as {N*c}, and
// "+" after a line that was cut at 999 bytes.
std::string Show(std::string_view line, bool cut = false) {
    std::string s;
    for (std::size_t i = 0, n; i < line.size(); i += n) {
        n = std::min(line.find_first_not_of(line[i], i), line.size()) - i;
        s += n >= 10 ? "{" + std::to_string(n) + "*" + line[i] + "}" : std::string(n, line[i]);
    }
    return s + (cut ? "+" : "");
}

// Reads as the row says ('l' lines, 'r' a reply, 'd' a dot-ended list), then
// every line up to the peer's close, each ended by "|".
std::string Read(Link& link, char how) {
    Reply r;
    std::vector<std::string> list;
    std::string s = how == 'l' ? "" : how == 'd' ? "CTF"[static_cast<int>(link.receiveList(list))] + " "s
                    : link.receiveReply(r) ? std::to_string(r.code) + "/" + std::to_string(r.lines) + " " + Show(r.lastLine) + " "
                                           : "failed ";
    for (const auto& l : list) s += Show(l) + "|";
    s += how == 'l' ? "" : "> ";
    for (std::string_view line; link.receiveLine(line);) s += Show(line, link.lineWasCut()) + "|";
    return s;
}

std::string Reply250(std::size_t lines, std::size_t width) {
    return Times(lines - 1, "250-" + std::string(width, 'a') + "\r\n") + "250 " + std::string(width, 'a') + "\r\n";
}

TEST(TransportTest, LinesRepliesAndListsAsReceived) {
    const std::string x999(999, 'x'), x998(998, 'x');
    const struct {
        const char* name;
        char how;
        std::vector<std::string> receives;  // one entry per receive
        std::string want;
    } rows[] = {
        {"CR LF, LF, CR, CR NUL; NUL inside", 'l', {"a\r\nb\nc\rd\r\0e\0f\r\n"s}, "a|b|c|d|e\0f|"s},
        {"CR | LF, CR | NUL, LF | CR, a line over receives", 'l', {"a\r", "\nb\r", "\0c"s, "d", "e\n", "\rf\r\n"}, "a|b|cde||f|"},
        {"LF CR, CR CR, CR LF CR LF, LF LF", 'l', {"a\n\rb\r\rc\r\n\r\nd\n\ne\r\n"}, "a||b||c||d||e|"},
        {"999 and its end, also split", 'l', {x999 + "\r\n" + x999, "\r\n", x999 + "\r", "\ny\r\n"},
         "{999*x}|{999*x}|{999*x}|y|"},
        {"1000 and 2500 cut", 'l', {x999 + ".\r\n" + std::string(999, 'a') + std::string(999, 'b') + std::string(502, 'c') + "\r\n"},
         "{999*x}+|.|{999*a}+|{999*b}+|{502*c}|"},
        {"close inside a line", 'l', {"250 partial"}, ""},
        {"one line", 'r', {"250 OK\r\nNEXT\r\n"}, "250/1 250 OK > NEXT|"},
        {"code of the last line", 'r', {"220-a\r\n250-b\r\n250 c\r\nNEXT\r\n"}, "250/3 250 c > NEXT|"},
        {"no hyphen ends it", 'r', {"250-a\r\n250x\r\n"}, "250/2 250x > "},
        {"no digits, no code", 'r', {"-250\r\nhello\r\n"}, "-1/1 -250 > hello|"},
        {"long continuation cut, rest skipped", 'r', {"250-" + x998 + "yyy\r\n250 end\r\n"}, "250/2 250 end > "},
        {"long last line keeps its first piece", 'r', {"250 " + x998 + "\r\n"}, "250/1 250 {995*x} > "},
        {"cut by the server", 'r', {"250-first\r\n250-sec"}, "failed > "},
        {"100 lines", 'r', {Reply250(100, 10)}, "250/100 250 {10*a} > "},
        {"101 lines", 'r', {Reply250(101, 10)}, "-1/101 250 {10*a} > "},
        {"64 KiB", 'r', {Reply250(64, 1024 - 6)}, "250/64 250 {995*a} > "},
        {"65 KiB", 'r', {Reply250(65, 1024 - 6)}, "-1/65 250 {995*a} > {23*a}|"},
        {"one line over 64 KiB", 'r', {"250 " + std::string(65996, 'z') + "\r\n"}, "-1/1 250 {995*z} > {66*z}|"},
        {"empty list", 'd', {".\r\n"}, "C > "},
        {"stuffed dot, long line", 'd', {"..hidden\r\n" + std::string(1500, 'l') + "\r\n.\r\nNEXT\r\n"},
         "C .hidden|{1500*l}|> NEXT|"},
        {"100 items", 'd', {Times(100, "ITEM\r\n") + ".\r\n"}, "C " + Times(100, "ITEM|") + "> "},
        {"101 items", 'd', {Times(101, "ITEM\r\n") + ".\r\n"}, "T " + Times(100, "ITEM|") + "> .|"},
        {"cut before the dot", 'd', {"TOP\r\n"}, "F TOP|> "},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        auto* s = new PairStream;
        Link link{std::unique_ptr<platform::ByteStream>(s)};
        // Records of at most 60000 bytes, which the 64 KiB receive buffer takes whole.
        for (const auto& r : row.receives)
            for (std::size_t at = 0; at < r.size(); at += 60000) s->peerSend(r.substr(at, 60000));
        s->closePeer();
        EXPECT_EQ(Read(link, row.how), row.want);
        // The first failure latches: later calls fail without touching the socket.
        int calls = s->receives_ + s->writes_;
        std::string_view kept = "kept";
        EXPECT_FALSE(link.receiveLine(kept) || link.sendLine("NOOP") || link.queueLine("x") || !link.failed());
        EXPECT_EQ(kept, "kept");
        EXPECT_EQ(s->receives_ + s->writes_, calls);
    }
}

// Every send fails with the error number 104.
struct Failing final : platform::ByteStream {
    bool sendAll(const char*, std::size_t) override { return ++sends < 0; }
    long receive(char*, std::size_t) override { return -1; }
    int lastError() const override { return 104; }
    void setTimeout(int) override {}
    static inline int sends = 0;
};

// Commands go out at once, queued lines before the next read; the debug echo
// hides the password; an upgrade drops what was buffered in either direction;
// a failed send latches, and an abandoned link keeps the stream's error number.
TEST(TransportTest, SendBufferEchoUpgradeAndAbandon) {
    char* echo = nullptr;
    std::size_t echoSize = 0;
    consoleStream = open_memstream(&echo, &echoSize);
    debugMode = true;
    auto* s = new PairStream;
    Link link{std::unique_ptr<platform::ByteStream>(s)};
    EXPECT_TRUE(link.sendLine("USER ann") && link.sendSecretLine("PASS s3cret"));
    EXPECT_TRUE(link.queueLine("line 0") && link.queueLine(""));
    EXPECT_EQ(s->peerRecords(), (std::vector<std::string>{"USER ann\r\n", "PASS s3cret\r\n"}));
    // The reply to STARTTLS and, in the same record, bytes put there before the handshake.
    s->peerSend("220 go ahead\r\n250 injected\r\n");
    std::string_view line;
    EXPECT_TRUE(link.receiveLine(line) && line == "220 go ahead");
    EXPECT_EQ(s->peerRecords(), std::vector<std::string>{"line 0\r\n\r\n"});
    link.queueLine("queued before");
    auto* u = new PairStream;
    link.upgrade(std::unique_ptr<platform::ByteStream>(u));
    u->peerSend("250 over the new stream\r\n");
    EXPECT_TRUE(link.receiveLine(line) && line == "250 over the new stream");
    EXPECT_TRUE(link.sendLine("EHLO x"));
    EXPECT_EQ(u->peerRecords(), std::vector<std::string>{"EHLO x\r\n"});
    link.upgrade(std::make_unique<Failing>());
    EXPECT_FALSE(link.sendLine("RSET") || link.queueLine("body") || !link.failed());
    EXPECT_EQ(Failing::sends, 1);
    link.abandon();
    EXPECT_EQ(link.lastError(), 104);
    link.setTimeout(1000);  // no stream to reach: nothing happens
    std::fclose(consoleStream);
    EXPECT_EQ(std::string(echo, echoSize), "USER ann\nPASS <hidden>\nline 0\n\n220 go ahead\nqueued before\n"
                                           "250 over the new stream\nEHLO x\nRSET\n");
    std::free(echo);
}

}  // namespace
}  // namespace quorvexia
