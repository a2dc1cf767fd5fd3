// The one way this program talks to an authorization server: a form POST
// over https (libcurl), no redirect followed, bounded in time and in the
// size of the answer. libcurl ignores SSL_CERT_FILE, so the extra CA of the
// mail servers (korv.conf's ca-file) is handed over explicitly.
#pragma once

#include <string>

#include "oauth_crypto.h"

namespace quorvexia::signin {

inline constexpr std::size_t kReplyMaxBytes = 64 * 1024;

struct HttpOptions {
    std::string caFile;         // extra trust; empty: the system store only
    long connectSeconds = 15;
    long totalSeconds = 30;
};

struct HttpReply {
    bool delivered = false;  // false: no HTTP answer (network, TLS, time limit, too large)
    long status = 0;
    std::string body;
    std::string error;       // why not delivered, as a sentence fragment
};

// POSTs `params` as a form to `url` (https:// only; anything else is refused
// before a byte is sent).
HttpReply PostForm(const std::string& url, const Params& params, const HttpOptions& options);

}  // namespace quorvexia::signin
