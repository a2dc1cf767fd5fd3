// The TLS stream against real TLS endpoints on loopback: `openssl s_server`
// with the throwaway PKI's certificates for the verification cases, and
// scripted servers for peers that are not TLS at all.
#include <ostream>
#include <gtest/gtest.h>

#include <openssl/ssl.h>

#include <chrono>
#include <memory>

#include "platform/net.h"
#include "platform/tls_stream.h"
#include "pop3_dovecot.h"
#include "support/scripted_server.h"
#include "support/tls_fixture.h"

namespace quorvexia::test {
namespace {

using platform::TlsFailure;
using platform::TlsOptions;
using platform::TlsStream;

std::unique_ptr<TlsStream> Connect(unsigned short port) {
    auto socket = std::make_unique<platform::Socket>();
    platform::ServerName name{"127.0.0.1", port};
    std::vector<platform::NetAddress> addresses;
    EXPECT_TRUE(platform::ResolveHost(name, addresses));
    EXPECT_TRUE(socket->connect(addresses.at(0), 5000));
    socket->setTimeout(kScriptTimeoutSeconds * 1000);
    return std::make_unique<TlsStream>(std::move(socket));
}

std::string ReadLine(TlsStream& tls) {
    std::string line;
    char c;
    while (tls.receive(&c, 1) == 1) {
        line += c;
        if (c == '\n') break;
    }
    return line;
}

struct CertCase {
    const char* leaf;
    const char* host;        // the name korv was given
    const char* caFile;      // "" none, else a certificate of the PKI
    TlsFailure failure;
    const char* reason;      // what the log line says
};
// ctest names a row by what this prints, so it must not print addresses.
void PrintTo(const CertCase& row, std::ostream* os) { *os << row.leaf; }

class TlsCertificates : public ::testing::TestWithParam<CertCase> {};

TEST_P(TlsCertificates, VerifyInsideTheHandshake) {
    const CertCase& c = GetParam();
    TestPki pki;
    pki.trust();
    OpensslServer server(pki.cert(c.leaf), pki.key(c.leaf));
    ASSERT_TRUE(server.ready());
    auto tls = Connect(server.port());
    TlsOptions options{c.host, *c.caFile ? pki.cert(c.caFile) : "", 10000};
    bool ok = tls->handshake(options);
    EXPECT_EQ(tls->failure(), c.failure) << tls->reason();
    EXPECT_EQ(tls->reason(), c.reason);
    ASSERT_EQ(ok, c.failure == TlsFailure::None);
    if (!ok) {
        EXPECT_NE(tls->lastError(), 0);
        EXPECT_FALSE(tls->sendAll("x\n", 2));  // nothing goes out over a failed handshake
        return;
    }
    // The stream carries lines both ways; the server reverses each one.
    ASSERT_TRUE(tls->sendAll("USER ann\n", 9));
    EXPECT_EQ(ReadLine(*tls), "nna RESU\n");
    std::string description = tls->describe();
    EXPECT_NE(description.find("TLSv1.3, TLS_"), std::string::npos) << description;
    EXPECT_NE(description.find(", subject CN=localhost, issuer CN="), std::string::npos) << description;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TlsCertificates,
    ::testing::Values(
        CertCase{"good", "localhost", "", TlsFailure::None, ""},
        CertCase{"good", "127.0.0.1", "", TlsFailure::None, ""},
        CertCase{"expired", "localhost", "", TlsFailure::Expired, "certificate expired"},
        CertCase{"self", "localhost", "", TlsFailure::SelfSigned, "certificate self-signed"},
        CertCase{"stranger", "localhost", "", TlsFailure::UnknownIssuer, "certificate from an unknown issuer"},
        CertCase{"wrong", "localhost", "", TlsFailure::NameMismatch, "certificate name mismatch (not for localhost)"},
        CertCase{"good", "127.0.0.9", "", TlsFailure::NameMismatch, "certificate name mismatch (not for 127.0.0.9)"},
        CertCase{"good", "mail.example.com", "", TlsFailure::NameMismatch,
                 "certificate name mismatch (not for mail.example.com)"},
        // The extra CA file trusts a private server's own certificate, and
        // only for the names it carries.
        CertCase{"self", "localhost", "self", TlsFailure::None, ""},
        CertCase{"stranger", "localhost", "otherca", TlsFailure::None, ""},
        CertCase{"self", "elsewhere.invalid", "self", TlsFailure::NameMismatch,
                 "certificate name mismatch (not for elsewhere.invalid)"}),
    [](const auto& info) { return std::to_string(info.index) + "_" + info.param.leaf; });

TEST(TlsStream, CaFileThatCannotBeReadIsNamed) {
    TestPki pki;
    pki.trust();
    OpensslServer server(pki.cert("good"), pki.key("good"));
    ASSERT_TRUE(server.ready());
    auto tls = Connect(server.port());
    EXPECT_FALSE(tls->handshake({"localhost", pki.dir() + "/none.pem", 5000}));
    EXPECT_EQ(tls->failure(), TlsFailure::CaFile);
    EXPECT_EQ(tls->reason(), "the CA file '" + pki.dir() + "/none.pem' holds no certificate that can be read");
}

TEST(TlsStream, RefusesAServerBelowTls12) {
    TestPki pki;
    pki.trust();
    OpensslServer server(pki.cert("good"), pki.key("good"), {"-tls1_1", "-cipher", "DEFAULT@SECLEVEL=0"});
    ASSERT_TRUE(server.ready());
    auto tls = Connect(server.port());
    EXPECT_FALSE(tls->handshake({"localhost", "", 5000}));
    EXPECT_EQ(tls->failure(), TlsFailure::OldVersion) << tls->reason();
    EXPECT_EQ(tls->reason(), "the server offers no TLS version from 1.2 up");
}

TEST(TlsStream, SpotsAPlaintextServer) {
    ScriptedServer server([](ServerConnection& c, int) {
        c.send("+OK POP3 ready\r\n");
        std::string line;
        c.readLine(line);  // the hello is no line; wait for the client to give up
    });
    auto tls = Connect(server.port());
    EXPECT_FALSE(tls->handshake({"localhost", "", 5000}));
    EXPECT_EQ(tls->failure(), TlsFailure::PlainText) << tls->reason();
    EXPECT_EQ(tls->reason(), "the server answered in plain text, not TLS");
}

TEST(TlsStream, SilentServerMeetsTheHandshakeDeadline) {
    // The per-read limit is the script's 20 s; the handshake's deadline is 1 s.
    ScriptedServer server([](ServerConnection& c, int) { c.waitForClose(); });
    auto tls = Connect(server.port());
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(tls->handshake({"localhost", "", 1000}));
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(tls->failure(), TlsFailure::TimedOut);
    EXPECT_EQ(tls->lastError(), ETIMEDOUT);
    EXPECT_GE(took, std::chrono::milliseconds(900));
    EXPECT_LT(took, std::chrono::seconds(5));
}

TEST(TlsStream, ServerThatClosesDuringTheHandshake) {
    ScriptedServer server([](ServerConnection& c, int) { c.close(); });
    auto tls = Connect(server.port());
    EXPECT_FALSE(tls->handshake({"localhost", "", 5000}));
    EXPECT_EQ(tls->failure(), TlsFailure::Closed) << tls->reason();
    EXPECT_EQ(tls->reason(), "the server closed the connection during the TLS handshake");
}

// SNI names the host for a name, and is left out for an address literal.
TEST(TlsStream, SendsTheNameOnlyForNames) {
    for (std::string host : {"localhost", "127.0.0.1"}) {
        ScriptedServer server([](ServerConnection& c, int) { c.waitForClose(); });
        auto tls = Connect(server.port());
        EXPECT_FALSE(tls->handshake({host, "", 300}));
        tls.reset();
        server.join();
        std::string hello = server.received();
        ASSERT_GT(hello.size(), 5u);
        EXPECT_EQ(hello[0], 22);  // a handshake record
        EXPECT_EQ(hello.find(host) != std::string::npos, host == "localhost") << host;
    }
}

// The wire under the client, in memory: the server's end is an OpenSSL server
// session answering in the same thread, and the client's receives get the
// server's bytes in pieces of the sizes planned (cycling), so records and
// their headers can be split or joined as a network may.
class Wire : public platform::ByteStream {
public:
    Wire(const TestPki& pki, std::vector<std::size_t> plan) : plan_(std::move(plan)) {
        EXPECT_EQ(SSL_use_certificate_chain_file(server_, pki.cert("good").c_str()), 1);
        EXPECT_EQ(SSL_use_PrivateKey_file(server_, pki.key("good").c_str(), SSL_FILETYPE_PEM), 1);
        SSL_set_bio(server_, in_, out_);
        SSL_set_accept_state(server_);
    }
    ~Wire() override {
        SSL_free(server_);
        SSL_CTX_free(context_);
    }
    bool sendAll(const char* data, std::size_t size) override {
        BIO_write(in_, data, static_cast<int>(size));
        char buffer[16384];
        std::size_t got = 0;
        while (SSL_read_ex(server_, buffer, sizeof buffer, &got) == 1) fromClient.append(buffer, got);
        take();
        return true;
    }
    long receive(char* data, std::size_t size) override {
        if (taken_ == wire_.size()) return ended_ ? 0 : -1;
        std::size_t n = std::min({size, wire_.size() - taken_, plan_[next_++ % plan_.size()]});
        taken_ += wire_.copy(data, n, taken_);
        return static_cast<long>(n);
    }
    int lastError() const override { return ended_ ? 0 : ETIMEDOUT; }
    void setTimeout(int) override {}

