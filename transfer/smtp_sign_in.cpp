// The opening of the TLS forms of SMTP: EHLO (no HELO fall-back), STARTTLS
// when the form asks for it and EHLO again over TLS, then AUTH with the
// account's password (PLAIN, else LOGIN) or token (XOAUTH2, else
// OAUTHBEARER). Every credential leaves through a hidden line of the echo.
#include "smtp_session.h"

#include <cerrno>

#include "signin/oauth_reply.h"

namespace quorvexia {

namespace {
constexpr SessionResult kStopped = SessionResult::Stopped;
constexpr SessionResult kLinkFailed = SessionResult::LinkFailed;

bool Is4xx(int code) { return code >= 400 && code < 500; }
}  // namespace

SmtpSession::Step SmtpSession::failSecure(std::string reason, bool retryable) {
    retryable_ = retryable;
    ReportSecureFailure(reporter_, tls_, {std::move(reason), retryable});
    return kStopped;
}

bool SmtpSession::replyTo(Link& link, std::string_view command, std::string_view echo, Reply& reply,
                          std::vector<std::string>* lines) {
    link.sendHiddenLine(command, echo);
    link.setTimeout(kCommandReplyTimeoutMs);
    return link.receiveReply(reply, lines);
}

SmtpSession::Step SmtpSession::ehlo(Link& link, Capabilities& caps) {
    std::string command = "EHLO " + std::string(config_.domainName.text());
    Reply reply;
    std::vector<std::string> lines;
    if (!replyTo(link, command, command, reply, &lines)) return kLinkFailed;
    if (reply.code < 200 || reply.code > 299)
        return failSecure("EHLO refused: " + reply.lastLine, Is4xx(reply.code));
    caps = ParseEhloCapabilities(lines);
    return std::nullopt;
}

SmtpSession::Step SmtpSession::startTls(Link& link, Capabilities& caps) {
    if (!caps.has("STARTTLS")) return failSecure("no STARTTLS offered", false);
    Reply reply;
    if (!replyTo(link, "STARTTLS", "STARTTLS", reply)) return kLinkFailed;
    if (reply.code != 220) return failSecure("STARTTLS refused: " + reply.lastLine, Is4xx(reply.code));
    SecureFailure failure;
    if (!UpgradeLink(link, tls_, failure)) return failSecure(failure.reason, failure.retryable);
    // What the server said before TLS counts for nothing now.
    return ehlo(link, caps);
}

SmtpSession::Step SmtpSession::secureOpening(Link& link) {
    // The greeting is read whole here: a line of it left unread would be
    // taken as the answer to EHLO.
    Reply greeting;
    // A TLS port waits for a hello and never greets: the plain greeting of
    // the STARTTLS form is not waited for as long as other replies.
    if (tls_.security == TransportSecurity::StartTls) link.setTimeout(kStartTlsGreetingTimeoutMs);
    bool greeted = link.receiveReply(greeting);
    link.setTimeout(kCommandReplyTimeoutMs);
    if (!greeted) {
        if (tls_.security == TransportSecurity::StartTls && link.lastError() == ETIMEDOUT)
            reporter_.log('!', "No greeting (" + ModeMixupHint(ServerProtocol::Smtp, tls_.security) + ")");
        return kLinkFailed;
    }
    if (greeting.code == -1) return tell(kStopped, "Invalid SMTP remote greeting.\n", '!', "Invalid SMTP remote greeting");
    if (greeting.code >= 400)
        return tell(kStopped, "SMTP server is not ready.\n", '!', Format("SMTP server is not ready; error %d", greeting.code));

    Capabilities caps;
    if (Step r = ehlo(link, caps)) return r;
    if (tls_.security == TransportSecurity::StartTls)
        if (Step r = startTls(link, caps)) return r;
    pipelining_ = caps.has("PIPELINING");
    // A server that takes mail without AUTH gets it as before.
    if (caps.mechanisms.empty()) return std::nullopt;
    Credentials credentials;
    std::string error;
    bool retryable = true;
    if (!LoadCredentials(config_, side_, credentials, error, {}, &retryable)) return failSecure(error, retryable);
    if (credentials.useToken) return authToken(link, credentials, caps);
    if (caps.offers("PLAIN")) return authPlain(link, credentials);
    if (caps.offers("LOGIN")) return authLogin(link, credentials);
    return failSecure("no AUTH PLAIN or LOGIN offered", false);
}

// A token by XOAUTH2, else OAUTHBEARER. A stored token the server refuses
// may have been revoked early: one refresh and one more try, on the same
// connection; a token refreshed just now is not refreshed again.
SmtpSession::Step SmtpSession::authToken(Link& link, Credentials& c, const Capabilities& caps) {
    if (!caps.offers("XOAUTH2") && !caps.offers("OAUTHBEARER"))
        return failSecure("no XOAUTH2 or OAUTHBEARER offered for the token", false);
    tokenRetryLeft_ = c.reusedToken;
    while (true) {
        tokenRefused_ = false;
        Step r = caps.offers("XOAUTH2") ? authXoauth2(link, c) : authOauthBearer(link, c);
        if (!tokenRefused_) return r;
        tokenRetryLeft_ = false;
        std::string error;
        bool retryable = true;
        std::string refused = c.token;
        if (!LoadCredentials(config_, side_, c, error, refused, &retryable)) return failSecure(error, retryable);
    }
}

// The end of an AUTH exchange: 235, or the server's refusal.
SmtpSession::Step SmtpSession::authResult(const Reply& reply) {
    if (reply.code == 235) return std::nullopt;
    if (tokenRetryLeft_ && reply.code >= 500) {
        tokenRefused_ = true;
        return SessionResult::Stopped;
    }
    std::string advice = signin::TokenRefusalAdvice(reply.lastLine);
    return failSecure(advice.empty() ? "authentication failed: " + reply.lastLine : advice, Is4xx(reply.code));
}

SmtpSession::Step SmtpSession::authPlain(Link& link, const Credentials& c) {
    Reply reply;
    if (!replyTo(link, "AUTH PLAIN " + SaslPlain(c.user, c.password), "AUTH PLAIN <hidden>", reply))
        return kLinkFailed;
    return authResult(reply);
}

SmtpSession::Step SmtpSession::authLogin(Link& link, const Credentials& c) {
    Reply reply;
    if (!replyTo(link, "AUTH LOGIN", "AUTH LOGIN", reply)) return kLinkFailed;
    if (reply.code != 334) return authResult(reply);
    if (!replyTo(link, Base64Encode(c.user), "<hidden>", reply)) return kLinkFailed;
    if (reply.code != 334) return authResult(reply);
    if (!replyTo(link, Base64Encode(c.password), "<hidden>", reply)) return kLinkFailed;
    return authResult(reply);
}

// Two steps, as the providers want them; a 334 after the token carries the
// provider's error, which an empty line acknowledges before the 535.
SmtpSession::Step SmtpSession::authXoauth2(Link& link, const Credentials& c) {
    Reply reply;
    if (!replyTo(link, "AUTH XOAUTH2", "AUTH XOAUTH2", reply)) return kLinkFailed;
    if (reply.code != 334) return authResult(reply);
    if (!replyTo(link, SaslXoauth2(c.user, c.token), "<hidden>", reply)) return kLinkFailed;
    if (reply.code == 334 && !replyTo(link, "", "", reply)) return kLinkFailed;
    return authResult(reply);
}

// Two steps as well: an AUTH line with the token inside may pass what a
// server takes as one command line.
SmtpSession::Step SmtpSession::authOauthBearer(Link& link, const Credentials& c) {
    Reply reply;
    if (!replyTo(link, "AUTH OAUTHBEARER", "AUTH OAUTHBEARER", reply)) return kLinkFailed;
    if (reply.code != 334) return authResult(reply);
    if (!replyTo(link, SaslOauthBearer(c.user, c.token), "<hidden>", reply)) return kLinkFailed;
    // RFC 7628: the error comes as a challenge, answered by a lone ^A.
    if (reply.code == 334 && !replyTo(link, Base64Encode("\x01"), Base64Encode("\x01"), reply)) return kLinkFailed;
    return authResult(reply);
}

}  // namespace quorvexia
