// The three ways to sign in (authorization code through the loopback
// listener or a pasted address, and the device flow of RFC 8628) and the
// refresh, as requests to the provider's endpoints. Nothing here opens a
// browser or talks to the user: the callers do that.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "oauth_provider.h"
#include "oauth_reply.h"

namespace quorvexia::signin {

// One authorization attempt: its random state and PKCE verifier, and the
// address for the browser.
struct Authorization {
    std::string state;
    std::string verifier;
    std::string redirectUri;
    std::string url;
};
// False only when the random generator fails.
bool PrepareAuthorization(const Provider& provider, const std::string& redirectUri, const std::string& account,
                          Authorization& authorization);

// The code of an address pasted from the browser's address bar, when its
// state matches; a refusal in it gives its failure.
bool CodeFromPastedUrl(const std::string& pasted, const std::string& state, std::string& code, Failure& failure);

bool ExchangeCode(const Provider& provider, const std::string& clientSecret, const Authorization& authorization,
                  const std::string& code, const HttpOptions& http, std::int64_t now, TokenGrant& grant,
                  Failure& failure);

bool RefreshAccess(const Provider& provider, const std::string& clientSecret, const std::string& refreshToken,
                   const HttpOptions& http, std::int64_t now, TokenGrant& grant, Failure& failure);

bool StartDeviceFlow(const Provider& provider, const HttpOptions& http, std::int64_t now, DeviceCode& device,
                     Failure& failure);

// Polls the token endpoint at the device code's interval (5 s more after
// each slow_down) until the user has signed in, refused, or the code
// expired. `sleep(seconds)` waits and returns false when the user cancels;
// `now()` gives the time.
struct DeviceClock {
    std::function<bool(int seconds)> sleep;
    std::function<std::int64_t()> now;
};
bool PollDeviceFlow(const Provider& provider, const std::string& clientSecret, const DeviceCode& device,
                    const HttpOptions& http, const DeviceClock& clock, TokenGrant& grant, Failure& failure);

std::int64_t UnixNow();

}  // namespace quorvexia::signin
