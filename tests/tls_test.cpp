// Server fields, the socket's limits, helpers, SASL and the TLS stream; then korv in the TLS forms
// against aiosmtpd, Dovecot and scripted servers: what must not sign in sends no credential.
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <optional>
#include <sstream>

#include "platform/net.h"
#include "platform/process.h"
#include "platform/tls_stream.h"
#include "pop3_dovecot.h"
#include "sasl.h"
#include "smtp_test_support.h"
#include "support/smtp_server.h"
#include "support/tls_fixture.h"

namespace quorvexia::test {
namespace {
using namespace platform;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
const auto npos = std::string::npos;

TEST(ServerFieldTest, HostsPortsAndBracketedAddresses) {
    const char* cases[][2] = {  // field, "host port" or "" when refused
        {"mail.example.org", "mail.example.org 25"}, {"127.0.0.1:1", "127.0.0.1 1"}, {"[::1]:65535", "::1 65535"},
        {"[::1]", "::1 25"}, {"::1", "::1 25"}, {"host:", "host 25"}, {"host:0", ""}, {"host:65536", ""},
        {"host:12x", ""}, {"[::1", ""}, {"[::1]x", ""}};
    for (auto& [field, expected] : cases) {
        ServerName name;
        EXPECT_EQ(ParseServerField(field, 25, name) ? name.host + " " + std::to_string(name.port) : "", expected);
    }
}

std::unique_ptr<Socket> Dial(unsigned short port, bool connects = true) {
    auto link = std::make_unique<Socket>();
    std::vector<NetAddress> addresses;
    EXPECT_EQ(ResolveHost({"127.0.0.1", port}, addresses) && link->connect(addresses[0], 5000), connects);
    return link;
}

// A port where nothing listens, a peer that hangs up, one that does not read.
TEST(SocketTest, RefusedClosedAndSilentPeers) {
    EXPECT_EQ(Dial(FreeLoopbackPort(), false)->lastError(), ECONNREFUSED);
    ScriptedServer server([](ServerConnection& c, int i) { i ? std::this_thread::sleep_for(2s) : c.close(); }, 2);
    auto closed = Dial(server.port()), silent = Dial(server.port());
    char buffer[16];
    EXPECT_EQ(closed->receive(buffer, sizeof buffer) + closed->lastError(), 0);
    silent->setTimeout(300);
    auto start = Clock::now();
    std::string block(64 << 20, 'x');  // far more than the socket buffers on both sides hold
    EXPECT_FALSE(silent->sendAll(block.data(), block.size()));
    EXPECT_EQ(silent->lastError() + LastNetError(), 2 * ETIMEDOUT);
    EXPECT_LT(Clock::now() - start, 2s);
}

// A helper's stdout is the secret with one newline off; its stderr is the console's, its stdin
// empty. A token wins: it chooses the mechanism.
TEST(Credentials, FromTheRecordOrFromAHelper) {
    MailConfig config{};
    config.pop3User.assign("ann");
    config.pop3Password.assign("recorded");
    auto xs = [](std::size_t n) { return "sh -c 'head -c " + std::to_string(n) + " /dev/zero | tr \"\\\\0\" x'"; };
    const std::string lines = "helper 'printf' printed more than one line", sh = "helper 'sh' ";
    struct { std::string password, token, expected; } cases[] = {
        {"", "", "ann password recorded"}, {"printf secret", "", "ann password secret"},
        {"printf 'secret\\r\\n'", "", "ann password secret"}, {"printf ''", "", "helper 'printf' printed nothing"},
        {"sh -c 'echo no >&2; read x; echo \"tok:$x:$?\"'", "", "ann password tok::1"},
        {"printf pw", "printf tok", "ann token tok"}, {"printf 'a b\\n\\n'", "", lines},
        {"", "printf 'a\\rQUIT'", lines}, {" ", "", "the command is empty"}, {"'x", "", "a quote ' is not closed"},
        {xs(kHelperOutputMax), "", "ann password " + std::string(kHelperOutputMax, 'x')},
        {xs(kHelperOutputMax + 1), "", sh + "printed more than 16384 bytes"},
        {"yes", "", "helper 'yes' printed more than 16384 bytes"},
        {"sh -c 'echo partial; exit 3'", "", sh + "failed with exit status 3"},
        {"sh -c 'kill -9 $$'", "", sh + "was ended by a signal"},
        {"/nonexistent/helper", "", "helper '/nonexistent/helper' cannot be run: No such file or directory"}};
    for (const auto& c : cases) {
        Credentials got;
        std::string error;
        SideSettings side;
        side.passwordCommand = c.password;
        side.tokenCommand = c.token;
        bool retryable = false;  // a helper that fails now may answer on the next try
        bool ok = LoadCredentials(config, side, got, error, {}, &retryable);
        EXPECT_EQ(ok ? got.user + (got.useToken ? " token " + got.token : " password " + got.password) : error,
                  c.expected);
        EXPECT_TRUE(retryable) << c.expected;
    }
    std::string answer = "stale", error;
    EXPECT_FALSE(RunHelper({}, answer, error));
    EXPECT_EQ(answer + error, "the helper command is empty");
    auto start = Clock::now();
    EXPECT_FALSE(RunHelper({"sleep", "30"}, answer, error, 1));
    EXPECT_LT(Clock::now() - start, 5s);
    EXPECT_EQ(answer + error, "helper 'sleep' gave no answer within 1 second");
}

TEST(Sasl, MessagesBase64AndCapabilities) {
    EXPECT_EQ(SaslPlain("jo@example.com", "p\xc3\xa4ss w:rd"), "AGpvQGV4YW1wbGUuY29tAHDDpHNzIHc6cmQ=");
    EXPECT_EQ(SaslXoauth2("someuser@example.com", "ya29.vF9dft4qmTc2Nvb3RlckBhdHRhdmlzdGEuY29tCg"),  // the provider's
              "dXNlcj1zb21ldXNlckBleGFtcGxlLmNvbQFhdXRoPUJlYXJlciB5YTI5LnZGOWRmdDRxbVRjMk52YjNSbGNrQmhkSFJoZG1semRHRXVZ"
              "Mjl0Q2cBAQ==");
    EXPECT_EQ(SaslOauthBearer("a=b,c@x.com", "tok"), "bixhPWE9M0RiPTJDY0B4LmNvbSwBYXV0aD1CZWFyZXIgdG9rAQE=");
    std::string back;
    for (const char* b : {"", "f", "fo", "foo", "\xff\x01"})
        EXPECT_TRUE(Base64Decode(Base64Encode(b), back) && back == b);
    EXPECT_EQ(Base64Encode("f") + Base64Encode("fo") + Base64Encode("\xff\x01"), "Zg==Zm8=/wE=");
    EXPECT_FALSE(Base64Decode("Zg=", back) || Base64Decode("Z!==", back));
    Capabilities ehlo = ParseEhloCapabilities({"250-mail.example.com greets starttls", "250-auth plain  LOGIN",
                                               "250-AUTH=XOAUTH2", "250-StartTLS", "250 SIZE 35882577"});
    EXPECT_EQ(ehlo.keywords, (std::vector<std::string>{"AUTH", "AUTH=XOAUTH2", "STARTTLS", "SIZE"}));
    EXPECT_EQ(ehlo.mechanisms, (std::vector<std::string>{"PLAIN", "LOGIN", "XOAUTH2"}));
    EXPECT_TRUE(ehlo.has("size") && ehlo.offers("login") && !ehlo.offers("OAUTHBEARER"));
    Capabilities capa = ParsePop3Capabilities({"SASL PLAIN LOGIN", "STLS"}), early = ParsePop3Capabilities({"SASL"});
    EXPECT_EQ(capa.mechanisms, (std::vector<std::string>{"PLAIN", "LOGIN"}));
    EXPECT_TRUE(capa.has("STLS") && early.has("SASL") && early.mechanisms.empty());  // Dovecot's SASL before STLS
}

// The certificate, verified in the handshake, must name the host; an extra CA file trusts a server's
// own certificate, for its names only. Without a leaf a scripted peer acts out the failure.
TEST(TlsStream, VerifiesInTheHandshakeOrSaysWhy) {
    using F = TlsFailure;
    const std::string notFor = "certificate name mismatch (not for ", late = "no TLS handshake within the time limit";
    const std::vector<std::string> old = {"-tls1_1", "-cipher", "DEFAULT@SECLEVEL=0"}, none;
    struct { const char* leaf; const char* host; const char* caFile; F failure; std::string reason; } cases[] = {
        {"good", "localhost", "", F::None, ""}, {"good", "127.0.0.1", "", F::None, ""},
        {"expired", "localhost", "", F::Expired, "certificate expired"},
        {"self", "localhost", "", F::SelfSigned, "certificate self-signed"},
        {"stranger", "localhost", "", F::UnknownIssuer, "certificate from an unknown issuer"},
        {"wrong", "localhost", "", F::NameMismatch, notFor + "localhost)"},
        {"good", "127.0.0.9", "", F::NameMismatch, notFor + "127.0.0.9)"}, {"self", "localhost", "self", F::None, ""},
        {"self", "elsewhere.invalid", "self", F::NameMismatch, notFor + "elsewhere.invalid)"},
        {"good", "localhost", "/none.pem", F::CaFile, "the CA file '/none.pem' holds no certificate that can be read"},
        {"good", "localhost", "", F::OldVersion, "the server offers no TLS version from 1.2 up"},
        {"", "localhost", "", F::PlainText, "the server answered in plain text, not TLS"},
        {"", "localhost", "", F::TimedOut, late}, {"", "127.0.0.1", "", F::TimedOut, late},
        {"", "localhost", "", F::Closed, "the server closed the connection during the TLS handshake"}};
    TestPki pki;
    pki.trust();
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.leaf) + " " + c.host + " " + c.reason);
        std::optional<OpensslServer> openssl;
        std::optional<ScriptedServer> peer;
        if (*c.leaf) openssl.emplace(pki.cert(c.leaf), pki.key(c.leaf), c.failure == F::OldVersion ? old : none);
        else peer.emplace([f = c.failure](ServerConnection& s, int) {
            f == F::Closed ? s.close() : s.send(f == F::PlainText ? "+OK POP3 ready\r\n" : "");
            s.waitForClose();
        });
        auto tls = std::make_unique<TlsStream>(Dial(openssl ? openssl->port() : peer->port()));
        tls->setTimeout(kScriptTimeoutSeconds * 1000);
        auto start = Clock::now();
        std::string ca = *c.caFile == '/' ? c.caFile : *c.caFile ? pki.cert(c.caFile) : "";
        bool ok = tls->handshake({c.host, ca, c.failure == F::TimedOut ? 1000 : 10000});
        EXPECT_EQ(tls->failure(), c.failure);
        EXPECT_EQ(tls->reason(), c.reason);
        if (ok) {
            char line[64];
            ASSERT_TRUE(tls->sendAll("USER ann\n", 9));  // s_server reverses each line
            EXPECT_EQ(std::string(line, std::max(0L, tls->receive(line, sizeof line))), "nna RESU\n");
            std::regex session("TLSv1.3, TLS_\\w+, subject CN=localhost, issuer CN=.+");
            EXPECT_TRUE(std::regex_match(tls->describe(), session)) << tls->describe();
            continue;
        }
        EXPECT_TRUE(tls->lastError() != 0 || c.failure == F::Closed);  // a close may come as a reset
        EXPECT_FALSE(tls->sendAll("x\n", 2));  // nothing goes out over a failed handshake
        if (c.failure != F::TimedOut) continue;
        auto took = Clock::now() - start;
        EXPECT_TRUE(tls->lastError() == ETIMEDOUT && took > 900ms && took < 5s);
        std::string hello = peer->received();  // a handshake record, with SNI for a name only
        EXPECT_TRUE(hello[0] == 22 && (hello.find(c.host) != npos) == (c.host[0] == 'l'));
    }
    EXPECT_EQ(EscapeControlBytes("CN=a\x1b[2Jb\x7f\tc Zürich"), "CN=a\\x1B[2Jb\\x7F\\x09c Zürich");
}

