// What an authorization server answers, read into plain values, and every
// way sign-in or refresh can fail as one sentence naming the next step,
// followed by the provider's code in brackets.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "oauth_http.h"

namespace quorvexia::signin {

enum class FailureKind {
    None,
    Network,          // no answer, or a 5xx: worth another try
    SignInAgain,      // the grant is gone (expired, revoked, idle)
    Consent,          // an administrator must approve the app
    RedirectMismatch, // the registration does not allow the loopback address
    Cancelled,        // the user (or the browser) said no, or gave up
    NoKeyring,        // no Secret Service reachable
    NotSignedIn,      // nothing stored
    Store,            // the token file or key ring failed otherwise
    Busy,             // another run has held the refresh lock too long
    Pending,          // device flow: not yet
    SlowDown,         // device flow: poll less often
    Refused,          // any other refusal by the provider
    Protocol,         // an answer that is not what OAuth2 promises
};

struct Failure {
    FailureKind kind = FailureKind::None;
    std::string sentence;
    // Network trouble follows korv's /tries; the provider's verdict never does.
    bool retryable() const { return kind == FailureKind::Network; }
    explicit operator bool() const { return kind != FailureKind::None; }
};

Failure MakeFailure(FailureKind kind, std::string_view code = {});
// The sentence for an OAuth2 `error` with its `error_description` (where
// Microsoft puts its AADSTS number).
Failure FailureFromError(std::string_view error, std::string_view description);

// What to do about a mail server's refusal of a token, where the reply says
// more than "wrong" (Microsoft's 5.7.139: SMTP AUTH off for the tenant);
// empty otherwise.
std::string TokenRefusalAdvice(std::string_view reply);

struct TokenGrant {
    std::string accessToken;
    std::string refreshToken;  // empty when the server sent none (keep the old one)
    std::int64_t expiresAt = 0;  // seconds since the epoch
};

// Access tokens go whole into one SASL line; anything longer is no token.
inline constexpr std::size_t kTokenMaxBytes = 16 * 1024;

// A token endpoint's answer. `now` is the time of the request.
bool ReadTokenReply(const HttpReply& reply, std::int64_t now, TokenGrant& grant, Failure& failure);

struct DeviceCode {
    std::string deviceCode;
    std::string userCode;
    std::string verificationUri;
    int interval = 5;
    std::int64_t expiresAt = 0;
};
bool ReadDeviceReply(const HttpReply& reply, std::int64_t now, DeviceCode& code, Failure& failure);

}  // namespace quorvexia::signin
