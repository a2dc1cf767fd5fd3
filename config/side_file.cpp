#include "side_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "config_file.h"
#include "platform/process.h"

namespace quorvexia {

namespace {

const std::vector<SideKey> kSideKeys = {
    {"password-command", &SideSettings::passwordCommand,
     "a command whose output is the password (instead of pop3-password)", true},
    {"token-command", &SideSettings::tokenCommand,
     "a command whose output is an OAuth2 access token (XOAUTH2, OAUTHBEARER)", true},
    {"ca-file", &SideSettings::caFile, "a PEM file of certificates to trust besides the system's", false},
    {"oauth", &SideSettings::oauth, "sign in with a provider: microsoft, google or custom", false,
     "microsoft|google|custom"},
    {"oauth-account", &SideSettings::oauthAccount, "the account signed in (a mail address)", false},
    {"oauth-tenant", &SideSettings::oauthTenant, "Microsoft: common, organizations, consumers or a tenant ID",
     false},
    {"oauth-client-id", &SideSettings::oauthClientId, "your own app registration's client ID", false},
    {"oauth-authorize-url", &SideSettings::oauthAuthorizeUrl, "the provider's authorization endpoint", false,
     "https"},
    {"oauth-token-url", &SideSettings::oauthTokenUrl, "the provider's token endpoint", false, "https"},
    {"oauth-device-url", &SideSettings::oauthDeviceUrl, "the provider's device authorization endpoint", false,
     "https"},
    {"oauth-scope", &SideSettings::oauthScope, "the scopes asked for, separated by blanks", false},
    {"oauth-store", &SideSettings::oauthStore, "where the sign-in is kept: keyring, or file (korv.token)", false,
     "keyring|file"},
};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (IsBlank(s.front()) || s.front() == '\r')) s.remove_prefix(1);
    while (!s.empty() && (IsBlank(s.back()) || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

std::string KeyList() {
    std::string out;
    for (const SideKey& k : kSideKeys) out += (out.empty() ? "" : ", ") + std::string(k.key);
    return out;
}

}  // namespace

const std::vector<SideKey>& SideKeys() { return kSideKeys; }

const SideKey* FindSideKey(std::string_view key) {
    for (const SideKey& k : kSideKeys)
        if (k.key == key) return &k;
    return nullptr;
}

std::string CheckSideValue(const SideKey& key, std::string_view value) {
    for (char c : value)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            return std::string(key.key) + " takes one line without control characters";
    if (value != Trim(value)) return std::string(key.key) + " takes a value without blanks around it";
    if (!value.empty() && key.choices == "https") {
        if (value.size() <= 8 || value.substr(0, 8) != "https://" || value.find(' ') != std::string_view::npos)
            return std::string(key.key) + " takes an https:// address";
    } else if (!value.empty() && !key.choices.empty()) {
        std::string_view rest = key.choices;
        bool found = false;
        while (!found && !rest.empty()) {
            auto bar = rest.find('|');
            found = rest.substr(0, bar) == value;
            rest = bar == std::string_view::npos ? std::string_view{} : rest.substr(bar + 1);
        }
        if (!found) {
            std::string list(key.choices);
            for (char& c : list)
                if (c == '|') c = ',';
            return std::string(key.key) + " takes one of " + list + ", not '" + std::string(value) + "'";
        }
    }
    if (key.command && !value.empty()) {
        std::vector<std::string> words;
        std::string error;
        if (!SplitCommandLine(value, words, error)) return std::string(key.key) + ": " + error;
    }
    return {};
}

bool ParseSideText(std::string_view text, SideSettings& settings, std::string& error) {
    settings = {};
    std::vector<const SideKey*> seen;
    int number = 0;
    while (!text.empty()) {
        ++number;
        auto end = text.find('\n');
        std::string_view line = Trim(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        if (line.empty() || line.front() == '#') continue;
        std::string where = "line " + std::to_string(number) + ": ";
        auto equals = line.find('=');
        if (equals == std::string_view::npos) {
            error = where + "expected 'key = value', not '" + std::string(line) + "'";
            return false;
        }
        std::string_view name = Trim(line.substr(0, equals));
        std::string_view value = Trim(line.substr(equals + 1));
        const SideKey* key = FindSideKey(name);
        if (!key) {
            error = where + "unknown key '" + std::string(name) + "' (known keys: " + KeyList() + ")";
            return false;
        }
        for (const SideKey* k : seen) {
            if (k == key) {
                error = where + std::string(name) + " is given twice";
                return false;
            }
        }
        seen.push_back(key);
        std::string fault = CheckSideValue(*key, value);
        if (!fault.empty()) {
            error = where + fault;
            return false;
        }
        settings.*key->value = std::string(value);
    }
    error = CheckSideSettings(settings);
    return error.empty();
}

std::string CheckSideSettings(const SideSettings& s) {
    // Two sources of tokens would leave the user guessing which one korv used.
    if (!s.oauth.empty() && !s.tokenCommand.empty())
        return "oauth and token-command exclude each other (remove one of them)";
    bool oauthDetail = !s.oauthAccount.empty() || !s.oauthTenant.empty() || !s.oauthClientId.empty() ||
                       !s.oauthAuthorizeUrl.empty() || !s.oauthTokenUrl.empty() || !s.oauthDeviceUrl.empty() ||
                       !s.oauthScope.empty() || !s.oauthStore.empty();
    if (s.oauth.empty() && oauthDetail) return "the oauth-* keys need oauth (microsoft, google or custom)";
    if (!s.oauth.empty() && s.oauthAccount.empty()) return "oauth needs oauth-account (the mail address)";
    if (!s.oauthTenant.empty() && s.oauth != "microsoft") return "oauth-tenant is for oauth = microsoft only";
    if (s.oauth == "custom" && (s.oauthAuthorizeUrl.empty() || s.oauthTokenUrl.empty() || s.oauthClientId.empty()))
        return "oauth = custom needs oauth-authorize-url, oauth-token-url and oauth-client-id";
    return {};
}

std::string FormatSideText(const SideSettings& settings) {
    std::string out = "# Settings of korv beside korv.cfg; see korv(1).\n";
    for (const SideKey& k : kSideKeys) {
        const std::string& value = settings.*k.value;
        if (!value.empty()) out += std::string(k.key) + " = " + value + "\n";
    }
    return out;
}

SideFileStatus ReadSideFile(const std::string& path, SideSettings& settings, std::string& error) {
    settings = {};
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT) return SideFileStatus::Absent;
        error = std::string(kSideFileName) + ": " + std::strerror(errno);
        return SideFileStatus::Failed;
    }
    std::string text;
    struct stat st;
    bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    bool ok = regular;
    while (ok) {
        char buffer[4096];
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            ok = got == 0;
            break;
        }
        text.append(buffer, static_cast<std::size_t>(got));
        ok = text.size() <= kSideFileMaxBytes;
    }
    int savedErrno = errno;
    ::close(fd);
    if (!ok) {
        error = std::string(kSideFileName) + ": " +
                (!regular                           ? std::string("not a regular file")
                 : text.size() > kSideFileMaxBytes ? "larger than " + std::to_string(kSideFileMaxBytes) + " bytes"
                                                   : std::string(std::strerror(savedErrno)));
        return SideFileStatus::Failed;
    }
    if (!ParseSideText(text, settings, error)) {
        error = std::string(kSideFileName) + (error.rfind("line ", 0) == 0 ? " " : ": ") + error;
        return SideFileStatus::Failed;
    }
    return SideFileStatus::Read;
}