// The wire under the client, in memory: an OpenSSL server session handing its bytes over in pieces of
// the planned sizes (cycling), so records and their headers arrive split or joined as a network may.
struct Wire : ByteStream {
    Wire(const TestPki& pki, std::vector<std::size_t> plan) : plan_(std::move(plan)) {
        SSL_use_certificate_chain_file(server_, pki.cert("good").c_str());
        SSL_use_PrivateKey_file(server_, pki.key("good").c_str(), SSL_FILETYPE_PEM);
        SSL_set_bio(server_, in_, out_);
        SSL_set_accept_state(server_);
    }
    ~Wire() override { SSL_free(server_), SSL_CTX_free(context_); }
    bool sendAll(const char* data, std::size_t size) override {
        BIO_write(in_, data, static_cast<int>(size));
        for (std::size_t n; SSL_read_ex(server_, buffer_, sizeof buffer_, &n) == 1;) fromClient.append(buffer_, n);
        return serverSends("");
    }
    long receive(char* data, std::size_t size) override {
        std::size_t n = wire_.copy(data, std::min(size, plan_[next_++ % plan_.size()]), taken_);
        taken_ += n;
        return n ? static_cast<long>(n) : ended_ ? 0 : -1;
    }
    int lastError() const override { return ended_ ? 0 : ETIMEDOUT; }
    void setTimeout(int) override {}
    bool serverSends(const std::string& text, std::size_t record = 16384) {
        SSL_set_max_send_fragment(server_, record);
        text.empty() ? SSL_do_handshake(server_) : SSL_write(server_, text.data(), static_cast<int>(text.size()));
        for (std::size_t n; BIO_read_ex(out_, buffer_, sizeof buffer_, &n) == 1;) wire_.append(buffer_, n);
        return true;
    }
    void end(std::size_t cut) {  // a close_notify, or the connection cut `cut` bytes before the end
        if (!cut) SSL_shutdown(server_), serverSends("");
        wire_.resize(wire_.size() - cut);
        ended_ = true;
    }
    std::string fromClient;
    SSL_CTX* context_ = SSL_CTX_new(TLS_server_method());
    SSL* server_ = SSL_new(context_);
    BIO *in_ = BIO_new(BIO_s_mem()), *out_ = BIO_new(BIO_s_mem());
    char buffer_[16384];
    std::vector<std::size_t> plan_;
    std::size_t next_ = 0, taken_ = 0;  // the client has the first taken_ bytes of wire_
    std::string wire_;
    bool ended_ = false;
};

