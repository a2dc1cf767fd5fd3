#include "server_address.h"

#include <cctype>

#include "platform/net.h"

namespace quorvexia {

namespace {

struct Form {
    ServerProtocol protocol;
    TransportSecurity security;
    std::string_view scheme;  // with its "://"
    unsigned short port;
};

constexpr Form kForms[] = {
    {ServerProtocol::Smtp, TransportSecurity::None, "", 25},
    {ServerProtocol::Smtp, TransportSecurity::StartTls, "smtp+starttls://", 587},
    {ServerProtocol::Smtp, TransportSecurity::ImplicitTls, "smtps://", 465},
    {ServerProtocol::Pop3, TransportSecurity::None, "", 110},
    {ServerProtocol::Pop3, TransportSecurity::StartTls, "pop3+starttls://", 110},
    {ServerProtocol::Pop3, TransportSecurity::ImplicitTls, "pop3s://", 995},
};

constexpr std::string_view kSeparator = "://";

const Form& FormOf(ServerProtocol protocol, TransportSecurity security) {
    for (const Form& f : kForms)
        if (f.protocol == protocol && f.security == security) return f;
    return kForms[0];
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

std::string ProtocolName(ServerProtocol protocol) {
    return protocol == ServerProtocol::Smtp ? "SMTP" : "POP3";
}

std::string SchemesFor(ServerProtocol protocol) {
    return std::string(SchemeOf(protocol, TransportSecurity::ImplicitTls)) + " or " +
           std::string(SchemeOf(protocol, TransportSecurity::StartTls));
}

}  // namespace

unsigned short DefaultServerPort(ServerProtocol protocol, TransportSecurity security) {
    return FormOf(protocol, security).port;
}

std::string_view SchemeOf(ServerProtocol protocol, TransportSecurity security) {
    return FormOf(protocol, security).scheme;
}

bool SplitServerScheme(std::string_view field, ServerProtocol protocol, TransportSecurity& security,
                       std::string_view& rest, std::string& error) {
    security = TransportSecurity::None;
    rest = field;
    auto at = field.find(kSeparator);
    if (at == std::string_view::npos) return true;
    std::string_view scheme = field.substr(0, at + kSeparator.size());
    for (const Form& f : kForms) {
        if (f.scheme.empty() || !EqualNoCase(scheme, f.scheme)) continue;
        if (f.protocol != protocol) {
            error = std::string(scheme) + " is for the " + ProtocolName(f.protocol) + " server; the " +
                    ProtocolName(protocol) + " server takes " + SchemesFor(protocol) +
                    ", or no scheme for plain " + ProtocolName(protocol);
            return false;
        }
        security = f.security;
        rest = field.substr(at + kSeparator.size());
        return true;
    }
    error = "unknown scheme '" + std::string(scheme) + "' in the " + ProtocolName(protocol) +
            " server: use " + SchemesFor(protocol) + ", or no scheme for plain " + ProtocolName(protocol);
    return false;
}

std::string ComposeServerField(ServerProtocol protocol, TransportSecurity security, std::string_view rest) {
    return std::string(SchemeOf(protocol, security)) + std::string(rest);
}

bool ParseServerAddress(std::string_view field, ServerProtocol protocol, ServerAddress& out,
                        std::string& error) {
    std::string_view rest;
    if (!SplitServerScheme(field, protocol, out.security, rest, error)) return false;
    unsigned short port = DefaultServerPort(protocol, out.security);
    platform::ServerName name;
    if (out.security == TransportSecurity::None) {
        // Read exactly as before TLS existed; a fault shows when the name is looked up.
        bool ok = platform::ParseServerField(rest, port, name);
        out.host = name.host;
        out.port = ok ? name.port : port;
        if (!ok) error = "the " + ProtocolName(protocol) + " server '" + std::string(field) + "' is not a host[:port]";
        return ok;
    }
    if (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
    std::string scheme(SchemeOf(protocol, out.security));
    if (rest.empty() || rest.front() == ':' || rest.find_first_of("/ \t@") != std::string_view::npos) {
        error = "the " + ProtocolName(protocol) + " server needs a host name after " + scheme +
                " (" + scheme + "host or " + scheme + "host:port)";
        return false;
    }
    if (!platform::ParseServerField(rest, port, name) || name.host.empty()) {
        error = "the port in the " + ProtocolName(protocol) + " server '" + std::string(field) +
                "' is not a number from 1 to 65535";
        return false;
    }
    out.host = name.host;
    out.port = name.port;
    return true;
}

std::string CheckServerField(std::string_view field, ServerProtocol protocol) {
    TransportSecurity security;
    std::string_view rest;
    std::string error;
    if (!SplitServerScheme(field, protocol, security, rest, error)) return error;
    // The bare form keeps its old leniency: the setup tools never refused it.
    if (security == TransportSecurity::None) return {};
    ServerAddress address;
    ParseServerAddress(field, protocol, address, error);
    return error;
}

std::string ModeMixupHint(ServerProtocol protocol, TransportSecurity security) {
    TransportSecurity other;
    std::string against;
    switch (security) {
        case TransportSecurity::ImplicitTls:
            other = TransportSecurity::StartTls;
            against = " against a plaintext port: use ";
            break;
        case TransportSecurity::StartTls:
            other = TransportSecurity::ImplicitTls;
            against = " against a TLS port: use ";
            break;
        default:
            return {};
    }
    return std::string(SchemeOf(protocol, security)) + against + std::string(SchemeOf(protocol, other));
}

}  // namespace quorvexia
