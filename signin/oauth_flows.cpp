#include "oauth_flows.h"

#include <chrono>

#include "oauth_crypto.h"

namespace quorvexia::signin {

namespace {

void AddClient(Params& params, const Provider& provider, const std::string& clientSecret) {
    params.emplace_back("client_id", provider.clientId);
    const std::string& secret = clientSecret.empty() ? provider.clientSecret : clientSecret;
    if (!secret.empty()) params.emplace_back("client_secret", secret);
}

bool Post(const std::string& url, const Params& params, const HttpOptions& http, std::int64_t now, TokenGrant& grant,
          Failure& failure) {
    failure = {};
    return ReadTokenReply(PostForm(url, params, http), now, grant, failure);
}

}  // namespace

std::int64_t UnixNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool PrepareAuthorization(const Provider& provider, const std::string& redirectUri, const std::string& account,
                          Authorization& a) {
    a = {};
    a.state = RandomUrlSafe();
    a.verifier = RandomUrlSafe();
    if (a.state.empty() || a.verifier.empty()) return false;
    a.redirectUri = redirectUri;
    Params params = {{"client_id", provider.clientId},
                     {"response_type", "code"},
                     {"redirect_uri", redirectUri},
                     {"scope", provider.scope},
                     {"state", a.state},
                     {"code_challenge", CodeChallengeS256(a.verifier)},
                     {"code_challenge_method", "S256"}};
    if (!account.empty()) params.emplace_back("login_hint", account);
    a.url = provider.authorizeUrl + (provider.authorizeUrl.find('?') == std::string::npos ? "?" : "&") +
            EncodeParams(params);
    if (!provider.extraAuthorizeParams.empty()) a.url += "&" + provider.extraAuthorizeParams;
    return true;
}

bool CodeFromPastedUrl(const std::string& pasted, const std::string& state, std::string& code, Failure& failure) {
    code.clear();
    std::string_view text = pasted;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.remove_suffix(1);
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    auto query = text.find('?');
    Params params;
    if (query == std::string_view::npos || !DecodeQuery(text.substr(query + 1, text.find('#') - query - 1), params)) {
        failure = MakeFailure(FailureKind::Cancelled, "no address with a code was pasted");
        return false;
    }
    const std::string* gotState = FindParam(params, "state");
    if (!gotState || *gotState != state) {
        failure = MakeFailure(FailureKind::Cancelled, "the pasted address belongs to another sign-in");
        return false;
    }
    const std::string* error = FindParam(params, "error");
    const std::string* gotCode = FindParam(params, "code");
    if (error || !gotCode || gotCode->empty()) {
        const std::string* description = FindParam(params, "error_description");
        failure = FailureFromError(error ? *error : "no_code", description ? *description : "");
        return false;
    }
    code = *gotCode;
    return true;
}

bool ExchangeCode(const Provider& provider, const std::string& clientSecret, const Authorization& a,
                  const std::string& code, const HttpOptions& http, std::int64_t now, TokenGrant& grant,
                  Failure& failure) {
    Params params = {{"grant_type", "authorization_code"},
                     {"code", code},
                     {"redirect_uri", a.redirectUri},
                     {"code_verifier", a.verifier}};
    AddClient(params, provider, clientSecret);
    return Post(provider.tokenUrl, params, http, now, grant, failure);
}

bool RefreshAccess(const Provider& provider, const std::string& clientSecret, const std::string& refreshToken,
                   const HttpOptions& http, std::int64_t now, TokenGrant& grant, Failure& failure) {
    Params params = {{"grant_type", "refresh_token"}, {"refresh_token", refreshToken}};
    AddClient(params, provider, clientSecret);
    return Post(provider.tokenUrl, params, http, now, grant, failure);
}

bool StartDeviceFlow(const Provider& provider, const HttpOptions& http, std::int64_t now, DeviceCode& device,
                     Failure& failure) {
    failure = {};
    if (provider.deviceUrl.empty()) {
        failure = MakeFailure(FailureKind::Refused, provider.name + " has no device sign-in; use the browser or --paste");
        return false;
    }
    Params params = {{"client_id", provider.clientId}, {"scope", provider.scope}};
    return ReadDeviceReply(PostForm(provider.deviceUrl, params, http), now, device, failure);
}

bool PollDeviceFlow(const Provider& provider, const std::string& clientSecret, const DeviceCode& device,
                    const HttpOptions& http, const DeviceClock& clock, TokenGrant& grant, Failure& failure) {
    int interval = device.interval;
    Params params = {{"grant_type", "urn:ietf:params:oauth:grant-type:device_code"},
                     {"device_code", device.deviceCode}};
    AddClient(params, provider, clientSecret);
    while (true) {
        if (clock.now() + interval > device.expiresAt) {
            failure = MakeFailure(FailureKind::SignInAgain, "expired_token");
            return false;
        }
        if (!clock.sleep(interval)) {
            failure = MakeFailure(FailureKind::Cancelled, "cancelled");
            return false;
        }
        if (Post(provider.tokenUrl, params, http, clock.now(), grant, failure)) return true;
        if (failure.kind == FailureKind::SlowDown) interval += 5;
        else if (failure.kind != FailureKind::Pending) return false;
    }
}

}  // namespace quorvexia::signin