// Every byte arrives once and in order, the records already received come in one receive, and a
// record cut short hands over none of its bytes: the end is a close either way (the text tells a cut).
TEST(TlsStream, RecordsSplitOrJoinedArriveWhole) {
    struct { std::size_t record; std::vector<std::size_t> plan; bool cut; std::size_t maxReceives; } cases[] = {
        {16384, {65536}, false, 20}, {4096, {65536}, false, 6}, {4096, {3, 4099, 1, 7000}, false, 200},
        {16384, {1}, false, 17}, {4096, {1000, 65536}, true, 10}};
    TestPki pki;
    pki.trust();
    std::string text, got;
    for (std::size_t i = 0; text.size() < 256 * 1024 + 17; ++i) text += "line " + std::to_string(i) + "\r\n";
    for (const auto& c : cases) {
        auto* wire = new Wire(pki, c.plan);
        TlsStream tls{std::unique_ptr<ByteStream>(wire)};
        ASSERT_TRUE(tls.handshake({"localhost", "", 5000})) << tls.reason();
        EXPECT_TRUE(tls.sendAll(text.data(), text.size()) && wire->fromClient == text);
        wire->serverSends(text, c.record);
        if (c.cut) wire->serverSends(std::string(100, 'x'), c.record);  // a record that never arrives whole
        wire->end(c.cut ? 5 : 0);
        std::vector<char> buffer(kTlsBufferSize);
        long n, receives = 0;
        for (got.clear(); (n = tls.receive(buffer.data(), buffer.size())) > 0; ++receives) got.append(buffer.data(), n);
        EXPECT_TRUE(got == text && n == 0 && receives <= long(c.maxReceives)) << got.size() << " " << receives;
    }
}

