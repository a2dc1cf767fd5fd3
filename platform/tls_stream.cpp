#include "tls_stream.h"

#include <arpa/inet.h>
#include <time.h>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "net.h"

namespace quorvexia::platform {

namespace {

long long NowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

constexpr long kTryLater = -2;

TlsStream* StreamOf(BIO* bio) { return static_cast<TlsStream*>(BIO_get_data(bio)); }

int BioWrite(BIO* bio, const char* data, int size) {
    BIO_clear_retry_flags(bio);
    return StreamOf(bio)->bioWrite(data, static_cast<std::size_t>(size)) ? size : -1;
}

int BioRead(BIO* bio, char* data, int size) {
    BIO_clear_retry_flags(bio);
    long got = StreamOf(bio)->bioRead(data, static_cast<std::size_t>(size));
    if (got == kTryLater) BIO_set_retry_read(bio);
    return static_cast<int>(got);
}

long BioCtrl(BIO* bio, int command, long, void*) {
    if (command != BIO_CTRL_FLUSH) return 0;
    return StreamOf(bio)->flushOut() ? 1 : 0;
}

int BioCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

// One method table for the process, made on first use.
BIO_METHOD* StreamBioMethod() {
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "korv stream");
        if (m) {
            BIO_meth_set_write(m, BioWrite);
            BIO_meth_set_read(m, BioRead);
            BIO_meth_set_ctrl(m, BioCtrl);
            BIO_meth_set_create(m, BioCreate);
        }
        return m;
    }();
    return method;
}

bool IsIpLiteral(const std::string& host) {
    unsigned char buffer[16];
    return inet_pton(AF_INET, host.c_str(), buffer) == 1 || inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

std::string NameText(const X509_NAME* name) {
    BIO* bio = BIO_new(BIO_s_mem());
    if (!bio) return {};
    X509_NAME_print_ex(bio, name, 0, XN_FLAG_RFC2253);
    char* data = nullptr;
    long size = BIO_get_mem_data(bio, &data);
    std::string text(data ? data : "", size > 0 ? static_cast<std::size_t>(size) : 0);
    BIO_free(bio);
    return EscapeControlBytes(text);
}

// The system's trusted certificates, found when verification asks for an
// issuer: the hashed directory first (one small file per name), then the
// bundle file, read whole only when the directory has no match. Loading the
// bundle up front parsed hundreds of certificates per connection, most of
// the CPU of a small session. Both honour SSL_CERT_DIR and SSL_CERT_FILE as
// OpenSSL's own default paths do, so the trust is the same.
bool UseSystemStore(SSL_CTX* context) {
    X509_STORE* store = SSL_CTX_get_cert_store(context);
    X509_LOOKUP* directory = X509_STORE_add_lookup(store, X509_LOOKUP_hash_dir());
    X509_LOOKUP* bundle = X509_STORE_add_lookup(store, X509_LOOKUP_store());
    const char* file = std::getenv(X509_get_default_cert_file_env());
    if (!file || !*file) file = X509_get_default_cert_file();
    return directory && bundle && X509_LOOKUP_add_dir(directory, nullptr, X509_FILETYPE_DEFAULT) == 1 &&
           X509_LOOKUP_add_store(bundle, file) == 1;
}

std::string OpenSslReason(unsigned long error) {
    const char* text = error ? ERR_reason_error_string(error) : nullptr;
    return text ? text : "no reason given";
}

}  // namespace

struct TlsStream::Handles {
    SSL_CTX* context = nullptr;
    SSL* ssl = nullptr;
    ~Handles() {
        SSL_free(ssl);  // frees the BIO with it
        SSL_CTX_free(context);
    }
};

std::string EscapeControlBytes(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", byte);
            out += hex;
        } else {
            out += c;
        }
    }
    return out;
}

TlsStream::TlsStream(std::unique_ptr<ByteStream> inner)
    : inner_(std::move(inner)),
      handles_(std::make_unique<Handles>()),
      timeoutMs_(kReplyTimeoutMs),
      rx_(new char[kTlsBufferSize]) {}

TlsStream::~TlsStream() {
    // A polite close_notify when the session is sound; its answer is not awaited.
    if (established_ && lastError_ == 0 && !peerClosed_) {
        SSL_shutdown(handles_->ssl);
        flushOut();
    }
}

void TlsStream::setTimeout(int timeoutMs) {
    timeoutMs_ = timeoutMs;
    inner_->setTimeout(timeoutMs);
}

bool TlsStream::innerSend(const char* data, std::size_t size) {
    if (inner_->sendAll(data, size)) return true;
    lastError_ = inner_->lastError();
    return false;
}

