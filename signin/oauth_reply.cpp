#include "oauth_reply.h"

#include <nlohmann/json.hpp>

namespace quorvexia::signin {

namespace {

using nlohmann::json;

// "AADSTS700082" out of Microsoft's description, or empty.
std::string AadstsCode(std::string_view description) {
    auto at = description.find("AADSTS");
    if (at == std::string_view::npos) return {};
    std::size_t end = at + 6;
    while (end < description.size() && std::isdigit(static_cast<unsigned char>(description[end]))) ++end;
    return end > at + 6 ? std::string(description.substr(at, end - at)) : std::string();
}

// Only letters, digits and a few marks of a provider's code reach a message.
std::string CleanCode(std::string_view code) {
    std::string out;
    for (char c : code.substr(0, 64))
        if (std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.' || c == '-') out += c;
    return out;
}

bool CleanToken(const std::string& token) {
    if (token.empty() || token.size() > kTokenMaxBytes) return false;
    for (unsigned char c : token)
        if (c <= 0x20 || c >= 0x7f) return false;
    return true;
}

std::string StringField(const json& j, const char* name) {
    auto it = j.find(name);
    return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// expires_in/interval come as numbers, and from some servers as strings.
bool NumberField(const json& j, const char* name, std::int64_t& value) {
    auto it = j.find(name);
    if (it == j.end()) return false;
    if (it->is_number_integer()) value = it->get<std::int64_t>();
    else if (it->is_string()) {
        try {
            value = std::stoll(it->get<std::string>());
        } catch (...) {
            return false;
        }
    } else return false;
    return value >= 0 && value <= 10LL * 365 * 24 * 3600;
}

// The JSON object of an answer, or the failure that the answer is.
bool ReadObject(const HttpReply& reply, json& object, Failure& failure) {
    if (!reply.delivered) {
        failure = MakeFailure(FailureKind::Network, reply.error);
        return false;
    }
    object = json::parse(reply.body, nullptr, /*allow_exceptions=*/false);
    if (object.is_object() && object.contains("error") && object["error"].is_string()) {
        failure = FailureFromError(object["error"].get<std::string>(), StringField(object, "error_description"));
        return false;
    }
    if (reply.status >= 500) {
        failure = MakeFailure(FailureKind::Network, "HTTP " + std::to_string(reply.status));
        return false;
    }
    if (reply.status != 200 || !object.is_object()) {
        failure = MakeFailure(FailureKind::Protocol,
                              "HTTP " + std::to_string(reply.status) + (object.is_object() ? "" : ", not JSON"));
        return false;
    }
    return true;
}

}  // namespace

Failure MakeFailure(FailureKind kind, std::string_view code) {
    Failure f;
    f.kind = kind;
    switch (kind) {
    case FailureKind::None: return f;
    case FailureKind::Network:
        f.sentence = "the sign-in server cannot be reached: check the network and try again";
        break;
    case FailureKind::SignInAgain:
        f.sentence = "the sign-in has expired or was revoked: sign in again with korvcfg or korvconf oauth signin";
        break;
    case FailureKind::Consent:
        f.sentence = "your organisation must approve this app: ask an administrator to grant consent, then sign in again";
        break;
    case FailureKind::RedirectMismatch:
        f.sentence = "the app registration does not accept this program's redirect address: add http://localhost "
                     "as a mobile and desktop redirect URI, then sign in again";
        break;
    case FailureKind::Cancelled: f.sentence = "sign-in was cancelled: sign in again when you are ready"; break;
    case FailureKind::NoKeyring:
        f.sentence = "no key ring can be reached: sign in from a desktop session, or with --store file to keep "
                     "the sign-in in korv.token beside korv.cfg";
        break;
    case FailureKind::NotSignedIn: f.sentence = "not signed in: run korvcfg or korvconf oauth signin"; break;
    case FailureKind::Store:
        f.sentence = "the stored sign-in cannot be used: sign in again with korvcfg or korvconf oauth signin";
        break;
    case FailureKind::Busy:
        f.sentence = "another korv run has been refreshing the sign-in for over a minute: end that run (or wait for "
                     "it) and try again";
        break;
    case FailureKind::Pending: f.sentence = "the code has not been entered yet: keep waiting"; break;
    case FailureKind::SlowDown: f.sentence = "the server asks to be asked less often: keep waiting"; break;
    case FailureKind::Refused:
        f.sentence = "the provider refused the sign-in: check the app registration and sign in again";
        break;
    case FailureKind::Protocol:
        f.sentence = "the provider's answer is not an OAuth2 answer: check the provider's addresses in korv.conf";
        break;
    }
    if (!code.empty()) f.sentence += " (" + std::string(code) + ")";
    return f;
}

Failure FailureFromError(std::string_view error, std::string_view description) {
    std::string aadsts = AadstsCode(description);
    std::string code = CleanCode(error);
    if (!aadsts.empty()) code += (code.empty() ? "" : " ") + aadsts;
    if (aadsts == "AADSTS65001" || error == "consent_required") return MakeFailure(FailureKind::Consent, code);
    if (aadsts == "AADSTS50011" || error == "redirect_uri_mismatch")
        return MakeFailure(FailureKind::RedirectMismatch, code);
    if (error == "invalid_grant" || error == "expired_token" || error == "interaction_required" ||
        aadsts == "AADSTS700082" || aadsts == "AADSTS50173")
        return MakeFailure(FailureKind::SignInAgain, code);
    if (error == "access_denied" || error == "authorization_declined") return MakeFailure(FailureKind::Cancelled, code);
    if (error == "authorization_pending") return MakeFailure(FailureKind::Pending, code);
    if (error == "slow_down") return MakeFailure(FailureKind::SlowDown, code);
    if (error == "temporarily_unavailable" || error == "server_error") return MakeFailure(FailureKind::Network, code);
    return MakeFailure(FailureKind::Refused, code);
}

std::string TokenRefusalAdvice(std::string_view reply) {
    if (reply.find("5.7.139") == std::string_view::npos) return {};
    return "SMTP AUTH is turned off for this organisation or mailbox: ask an administrator to allow "
           "authenticated SMTP for it (535 5.7.139)";
}

bool ReadTokenReply(const HttpReply& reply, std::int64_t now, TokenGrant& grant, Failure& failure) {
    grant = {};
    json j;
    if (!ReadObject(reply, j, failure)) return false;
    grant.accessToken = StringField(j, "access_token");
    grant.refreshToken = StringField(j, "refresh_token");
    std::string type = StringField(j, "token_type");
    for (char& c : type) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::int64_t expiresIn = 3600;  // RFC 6749 lets it out; an hour is the common life
    if (j.contains("expires_in") && !NumberField(j, "expires_in", expiresIn)) expiresIn = -1;
    if (!CleanToken(grant.accessToken) || (!grant.refreshToken.empty() && !CleanToken(grant.refreshToken)) ||
        (!type.empty() && type != "bearer") || expiresIn < 0) {
        grant = {};
        failure = MakeFailure(FailureKind::Protocol, "no usable access_token");
        return false;
    }
    grant.expiresAt = now + expiresIn;
    return true;
}

bool ReadDeviceReply(const HttpReply& reply, std::int64_t now, DeviceCode& code, Failure& failure) {
    code = {};
    json j;
    if (!ReadObject(reply, j, failure)) return false;
    code.deviceCode = StringField(j, "device_code");
    code.userCode = StringField(j, "user_code");
    code.verificationUri = StringField(j, "verification_uri");
    if (code.verificationUri.empty()) code.verificationUri = StringField(j, "verification_url");  // Google's name
    std::int64_t interval = 5, expiresIn = 900;
    if (j.contains("interval") && !NumberField(j, "interval", interval)) interval = -1;
    if (j.contains("expires_in") && !NumberField(j, "expires_in", expiresIn)) expiresIn = -1;
    bool printable = !code.userCode.empty() && code.userCode.size() < 64;
    for (unsigned char c : code.userCode + code.verificationUri) printable = printable && c > 0x20 && c < 0x7f;
    if (!CleanToken(code.deviceCode) || !printable || code.verificationUri.rfind("https://", 0) != 0 ||
        interval < 0 || interval > 300 || expiresIn <= 0) {
        code = {};
        failure = MakeFailure(FailureKind::Protocol, "no usable device_code");
        return false;
    }
    code.interval = interval == 0 ? 5 : static_cast<int>(interval);
    code.expiresAt = now + expiresIn;
    return true;
}

}  // namespace quorvexia::signin