struct TlsSandbox {
    TestPki pki;
    KorvSandbox box;
    explicit TlsSandbox(const std::string& side) {
        pki.trust();
        box.config.domainName.assign("client.example");
        box.config.pop3User.assign("ann");
        box.config.pop3Password.assign("secret");
        WriteFile(box.path("korv.conf"), side);
        QueueMessage(box, "00000001", "example.org\nann@client.example\nbob@example.org\n\n", "Subject: TLS\n\nHi.\n");
    }
};

// Signed in with each mechanism, or stopped before any credential and not tried again. The debug
// echo shows the session and hides every credential.
TEST(SmtpOverTls, SignsInAndSendsOrStopsBeforeAnyCredential) {
    const std::string st = "smtp+starttls://localhost", refused = "535 5.7.8 Authentication credentials invalid",
                      token = "token-command = printf " + std::string(2500, 'T'), stale = "token-command = echo stale";
    struct { const char* mode; const char* leaf; std::string server, password, side, auth, seen; } cases[] = {
        {"starttls", "good", st, "secret", "", "PLAIN ann ok\n", "AUTH PLAIN <hidden>"},
        {"implicit", "good", "SMTPS://127.0.0.1", "secret", "", "PLAIN ann ok\n", "AUTH PLAIN <hidden>"},
        {"login", "good", st, "secret", "", "LOGIN ann ok\n", "AUTH LOGIN"},
        {"starttls", "good", st, "", token, "XOAUTH2 ann ok 2523\n", "AUTH XOAUTH2"},
        {"bearer", "good", st, "", token, "OAUTHBEARER ann ok 2523\n", "AUTH OAUTHBEARER"},
        {"bearer", "good", st, "", stale, "OAUTHBEARER ann refused 28\n", "authentication failed: " + refused},
        {"starttls", "good", st, "guess", "", "PLAIN ann refused\n", refused},
        {"implicit", "good", "smtps://localhost", "", stale, "XOAUTH2 ann refused 28\n", refused},
        {"strip", "good", st, "secret", "", "", "SMTP server localhost: no STARTTLS offered"},
        {"starttls", "expired", st, "", "", "", "SMTP server localhost: TLS handshake failed: certificate expired"},
        {"implicit", "wrong", "smtps://localhost", "secret", "", "", "certificate name mismatch (not for localhost)"},
        {"starttls", "good", "smtp+tls://localhost", "secret", "", "", "Invalid SMTP server setting: unknown scheme "
         "'smtp+tls://' in the SMTP server: use smtps:// or smtp+starttls://, or no scheme for plain SMTP.\n"},
        {"starttls", "good", st, "", "ca-file = /x\nx-comand = y", "", "korv.conf line 2: unknown key 'x-comand'"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.seen);
        TlsSandbox t(c.side);
        TempDir received;  // what the server took, and the token it takes
        WriteFile(received / "token", std::string(2500, 'T'));
        SmtpServerProcess server(c.mode, t.pki.cert(c.leaf), t.pki.key(c.leaf), received.path(), 60);
        ASSERT_TRUE(server.ready());
        t.box.config.smtpServer.assign(c.server + ":" + std::to_string(server.port()));
        t.box.config.pop3Password.assign(c.password);
        ProgramResult r = t.box.run({"/send", "/tries:3", "/debug"}, "", 120);
        bool sent = c.auth.find(" ok") != npos;
        EXPECT_EQ(r.status, !sent);
        EXPECT_NE((r.out + t.box.log()).find(c.seen), npos) << r.out << t.box.log();
        EXPECT_EQ(FileExists(received / "auth") ? ReadFile(received / "auth") : "", c.auth);
        EXPECT_EQ(ListDir(t.box.outbound()) + (FileExists(received / "1.data") ? "sent" : ""),
                  sent ? "sent" : "00000001.txt 00000001.wrk");
        EXPECT_EQ(r.out.find("Retrying..."), npos);
        for (const char* secret : {"secret", "c2VjcmV0", "AGFubgBzZWNyZXQ=", "TTTTTTTT", "VFRUVFRU"})
            EXPECT_EQ(r.out.find(secret), npos) << secret;
        std::regex session(R"(\[TLS TLSv1\.3, TLS_\w+, subject CN=localhost, issuer CN=Quorvexia Test CA\])");
        EXPECT_EQ(!c.auth.empty(), std::regex_search(r.out, session));
    }
}