// The records of one write (a 64 KiB buffer makes four, a little over 64 KiB
// with their headers and tags) go to the socket together, at the end of the
// write or when the TLS layer flushes (after each flight of the handshake,
// after an alert), and always before a wait for the server.
bool TlsStream::bioWrite(const char* data, std::size_t size) {
    if (out_.size() + size > 2 * kTlsBufferSize && !flushOut()) return false;
    out_.append(data, size);
    return true;
}

bool TlsStream::flushOut() {
    if (out_.empty()) return true;
    bool sent = innerSend(out_.data(), out_.size());
    out_.clear();
    return sent;
}

long TlsStream::innerReceive(char* data, std::size_t size) {
    if (deadlineMs_) {
        long long left = deadlineMs_ - NowMs();
        if (left <= 0) {
            timedOut_ = true;
            lastError_ = ETIMEDOUT;
            return -1;
        }
        inner_->setTimeout(static_cast<int>(left < timeoutMs_ ? left : timeoutMs_));
    }
    long got = inner_->receive(data, size);
    if (got > 0 && firstBytes_.size() < 8)
        firstBytes_.append(data, std::min<std::size_t>(static_cast<std::size_t>(got), 8 - firstBytes_.size()));
    if (got == 0) peerClosed_ = true;
    if (got < 0) {
        lastError_ = inner_->lastError();
        if (deadlineMs_ && lastError_ == ETIMEDOUT) timedOut_ = true;
    }
    return got;
}

// The TLS layer asks for a record's 5-byte header, then for its body: both
// come from one large receive from the socket, not one system call each.
long TlsStream::bioRead(char* data, std::size_t size) {
    if (rxCount_ == 0) {
        if (!mayWait_) return kTryLater;  // only what was already received may be taken now
        if (!flushOut()) return -1;
        long got = innerReceive(rx_.get(), kTlsBufferSize);
        if (got <= 0) return got;
        rxStart_ = 0;
        rxCount_ = static_cast<std::size_t>(got);
    }
    std::size_t n = std::min(size, rxCount_);
    std::memcpy(data, rx_.get() + rxStart_, n);
    rxStart_ += n;
    rxCount_ -= n;
    return static_cast<long>(n);
}

bool TlsStream::fail(TlsFailure failure, std::string reason) {
    failure_ = failure;
    reason_ = std::move(reason);
    if (lastError_ == 0 && !peerClosed_) lastError_ = EPROTO;
    return false;
}

