#include "secure_link.h"

#include "console.h"
#include "korv_state.h"

namespace quorvexia {

namespace {

bool Retryable(platform::TlsFailure failure) {
    switch (failure) {
        case platform::TlsFailure::TimedOut:
        case platform::TlsFailure::Closed:
        case platform::TlsFailure::Handshake:
            return true;
        default:
            return false;  // the certificate, the version, the mode: the same again next time
    }
}

}  // namespace

TlsSetup MakeTlsSetup(std::string_view field, ServerProtocol protocol, const SideSettings& side) {
    TlsSetup setup;
    setup.protocol = protocol;
    ServerAddress address;
    std::string error;
    if (ParseServerAddress(field, protocol, address, error)) {
        setup.security = address.security;
        setup.host = address.host;
    }
    setup.caFile = side.caFile;
    return setup;
}

std::unique_ptr<platform::ByteStream> StartTls(std::unique_ptr<platform::ByteStream> stream, const TlsSetup& setup,
                                               SecureFailure& failure) {
    auto tls = std::make_unique<platform::TlsStream>(std::move(stream));
    if (!tls->handshake({setup.host, setup.caFile})) {
        failure.reason = "TLS handshake failed: " + tls->reason();
        failure.retryable = Retryable(tls->failure());
        if (tls->failure() == platform::TlsFailure::PlainText)
            failure.reason += " (" + ModeMixupHint(setup.protocol, setup.security) + ")";
        return nullptr;
    }
    if (debugMode) {
        std::string line = "[TLS " + tls->describe() + "]";
        ConsoleEcho(line.data(), line.size());
    }
    return tls;
}

bool UpgradeLink(Link& link, const TlsSetup& setup, SecureFailure& failure) {
    std::unique_ptr<platform::ByteStream> tls;
    if (link.hasPendingInput())
        failure = {"unexpected data after the go-ahead for TLS", false};
    else
        tls = StartTls(link.releaseStream(), setup, failure);
    if (!tls) {
        // Nothing more is said on this connection, in plain text or otherwise.
        link.abandon();
        return false;
    }
    link.upgrade(std::move(tls));
    return true;
}

void ReportSecureFailure(Reporter& reporter, const TlsSetup& setup, const SecureFailure& failure) {
    const char* name = setup.protocol == ServerProtocol::Smtp ? "SMTP" : "POP3";
    std::string text = Format("%s server %s: %s", name, setup.host.c_str(), failure.reason.c_str());
    reporter.report(text + ".\n", '!', text);
}

}  // namespace quorvexia
