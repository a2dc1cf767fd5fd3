// The layers under the sessions: server fields, the socket's time limits,
// helper commands, and the SASL messages and credentials of a sign-in.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/net.h"
#include "platform/process.h"
#include "sasl.h"
#include "support/scripted_server.h"

namespace quorvexia {
namespace {
using namespace platform;
using Clock = std::chrono::steady_clock;

TEST(ServerFieldTest, HostsPortsAndBracketedAddresses) {
    const char* cases[][2] = {  // field, "host port" or "" when refused
        {"mail.example.org", "mail.example.org 25"}, {"127.0.0.1:1", "127.0.0.1 1"}, {"[::1]:65535", "::1 65535"},
        {"[::1]", "::1 25"}, {"::1", "::1 25"}, {"host:", "host 25"}, {"host:0", ""}, {"host:65536", ""},
        {"host:12x", ""}, {"[::1", ""}, {"[::1]x", ""}};
    for (auto& [field, expected] : cases) {
        ServerName name;
        bool ok = ParseServerField(field, 25, name);
        EXPECT_EQ(ok ? name.host + " " + std::to_string(name.port) : "", expected) << field;
    }
}

bool ConnectTo(Socket& link, unsigned short port) {
    std::vector<NetAddress> addresses;
    return ResolveHost({"127.0.0.1", port}, addresses) && link.open() && link.connect(addresses.front(), 5000);
}

// A peer that hangs up, then one that neither reads nor speaks; and a port where nothing listens.
TEST(SocketTest, RefusedClosedAndSilentPeers) {
    Socket refused, closed, silent;
    EXPECT_FALSE(ConnectTo(refused, test::FreeLoopbackPort()));
    EXPECT_EQ(refused.lastError(), ECONNREFUSED);
    test::ScriptedServer server([](test::ServerConnection& c, int i) {
        if (i == 0) c.close();
        else std::this_thread::sleep_for(std::chrono::seconds(2));
    }, 2);
    char buffer[16];
    ASSERT_TRUE(ConnectTo(closed, server.port()));
    EXPECT_EQ(closed.receive(buffer, sizeof buffer), 0);
    EXPECT_EQ(closed.lastError(), 0);
    ASSERT_TRUE(ConnectTo(silent, server.port()));
    silent.setTimeout(300);
    auto start = Clock::now();
    EXPECT_EQ(silent.receive(buffer, sizeof buffer), -1);
    EXPECT_EQ(silent.lastError(), ETIMEDOUT);
    EXPECT_EQ(LastNetError(), ETIMEDOUT);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(250));
    std::string block(64 << 20, 'x');  // far more than the socket buffers on both sides hold
    EXPECT_FALSE(silent.sendAll(block.data(), block.size()));
    EXPECT_EQ(silent.lastError(), ETIMEDOUT);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
}

TEST(Sasl, MessagesAndBase64) {
    EXPECT_EQ(SaslPlain("jo@example.com", "p\xc3\xa4ss w:rd"), "AGpvQGV4YW1wbGUuY29tAHDDpHNzIHc6cmQ=");
    // The provider's published example of XOAUTH2.
    EXPECT_EQ(SaslXoauth2("someuser@example.com", "ya29.vF9dft4qmTc2Nvb3RlckBhdHRhdmlzdGEuY29tCg"),
              "dXNlcj1zb21ldXNlckBleGFtcGxlLmNvbQFhdXRoPUJlYXJlciB5YTI5LnZGOWRmdDRxbVRjMk52YjNSbGNrQmhkSFJoZG1semRHRXVZ"
              "Mjl0Q2cBAQ==");
    EXPECT_EQ(SaslOauthBearer("a=b,c@example.com", "tok"), "bixhPWE9M0RiPTJDY0BleGFtcGxlLmNvbSwBYXV0aD1CZWFyZXIgdG9rAQE=");
    for (auto [bytes, text] : {std::pair<std::string, std::string>{"", ""}, {"f", "Zg=="}, {"fo", "Zm8="},
                               {std::string("\0\xff\x01", 3), "AP8B"}}) {
        std::string back;
        EXPECT_EQ(Base64Encode(bytes), text);
        EXPECT_TRUE(Base64Decode(text, back) && back == bytes) << text;
    }
    std::string back;
    for (const char* bad : {"Zg=", "Z!=="}) EXPECT_FALSE(Base64Decode(bad, back)) << bad;
}

TEST(Sasl, CapabilitiesOfEhloAndCapa) {
    Capabilities ehlo = ParseEhloCapabilities({"250-mail.example.com greets starttls", "250-auth plain  LOGIN",
                                               "250-AUTH=XOAUTH2", "250-StartTLS", "250 SIZE 35882577"});
    EXPECT_EQ(ehlo.keywords, (std::vector<std::string>{"AUTH", "AUTH=XOAUTH2", "STARTTLS", "SIZE"}));
    EXPECT_EQ(ehlo.mechanisms, (std::vector<std::string>{"PLAIN", "LOGIN", "XOAUTH2"}));
    EXPECT_TRUE(ehlo.has("size") && ehlo.offers("login") && !ehlo.offers("OAUTHBEARER"));
    EXPECT_TRUE(ParseEhloCapabilities({"250 mail.example.com AUTH PLAIN"}).keywords.empty());
    Capabilities capa = ParsePop3Capabilities({"USER", "SASL PLAIN LOGIN", "STLS"}), early = ParsePop3Capabilities({"SASL"});
    EXPECT_EQ(capa.mechanisms, (std::vector<std::string>{"PLAIN", "LOGIN"}));
    EXPECT_TRUE(capa.has("STLS") && early.has("SASL") && early.mechanisms.empty());  // Dovecot's SASL before STLS
}

// A helper's stdout is the password or token, with one newline off; its
// stderr is the console's and its stdin is empty. The token wins over a
// password: it chooses the mechanism.
TEST(Credentials, FromTheRecordOrFromAHelper) {
    MailConfig config{};
    config.pop3User.assign("ann");
    config.pop3Password.assign("recorded");
    auto xs = [](std::size_t n) { return "sh -c 'head -c " + std::to_string(n) + " /dev/zero | tr \"\\\\0\" x'"; };
    const std::string more = "printed more than one line", sh = "helper 'sh' ";
    struct { std::string password, token, expected; } cases[] = {
        {"", "", "ann password recorded"}, {"echo secret", "", "ann password secret"},
        {"printf secret", "", "ann password secret"}, {"printf 'secret\\r\\n'", "", "ann password secret"},
        {"sh -c 'echo no >&2; read x; echo \"tok:$x:$?\"'", "", "ann password tok::1"},
        {"printf pw", "printf tok", "ann token tok"}, {"printf 'a b\\n\\n'", "", "helper 'printf' " + more},
        {"", "printf 'a\\rQUIT'", "helper 'printf' " + more}, {"printf ''", "", "helper 'printf' printed nothing"},
        {xs(kHelperOutputMax), "", "ann password " + std::string(kHelperOutputMax, 'x')},
        {xs(kHelperOutputMax + 1), "", sh + "printed more than 16384 bytes"},
        {"yes", "", "helper 'yes' printed more than 16384 bytes"},
        {"sh -c 'echo partial; exit 3'", "", sh + "failed with exit status 3"},
        {"sh -c 'kill -9 $$'", "", sh + "was ended by a signal"},
        {"/nonexistent/helper", "", "helper '/nonexistent/helper' cannot be run: No such file or directory"},
        {" ", "", "the command is empty"}, {"'unclosed", "", "a quote ' is not closed"}};
    for (const auto& c : cases) {
        SideSettings side;
        side.passwordCommand = c.password;
        side.tokenCommand = c.token;
        Credentials got;
        std::string error;
        bool ok = LoadCredentials(config, side, got, error);
        EXPECT_EQ(ok ? got.user + (got.useToken ? " token " + got.token : " password " + got.password) : error,
                  c.expected) << c.password;
    }
    std::string answer = "stale", error;
    EXPECT_FALSE(RunHelper({}, answer, error));
    EXPECT_EQ(answer + error, "the helper command is empty");
    auto start = Clock::now();
    EXPECT_FALSE(RunHelper({"sleep", "30"}, answer, error, 1));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(answer + error, "helper 'sleep' gave no answer within 1 second");
}

}  // namespace
}  // namespace quorvexia