    // The server's text in records of `record` bytes.
    void serverSends(const std::string& text, std::size_t record) {
        SSL_set_max_send_fragment(server_, record);
        EXPECT_EQ(SSL_write(server_, text.data(), static_cast<int>(text.size())), static_cast<int>(text.size()));
        take();
    }
    void closeNotify() {
        SSL_shutdown(server_);
        ended_ = true;
        take();
    }
    void cut(std::size_t bytes) {
        wire_.resize(wire_.size() - bytes);
        ended_ = true;
    }

    std::string fromClient;

private:
    void take() {
        SSL_do_handshake(server_);
        char buffer[16384];
        for (int n; (n = BIO_read(out_, buffer, sizeof buffer)) > 0;) wire_.append(buffer, static_cast<std::size_t>(n));
    }
    SSL_CTX* context_ = SSL_CTX_new(TLS_server_method());
    SSL* server_ = SSL_new(context_);
    BIO* in_ = BIO_new(BIO_s_mem());
    BIO* out_ = BIO_new(BIO_s_mem());
    std::vector<std::size_t> plan_;
    std::size_t next_ = 0;
    std::string wire_;  // what the server sent; the client has the first taken_ bytes
    std::size_t taken_ = 0;
    bool ended_ = false;
};

enum class Ending { CloseNotify, CutInRecord };

struct RecordCase {
    const char* what;
    std::size_t record;             // the server's record size
    std::vector<std::size_t> plan;  // the pieces the network hands over
    Ending ending;
    std::size_t maxReceives;        // receives that the text may take at most
};

class TlsRecords : public ::testing::TestWithParam<RecordCase> {};

// Every byte arrives once and in order however the records are cut up, the
// records already received come in one receive, and a connection cut in
// the middle of a record never hands over any of its bytes.
TEST_P(TlsRecords, ArriveWhole) {
    const RecordCase& c = GetParam();
    TestPki pki;
    pki.trust();
    auto owned = std::make_unique<Wire>(pki, c.plan);
    Wire& wire = *owned;
    TlsStream tls(std::move(owned));
    ASSERT_TRUE(tls.handshake({"localhost", "", 5000})) << tls.reason();
    std::string text;
    for (std::size_t i = 0; text.size() < 256 * 1024 + 17; ++i) text += "line " + std::to_string(i) + "\r\n";
    // A large send arrives byte for byte.
    ASSERT_TRUE(tls.sendAll(text.data(), text.size()));
    EXPECT_TRUE(wire.fromClient == text);

    wire.serverSends(text, c.record);
    if (c.ending == Ending::CutInRecord) {
        wire.serverSends(std::string(100, 'x'), c.record);  // one more record, which never arrives whole
        wire.cut(5);
    } else {
        wire.closeNotify();
    }
    std::string got;
    std::vector<char> buffer(platform::kTlsBufferSize);
    std::size_t receives = 0;
    long n;
    while ((n = tls.receive(buffer.data(), buffer.size())) > 0) {
        got.append(buffer.data(), static_cast<std::size_t>(n));
        ++receives;
    }
    ASSERT_EQ(got.size(), text.size());
    EXPECT_TRUE(got == text);
    EXPECT_LE(receives, c.maxReceives);
    EXPECT_EQ(n, 0);  // the end is a close either way: the dot-ended text tells a cut
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TlsRecords,
    ::testing::Values(
        RecordCase{"full records, one read each", 16384, {65536}, Ending::CloseNotify, 20},
        RecordCase{"small records joined in one read", 4096, {65536}, Ending::CloseNotify, 6},
        RecordCase{"headers and records split", 4096, {3, 4099, 1, 7000}, Ending::CloseNotify, 200},
        RecordCase{"byte by byte", 16384, {1}, Ending::CloseNotify, 17},
        RecordCase{"cut in the middle of a record", 4096, {1000, 65536}, Ending::CutInRecord, 10}),
    [](const auto& info) { return std::to_string(info.index); });

TEST(TlsStream, EscapesControlBytes) {
    EXPECT_EQ(platform::EscapeControlBytes("CN=a\x1b[2Jb\x7f\tc"), "CN=a\\x1B[2Jb\\x7F\\x09c");
    EXPECT_EQ(platform::EscapeControlBytes("CN=Zürich"), "CN=Zürich");
}

}  // namespace
}  // namespace quorvexia::test

