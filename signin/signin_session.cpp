#include "signin_session.h"

#include "token_store.h"

namespace quorvexia::signin {

namespace {

std::string Beside(const std::string& dir, const char* name) { return dir.empty() ? name : dir + "/" + name; }

std::unique_ptr<TokenStore> StoreOf(const SideSettings& side, const Provider& provider, const std::string& dir) {
    return OpenTokenStore(side.oauthStore, {provider.name, side.oauthAccount, provider.clientId}, dir);
}

// A failure whose sentence is the caller's own.
Failure Told(FailureKind kind, std::string sentence) {
    Failure f;
    f.kind = kind;
    f.sentence = std::move(sentence);
    return f;
}

// The provider and store of korv.conf's sign-in, with what the store holds
// (`found` false when nothing).
bool LoadCurrent(const SideSettings& side, const std::string& dir, Provider& provider,
                 std::unique_ptr<TokenStore>& store, StoredGrant& grant, bool& found, Failure& failure) {
    std::string error;
    if (!ProviderFromSide(side, provider, error)) {
        failure = Told(FailureKind::Refused, error);
        return false;
    }
    store = StoreOf(side, provider, dir);
    found = false;
    return store->load(grant, found, failure);
}

void ForgetProvider(SideSettings& side) {
    side.oauthTenant = side.oauthClientId = side.oauthAuthorizeUrl = side.oauthTokenUrl = "";
    side.oauthDeviceUrl = side.oauthRevokeUrl = side.oauthScope = "";
}

}  // namespace

bool PrepareSignIn(const SignInChoice& choice, SideSettings& side, Provider& provider, std::string& error) {
    if (choice.provider.empty() || choice.account.empty()) {
        error = "a sign-in needs a provider and an account";
        return false;
    }
    if (!side.tokenCommand.empty()) {
        error = "korv.conf has a token-command: remove it first ('korvconf set token-command \"\"')";
        return false;
    }
    if (side.oauth != choice.provider) ForgetProvider(side);
    side.oauth = choice.provider;
    side.oauthAccount = choice.account;
    const std::pair<const char*, const std::string*> given[] = {
        {"oauth-tenant", &choice.tenant},           {"oauth-client-id", &choice.clientId},
        {"oauth-store", &choice.store},             {"oauth-authorize-url", &choice.authorizeUrl},
        {"oauth-token-url", &choice.tokenUrl},      {"oauth-scope", &choice.scope},
    };
    for (const auto& [key, value] : given)
        if (!value->empty()) side.*FindSideKey(key)->value = *value;
    for (const char* key : {"oauth", "oauth-account", "oauth-tenant", "oauth-client-id", "oauth-store",
                            "oauth-authorize-url", "oauth-token-url", "oauth-scope"}) {
        const SideKey& k = *FindSideKey(key);
        error = CheckSideValue(k, side.*k.value);
        if (!error.empty()) return false;
    }
    error = CheckSideSettings(side);
    return error.empty() && ProviderFromSide(side, provider, error);
}

bool BrowserSignIn::begin(const Provider& provider, const std::string& account, Failure& failure) {
    provider_ = provider;
    std::string error;
    if (!listener_.open(provider.redirectHost, error)) {
        failure = MakeFailure(FailureKind::Cancelled, error);
        return false;
    }
    if (!PrepareAuthorization(provider, listener_.redirectUri(), account, authorization_)) {
        listener_.close();
        failure = MakeFailure(FailureKind::Cancelled, "no random numbers");
        return false;
    }
    return true;
}

bool BrowserSignIn::finish(const std::string& clientSecret, const HttpOptions& http,
                           const std::function<bool()>& cancelled, TokenGrant& grant, Failure& failure) {
    std::string code;
    if (!listener_.wait(authorization_.state, code, failure, kCallbackWait, cancelled)) return false;
    return ExchangeCode(provider_, clientSecret, authorization_, code, http, UnixNow(), grant, failure);
}

bool KeepSignIn(const SideSettings& side, const Provider& provider, const TokenGrant& grant,
                const std::string& clientSecret, const std::string& configDir, std::string& where,
                Failure& failure) {
    if (grant.refreshToken.empty()) {
        // Without one korv could not go on after the first hour.
        failure = MakeFailure(FailureKind::Refused, "no refresh_token: the scope needs offline access");
        return false;
    }
    auto store = StoreOf(side, provider, configDir);
    if (!store->save({grant.refreshToken, grant.accessToken, grant.expiresAt, clientSecret}, failure)) return false;
    std::string error;
    if (!WriteSideFile(Beside(configDir, kSideFileName), side, error)) {
        failure = Told(FailureKind::Store, "signed in, but korv.conf cannot be written: " + error);
        return false;
    }
    where = store->describe();
    return true;
}

std::string SignedInText(const std::string& account, const std::string& where) {
    return "Signed in as " + account + " (" + where + ")";
}

bool SignInState(const SideSettings& side, const std::string& configDir, std::string& where, Failure& failure) {
    Provider provider;
    std::unique_ptr<TokenStore> store;
    StoredGrant grant;
    bool found = false;
    if (side.oauth.empty()) {
        failure = MakeFailure(FailureKind::NotSignedIn);
        return false;
    }
    if (!LoadCurrent(side, configDir, provider, store, grant, found, failure)) return false;
    if (!found) {
        failure = MakeFailure(FailureKind::NotSignedIn);
        return false;
    }
    where = store->describe();
    return true;
}

bool SignOut(SideSettings& side, const std::string& configDir, std::string& account, bool& unconfirmed,
             Failure& failure) {
    unconfirmed = false;
    account = side.oauthAccount;
    Provider provider;
    std::unique_ptr<TokenStore> store;
    StoredGrant grant;
    bool found = false;
    bool loaded = LoadCurrent(side, configDir, provider, store, grant, found, failure);
    if (!store) return false;
    // A grant the store cannot give back cannot be revoked, but is still forgotten.
    if (loaded && found && !provider.revokeUrl.empty()) {
        HttpReply reply = PostForm(provider.revokeUrl, {{"token", grant.refreshToken}}, HttpOptions{side.caFile});
        unconfirmed = !reply.delivered || reply.status != 200;
    }
    failure = {};
    if (!store->erase(failure)) return false;
    side.oauth = side.oauthAccount = side.oauthStore = "";
    ForgetProvider(side);
    std::string error;
    if (!WriteSideFile(Beside(configDir, kSideFileName), side, error)) {
        failure = Told(FailureKind::Store, "cannot write korv.conf: " + error);
        return false;
    }
    return true;
}

}  // namespace quorvexia::signin
