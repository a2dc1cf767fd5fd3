// TLS for the sessions of the TLS forms: the handshake over a connected
// stream with korv.conf's extra CA file, STARTTLS/STLS on a link (only with
// nothing pending, and nothing read before the switch counts after it), and
// the sentence for the log when either fails. Plain forms never come here.
#pragma once

#include <memory>
#include <string>

#include "config/server_address.h"
#include "config/side_file.h"
#include "line_transport.h"
#include "platform/tls_stream.h"
#include "reporter.h"

namespace quorvexia {

// How long the STARTTLS forms wait for the plain greeting.
inline constexpr int kStartTlsGreetingTimeoutMs = 60 * 1000;

struct TlsSetup {
    ServerProtocol protocol = ServerProtocol::Smtp;
    TransportSecurity security = TransportSecurity::None;
    std::string host;    // the name of the server field (the certificate must match it)
    std::string caFile;  // korv.conf's ca-file, or empty
};

// The setup for a server field (its form and host) and korv.conf's CA file.
TlsSetup MakeTlsSetup(std::string_view field, ServerProtocol protocol, const SideSettings& side);

// How a failed sign-in step ended for /tries: some failures would only fail
// again (a certificate, a refused password), and a retry may lock the
// account at the provider.
struct SecureFailure {
    std::string reason;      // for the '!' line: "certificate expired", ...
    bool retryable = false;
};

// The TLS stream over `stream` after a completed handshake, or null with
// `failure` set. The debug echo shows the session.
std::unique_ptr<platform::ByteStream> StartTls(std::unique_ptr<platform::ByteStream> stream, const TlsSetup& setup,
                                               SecureFailure& failure);

// STARTTLS or STLS once the server said go ahead: any byte already read
// from the server is refused (it would be taken as said over TLS), then the
// link's stream becomes the TLS stream. False with `failure` set; the link is
// then abandoned (no QUIT in plain text after a failed switch).
bool UpgradeLink(Link& link, const TlsSetup& setup, SecureFailure& failure);

// Reports a failure of the TLS forms: the console sentence and the '!' line
// "<protocol> server <host>: <reason>".
void ReportSecureFailure(Reporter& reporter, const TlsSetup& setup, const SecureFailure& failure);

}  // namespace quorvexia
