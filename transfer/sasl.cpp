#include "sasl.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cctype>

#include "signin/token_keeper.h"

namespace quorvexia {

namespace {

std::string Upper(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

std::vector<std::string> Words(std::string_view line) {
    std::vector<std::string> words;
    std::size_t at = 0;
    while (at < line.size()) {
        std::size_t start = line.find_first_not_of(" \t", at);
        if (start == std::string_view::npos) break;
        std::size_t end = line.find_first_of(" \t", start);
        if (end == std::string_view::npos) end = line.size();
        words.push_back(Upper(line.substr(start, end - start)));
        at = end;
    }
    return words;
}

void AddLine(Capabilities& caps, std::string_view line, std::string_view mechanismsKeyword) {
    std::vector<std::string> words = Words(line);
    if (words.empty()) return;
    caps.keywords.push_back(words[0]);
    // "AUTH=PLAIN LOGIN" was an old form of "AUTH PLAIN LOGIN"; both count.
    std::string first = words[0];
    std::string prefix = std::string(mechanismsKeyword) + "=";
    if (first.rfind(prefix, 0) == 0) {
        caps.mechanisms.push_back(first.substr(prefix.size()));
        words.erase(words.begin());
    } else if (first == mechanismsKeyword) {
        words.erase(words.begin());
    } else {
        return;
    }
    for (std::string& w : words) caps.mechanisms.push_back(std::move(w));
}

}  // namespace

std::string Base64Encode(std::string_view bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                            reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

bool Base64Decode(std::string_view text, std::string& bytes) {
    bytes.clear();
    if (text.size() % 4 != 0) return false;
    for (char c : text)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '/' && c != '=') return false;
    std::string out(3 * (text.size() / 4) + 1, '\0');
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                            reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (n < 0) return false;
    // EVP_DecodeBlock counts the padding as zero bytes.
    std::size_t padding = 0;
    for (std::size_t i = text.size(); i > 0 && text[i - 1] == '='; --i) ++padding;
    if (padding > 2) return false;
    out.resize(static_cast<std::size_t>(n) - padding);
    bytes = std::move(out);
    return true;
}

std::string SaslPlain(std::string_view user, std::string_view password) {
    std::string message;
    message.reserve(user.size() + password.size() + 2);
    message.append(1, '\0').append(user).append(1, '\0').append(password);
    return Base64Encode(message);
}

std::string SaslXoauth2(std::string_view user, std::string_view token) {
    std::string message = "user=";
    message.append(user).append("\x01" "auth=Bearer ").append(token).append("\x01\x01");
    return Base64Encode(message);
}

std::string SaslOauthBearer(std::string_view user, std::string_view token) {
    std::string escaped;
    for (char c : user) {
        if (c == ',') escaped += "=2C";
        else if (c == '=') escaped += "=3D";
        else escaped += c;
    }
    std::string message = "n,a=" + escaped + ",\x01" "auth=Bearer ";
    message.append(token).append("\x01\x01");
    return Base64Encode(message);
}

bool Capabilities::has(std::string_view keyword) const {
    return std::find(keywords.begin(), keywords.end(), Upper(keyword)) != keywords.end();
}

bool Capabilities::offers(std::string_view mechanism) const {
    return std::find(mechanisms.begin(), mechanisms.end(), Upper(mechanism)) != mechanisms.end();
}

Capabilities ParseEhloCapabilities(const std::vector<std::string>& lines) {
    Capabilities caps;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        std::string_view line = lines[i];
        if (line.size() < 4) continue;
        AddLine(caps, line.substr(4), "AUTH");
    }
    return caps;
}

Capabilities ParsePop3Capabilities(const std::vector<std::string>& lines) {
    Capabilities caps;
    for (const std::string& line : lines) AddLine(caps, line, "SASL");
    return caps;
}

bool LoadCredentials(const MailConfig& config, const SideSettings& side, Credentials& credentials,
                     std::string& error, const std::string& rejectedToken, bool* retryable) {
    credentials = {};
    if (retryable) *retryable = true;
    if (!side.oauth.empty()) {
        // korv runs in the directory of korv.cfg, where the sign-in's lock
        // (and its token file, if chosen) live.
        signin::Failure failure;
        bool refreshed = false;
        if (!signin::FreshAccessToken(side, "", signin::HttpOptions{side.caFile}, rejectedToken, credentials.token,
                                      failure, /*now=*/0, &refreshed)) {
            error = failure.sentence;
            if (retryable) *retryable = failure.retryable();
            return false;
        }
        credentials.user = side.oauthAccount;
        credentials.useToken = true;
        credentials.reusedToken = !refreshed;
        return true;
    }
    credentials.user = std::string(config.pop3User.text());
    const std::string& command = !side.tokenCommand.empty() ? side.tokenCommand : side.passwordCommand;
    if (command.empty()) {
        credentials.password = std::string(config.pop3Password.text());
        return true;
    }
    std::string answer;
    if (!RunCredentialCommand(command, answer, error)) return false;
    credentials.useToken = !side.tokenCommand.empty();
    (credentials.useToken ? credentials.token : credentials.password) = std::move(answer);
    return true;
}

}  // namespace quorvexia