bool TlsStream::handshake(const TlsOptions& options) {
    ERR_clear_error();
    Handles& h = *handles_;
    h.context = SSL_CTX_new(TLS_client_method());
    BIO* bio = StreamBioMethod() ? BIO_new(StreamBioMethod()) : nullptr;
    if (!h.context || !bio) {
        BIO_free(bio);
        return fail(TlsFailure::Setup, "TLS could not be set up");
    }
    SSL_CTX_set_min_proto_version(h.context, TLS1_2_VERSION);
    SSL_CTX_set_options(h.context, SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_verify(h.context, SSL_VERIFY_PEER, nullptr);
    if (!UseSystemStore(h.context)) {
        BIO_free(bio);
        return fail(TlsFailure::Setup, "TLS could not be set up");
    }
    if (!options.caFile.empty() &&
        SSL_CTX_load_verify_locations(h.context, options.caFile.c_str(), nullptr) != 1) {
        BIO_free(bio);
        return fail(TlsFailure::CaFile, "the CA file '" + EscapeControlBytes(options.caFile) +
                                            "' holds no certificate that can be read");
    }
    h.ssl = SSL_new(h.context);
    if (!h.ssl) {
        BIO_free(bio);
        return fail(TlsFailure::Setup, "TLS could not be set up");
    }
    BIO_set_data(bio, this);
    SSL_set_bio(h.ssl, bio, bio);
    SSL_set_hostflags(h.ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    // SSL_set1_host takes an IP literal as an address to match; SNI carries names only.
    if (SSL_set1_host(h.ssl, options.host.c_str()) != 1 ||
        (!IsIpLiteral(options.host) && SSL_set_tlsext_host_name(h.ssl, options.host.c_str()) != 1))
        return fail(TlsFailure::Setup, "TLS could not be set up for the name '" + EscapeControlBytes(options.host) + "'");

    deadlineMs_ = NowMs() + options.handshakeTimeoutMs;
    int rc = SSL_connect(h.ssl);
    deadlineMs_ = 0;
    inner_->setTimeout(timeoutMs_);
    if (rc == 1) {
        established_ = true;
        return true;
    }
    classifyHandshakeFault(ERR_peek_last_error(), options.host);
    ERR_clear_error();
    return false;
}

void TlsStream::classifyHandshakeFault(unsigned long error, const std::string& host) {
    if (timedOut_) {
        fail(TlsFailure::TimedOut, "no TLS handshake within the time limit");
        return;
    }
    long verify = SSL_get_verify_result(handles_->ssl);
    switch (verify) {
        case X509_V_OK:
            break;
        case X509_V_ERR_CERT_HAS_EXPIRED:
        case X509_V_ERR_CERT_NOT_YET_VALID:
            fail(TlsFailure::Expired, verify == X509_V_ERR_CERT_HAS_EXPIRED ? "certificate expired"
                                                                            : "certificate not valid yet");
            return;
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
            fail(TlsFailure::SelfSigned, "certificate self-signed");
            return;
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
            fail(TlsFailure::UnknownIssuer, "certificate from an unknown issuer");
            return;
        case X509_V_ERR_HOSTNAME_MISMATCH:
        case X509_V_ERR_IP_ADDRESS_MISMATCH:
            fail(TlsFailure::NameMismatch, "certificate name mismatch (not for " + EscapeControlBytes(host) + ")");
            return;
        default:
            fail(TlsFailure::Untrusted, std::string("certificate not trusted (") +
                                            X509_verify_cert_error_string(verify) + ")");
            return;
    }
    if (!firstBytes_.empty()) {
        // A TLS server answers with a handshake (22) or alert (21) record; a
        // plaintext one with its greeting ("+OK", "220 ...").
        auto first = static_cast<unsigned char>(firstBytes_[0]);
        if (first != 21 && first != 22 && first >= 0x20 && first < 0x7f) {
            fail(TlsFailure::PlainText, "the server answered in plain text, not TLS");
            return;
        }
    }
    int reason = ERR_GET_REASON(error);
    if (reason == SSL_R_UNSUPPORTED_PROTOCOL || reason == SSL_R_TLSV1_ALERT_PROTOCOL_VERSION ||
        reason == SSL_R_NO_PROTOCOLS_AVAILABLE) {
        fail(TlsFailure::OldVersion, "the server offers no TLS version from 1.2 up");
        return;
    }
    if (peerClosed_ || lastError_ == ECONNRESET || lastError_ == EPIPE) {
        fail(TlsFailure::Closed, "the server closed the connection during the TLS handshake");
        return;
    }
    if (lastError_ != 0) {
        fail(TlsFailure::Handshake, std::string("handshake failed (") + std::strerror(lastError_) + ")");
        return;
    }
    fail(TlsFailure::Handshake, "handshake failed (" + OpenSslReason(error) + ")");
}

void TlsStream::takeError(int sslError) {
    if (sslError == SSL_ERROR_ZERO_RETURN || (sslError == SSL_ERROR_SYSCALL && peerClosed_)) {
        peerClosed_ = true;
        lastError_ = 0;
    } else if (lastError_ == 0) {
        lastError_ = EPROTO;  // a fault of the TLS layer itself (a bad record, an alert)
    }
    ERR_clear_error();
}

bool TlsStream::sendAll(const char* data, std::size_t size) {
    if (!established_) {
        lastError_ = lastError_ ? lastError_ : ENOTCONN;
        return false;
    }
    while (size > 0) {
        std::size_t written = 0;
        if (SSL_write_ex(handles_->ssl, data, size, &written) != 1) {
            takeError(SSL_get_error(handles_->ssl, 0));
            if (lastError_ == 0) lastError_ = EPIPE;
            return false;
        }
        data += written;
        size -= written;
    }
    if (flushOut()) return true;
    if (lastError_ == 0) lastError_ = EPIPE;
    return false;
}

long TlsStream::receive(char* data, std::size_t size) {
    if (!established_) {
        lastError_ = lastError_ ? lastError_ : ENOTCONN;
        return -1;
    }
    SSL* ssl = handles_->ssl;
    std::size_t got = 0;
    if (SSL_read_ex(ssl, data, size, &got) != 1) {
        takeError(SSL_get_error(ssl, 0));
        return peerClosed_ && lastError_ == 0 ? 0 : -1;
    }
    // One read gives one record; the records already received come along,
    // without waiting for the socket (a record cut short stays for the next
    // receive). A fault or close among them shows at the next receive,
    // after these bytes.
    std::size_t total = got;
    mayWait_ = false;
    while (total < size && (rxCount_ > 0 || SSL_pending(ssl) > 0) &&
           SSL_read_ex(ssl, data + total, size - total, &got) == 1)
        total += got;
    mayWait_ = true;
    ERR_clear_error();
    return static_cast<long>(total);
}

std::string TlsStream::describe() const {
    SSL* ssl = handles_->ssl;
    if (!established_ || !ssl) return {};
    std::string out = std::string(SSL_get_version(ssl)) + ", " + SSL_get_cipher_name(ssl);
    if (X509* cert = SSL_get1_peer_certificate(ssl)) {
        out += ", subject " + NameText(X509_get_subject_name(cert));
        out += ", issuer " + NameText(X509_get_issuer_name(cert));
        X509_free(cert);
    }
    return out;
}

}  // namespace quorvexia::platform
