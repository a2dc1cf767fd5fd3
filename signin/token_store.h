// Where a sign-in is kept: the Secret Service (libsecret, the project's
// schema keyed by provider, account and client ID), or, for runs without a
// session bus, the file korv.token beside korv.cfg that the user chose at
// sign-in (mode 0600, owned by the user, replaced atomically; any other
// file is refused). Refreshes are serialised by a lock file beside korv.cfg.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "oauth_reply.h"

namespace quorvexia::signin {

inline constexpr const char* kTokenFileName = "korv.token";
inline constexpr const char* kTokenLockName = ".korv.token.lock";

struct StoredGrant {
    std::string refreshToken;
    std::string accessToken;
    std::int64_t expiresAt = 0;
    std::string clientSecret;  // a custom registration's, given at sign-in
};

struct StoreKey {
    std::string provider;
    std::string account;
    std::string clientId;
};

class TokenStore {
public:
    virtual ~TokenStore() = default;
    // False with a failure; true with `found` false when nothing is stored.
    virtual bool load(StoredGrant& grant, bool& found, Failure& failure) = 0;
    virtual bool save(const StoredGrant& grant, Failure& failure) = 0;
    virtual bool erase(Failure& failure) = 0;
    virtual std::string describe() const = 0;  // "key ring" or "korv.token"
};

// `kind` is korv.conf's oauth-store ("" or "keyring", "file"); `configDir`
// the directory of korv.cfg ("" the current one).
std::unique_ptr<TokenStore> OpenTokenStore(const std::string& kind, const StoreKey& key,
                                           const std::string& configDir);

// Longer than any refresh can take (a token request ends within 30 s): a
// run that holds the lock longer is stuck, and the next one gives up.
inline constexpr std::chrono::milliseconds kRefreshLockWait{60000};

// An exclusive lock on the lock file beside korv.cfg, held while the object
// lives; two runs refreshing at once take turns, the second waiting at most
// `limit` for the first.
class RefreshLock {
public:
    explicit RefreshLock(const std::string& configDir, std::chrono::milliseconds limit = kRefreshLockWait);
    ~RefreshLock();
    RefreshLock(const RefreshLock&) = delete;
    RefreshLock& operator=(const RefreshLock&) = delete;
    bool held() const { return fd_ >= 0; }
    // Another run held the lock for all of `limit`.
    bool timedOut() const { return timedOut_; }

private:
    int fd_ = -1;
    bool timedOut_ = false;
};

// The grant as the JSON text kept in either store, and back.
std::string GrantText(const StoreKey& key, const StoredGrant& grant);
bool GrantFromText(const std::string& text, const StoreKey& key, StoredGrant& grant);

}  // namespace quorvexia::signin
