// The login of the TLS forms of POP3: CAPA, STLS when the form asks for it
// and CAPA again over TLS, then AUTH XOAUTH2 for a token, AUTH PLAIN when
// the server lists it, else USER and PASS. Every credential leaves through a
// hidden line of the echo.
#include "pop3_session.h"

namespace quorvexia {

namespace {
constexpr SessionResult kStopped = SessionResult::Stopped;
constexpr SessionResult kLinkFailed = SessionResult::LinkFailed;

// "+OK", not the "+ " of a continuation.
bool IsOk(std::string_view reply) { return reply.substr(0, 3) == "+OK"; }
bool IsContinuation(std::string_view reply) { return !reply.empty() && reply[0] == '+' && !IsOk(reply); }

// A line that carries a credential: the debug echo shows `echo` instead.
bool HiddenExchange(Link& link, std::string_view command, std::string_view echo, std::string_view& reply) {
    return link.sendHiddenLine(command, echo) && link.receiveLine(reply);
}
}  // namespace

Pop3Session::Step Pop3Session::failSecure(std::string reason, bool retryable) {
    retryable_ = retryable;
    ReportSecureFailure(reporter_, tls_, {std::move(reason), retryable});
    return kStopped;
}

Pop3Session::Step Pop3Session::capabilities(Link& link, Capabilities& caps) {
    std::string_view reply;
    if (!Pop3Exchange(link, "CAPA", reply)) return kLinkFailed;
    caps = {};
    if (!IsPositive(reply)) return std::nullopt;  // a server without CAPA offers nothing to choose from
    std::vector<std::string> lines;
    switch (link.receiveList(lines)) {
        case ListRead::LinkFailed: return kLinkFailed;
        case ListRead::TooLong: return failSecure("the answer to CAPA is too long", false);
        case ListRead::Complete: break;
    }
    caps = ParsePop3Capabilities(lines);
    return std::nullopt;
}

Pop3Session::Step Pop3Session::startTls(Link& link, Capabilities& caps) {
    if (!caps.has("STLS")) return failSecure("no STLS offered", false);
    std::string_view reply;
    if (!Pop3Exchange(link, "STLS", reply)) return kLinkFailed;
    if (!IsPositive(reply)) return failSecure("STLS refused: " + std::string(reply), false);
    SecureFailure failure;
    if (!UpgradeLink(link, tls_, failure)) return failSecure(failure.reason, failure.retryable);
    // What the server said before TLS counts for nothing now.
    return capabilities(link, caps);
}

// AUTH XOAUTH2 in two steps, as Microsoft wants them: the token after the
// "+ ". A refused stored token is refreshed and tried once more.
Pop3Session::Step Pop3Session::authToken(Link& link, Credentials& credentials) {
    tokenRetryLeft_ = credentials.reusedToken;
    while (true) {
        tokenRefused_ = false;
        std::string_view reply;
        if (!Pop3Exchange(link, "AUTH XOAUTH2", reply)) return kLinkFailed;
        if (!IsContinuation(reply)) return authResult(reply);
        if (!HiddenExchange(link, SaslXoauth2(credentials.user, credentials.token), "<hidden>", reply))
            return kLinkFailed;
        // A "+ " after the token carries the provider's error; an empty line acknowledges it.
        if (IsContinuation(reply) && !Pop3Exchange(link, "", reply)) return kLinkFailed;
        Step r = authResult(reply);
        if (!tokenRefused_) return r;
        tokenRetryLeft_ = false;
        std::string error, refused = credentials.token;
        bool retryable = true;
        if (!LoadCredentials(config_, side_, credentials, error, refused, &retryable))
            return failSecure(error, retryable);
    }
}

Pop3Session::Step Pop3Session::secureLogin(Link& link, Credentials& credentials) {
    Capabilities caps;
    if (Step r = capabilities(link, caps)) return r;
    if (tls_.security == TransportSecurity::StartTls)
        if (Step r = startTls(link, caps)) return r;
    pipelining_ = caps.has("PIPELINING");
    std::string_view reply;
    if (credentials.useToken) return authToken(link, credentials);
    if (caps.offers("PLAIN")) {
        if (!HiddenExchange(link, "AUTH PLAIN " + SaslPlain(credentials.user, credentials.password),
                            "AUTH PLAIN <hidden>", reply))
            return kLinkFailed;
        return authResult(reply);
    }
    return std::nullopt;  // USER and PASS follow, as in the plain form
}

Pop3Session::Step Pop3Session::authResult(std::string_view reply) {
    if (IsOk(reply)) {
        signedIn_ = true;
        return std::nullopt;
    }
    if (tokenRetryLeft_) {
        tokenRefused_ = true;
        return kStopped;
    }
    return failSecure("authentication failed: " + std::string(reply), false);
}

}  // namespace quorvexia
