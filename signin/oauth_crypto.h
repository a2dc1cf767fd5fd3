// The small pieces of the authorization code flow: random values from
// OpenSSL's generator, the PKCE S256 challenge (RFC 7636), and the URL and
// form encodings of parameters.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorvexia::signin {

using Params = std::vector<std::pair<std::string, std::string>>;

// `bytes` random bytes as base64url without padding (32 bytes: 43 characters,
// a valid code_verifier and an unguessable state). Empty if the generator fails.
std::string RandomUrlSafe(std::size_t bytes = 32);
std::string Base64Url(std::string_view bytes);
// BASE64URL(SHA256(verifier)).
std::string CodeChallengeS256(std::string_view verifier);

// application/x-www-form-urlencoded: unreserved characters stay, a blank
// becomes %20 (accepted in forms and query strings alike).
std::string PercentEncode(std::string_view text);
std::string EncodeParams(const Params& params);
// A query string (without '?') into its pairs; '+' is a blank. False for a
// malformed escape.
bool DecodeQuery(std::string_view query, Params& params);
const std::string* FindParam(const Params& params, std::string_view name);

}  // namespace quorvexia::signin