// Servers that misbehave before TLS get no credential (what they received is shown without the
// commands' arguments); only a refusal for now is retried.
TEST(StartTls, MisbehavingServersGetNoCredential) {
    auto smtp = [](std::vector<std::string> replies) {
        std::vector<SmtpStep> steps;
        for (auto& reply : replies) steps.push_back(Reply(reply));
        return SmtpScript({steps, steps});
    };
    ScriptedServer::Handler pop3 = [](ServerConnection& c, int) {
        c.send("+OK ready\r\n");
        for (std::string line; c.readLine(line);)
            c.send(line == "CAPA" ? "+OK\r\nUSER\r\nSASL PLAIN\r\n.\r\n" : line == "QUIT" ? "+OK bye\r\n" : "-ERR\r\n");
    };
    const std::string ehlo = "250-hello\r\n250 STARTTLS", at = "SMTP server 127.0.0.1: ", esq = "EHLO STARTTLS QUIT ";
    struct { ScriptedServer::Handler script; std::string server, side, received, logLine; } cases[] = {
        {smtp({"220 ready", ehlo, "454 4.7.0 TLS not available"}), "smtp+starttls://", "", esq + esq,
         at + "STARTTLS refused: 454 4.7.0 TLS not available"},
        {smtp({"220 ready", ehlo, "220 go\r\n250-AUTH PLAIN\r\n250 OK"}), "smtp+starttls://", "", "EHLO STARTTLS ",
         at + "unexpected data after the go-ahead for TLS"},
        {smtp({"220 ready", "550 5.7.1 no EHLO from you"}), "smtp+starttls://", "", "EHLO QUIT ",
         at + "EHLO refused: 550 5.7.1 no EHLO from you"},
        {pop3, "pop3+starttls://", "", "CAPA QUIT ", "POP3 server 127.0.0.1: no STLS offered"},
        {pop3, "", "token-command = echo t", "QUIT ", "a token is sent over TLS only (pop3s:// or pop3+starttls://)"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.logLine);
        TlsSandbox t(c.side);
        bool receive = c.logLine.find("SMTP") == npos, retried = c.received.size() > esq.size();
        ScriptedServer server(c.script, retried ? 2 : 1);
        (receive ? t.box.config.pop3Server : t.box.config.smtpServer).assign(c.server + server.address());
        ProgramResult r = t.box.run({receive ? "/receive" : "/send", "/tries:2"}, "", 60);
        EXPECT_EQ(r.status, receive ? 2 : 1);
        EXPECT_NE(t.box.log().find(c.logLine), npos) << t.box.log();
        server.join();
        EXPECT_EQ(std::regex_replace(server.received(), std::regex("( [^\r]*)?\r\n"), " "), c.received);
        EXPECT_EQ(r.out.find("Retrying...") != npos, retried);
    }
}

