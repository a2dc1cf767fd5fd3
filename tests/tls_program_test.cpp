// korv in the TLS forms against real servers on loopback: aiosmtpd with
// STARTTLS or TLS from the start and AUTH (PLAIN, LOGIN, XOAUTH2), Dovecot
// requiring TLS (pop3s and STLS), and scripted servers for the servers that
// misbehave before TLS. Every case that must not sign in proves that no
// credential and no MAIL reached the server.
#include <ostream>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <regex>
#include <sstream>

#include "pop3_dovecot.h"
#include "smtp_test_support.h"
#include "support/smtp_server.h"
#include "support/tls_fixture.h"

namespace quorvexia::test {
namespace {

const std::string kToken(2500, 'T');

struct TlsSandbox {
    TestPki pki;
    KorvSandbox box;
    TempDir received;  // what the SMTP server took

    TlsSandbox() {
        pki.trust();
        box.config.domainName.assign("client.example");
        box.config.pop3User.assign("ann");
        box.config.pop3Password.assign("secret");
        QueueMessage(box, "00000001", "example.org\nann@client.example\nbob@example.org\n\n",
                     "To: bob@example.org\nSubject: over TLS\n\nHello.\n");
    }
    void sideFile(const std::string& text) { WriteFile(box.path("korv.conf"), text); }
    // A helper that prints the token kept in a file beside korv.cfg.
    void tokenHelper(const std::string& token) {
        WriteFile(box.path("token"), token + "\n");
        sideFile("token-command = cat '" + box.path("token") + "'\n");
    }
    std::string serverFile(const char* name) const {
        return FileExists(received / name) ? ReadFile(received / name) : "";
    }
};

struct SmtpCase {
    const char* name;
    const char* mode;     // of smtp_tls_server.py
    const char* leaf;     // the server's certificate
    const char* scheme;
    const char* host;
    const char* password; // in korv.cfg
    const char* token;    // from a token helper ("" none; "*" the 2500-character token)
    int status;
    const char* auth;     // what the server noted of AUTH
    const char* logLine;  // a line the activity log must hold
};
// ctest names a row by what this prints, so it must not print addresses.
void PrintTo(const SmtpCase& row, std::ostream* os) { *os << row.name; }

class SmtpOverTls : public ::testing::TestWithParam<SmtpCase> {};

TEST_P(SmtpOverTls, SignsInAndSendsOrStopsBeforeAnyCredential) {
    const SmtpCase& c = GetParam();
    TlsSandbox t;
    WriteFile(t.received / "token", kToken);
    SmtpServerProcess server(c.mode, t.pki.cert(c.leaf), t.pki.key(c.leaf), t.received.path(), 60);
    ASSERT_TRUE(server.ready());
    t.box.config.smtpServer.assign(std::string(c.scheme) + c.host + ":" + std::to_string(server.port()));
    t.box.config.pop3Password.assign(c.password);
    if (*c.token) t.tokenHelper(std::string(c.token) == "*" ? kToken : c.token);

    ProgramResult r = t.box.run({"/send", "/tries:3"}, "", 120);
    EXPECT_EQ(r.status, c.status) << r.out;
    std::string log = t.box.log();
    EXPECT_NE(log.find(c.logLine), std::string::npos) << log;
    EXPECT_EQ(t.serverFile("auth"), c.auth);
    bool sent = c.status == 0;
    EXPECT_EQ(FileExists(t.received / "1.data"), sent);
    EXPECT_EQ(t.serverFile("mail"), sent ? "ann@client.example\n" : "");
    EXPECT_EQ(ListDir(t.box.outbound()), sent ? "" : "00000001.txt 00000001.wrk");
    // Certificates and refused sign-ins are not tried again.
    EXPECT_EQ(r.out.find("Retrying..."), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SmtpOverTls,
    ::testing::Values(
        SmtpCase{"starttls_plain", "starttls", "good", "smtp+starttls://", "localhost", "secret", "", 0,
                 "PLAIN ann ok\n", "Sent 00000001 to bob@example.org"},
        SmtpCase{"implicit_plain", "implicit", "good", "SMTPS://", "127.0.0.1", "secret", "", 0, "PLAIN ann ok\n",
                 "Sent 00000001 to bob@example.org"},
        SmtpCase{"login", "login", "good", "smtp+starttls://", "localhost", "secret", "", 0, "LOGIN ann ok\n",
                 "Sent 00000001 to bob@example.org"},
        SmtpCase{"xoauth2_long_token", "starttls", "good", "smtp+starttls://", "localhost", "", "*", 0,
                 "XOAUTH2 ann ok 2523\n", "Sent 00000001 to bob@example.org"},
        SmtpCase{"oauthbearer", "bearer", "good", "smtp+starttls://", "localhost", "", "*", 0,
                 "OAUTHBEARER ann ok 2523\n", "Sent 00000001 to bob@example.org"},
        SmtpCase{"oauthbearer_refused", "bearer", "good", "smtp+starttls://", "localhost", "", "stale", 1,
                 "OAUTHBEARER ann refused 28\n", "authentication failed: 535 5.7.8 Authentication credentials invalid"},
        SmtpCase{"wrong_password", "starttls", "good", "smtp+starttls://", "localhost", "guess", "", 1,
                 "PLAIN ann refused\n", "authentication failed: 535 5.7.8 Authentication credentials invalid"},
        SmtpCase{"wrong_token", "implicit", "good", "smtps://", "localhost", "", "stale", 1,
                 "XOAUTH2 ann refused 28\n", "authentication failed: 535 5.7.8 Authentication credentials invalid"},
        SmtpCase{"stripped_starttls", "strip", "good", "smtp+starttls://", "localhost", "secret", "", 1, "",
                 "SMTP server localhost: no STARTTLS offered"},
        SmtpCase{"expired_starttls", "starttls", "expired", "smtp+starttls://", "localhost", "secret", "", 1, "",
                 "SMTP server localhost: TLS handshake failed: certificate expired"},
        SmtpCase{"expired_implicit", "implicit", "expired", "smtps://", "localhost", "secret", "", 1, "",
                 "SMTP server localhost: TLS handshake failed: certificate expired"},
        SmtpCase{"wrong_name", "implicit", "wrong", "smtps://", "localhost", "secret", "", 1, "",
                 "TLS handshake failed: certificate name mismatch (not for localhost)"},
        SmtpCase{"self_signed", "starttls", "self", "smtp+starttls://", "127.0.0.1", "secret", "", 1, "",
                 "TLS handshake failed: certificate self-signed"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SmtpOverTlsEcho, DebugShowsTheSessionAndHidesCredentials) {
    TlsSandbox t;
    WriteFile(t.received / "token", kToken);
    SmtpServerProcess server("starttls", t.pki.cert("good"), t.pki.key("good"), t.received.path(), 60);
    ASSERT_TRUE(server.ready());
    t.box.config.smtpServer.assign("smtp+starttls://localhost:" + std::to_string(server.port()));
    ProgramResult plain = t.box.run({"/send", "/debug"}, "", 120);
    ASSERT_EQ(plain.status, 0) << plain.out;
    EXPECT_NE(plain.out.find("AUTH PLAIN <hidden>"), std::string::npos) << plain.out;
    EXPECT_NE(plain.out.find("[TLS TLSv1.3, TLS_"), std::string::npos) << plain.out;
    EXPECT_NE(plain.out.find("subject CN=localhost, issuer CN=Quorvexia Test CA]"), std::string::npos) << plain.out;
    EXPECT_EQ(plain.out.find("secret"), std::string::npos) << plain.out;
    EXPECT_EQ(plain.out.find("AGFubgBzZWNyZXQ="), std::string::npos) << plain.out;

    QueueMessage(t.box, "00000002", "example.org\nann@client.example\nbob@example.org\n\n", "Subject: 2\n\nx\n");
    t.tokenHelper(kToken);
    ProgramResult token = t.box.run({"/send", "/debug"}, "", 120);
    ASSERT_EQ(token.status, 0) << token.out;
    EXPECT_NE(token.out.find("AUTH XOAUTH2"), std::string::npos) << token.out;
    EXPECT_EQ(token.out.find("TTTTTTTT"), std::string::npos) << "the token in plain";
    EXPECT_EQ(token.out.find("VFRUVFRUVFRU"), std::string::npos) << "the token in base64";
}

// Servers that misbehave before TLS: nothing after the refusal may carry a
// credential or a message.
struct StartTlsCase {
    const char* name;
    std::vector<SmtpStep> steps;  // after the greeting
    int connections;              // with /tries:2
    const char* logLine;
};

TEST(SmtpStartTls, RefusedMissingOrInjectedStopsBeforeAnyCredential) {
    const StartTlsCase cases[] = {
        {"no STARTTLS", {Reply("250-hello\r\n250 AUTH PLAIN")}, 1, "SMTP server 127.0.0.1: no STARTTLS offered"},
        {"refused for now", {Reply("250-hello\r\n250 STARTTLS"), Reply("454 4.7.0 TLS not available")}, 2,
         "SMTP server 127.0.0.1: STARTTLS refused: 454 4.7.0 TLS not available"},
        {"injected", {Reply("250-hello\r\n250 STARTTLS"), Reply("220 go ahead\r\n250-AUTH PLAIN\r\n250 OK")}, 1,
         "SMTP server 127.0.0.1: unexpected data after the go-ahead for TLS"},
        {"EHLO refused", {Reply("550 5.7.1 no EHLO from you")}, 1,
         "SMTP server 127.0.0.1: EHLO refused: 550 5.7.1 no EHLO from you"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TlsSandbox t;
        std::vector<SmtpStep> steps = {Reply("220 ready")};
        steps.insert(steps.end(), c.steps.begin(), c.steps.end());
        ScriptedServer server(SmtpScript({steps, steps}), c.connections);
        t.box.config.smtpServer.assign("smtp+starttls://127.0.0.1:" + std::to_string(server.port()));
        ProgramResult r = t.box.run({"/send", "/tries:2"}, "", 60);
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_NE(t.box.log().find(c.logLine), std::string::npos) << t.box.log();
        server.join();
        EXPECT_EQ(server.accepted(), c.connections);
        EXPECT_EQ(r.out.find("Retrying...") != std::string::npos, c.connections == 2) << r.out;
        std::string seen = server.received();
        EXPECT_EQ(seen.find("HELO"), std::string::npos) << seen;
        EXPECT_EQ(seen.find("AUTH"), std::string::npos) << seen;
        EXPECT_EQ(seen.find("MAIL"), std::string::npos) << seen;
        EXPECT_EQ(seen.find("AGFubgBzZWNyZXQ="), std::string::npos) << seen;
    }
}

TEST(Pop3OverTls, Pop3sAndStlsFetchTheMailbox) {
    if (!DovecotServer::Installed()) GTEST_SKIP() << "dovecot is not installed";
    for (bool implicit : {true, false}) {
        SCOPED_TRACE(implicit ? "pop3s" : "pop3+starttls");
        TlsSandbox t;
        DovecotTls tls{t.pki.cert("good"), t.pki.key("good")};
        DovecotServer dovecot(&tls);
        dovecot.addMessage("1700000001.M1P1.quorvexia", "Subject: one\n\nfirst\n");
        dovecot.addMessage("1700000002.M1P1.quorvexia", "Subject: two\n\nsecond\n");
        ASSERT_TRUE(dovecot.start());
        t.box.config.pop3Server.assign(implicit ? "pop3s://" + dovecot.pop3sAddress()
                                                : "pop3+starttls://" + dovecot.address());
        // The password comes from a helper, not from korv.cfg.
        t.box.config.pop3Password.assign("not this");
        t.sideFile("password-command = printf secret\n");
        ProgramResult r = t.box.run({"/receive"}, "", 120);
        EXPECT_EQ(r.status, 0) << r.out << t.box.log();
        EXPECT_NE(r.out.find("Receiving 2 message(s)"), std::string::npos) << r.out;
        EXPECT_EQ(ListDir(t.box.inbound()), "00000000.txt 00000000.wrk 00000001.txt 00000001.wrk");
        EXPECT_EQ(dovecot.messagesLeft(), 0);
        // Signed in with AUTH PLAIN over TLS.
        EXPECT_NE(dovecot.log().find("Login: user=<ann>, method=PLAIN"), std::string::npos) << dovecot.log();
    }
}

// Dovecot offers PIPELINING: over pop3s the loop sends ahead, in plain POP3
// it goes in lock-step. The same mailbox gives the same files, log and console.
TEST(Pop3OverTls, PipelinedFetchGivesWhatLockStepGives) {
    if (!DovecotServer::Installed()) GTEST_SKIP() << "dovecot is not installed";
    TlsSandbox t;
    DovecotTls tls{t.pki.cert("good"), t.pki.key("good")};
    DovecotServer secure(&tls), plain;
    for (int i = 0; i < 40; ++i) {
        std::string text = "From: s" + std::to_string(i) + "@example.org\nTo: ann@example.net\nSubject: " +
                           std::to_string(i) + "\n\n.\n..dots\n" + std::string(i * 997 % 9000, 'x') + "\nend\n";
        std::string name = "17000" + std::to_string(10000 + i) + ".M1P1.quorvexia";
        secure.addMessage(name, text);
        plain.addMessage(name, text);
    }
    ASSERT_TRUE(secure.start());
    ASSERT_TRUE(plain.start());
    KorvSandbox lockStep;
    lockStep.config = t.box.config;
    t.box.config.pop3Server.assign("pop3s://" + secure.pop3sAddress());
    lockStep.config.pop3Server.assign(plain.address());
    ProgramResult pipelined = t.box.run({"/receive"}, "", 120);
    ProgramResult stepped = lockStep.run({"/receive"}, "", 120);
    EXPECT_EQ(pipelined.status, 0) << pipelined.out;
    EXPECT_EQ(stepped.status, 0) << stepped.out;
    auto mask = [](std::string text, const std::string& server) {
        text = std::regex_replace(text, std::regex(std::regex_replace(server, std::regex("[.+/:]"), "\\$&")), "SERVER");
        text = std::regex_replace(text, std::regex(", \\d+ CPS"), ", N CPS");
        return std::regex_replace(text, std::regex(", \\d+:\\d\\d\n"), ", M:SS\n");
    };
    EXPECT_EQ(mask(pipelined.out, "pop3s://" + secure.pop3sAddress()), mask(stepped.out, plain.address()));
    EXPECT_EQ(mask(MaskLog(t.box.log()), "pop3s://" + secure.pop3sAddress()),
              mask(MaskLog(lockStep.log()), plain.address()));
    std::string files = ListDir(t.box.inbound());
    ASSERT_EQ(files, ListDir(lockStep.inbound()));
    EXPECT_EQ(std::count(files.begin(), files.end(), ' ') + 1, 80);
    std::istringstream names(files);
    for (std::string name; names >> name;)
        EXPECT_EQ(ReadFile(t.box.inbound() + "/" + name), ReadFile(lockStep.inbound() + "/" + name)) << name;
    EXPECT_EQ(secure.messagesLeft(), 0);
    EXPECT_EQ(plain.messagesLeft(), 0);
}

TEST(Pop3OverTls, BadCertificateOrModeMixUpSignsNothingIn) {
    if (!DovecotServer::Installed()) GTEST_SKIP() << "dovecot is not installed";
    TlsSandbox t;
    DovecotTls tls{t.pki.cert("expired"), t.pki.key("expired")};
    DovecotServer dovecot(&tls);
    dovecot.addMessage("1700000001.M1P1.quorvexia", "Subject: one\n\nfirst\n");
    ASSERT_TRUE(dovecot.start());
    struct {
        std::string field;
        const char* logLine;
    } cases[] = {
        {"pop3s://" + dovecot.pop3sAddress(), "POP3 server 127.0.0.2: TLS handshake failed: certificate expired"},
        {"pop3+starttls://" + dovecot.address(), "POP3 server 127.0.0.2: TLS handshake failed: certificate expired"},
        {"pop3s://" + dovecot.address(),
         "POP3 server 127.0.0.2: TLS handshake failed: the server answered in plain text, not TLS "
         "(pop3s:// against a plaintext port: use pop3+starttls://)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.field);
        t.box.config.pop3Server.assign(c.field);
        ProgramResult r = t.box.run({"/receive", "/tries:3"}, "", 120);
        EXPECT_EQ(r.status, 2) << r.out;
        EXPECT_NE(t.box.log().find(c.logLine), std::string::npos) << t.box.log();
        EXPECT_EQ(r.out.find("Retrying..."), std::string::npos) << r.out;
    }
    EXPECT_EQ(dovecot.messagesLeft(), 1);
    EXPECT_EQ(dovecot.log().find("user=<ann>"), std::string::npos) << dovecot.log();
}

TEST(Pop3StartTls, MissingStlsOrATokenOverPlainTextStopsBeforeUser) {
    TlsSandbox t;
    ScriptedServer server(
        [](ServerConnection& c, int) {
            c.send("+OK ready\r\n");
            std::string line;
            while (c.readLine(line)) {
                if (line == "CAPA") c.send("+OK\r\nUSER\r\nSASL PLAIN\r\n.\r\n");
                else c.send(line == "QUIT" ? "+OK bye\r\n" : "-ERR no\r\n");
            }
        },
        2);
    t.box.config.pop3Server.assign("pop3+starttls://127.0.0.1:" + std::to_string(server.port()));
    ProgramResult stls = t.box.run({"/receive"}, "", 60);
    EXPECT_EQ(stls.status, 2);
    EXPECT_NE(t.box.log().find("POP3 server 127.0.0.1: no STLS offered"), std::string::npos) << t.box.log();

    t.box.config.pop3Server.assign("127.0.0.1:" + std::to_string(server.port()));
    t.tokenHelper("tok");
    ProgramResult token = t.box.run({"/receive"}, "", 60);
    EXPECT_EQ(token.status, 2);
    EXPECT_NE(t.box.log().find("a token is sent over TLS only (pop3s:// or pop3+starttls://)"), std::string::npos)
        << t.box.log();
    server.join();
    std::string seen = server.received();
    EXPECT_EQ(seen.find("USER"), std::string::npos) << seen;
    EXPECT_EQ(seen.find("PASS"), std::string::npos) << seen;
    EXPECT_EQ(seen.find("AUTH"), std::string::npos) << seen;
}

TEST(TlsSettings, UnknownSchemeAndBrokenSideFileAreClearErrors) {
    TlsSandbox t;
    t.box.config.smtpServer.assign("smtp+tls://mail.example.org");
    ProgramResult scheme = t.box.run({"/send", "/tries:3"}, "", 60);
    EXPECT_EQ(scheme.status, 1);
    EXPECT_NE(scheme.out.find("Invalid SMTP server setting: unknown scheme 'smtp+tls://' in the SMTP server: use "
                              "smtps:// or smtp+starttls://, or no scheme for plain SMTP.\n"),
              std::string::npos)
        << scheme.out;
    EXPECT_EQ(scheme.out.find("Retrying..."), std::string::npos) << scheme.out;

    t.sideFile("ca-file = /x\npassword-comand = y\n");
    ProgramResult side = t.box.run({"/send"}, "", 60);
    EXPECT_EQ(side.status, 1);
    EXPECT_NE(side.out.find("korv.conf line 2: unknown key 'password-comand'"), std::string::npos) << side.out;
}

}  // namespace
}  // namespace quorvexia::test