bool WriteSideFile(const std::string& path, const SideSettings& settings, std::string& error) {
    std::string text = FormatSideText(settings);
    if (!ReplaceFileAtomically(path, text.data(), text.size(), /*mode=*/0600)) {
        error = std::strerror(errno);
        return false;
    }
    return true;
}

bool SplitCommandLine(std::string_view line, std::vector<std::string>& words, std::string& error) {
    words.clear();
    std::string word;
    bool inWord = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (IsBlank(c)) {
            if (inWord) words.push_back(std::move(word));
            word.clear();
            inWord = false;
            continue;
        }
        inWord = true;
        if (c == '\'' || c == '"') {
            std::size_t close = i + 1;
            for (; close < line.size() && line[close] != c; ++close) {
                if (c == '"' && line[close] == '\\' && close + 1 < line.size() &&
                    (line[close + 1] == '"' || line[close + 1] == '\\'))
                    ++close;
                word += line[close];
            }
            if (close >= line.size()) {
                error = std::string("a quote ") + c + " is not closed";
                return false;
            }
            i = close;
        } else if (c == '\\') {
            if (++i >= line.size()) {
                error = "the command ends in a backslash";
                return false;
            }
            word += line[i];
        } else {
            word += c;
        }
    }
    if (inWord) words.push_back(std::move(word));
    if (words.empty()) {
        error = "the command is empty";
        return false;
    }
    return true;
}

bool RunCredentialCommand(const std::string& command, std::string& answer, std::string& error) {
    std::vector<std::string> words;
    if (!SplitCommandLine(command, words, error) || !platform::RunHelper(words, answer, error)) return false;
    if (answer.empty()) error = "helper '" + words[0] + "' printed nothing";
    else if (answer.find_first_of("\r\n") != std::string::npos)
        error = "helper '" + words[0] + "' printed more than one line";
    else
        return true;
    answer.clear();
    return false;
}

}  // namespace quorvexia