// Dovecot over pop3s and STLS (the loop sends ahead: it offers PIPELINING), the password from a helper.
// A bad certificate or a mode mix-up signs nothing in and is not tried again.
TEST(Pop3OverTls, FetchesTheMailboxOrSignsNothingIn) {
    if (!DovecotServer::Installed()) GTEST_SKIP() << "dovecot is not installed";
    const std::string fail = "POP3 server 127.0.0.2: TLS handshake failed: ", expired = fail + "certificate expired",
                      mixUp = "the server answered in plain text, not TLS (pop3s:// against a plaintext port: use ";
    struct { const char* leaf; const char* form; std::string logLine; } cases[] = {
        {"good", "pop3s://S", ""}, {"good", "pop3+starttls://P", ""}, {"expired", "pop3s://S", expired},
        {"expired", "pop3+starttls://P", expired}, {"good", "pop3s://P", fail + mixUp + "pop3+starttls://)"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.form);
        TlsSandbox t("password-command = printf secret\n");
        t.box.config.pop3Password.assign("not this");
        DovecotTls tls{t.pki.cert(c.leaf), t.pki.key(c.leaf)};
        DovecotServer dovecot(&tls);
        std::string all, stored;
        for (int i = 0; i < 40; ++i) {
            std::string text = "Subject: " + std::to_string(i) + "\n\n.\n..dots\n";
            for (int k = 0; k < i * 7 % 30; ++k) text += std::string(990 - k, 'x') + "\n";
            dovecot.addMessage("17000" + std::to_string(10000 + i) + ".M1P1.quorvexia", text);
            all += text;
        }
        ASSERT_TRUE(dovecot.start());
        std::string field = c.form;  // S the pop3s port, P the plain one
        field.replace(field.size() - 1, 1, field.back() == 'S' ? dovecot.pop3sAddress() : dovecot.address());
        t.box.config.pop3Server.assign(field);
        ProgramResult r = t.box.run({"/receive", "/tries:3"}, "", 120);
        bool ok = c.logLine.empty();
        EXPECT_EQ(r.status, ok ? 0 : 2) << r.out;
        EXPECT_NE((r.out + t.box.log()).find(ok ? "Receiving 40 message(s)" : c.logLine), npos) << r.out << t.box.log();
        EXPECT_EQ(r.out.find("Retrying..."), npos);
        EXPECT_EQ(dovecot.messagesLeft(), ok ? 0 : 40);
        EXPECT_EQ(dovecot.log().find("Login: user=<ann>, method=PLAIN") != npos, ok) << dovecot.log();
        std::istringstream names(ListDir(t.box.inbound()));
        for (std::string n; names >> n;) stored += n.ends_with(".txt") ? ReadFile(t.box.path("in/" + n)) : "";
        EXPECT_TRUE(stored == (ok ? all : "")) << stored.size();
    }
}

}  // namespace
}  // namespace quorvexia::test
