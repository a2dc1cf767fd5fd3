// A TLS client stream over another byte stream (the connected socket). The
// TLS records travel through the inner stream's own sendAll and receive, so
// its time limits and its no-signal sends stay in force. The handshake has
// an overall deadline on top of the limit for each read, so a server that
// goes silent after accepting holds korv only that long. The server's
// certificate is verified inside the handshake against the system's store
// (which honours SSL_CERT_FILE) and an optional extra CA file, and must name
// the host: there is no way to turn verification off.
#pragma once

#include <memory>
#include <string>

#include "byte_stream.h"

namespace quorvexia::platform {

inline constexpr int kTlsHandshakeTimeoutMs = 30 * 1000;
// How much one receive from the socket may bring for the TLS layer, and how
// much of its records one send may carry: several full records, so a large
// transfer costs few system calls.
inline constexpr std::size_t kTlsBufferSize = 64 * 1024;

struct TlsOptions {
    std::string host;    // the name (or IP literal) the certificate must match
    std::string caFile;  // a PEM file trusted besides the system store; may be empty
    int handshakeTimeoutMs = kTlsHandshakeTimeoutMs;
};

enum class TlsFailure {
    None,
    Setup,          // the TLS library could not be set up
    CaFile,         // the extra CA file could not be read
    Handshake,      // any other fault of the handshake
    Expired,        // the certificate has expired (or is not valid yet)
    SelfSigned,     // the server shows a self-signed certificate
    UnknownIssuer,  // the chain leads to no trusted issuer
    NameMismatch,   // the certificate is for another name or address
    Untrusted,      // the certificate failed verification for another reason
    OldVersion,     // the server offers no TLS version from 1.2 up
    PlainText,      // the server answered the hello in plain text
    TimedOut,       // the handshake passed its deadline
    Closed,         // the server closed the connection during the handshake
};

class TlsStream final : public ByteStream {
public:
    explicit TlsStream(std::unique_ptr<ByteStream> inner);
    ~TlsStream() override;
    TlsStream(const TlsStream&) = delete;
    TlsStream& operator=(const TlsStream&) = delete;

    // The client handshake; false with failure() and reason() set.
    bool handshake(const TlsOptions& options);
    TlsFailure failure() const { return failure_; }
    // A short sentence for the log: "certificate expired", "handshake
    // failed (...)", ...
    const std::string& reason() const { return reason_; }
    // The session for the debug echo: version, cipher, the certificate's
    // subject and issuer, control bytes escaped.
    std::string describe() const;

    bool sendAll(const char* data, std::size_t size) override;
    long receive(char* data, std::size_t size) override;
    int lastError() const override { return lastError_; }
    void setTimeout(int timeoutMs) override;

    // For the custom BIO only.
    // Bytes for the TLS layer from what was received ahead; -2 for "try
    // again later" while a receive takes only what was already received.
    long bioRead(char* data, std::size_t size);
    bool bioWrite(const char* data, std::size_t size);
    bool flushOut();

private:
    struct Handles;
    bool fail(TlsFailure failure, std::string reason);
    void classifyHandshakeFault(unsigned long error, const std::string& host);
    void takeError(int sslError);
    long innerReceive(char* data, std::size_t size);
    bool innerSend(const char* data, std::size_t size);

    std::unique_ptr<ByteStream> inner_;
    std::unique_ptr<Handles> handles_;
    int timeoutMs_ = 0;
    long long deadlineMs_ = 0;  // while the handshake runs
    bool timedOut_ = false;
    bool peerClosed_ = false;
    bool established_ = false;
    bool mayWait_ = true;
    // Received from the socket, not yet taken by the TLS layer.
    std::unique_ptr<char[]> rx_;
    std::size_t rxStart_ = 0;
    std::size_t rxCount_ = 0;
    std::string out_;  // records written by the TLS layer, not yet sent
    std::string firstBytes_;  // the first bytes the server sent, to spot a plaintext answer
    TlsFailure failure_ = TlsFailure::None;
    std::string reason_;
    int lastError_ = 0;
};

// Bytes below 0x20 and 0x7f shown as \xHH, so a certificate's names cannot
// write control sequences to the console or the log.
std::string EscapeControlBytes(std::string_view text);

}  // namespace quorvexia::platform
