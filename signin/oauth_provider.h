// The providers one can sign in with: their endpoints, scopes, redirect form
// and mail servers, and korv.conf's oauth-* keys laid over them.
#pragma once

#include <string>
#include <string_view>

#include "config/side_file.h"

namespace quorvexia::signin {

struct Provider {
    std::string name;          // "microsoft", "google", "custom": the store's key
    std::string authorizeUrl;
    std::string tokenUrl;
    std::string deviceUrl;     // empty: no device flow
    std::string revokeUrl;     // empty: nothing to revoke at sign-out
    std::string scope;
    std::string extraAuthorizeParams;  // appended to the authorization URL as they stand
    std::string redirectHost;  // "localhost" (both loopback addresses) or "127.0.0.1"
    std::string clientId;
    std::string clientSecret;  // only a built-in desktop app's, which is public by design
    std::string popServer;     // the forms of the server fields, for a preset
    std::string smtpServer;
};

// The preset named by `name` ("microsoft", "google", "custom") with `tenant`
// for Microsoft ("common" when empty). False for an unknown name.
bool PresetProvider(std::string_view name, std::string_view tenant, Provider& provider);

// The provider korv.conf describes: its preset with the oauth-* keys laid
// over it. False with a sentence when there is none or it cannot be used
// (no client ID, an endpoint not https).
bool ProviderFromSide(const SideSettings& side, Provider& provider, std::string& error);

// Which of the provider's hosts a URL names, for showing it emphasised:
// the text between "://" and the next '/', ':' or '?'.
std::string_view UrlHost(std::string_view url);

}  // namespace quorvexia::signin
