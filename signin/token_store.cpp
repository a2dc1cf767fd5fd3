#include "token_store.h"

#include <fcntl.h>
#include <libsecret/secret.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>
#include <nlohmann/json.hpp>

#include "config/config_file.h"

namespace quorvexia::signin {

namespace {

using nlohmann::json;

std::string Beside(const std::string& dir, const char* name) { return dir.empty() ? name : dir + "/" + name; }

// Overwrites a string that held a secret before its memory goes back.
void Wipe(std::string& s) {
    std::fill(s.begin(), s.end(), '\0');
    s.clear();
}

class FileStore : public TokenStore {
public:
    FileStore(StoreKey key, std::string path) : key_(std::move(key)), path_(std::move(path)) {}

    bool load(StoredGrant& grant, bool& found, Failure& failure) override {
        found = false;
        int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd < 0) {
            if (errno == ENOENT) return true;
            failure = MakeFailure(FailureKind::Store, std::string(kTokenFileName) + ": " + std::strerror(errno));
            return false;
        }
        struct stat st;
        std::string text, why;
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) why = "not a regular file";
        else if (st.st_uid != geteuid()) why = "owned by someone else";
        else if (st.st_mode & 077) why = "readable by others (it must have mode 0600)";
        char buffer[4096];
        while (why.empty()) {
            ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) why = std::strerror(errno);
            if (n <= 0) break;
            text.append(buffer, static_cast<std::size_t>(n));
            if (text.size() > kReplyMaxBytes) why = "too large";
        }
        ::close(fd);
        if (why.empty() && !GrantFromText(text, key_, grant)) why = "not a sign-in of this account";
        Wipe(text);
        if (!why.empty()) {
            failure = MakeFailure(FailureKind::Store, std::string(kTokenFileName) + " refused: " + why);
            return false;
        }
        found = true;
        return true;
    }

    bool save(const StoredGrant& grant, Failure& failure) override {
        std::string text = GrantText(key_, grant);
        bool ok = ReplaceFileAtomically(path_, text.data(), text.size(), 0600);
        int saved = errno;
        Wipe(text);
        if (!ok) failure = MakeFailure(FailureKind::Store, std::string(kTokenFileName) + ": " + std::strerror(saved));
        return ok;
    }

    bool erase(Failure& failure) override {
        if (::unlink(path_.c_str()) == 0 || errno == ENOENT) return true;
        failure = MakeFailure(FailureKind::Store, std::string(kTokenFileName) + ": " + std::strerror(errno));
        return false;
    }

    std::string describe() const override { return kTokenFileName; }

private:
    StoreKey key_;
    std::string path_;
};

const SecretSchema* Schema() {
    static const SecretSchema schema = {"org.quorvexia.OAuth2",
                                        SECRET_SCHEMA_NONE,
                                        {{"provider", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                         {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                         {"client-id", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                         {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
                                        0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
    return &schema;
}

struct ErrorDeleter {
    void operator()(GError* e) const { g_error_free(e); }
};
using ErrorPtr = std::unique_ptr<GError, ErrorDeleter>;

Failure KeyringFailure(GError* error) {
    // No bus, no service on it, or a locked collection nobody can unlock.
    std::string message = error && error->message ? error->message : "unknown";
    if (message.size() > 200) message.resize(200);
    bool missing = error && (error->domain == G_IO_ERROR || error->domain == G_DBUS_ERROR ||
                             g_error_matches(error, SECRET_ERROR, SECRET_ERROR_IS_LOCKED));
    return MakeFailure(missing ? FailureKind::NoKeyring : FailureKind::Store, message);
}

class KeyringStore : public TokenStore {
public:
    explicit KeyringStore(StoreKey key) : key_(std::move(key)) {}

    bool load(StoredGrant& grant, bool& found, Failure& failure) override {
        found = false;
        GError* raw = nullptr;
        gchar* secret = secret_password_lookup_sync(Schema(), nullptr, &raw, "provider", key_.provider.c_str(),
                                                    "account", key_.account.c_str(), "client-id",
                                                    key_.clientId.c_str(), nullptr);
        ErrorPtr error(raw);
        if (error) {
            failure = KeyringFailure(error.get());
            return false;
        }
        if (!secret) return true;
        std::string text(secret);
        secret_password_free(secret);
        bool ok = GrantFromText(text, key_, grant);
        Wipe(text);
        if (!ok) {
            failure = MakeFailure(FailureKind::Store, "the key ring's entry is damaged");
            return false;
        }
        found = true;
        return true;
    }

    bool save(const StoredGrant& grant, Failure& failure) override {
        std::string text = GrantText(key_, grant);
        std::string label = "korv sign-in for " + key_.account + " (" + key_.provider + ")";
        GError* raw = nullptr;
        secret_password_store_sync(Schema(), SECRET_COLLECTION_DEFAULT, label.c_str(), text.c_str(), nullptr, &raw,
                                   "provider", key_.provider.c_str(), "account", key_.account.c_str(), "client-id",
                                   key_.clientId.c_str(), nullptr);
        Wipe(text);
        ErrorPtr error(raw);
        if (error) failure = KeyringFailure(error.get());
        return !error;
    }

    bool erase(Failure& failure) override {
        GError* raw = nullptr;
        secret_password_clear_sync(Schema(), nullptr, &raw, "provider", key_.provider.c_str(), "account",
                                   key_.account.c_str(), "client-id", key_.clientId.c_str(), nullptr);
        ErrorPtr error(raw);
        if (error) failure = KeyringFailure(error.get());
        return !error;
    }

    std::string describe() const override { return "key ring"; }

private:
    StoreKey key_;
};

}  // namespace

std::string GrantText(const StoreKey& key, const StoredGrant& grant) {
    json j = {{"provider", key.provider},         {"account", key.account},
              {"client_id", key.clientId},        {"refresh_token", grant.refreshToken},
              {"access_token", grant.accessToken}, {"expires_at", grant.expiresAt}};
    if (!grant.clientSecret.empty()) j["client_secret"] = grant.clientSecret;
    return j.dump() + "\n";
}

bool GrantFromText(const std::string& text, const StoreKey& key, StoredGrant& grant) {
    grant = {};
    json j = json::parse(text, nullptr, false);
    if (!j.is_object()) return false;
    auto str = [&](const char* name) {
        auto it = j.find(name);
        return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
    };
    if (str("provider") != key.provider || str("account") != key.account || str("client_id") != key.clientId)
        return false;
    grant.refreshToken = str("refresh_token");
    grant.accessToken = str("access_token");
    grant.clientSecret = str("client_secret");
    auto at = j.find("expires_at");
    if (at != j.end() && at->is_number_integer()) grant.expiresAt = at->get<std::int64_t>();
    return !grant.refreshToken.empty();
}

std::unique_ptr<TokenStore> OpenTokenStore(const std::string& kind, const StoreKey& key,
                                           const std::string& configDir) {
    if (kind == "file") return std::make_unique<FileStore>(key, Beside(configDir, kTokenFileName));
    return std::make_unique<KeyringStore>(key);
}

RefreshLock::RefreshLock(const std::string& configDir, std::chrono::milliseconds limit) {
    std::string path = Beside(configDir, kTokenLockName);
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ < 0) return;
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        bool busy = errno == EWOULDBLOCK;
        if ((busy || errno == EINTR) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            continue;
        }
        timedOut_ = busy;
        ::close(fd_);
        fd_ = -1;
        return;
    }
}

RefreshLock::~RefreshLock() {
    if (fd_ >= 0) ::close(fd_);
}

}  // namespace quorvexia::signin