namespace quorvexia::test {
namespace {

// A real server that requires TLS: its pop3s port speaks TLS at once, its
// plain port only after STLS, and refuses a plaintext login from another host.
TEST(TlsStreamDovecot, Pop3sAndStls) {
    if (!DovecotServer::Installed()) GTEST_SKIP() << "dovecot is not installed";
    TestPki pki;
    pki.trust();
    DovecotTls tls{pki.cert("good"), pki.key("good")};
    DovecotServer dovecot(&tls);
    ASSERT_TRUE(dovecot.start());
    auto connect = [](const std::string& address) {
        auto socket = std::make_unique<platform::Socket>();
        platform::ServerName name;
        std::vector<platform::NetAddress> addresses;
        EXPECT_TRUE(platform::ParseServerField(address, 0, name) && platform::ResolveHost(name, addresses));
        EXPECT_TRUE(socket->connect(addresses.at(0), 5000));
        socket->setTimeout(kScriptTimeoutSeconds * 1000);
        return socket;
    };
    auto exchange = [](platform::ByteStream& s, const std::string& line) {
        EXPECT_TRUE(s.sendAll(line.data(), line.size()));
        char buffer[512];
        long got = s.receive(buffer, sizeof buffer);
        return got > 0 ? std::string(buffer, static_cast<std::size_t>(got)) : std::string();
    };

    TlsStream pop3s(connect(dovecot.pop3sAddress()));
    ASSERT_TRUE(pop3s.handshake({"127.0.0.2", "", 10000})) << pop3s.reason();
    char greeting[256];
    ASSERT_GT(pop3s.receive(greeting, sizeof greeting), 0);
    EXPECT_EQ(std::string(greeting, 3), "+OK");
    EXPECT_EQ(exchange(pop3s, "USER ann\r\n").substr(0, 3), "+OK");
    EXPECT_EQ(exchange(pop3s, "PASS secret\r\n").substr(0, 3), "+OK");

    auto plain = connect(dovecot.address());
    long got = plain->receive(greeting, sizeof greeting);
    ASSERT_GT(got, 0);
    EXPECT_EQ(exchange(*plain, "USER ann\r\n").substr(0, 4), "-ERR");  // no login before TLS
    EXPECT_EQ(exchange(*plain, "STLS\r\n").substr(0, 3), "+OK");
    TlsStream stls(std::move(plain));
    ASSERT_TRUE(stls.handshake({"127.0.0.2", "", 10000})) << stls.reason();
    EXPECT_EQ(exchange(stls, "USER ann\r\n").substr(0, 3), "+OK");
    EXPECT_EQ(exchange(stls, "PASS secret\r\n").substr(0, 3), "+OK");
}

}  // namespace
}  // namespace quorvexia::test
