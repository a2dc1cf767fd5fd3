#include "oauth_provider.h"

#include <cctype>

namespace quorvexia::signin {

namespace {

bool IsHttps(std::string_view url) { return url.size() > 8 && url.substr(0, 8) == "https://"; }

bool TenantIsSafe(std::string_view tenant) {
    for (char c : tenant)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_')) return false;
    return !tenant.empty();
}

}  // namespace

bool PresetProvider(std::string_view name, std::string_view tenant, Provider& p) {
    p = {};
    p.name = std::string(name);
    if (name == "microsoft") {
        std::string base = "https://login.microsoftonline.com/" + std::string(tenant.empty() ? "common" : tenant) +
                           "/oauth2/v2.0/";
        p.authorizeUrl = base + "authorize";
        p.tokenUrl = base + "token";
        p.deviceUrl = base + "devicecode";
        p.scope = "offline_access https://outlook.office.com/POP.AccessAsUser.All https://outlook.office.com/SMTP.Send";
        p.redirectHost = "localhost";
        p.clientId = QUORVEXIA_MICROSOFT_CLIENT_ID;
        p.popServer = "pop3s://outlook.office365.com";
        p.smtpServer = "smtp+starttls://smtp.office365.com";
        return true;
    }
    if (name == "google") {
        p.authorizeUrl = "https://accounts.google.com/o/oauth2/v2/auth";
        p.tokenUrl = "https://oauth2.googleapis.com/token";
        p.revokeUrl = "https://oauth2.googleapis.com/revoke";
        p.scope = "https://mail.google.com/";
        p.extraAuthorizeParams = "access_type=offline&prompt=consent";
        p.redirectHost = "127.0.0.1";
        p.clientId = QUORVEXIA_GOOGLE_CLIENT_ID;
        p.clientSecret = QUORVEXIA_GOOGLE_CLIENT_SECRET;
        p.popServer = "pop3s://pop.gmail.com";
        p.smtpServer = "smtps://smtp.gmail.com";
        return true;
    }
    if (name == "custom") {
        p.redirectHost = "127.0.0.1";
        return true;
    }
    return false;
}

bool ProviderFromSide(const SideSettings& side, Provider& p, std::string& error) {
    if (side.oauth.empty()) {
        error = "no provider is chosen (korv.conf has no oauth key)";
        return false;
    }
    if (!side.oauthTenant.empty() && !TenantIsSafe(side.oauthTenant)) {
        error = "oauth-tenant '" + side.oauthTenant + "' is not a tenant name or ID";
        return false;
    }
    if (!PresetProvider(side.oauth, side.oauthTenant, p)) {
        error = "unknown provider '" + side.oauth + "' (microsoft, google or custom)";
        return false;
    }
    if (!side.oauthClientId.empty()) {
        // Another registration's secret never goes with the user's own ID.
        if (side.oauthClientId != p.clientId) p.clientSecret.clear();
        p.clientId = side.oauthClientId;
    }
    if (!side.oauthAuthorizeUrl.empty()) p.authorizeUrl = side.oauthAuthorizeUrl;
    if (!side.oauthTokenUrl.empty()) p.tokenUrl = side.oauthTokenUrl;
    if (!side.oauthDeviceUrl.empty()) p.deviceUrl = side.oauthDeviceUrl;
    if (!side.oauthRevokeUrl.empty()) p.revokeUrl = side.oauthRevokeUrl;
    if (!side.oauthScope.empty()) p.scope = side.oauthScope;
    if (p.clientId.empty()) {
        error = "this build has no app registration for " + p.name +
                ": register one (see korvconf(1)) and set oauth-client-id";
        return false;
    }
    for (const std::string* url : {&p.authorizeUrl, &p.tokenUrl, &p.deviceUrl, &p.revokeUrl}) {
        if (!url->empty() && !IsHttps(*url)) {
            error = "the provider's address '" + *url + "' is not https";
            return false;
        }
    }
    if (p.authorizeUrl.empty() || p.tokenUrl.empty()) {
        error = "oauth = custom needs oauth-authorize-url and oauth-token-url";
        return false;
    }
    return true;
}

std::string_view UrlHost(std::string_view url) {
    auto start = url.find("://");
    if (start == std::string_view::npos) return {};
    start += 3;
    auto end = url.find_first_of("/:?#", start);
    return url.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
}

}  // namespace quorvexia::signin
