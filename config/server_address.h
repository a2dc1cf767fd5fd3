// The forms of the SMTP and POP3 server fields, shared by korv, korvcfg and
// korvconf. A bare "host", "host:port" or "[v6address]:port" is plain text on
// 25 or 110, as it always was. A scheme in front chooses TLS: "smtps://" and
// "pop3s://" speak TLS from the first byte, "smtp+starttls://" and
// "pop3+starttls://" start plain and must switch to TLS before anything else.
// The scheme is read without regard to case; any other scheme is refused.
#pragma once

#include <string>
#include <string_view>

namespace quorvexia {

enum class ServerProtocol { Smtp, Pop3 };
enum class TransportSecurity { None, StartTls, ImplicitTls };

struct ServerAddress {
    TransportSecurity security = TransportSecurity::None;
    std::string host;         // without brackets for an IPv6 address
    unsigned short port = 0;  // the form's default when none was given
};

// The port a form uses when the field gives none: 25/110 bare, 587/110 with
// STARTTLS, 465/995 with TLS from the start.
unsigned short DefaultServerPort(ServerProtocol protocol, TransportSecurity security);

// The scheme of a form, "smtps://" and so on; empty for the bare form.
std::string_view SchemeOf(ServerProtocol protocol, TransportSecurity security);

// Takes the scheme off a field: its security and what stands behind it. A
// field without "://" is bare and comes back whole. An unknown scheme, or
// the other protocol's, gives false and a sentence in `error`.
bool SplitServerScheme(std::string_view field, ServerProtocol protocol, TransportSecurity& security,
                       std::string_view& rest, std::string& error);

// The field for a security and a "host[:port]": the scheme put in front of
// `rest` (which is taken as it is).
std::string ComposeServerField(ServerProtocol protocol, TransportSecurity security, std::string_view rest);

// The whole field read: security, host and port. A bare field is read as it
// always was (its faults are found when the name is looked up); a field with
// a scheme must hold a host and, if any, a port from 1 to 65535.
bool ParseServerAddress(std::string_view field, ServerProtocol protocol, ServerAddress& out,
                        std::string& error);

// What a field's fault is, for the setup tools; empty when korv can use it.
std::string CheckServerField(std::string_view field, ServerProtocol protocol);

// The hint for a TLS form that met a server of the other mode: "pop3s://
// against a plaintext port: use pop3+starttls://" and the reverse. Empty for
// the bare form.
std::string ModeMixupHint(ServerProtocol protocol, TransportSecurity security);

}  // namespace quorvexia
