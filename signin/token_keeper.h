// korv's side of sign-in: an access token for the next connection, from the
// store when it has more than five minutes left, else refreshed under the
// lock (a rotated refresh token is always kept). Never a browser, never a
// question: without a stored grant it fails with "not signed in".
#pragma once

#include <cstdint>
#include <string>

#include "config/side_file.h"
#include "oauth_http.h"
#include "oauth_reply.h"
#include "token_store.h"

namespace quorvexia::signin {

inline constexpr std::int64_t kRefreshMargin = 300;

// `rejected` is a token the server has just refused (empty if none): it is
// never handed out again (taken by value: it may be `token` itself). `now`
// 0: the clock's time.
bool FreshAccessToken(const SideSettings& side, const std::string& configDir, const HttpOptions& http,
                      std::string rejected, std::string& token, Failure& failure, std::int64_t now = 0,
                      bool* refreshed = nullptr, std::chrono::milliseconds lockWait = kRefreshLockWait);

}  // namespace quorvexia::signin
