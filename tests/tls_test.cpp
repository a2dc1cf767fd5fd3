// The TLS stream against `openssl s_server` with the throwaway PKI, scripted
// peers and an in-memory wire; then korv in the TLS forms against aiosmtpd,
// Dovecot and scripted servers that misbehave before TLS. A case that must
// not sign in proves that no credential and no MAIL reached the server.
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <optional>
#include <regex>
#include <sstream>

#include "platform/net.h"
#include "platform/tls_stream.h"
#include "pop3_dovecot.h"
#include "smtp_test_support.h"
#include "support/smtp_server.h"
#include "support/tls_fixture.h"

namespace quorvexia::test {
namespace {
using namespace platform;
using Clock = std::chrono::steady_clock;
const auto npos = std::string::npos;

struct Handshake {
    const char* name;
    const char* leaf;  // of `openssl s_server`; "" a scripted peer that acts out `failure`
    const char* host;
    const char* caFile;  // "" none, a certificate of the PKI, or a path
    TlsFailure failure;
    const char* reason;
};
void PrintTo(const Handshake& row, std::ostream* os) { *os << row.name; }  // ctest's names carry no addresses
class TlsHandshake : public ::testing::TestWithParam<Handshake> {};

// The certificate is verified inside the handshake and must name the host;
// SNI carries names, never an address literal.
TEST_P(TlsHandshake, VerifiesOrSaysWhy) {
    const Handshake& c = GetParam();
    TestPki pki;
    pki.trust();
    std::optional<OpensslServer> openssl;
    std::optional<ScriptedServer> peer;
    if (*c.leaf) openssl.emplace(pki.cert(c.leaf), pki.key(c.leaf), c.failure == TlsFailure::OldVersion
                                     ? std::vector<std::string>{"-tls1_1", "-cipher", "DEFAULT@SECLEVEL=0"}
                                     : std::vector<std::string>{});
    else peer.emplace([failure = c.failure](ServerConnection& s, int) {
        if (failure == TlsFailure::PlainText) s.send("+OK POP3 ready\r\n");
        failure == TlsFailure::Closed ? s.close() : void(s.waitForClose());
    });
    auto socket = std::make_unique<Socket>();
    std::vector<NetAddress> addresses;
    ASSERT_TRUE(ResolveHost({"127.0.0.1", *c.leaf ? openssl->port() : peer->port()}, addresses));
    ASSERT_TRUE(socket->connect(addresses[0], 5000));
    auto tls = std::make_unique<TlsStream>(std::move(socket));
    tls->setTimeout(kScriptTimeoutSeconds * 1000);
    std::string ca = *c.caFile == '/' ? c.caFile : *c.caFile ? pki.cert(c.caFile) : "";
    auto start = Clock::now();
    bool ok = tls->handshake({c.host, ca, c.failure == TlsFailure::TimedOut ? 1000 : 10000});
    EXPECT_EQ(tls->failure(), c.failure) << tls->reason();
    EXPECT_EQ(tls->reason(), c.reason);
    if (ok) {
        // s_server reverses each line.
        char line[64];
        ASSERT_TRUE(tls->sendAll("USER ann\n", 9));
        EXPECT_EQ(std::string(line, std::max(0L, tls->receive(line, sizeof line))), "nna RESU\n");
        EXPECT_TRUE(std::regex_match(tls->describe(), std::regex("TLSv1.3, TLS_\\w+, subject CN=localhost, issuer CN=.+")))
            << tls->describe();
        return;
    }
    EXPECT_TRUE(tls->lastError() != 0 || c.failure == TlsFailure::Closed);  // a close may come as a reset
    EXPECT_FALSE(tls->sendAll("x\n", 2));  // nothing goes out over a failed handshake
    if (c.failure != TlsFailure::TimedOut) return;
    EXPECT_EQ(tls->lastError(), ETIMEDOUT);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(900));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    tls.reset();
    peer->join();
    EXPECT_EQ(peer->received()[0], 22);  // a handshake record
    EXPECT_EQ(peer->received().find(c.host) != npos, std::string(c.host) == "localhost");
}

const char* kNotForLocalhost = "certificate name mismatch (not for localhost)";
INSTANTIATE_TEST_SUITE_P(
    Cases, TlsHandshake,
    ::testing::Values(
        Handshake{"good_name", "good", "localhost", "", TlsFailure::None, ""},
        Handshake{"good_address", "good", "127.0.0.1", "", TlsFailure::None, ""},
        Handshake{"expired", "expired", "localhost", "", TlsFailure::Expired, "certificate expired"},
        Handshake{"self_signed", "self", "localhost", "", TlsFailure::SelfSigned, "certificate self-signed"},
        Handshake{"unknown_issuer", "stranger", "localhost", "", TlsFailure::UnknownIssuer,
                  "certificate from an unknown issuer"},
        Handshake{"wrong_name", "wrong", "localhost", "", TlsFailure::NameMismatch, kNotForLocalhost},
        Handshake{"wrong_address", "good", "127.0.0.9", "", TlsFailure::NameMismatch,
                  "certificate name mismatch (not for 127.0.0.9)"},
        // The extra CA file trusts a private server's own certificate, for the names it carries only.
        Handshake{"ca_file", "self", "localhost", "self", TlsFailure::None, ""},
        Handshake{"ca_file_other_name", "self", "elsewhere.invalid", "self", TlsFailure::NameMismatch,
                  "certificate name mismatch (not for elsewhere.invalid)"},
        Handshake{"ca_file_unreadable", "good", "localhost", "/nonexistent/ca.pem", TlsFailure::CaFile,
                  "the CA file '/nonexistent/ca.pem' holds no certificate that can be read"},
        Handshake{"below_tls12", "good", "localhost", "", TlsFailure::OldVersion,
                  "the server offers no TLS version from 1.2 up"},
        Handshake{"plain_text", "", "localhost", "", TlsFailure::PlainText, "the server answered in plain text, not TLS"},
        Handshake{"silent_name", "", "localhost", "", TlsFailure::TimedOut, "no TLS handshake within the time limit"},
        Handshake{"silent_address", "", "127.0.0.1", "", TlsFailure::TimedOut, "no TLS handshake within the time limit"},
        Handshake{"closes", "", "localhost", "", TlsFailure::Closed,
                  "the server closed the connection during the TLS handshake"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TlsStream, EscapesControlBytes) {
    EXPECT_EQ(EscapeControlBytes("CN=a\x1b[2Jb\x7f\tc Zürich"), "CN=a\\x1B[2Jb\\x7F\\x09c Zürich");
}

// The wire under the client, in memory: the server's end is an OpenSSL
// server session in the same thread, and each receive hands over the
// server's bytes in pieces of the planned sizes (cycling), so records and
// their headers arrive split or joined as a network may.
class Wire : public ByteStream {
public:
    Wire(const TestPki& pki, std::vector<std::size_t> plan) : plan_(std::move(plan)) {
        SSL_use_certificate_chain_file(server_, pki.cert("good").c_str());
        SSL_use_PrivateKey_file(server_, pki.key("good").c_str(), SSL_FILETYPE_PEM);
        SSL_set_bio(server_, in_, out_);
        SSL_set_accept_state(server_);
    }
    ~Wire() override { SSL_free(server_), SSL_CTX_free(context_); }
    bool sendAll(const char* data, std::size_t size) override {
        BIO_write(in_, data, static_cast<int>(size));
        char buffer[16384];
        for (std::size_t got; SSL_read_ex(server_, buffer, sizeof buffer, &got) == 1;) fromClient.append(buffer, got);
        return take();
    }
    long receive(char* data, std::size_t size) override {
        if (taken_ == wire_.size()) return ended_ ? 0 : -1;
        std::size_t n = wire_.copy(data, std::min(size, plan_[next_++ % plan_.size()]), taken_);
        taken_ += n;
        return static_cast<long>(n);
    }
    int lastError() const override { return ended_ ? 0 : ETIMEDOUT; }
    void setTimeout(int) override {}
    void serverSends(const std::string& text, std::size_t record) {
        SSL_set_max_send_fragment(server_, record);
        SSL_write(server_, text.data(), static_cast<int>(text.size()));
        take();
    }
    // A close_notify, or the connection cut `cut` bytes before the end.
    void end(std::size_t cut) {
        if (!cut) SSL_shutdown(server_), take();
        wire_.resize(wire_.size() - cut);
        ended_ = true;
    }
    std::string fromClient;

private:
    bool take() {
        SSL_do_handshake(server_);
        char buffer[16384];
        for (int n; (n = BIO_read(out_, buffer, sizeof buffer)) > 0;) wire_.append(buffer, static_cast<std::size_t>(n));
        return true;
    }
    SSL_CTX* context_ = SSL_CTX_new(TLS_server_method());
    SSL* server_ = SSL_new(context_);
    BIO *in_ = BIO_new(BIO_s_mem()), *out_ = BIO_new(BIO_s_mem());
    std::vector<std::size_t> plan_;
    std::size_t next_ = 0, taken_ = 0;  // the client has the first taken_ bytes of what the server sent
    std::string wire_;
    bool ended_ = false;
};

// Every byte arrives once and in order however the records are cut up, the
// records already received come in one receive, and a connection cut in the
// middle of a record hands over none of its bytes.
TEST(TlsStream, RecordsSplitOrJoinedArriveWhole) {
    struct { const char* what; std::size_t record; std::vector<std::size_t> plan; bool cut; std::size_t maxReceives; }
    cases[] = {{"full records", 16384, {65536}, false, 20}, {"small records joined", 4096, {65536}, false, 6},
               {"headers split", 4096, {3, 4099, 1, 7000}, false, 200}, {"byte by byte", 16384, {1}, false, 17},
               {"cut in a record", 4096, {1000, 65536}, true, 10}};
    TestPki pki;
    pki.trust();
    std::string text;
    for (std::size_t i = 0; text.size() < 256 * 1024 + 17; ++i) text += "line " + std::to_string(i) + "\r\n";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto owned = std::make_unique<Wire>(pki, c.plan);
        Wire& wire = *owned;
        TlsStream tls(std::move(owned));
        ASSERT_TRUE(tls.handshake({"localhost", "", 5000})) << tls.reason();
        ASSERT_TRUE(tls.sendAll(text.data(), text.size()));
        EXPECT_TRUE(wire.fromClient == text);
        wire.serverSends(text, c.record);
        if (c.cut) wire.serverSends(std::string(100, 'x'), c.record);
        wire.end(c.cut ? 5 : 0);
        std::string got;
        std::vector<char> buffer(kTlsBufferSize);
        std::size_t receives = 0;
        long n;
        for (; (n = tls.receive(buffer.data(), buffer.size())) > 0; ++receives)
            got.append(buffer.data(), static_cast<std::size_t>(n));
        EXPECT_TRUE(got == text) << got.size();
        EXPECT_LE(receives, c.maxReceives);
        EXPECT_EQ(n, 0);  // the end is a close either way: the dot-ended text tells a cut
    }
}

struct TlsSandbox {
    TestPki pki;
    KorvSandbox box;
    TempDir received;  // what the SMTP server took
    TlsSandbox() {
        pki.trust();
        box.config.domainName.assign("client.example");
        box.config.pop3User.assign("ann");
        box.config.pop3Password.assign("secret");
        QueueMessage(box, "00000001", "example.org\nann@client.example\nbob@example.org\n\n", "Subject: TLS\n\nHi.\n");
    }
};

const std::string kToken(2500, 'T');
struct SmtpCase {
    const char* name;
    const char* mode;  // of smtp_tls_server.py
    const char* leaf;
    const char* server;
    const char* password;  // in korv.cfg
    const char* side;      // korv.conf; the token in the file "token" is the one the server takes
    const char* auth;      // what the server noted of AUTH
    const char* seen;      // in the debug echo or the log
};
void PrintTo(const SmtpCase& row, std::ostream* os) { *os << row.name; }
class SmtpOverTls : public ::testing::TestWithParam<SmtpCase> {};

TEST_P(SmtpOverTls, SignsInAndSendsOrStopsBeforeAnyCredential) {
    const SmtpCase& c = GetParam();
    TlsSandbox t;
    WriteFile(t.received / "token", kToken);
    WriteFile(t.box.path("token"), kToken + "\n");
    WriteFile(t.box.path("korv.conf"), c.side);
    SmtpServerProcess server(c.mode, t.pki.cert(c.leaf), t.pki.key(c.leaf), t.received.path(), 60);
    ASSERT_TRUE(server.ready());
    t.box.config.smtpServer.assign(c.server + (":" + std::to_string(server.port())));
    t.box.config.pop3Password.assign(c.password);
    ProgramResult r = t.box.run({"/send", "/tries:3", "/debug"}, "", 120);
    bool sent = std::string(c.auth).find(" ok") != npos;
    EXPECT_EQ(r.status, sent ? 0 : 1);
    EXPECT_NE((r.out + t.box.log()).find(c.seen), npos) << r.out << t.box.log();
    EXPECT_EQ(FileExists(t.received / "auth") ? ReadFile(t.received / "auth") : "", c.auth);
    EXPECT_EQ(FileExists(t.received / "mail") ? ReadFile(t.received / "mail") : "", sent ? "ann@client.example\n" : "");
    EXPECT_EQ(ListDir(t.box.outbound()), sent ? "" : "00000001.txt 00000001.wrk");
    EXPECT_EQ(FileExists(t.received / "1.data"), sent);
    EXPECT_EQ(r.out.find("Retrying..."), npos);  // certificates and refused sign-ins are not tried again
    // The debug echo shows the session and hides every credential, plain or in base64.
    for (const char* secret : {"secret", "c2VjcmV0", "AGFubgBzZWNyZXQ=", "TTTTTTTT", "VFRUVFRU"})
        EXPECT_EQ(r.out.find(secret), npos) << secret;
    EXPECT_EQ(*c.auth != 0, std::regex_search(r.out, std::regex(R"(\[TLS TLSv1\.3, TLS_\w+, subject CN=localhost, )"
                                                               R"(issuer CN=Quorvexia Test CA\])"))) << r.out;
}

const char* kRefused = "authentication failed: 535 5.7.8 Authentication credentials invalid";
const char* kTokenSide = "token-command = cat token\n";
INSTANTIATE_TEST_SUITE_P(
    Cases, SmtpOverTls,
    ::testing::Values(
        SmtpCase{"starttls_plain", "starttls", "good", "smtp+starttls://localhost", "secret", "", "PLAIN ann ok\n",
                 "AUTH PLAIN <hidden>"},
        SmtpCase{"implicit_plain", "implicit", "good", "SMTPS://127.0.0.1", "secret", "", "PLAIN ann ok\n",
                 "AUTH PLAIN <hidden>"},
        SmtpCase{"login", "login", "good", "smtp+starttls://localhost", "secret", "", "LOGIN ann ok\n", "AUTH LOGIN"},
        SmtpCase{"xoauth2_long_token", "starttls", "good", "smtp+starttls://localhost", "", kTokenSide,
                 "XOAUTH2 ann ok 2523\n", "AUTH XOAUTH2"},
        SmtpCase{"oauthbearer", "bearer", "good", "smtp+starttls://localhost", "", kTokenSide,
                 "OAUTHBEARER ann ok 2523\n", "AUTH OAUTHBEARER"},
        SmtpCase{"oauthbearer_refused", "bearer", "good", "smtp+starttls://localhost", "", "token-command = echo stale",
                 "OAUTHBEARER ann refused 28\n", kRefused},
        SmtpCase{"wrong_password", "starttls", "good", "smtp+starttls://localhost", "guess", "", "PLAIN ann refused\n",
                 kRefused},
        SmtpCase{"wrong_token", "implicit", "good", "smtps://localhost", "", "token-command = echo stale",
                 "XOAUTH2 ann refused 28\n", kRefused},
        SmtpCase{"stripped_starttls", "strip", "good", "smtp+starttls://localhost", "secret", "", "",
                 "SMTP server localhost: no STARTTLS offered"},
        SmtpCase{"expired", "starttls", "expired", "smtp+starttls://localhost", "secret", "", "",
                 "SMTP server localhost: TLS handshake failed: certificate expired"},
        SmtpCase{"wrong_name", "implicit", "wrong", "smtps://localhost", "secret", "", "",
                 "SMTP server localhost: TLS handshake failed: certificate name mismatch (not for localhost)"},
        SmtpCase{"self_signed", "starttls", "self", "smtp+starttls://127.0.0.1", "secret", "", "",
                 "SMTP server 127.0.0.1: TLS handshake failed: certificate self-signed"},
        SmtpCase{"unknown_scheme", "starttls", "good", "smtp+tls://localhost", "secret", "", "",
                 "Invalid SMTP server setting: unknown scheme 'smtp+tls://' in the SMTP server: use "
                 "smtps:// or smtp+starttls://, or no scheme for plain SMTP.\n"},
        SmtpCase{"side_file_typo", "starttls", "good", "smtp+starttls://localhost", "secret", "ca-file = /x\nx-comand = y",
                 "", "korv.conf line 2: unknown key 'x-comand'"}),
    [](const auto& info) { return std::string(info.param.name); });

// Servers that misbehave before TLS: nothing after the refusal may carry a
// credential or a message.
TEST(SmtpStartTls, RefusedOrInjectedStopsBeforeAnyCredential) {
    struct { std::vector<SmtpStep> steps; int connections; const char* logLine; } cases[] = {
        {{Reply("250-hello\r\n250 STARTTLS"), Reply("454 4.7.0 TLS not available")}, 2,
         "SMTP server 127.0.0.1: STARTTLS refused: 454 4.7.0 TLS not available"},
        {{Reply("250-hello\r\n250 STARTTLS"), Reply("220 go ahead\r\n250-AUTH PLAIN\r\n250 OK")}, 1,
         "SMTP server 127.0.0.1: unexpected data after the go-ahead for TLS"},
        {{Reply("550 5.7.1 no EHLO from you")}, 1, "SMTP server 127.0.0.1: EHLO refused: 550 5.7.1 no EHLO from you"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.logLine);
        TlsSandbox t;
        std::vector<SmtpStep> steps = {Reply("220 ready")};
        steps.insert(steps.end(), c.steps.begin(), c.steps.end());
        ScriptedServer server(SmtpScript({steps, steps}), c.connections);
        t.box.config.smtpServer.assign("smtp+starttls://" + server.address());
        ProgramResult r = t.box.run({"/send", "/tries:2"}, "", 60);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(t.box.log().find(c.logLine), npos) << t.box.log();
        server.join();
        EXPECT_EQ(server.accepted(), c.connections);
        EXPECT_EQ(r.out.find("Retrying...") != npos, c.connections == 2) << r.out;
        EXPECT_TRUE(std::regex_search(server.received(), std::regex("^(EHLO [^\r]*\r\n|STARTTLS\r\n|QUIT\r\n)*$")))
            << server.received();
    }
}

// Against Dovecot over pop3s and STLS, with the password from a helper, the
// loop sends ahead (Dovecot offers PIPELINING); plain POP3 goes in lock-step.
// The same mailbox gives the same files, log and console. A bad certificate
// or a mode mix-up signs nothing in and is not tried again.
TEST(Pop3OverTls, FetchesAsLockStepDoesOrSignsNothingIn) {
    if (!DovecotServer::Installed()) GTEST_SKIP() << "dovecot is not installed";
    const std::string expired = "POP3 server 127.0.0.2: TLS handshake failed: certificate expired";
    struct { const char* leaf; const char* form; const char* logLine; } cases[] = {
        {"", "P", ""}, {"good", "pop3s://S", ""}, {"good", "pop3+starttls://P", ""},
        {"expired", "pop3s://S", expired.c_str()}, {"expired", "pop3+starttls://P", expired.c_str()},
        {"good", "pop3s://P", "POP3 server 127.0.0.2: TLS handshake failed: the server answered in plain text, not "
                              "TLS (pop3s:// against a plaintext port: use pop3+starttls://)"}};
    std::string golden;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.leaf) + c.form);
        TlsSandbox t;
        DovecotTls tls{t.pki.cert(c.leaf), t.pki.key(c.leaf)};
        DovecotServer dovecot(*c.leaf ? &tls : nullptr);
        for (int i = 0; i < 40; ++i)
            dovecot.addMessage("17000" + std::to_string(10000 + i) + ".M1P1.quorvexia",
                               "Subject: " + std::to_string(i) + "\n\n.\n..dots\n" + std::string(i * 997 % 9000, 'x') + "\nend\n");
        ASSERT_TRUE(dovecot.start());
        std::string field = c.form;  // S the pop3s port, P the plain one
        field.replace(field.size() - 1, 1, field.back() == 'S' ? dovecot.pop3sAddress() : dovecot.address());
        t.box.config.pop3Server.assign(field);
        t.box.config.pop3Password.assign("not this");
        WriteFile(t.box.path("korv.conf"), "password-command = printf secret\n");
        ProgramResult r = t.box.run({"/receive", "/tries:3"}, "", 120);
        EXPECT_EQ(r.status, *c.logLine ? 2 : 0) << r.out << t.box.log();
        EXPECT_NE(t.box.log().find(c.logLine), npos) << t.box.log();
        EXPECT_EQ(r.out.find("Retrying..."), npos);
        EXPECT_EQ(dovecot.messagesLeft(), *c.logLine ? 40 : 0);
        EXPECT_EQ(dovecot.log().find("Login: user=<ann>, method=PLAIN") != npos, !*c.logLine) << dovecot.log();
        if (*c.logLine) continue;
        std::string seen = std::regex_replace(r.out + MaskLog(t.box.log()), std::regex(", \\d+ CPS|, \\d+:\\d\\d\n"), "");
        std::istringstream names(ListDir(t.box.inbound()));
        for (std::string name; names >> name;) seen += name + ":" + ReadFile(t.box.inbound() + "/" + name);
        seen = std::regex_replace(seen, std::regex(std::regex_replace(field, std::regex("[.+/:]"), "\\$&")), "SERVER");
        golden = golden.empty() ? seen : golden;
        EXPECT_TRUE(seen == golden) << seen;
        EXPECT_NE(seen.find("Receiving 40 message(s)"), npos);
    }
}

