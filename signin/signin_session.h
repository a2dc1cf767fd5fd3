// Signing in and out as korvconf and korvcfg both do it: the user's choices
// laid over korv.conf, the browser flow split where the caller shows the
// address (a terminal prints it, a window shows it while the flow runs in
// the background), keeping the grant with korv.conf, and ending it again.
#pragma once

#include <functional>
#include <string>

#include "config/side_file.h"
#include "loopback_listener.h"
#include "oauth_flows.h"
#include "oauth_provider.h"

namespace quorvexia::signin {

struct SignInChoice {
    std::string provider;  // "microsoft", "google" or "custom"
    std::string account;
    // Empty keeps what korv.conf says (for the same provider).
    std::string tenant, clientId, store, authorizeUrl, tokenUrl, scope;
};

// Lays the choice over korv.conf's settings (another provider's
// registration and addresses do not carry over), checks them and gives the
// provider to sign in with. False with a sentence.
bool PrepareSignIn(const SignInChoice& choice, SideSettings& side, Provider& provider, std::string& error);

// The authorization code flow through the loopback listener. begin() binds
// the listener and makes the address for the browser; finish() waits for
// the callback (asking `cancelled` at least ten times a second) and trades
// the code for tokens. finish() may run on another thread than begin().
class BrowserSignIn {
public:
    bool begin(const Provider& provider, const std::string& account, Failure& failure);
    const std::string& url() const { return authorization_.url; }
    bool finish(const std::string& clientSecret, const HttpOptions& http, const std::function<bool()>& cancelled,
                TokenGrant& grant, Failure& failure);

private:
    Provider provider_;
    LoopbackListener listener_;
    Authorization authorization_;
};

// Keeps a new grant in the store korv.conf names and then writes korv.conf
// into `configDir` ("" the current directory). `where` is the store's name
// for the user ("key ring", "korv.token").
bool KeepSignIn(const SideSettings& side, const Provider& provider, const TokenGrant& grant,
                const std::string& clientSecret, const std::string& configDir, std::string& where,
                Failure& failure);

// "Signed in as ann@example.com (key ring)"
std::string SignedInText(const std::string& account, const std::string& where);

// What korv.conf's sign-in has in store: true with `where` when a grant is
// kept, false with the failure (NotSignedIn when there is none).
bool SignInState(const SideSettings& side, const std::string& configDir, std::string& where, Failure& failure);

// Ends the sign-in korv.conf names: withdrawn at the provider where it
// offers that (`unconfirmed` when it did not say yes), removed from the
// store, and the oauth keys taken out of korv.conf. `account` is who was
// signed in.
bool SignOut(SideSettings& side, const std::string& configDir, std::string& account, bool& unconfirmed,
             Failure& failure);

// The sentence for a revocation the provider did not confirm.
inline constexpr const char* kRevokeUnconfirmed =
    "the provider did not confirm the revocation; revoke the app's access in your account settings";

}  // namespace quorvexia::signin
