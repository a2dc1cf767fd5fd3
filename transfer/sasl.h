// What the TLS forms say to sign in, as plain functions: the SASL messages
// (PLAIN, LOGIN, XOAUTH2, OAUTHBEARER) in base64, the capabilities a server
// lists after EHLO or CAPA, and the credentials of one connection, with the
// password or token from a helper when korv.conf names one.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "config/mail_config.h"
#include "config/side_file.h"

namespace quorvexia {

// Base64 (RFC 4648, with padding) of `bytes`, and back; decoding gives false
// for anything that is not base64.
std::string Base64Encode(std::string_view bytes);
bool Base64Decode(std::string_view text, std::string& bytes);

// "\0user\0password" (RFC 4616), base64.
std::string SaslPlain(std::string_view user, std::string_view password);
// "user=U\x01auth=Bearer T\x01\x01", base64: the provider's XOAUTH2.
std::string SaslXoauth2(std::string_view user, std::string_view token);
// "n,a=U,\x01auth=Bearer T\x01\x01" (RFC 7628), base64; ',' and '=' in
// the user are escaped as =2C and =3D.
std::string SaslOauthBearer(std::string_view user, std::string_view token);

// What a server offers: the keywords of an EHLO reply (each line after the
// first, the code taken off) or of a CAPA list, in upper case, and the SASL
// mechanisms it names (after "AUTH" in EHLO, "SASL" in CAPA).
struct Capabilities {
    std::vector<std::string> keywords;
    std::vector<std::string> mechanisms;
    bool has(std::string_view keyword) const;
    bool offers(std::string_view mechanism) const;
};
// `lines` as they came: for EHLO with their "250-"/"250 " in front (the first
// line, the greeting of the reply, names no keyword).
Capabilities ParseEhloCapabilities(const std::vector<std::string>& lines);
Capabilities ParsePop3Capabilities(const std::vector<std::string>& lines);

// The account for one connection. With a token command, `token` holds the
// token and `password` is unused; with a password command, `password` is its
// output; otherwise the record's pop3Password.
struct Credentials {
    std::string user;
    std::string password;
    std::string token;
    bool useToken = false;
    bool reusedToken = false;  // a stored token, not one refreshed just now
};
// Runs the helper korv.conf names (once per connection, so tokens are
// fresh), or, with built-in sign-in (oauth), takes the stored access token,
// refreshed when it is near its end. `rejectedToken` is one the server has
// just refused, so a new one is fetched. False with a sentence in `error`
// when it fails; `retryable` tells whether another try may help (network
// trouble; never a refused grant).
bool LoadCredentials(const MailConfig& config, const SideSettings& side, Credentials& credentials,
                     std::string& error, const std::string& rejectedToken = {}, bool* retryable = nullptr);

}  // namespace quorvexia