TEST(Pop3StartTls, MissingStlsOrATokenOverPlainTextStopsBeforeUser) {
    TlsSandbox t;
    ScriptedServer server([](ServerConnection& c, int) {
        c.send("+OK ready\r\n");
        for (std::string line; c.readLine(line);)
            c.send(line == "CAPA" ? "+OK\r\nUSER\r\nSASL PLAIN\r\n.\r\n" : line == "QUIT" ? "+OK bye\r\n" : "-ERR no\r\n");
    }, 2);
    t.box.config.pop3Server.assign("pop3+starttls://" + server.address());
    EXPECT_EQ(t.box.run({"/receive"}, "", 60).status, 2);
    EXPECT_NE(t.box.log().find("POP3 server 127.0.0.1: no STLS offered"), npos) << t.box.log();
    t.box.config.pop3Server.assign(server.address());
    WriteFile(t.box.path("korv.conf"), "token-command = echo tok\n");
    EXPECT_EQ(t.box.run({"/receive"}, "", 60).status, 2);
    EXPECT_NE(t.box.log().find("a token is sent over TLS only (pop3s:// or pop3+starttls://)"), npos) << t.box.log();
    server.join();
    EXPECT_TRUE(std::regex_search(server.received(), std::regex("^(CAPA\r\n|QUIT\r\n)*$"))) << server.received();
}

}  // namespace
}  // namespace quorvexia::test
