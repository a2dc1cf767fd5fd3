#include "token_keeper.h"

#include "oauth_flows.h"
#include "oauth_provider.h"
#include "token_store.h"

namespace quorvexia::signin {

bool FreshAccessToken(const SideSettings& side, const std::string& configDir, const HttpOptions& http,
                      std::string rejected, std::string& token, Failure& failure, std::int64_t now,
                      bool* refreshed, std::chrono::milliseconds lockWait) {
    token.clear();
    if (refreshed) *refreshed = false;
    failure = {};
    Provider provider;
    std::string error;
    if (!ProviderFromSide(side, provider, error)) {
        failure = MakeFailure(FailureKind::Refused, error);
        return false;
    }
    std::unique_ptr<TokenStore> store =
        OpenTokenStore(side.oauthStore, {provider.name, side.oauthAccount, provider.clientId}, configDir);
    // Whoever holds the lock may be refreshing: the one after it finds the
    // new token stored and uses it instead of refreshing again.
    RefreshLock lock(configDir, lockWait);
    if (lock.timedOut()) {
        failure = MakeFailure(FailureKind::Busy);
        return false;
    }
    StoredGrant stored;
    bool found = false;
    if (!store->load(stored, found, failure)) return false;
    if (!found) {
        failure = MakeFailure(FailureKind::NotSignedIn);
        return false;
    }
    if (now == 0) now = UnixNow();
    if (!stored.accessToken.empty() && stored.accessToken != rejected && stored.expiresAt - now > kRefreshMargin) {
        token = stored.accessToken;
        return true;
    }
    TokenGrant grant;
    if (!RefreshAccess(provider, stored.clientSecret, stored.refreshToken, http, now, grant, failure)) return false;
    stored.accessToken = grant.accessToken;
    stored.expiresAt = grant.expiresAt;
    if (!grant.refreshToken.empty()) stored.refreshToken = grant.refreshToken;
    if (!store->save(stored, failure)) return false;
    token = grant.accessToken;
    if (refreshed) *refreshed = true;
    return true;
}

}  // namespace quorvexia::signin
