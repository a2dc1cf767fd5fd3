// Sign-in's plain parts: PKCE and random values, query decoding, the
// provider presets with korv.conf laid over them, the reading of token
// answers, and the sentence for every kind of failure.
#include <gtest/gtest.h>

#include <set>

#include "config/side_file.h"
#include "signin/oauth_crypto.h"
#include "signin/oauth_flows.h"
#include "signin/oauth_provider.h"
#include "signin/oauth_reply.h"

namespace quorvexia::signin {
namespace {

TEST(SigninCrypto, ChallengeAndRandomValues) {
    // RFC 7636 appendix B.
    EXPECT_EQ(CodeChallengeS256("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"),
              "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
    EXPECT_EQ(Base64Url(std::string("\xfb\xff\xfe", 3)), "-__-");
    std::set<std::string> seen;
    for (int i = 0; i < 50; ++i) {
        std::string v = RandomUrlSafe();
        ASSERT_EQ(v.size(), 43u);  // within RFC 7636's 43..128
        EXPECT_EQ(v.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
                  std::string::npos);
        seen.insert(v);
    }
    EXPECT_EQ(seen.size(), 50u);
}

TEST(SigninCrypto, QueriesDecodeOrFail) {
    struct {
        const char* query;
        bool ok;
        const char* code;
        const char* state;
    } cases[] = {
        {"code=abc&state=s1", true, "abc", "s1"},
        {"state=a%2Bb&code=x+y%20z", true, "x y z", "a+b"},
        {"code=&state=", true, "", ""},
        {"&&code=1&", true, "1", nullptr},
        {"code=%zz", false, nullptr, nullptr},
        {"code=%4", false, nullptr, nullptr},
    };
    for (const auto& c : cases) {
        Params p;
        ASSERT_EQ(DecodeQuery(c.query, p), c.ok) << c.query;
        if (!c.ok) continue;
        const std::string* code = FindParam(p, "code");
        const std::string* state = FindParam(p, "state");
        EXPECT_EQ(code ? *code : std::string("(none)"), c.code ? c.code : "(none)") << c.query;
        EXPECT_EQ(state ? *state : std::string("(none)"), c.state ? c.state : "(none)") << c.query;
    }
    EXPECT_EQ(EncodeParams({{"redirect_uri", "http://localhost:5/"}, {"scope", "a b"}}),
              "redirect_uri=http%3A%2F%2Flocalhost%3A5%2F&scope=a%20b");
}

TEST(SigninProvider, PresetsAndOverrides) {
    SideSettings side;
    side.oauth = "microsoft";
    side.oauthAccount = "a@b.example";
    side.oauthTenant = "organizations";
    side.oauthClientId = "my-app";
    Provider p;
    std::string error;
    ASSERT_TRUE(ProviderFromSide(side, p, error)) << error;
    EXPECT_EQ(p.tokenUrl, "https://login.microsoftonline.com/organizations/oauth2/v2.0/token");
    EXPECT_EQ(p.deviceUrl, "https://login.microsoftonline.com/organizations/oauth2/v2.0/devicecode");
    EXPECT_EQ(p.redirectHost, "localhost");
    EXPECT_EQ(p.clientId, "my-app");
    EXPECT_EQ(p.clientSecret, "");

    side = {};
    side.oauth = "google";
    side.oauthClientId = "g-app";
    ASSERT_TRUE(ProviderFromSide(side, p, error)) << error;
    EXPECT_EQ(p.redirectHost, "127.0.0.1");
    EXPECT_EQ(p.smtpServer, "smtps://smtp.gmail.com");
    Authorization a;
    ASSERT_TRUE(PrepareAuthorization(p, "http://127.0.0.1:4711/", "a@gmail.example", a));
    EXPECT_EQ(a.url.rfind("https://accounts.google.com/o/oauth2/v2/auth?client_id=g-app&response_type=code&"
                          "redirect_uri=http%3A%2F%2F127.0.0.1%3A4711%2F&scope=https%3A%2F%2Fmail.google.com%2F&state=" +
                              a.state + "&code_challenge=" + CodeChallengeS256(a.verifier) +
                              "&code_challenge_method=S256&login_hint=a%40gmail.example&access_type=offline&prompt=consent",
                          0),
              0u)
        << a.url;
    EXPECT_NE(a.state, a.verifier);
    EXPECT_EQ(UrlHost(a.url), "accounts.google.com");

    struct {
        const char* oauth;
        const char* tenant;
        const char* clientId;
        const char* tokenUrl;
        const char* error;
    } bad[] = {
        {"", "", "x", "", "no provider is chosen (korv.conf has no oauth key)"},
        {"yahoo", "", "x", "", "unknown provider 'yahoo' (microsoft, google or custom)"},
        {"microsoft", "../evil", "x", "", "oauth-tenant '../evil' is not a tenant name or ID"},
        {"custom", "", "x", "http://127.0.0.1/token", "the provider's address 'http://127.0.0.1/token' is not https"},
        {"custom", "", "x", "", "oauth = custom needs oauth-authorize-url and oauth-token-url"},
    };
    for (const auto& c : bad) {
        SideSettings s;
        s.oauth = c.oauth;
        s.oauthTenant = c.tenant;
        s.oauthClientId = c.clientId;
        s.oauthTokenUrl = c.tokenUrl;
        if (std::string(c.oauth) == "custom") s.oauthAuthorizeUrl = "https://127.0.0.1/auth";
        EXPECT_FALSE(ProviderFromSide(s, p, error)) << c.oauth;
        EXPECT_EQ(error, c.error);
    }
}

TEST(SigninProvider, SideFileKeysHangTogether) {
    struct {
        const char* text;
        const char* error;  // "" accepted
    } cases[] = {
        {"oauth = microsoft\noauth-account = a@b\noauth-tenant = consumers\noauth-store = file\n", ""},
        {"oauth = microsoft\noauth-account = a@b\ntoken-command = get-token\n",
         "oauth and token-command exclude each other (remove one of them)"},
        {"oauth = gmail\n", "line 1: oauth takes one of microsoft,google,custom, not 'gmail'"},
        {"oauth = google\noauth-account = a@b\noauth-store = disk\n",
         "line 3: oauth-store takes one of keyring,file, not 'disk'"},
        {"oauth-token-url = http://example.org/token\n", "line 1: oauth-token-url takes an https:// address"},
        {"oauth-account = a@b\n", "the oauth-* keys need oauth (microsoft, google or custom)"},
        {"oauth = google\n", "oauth needs oauth-account (the mail address)"},
        {"oauth = google\noauth-account = a@b\noauth-tenant = common\n", "oauth-tenant is for oauth = microsoft only"},
    };
    for (const auto& c : cases) {
        SideSettings s;
        std::string error;
        EXPECT_EQ(ParseSideText(c.text, s, error), *c.error == '\0') << c.text;
        EXPECT_EQ(error, c.error) << c.text;
    }
}

TEST(SigninReply, ErrorsBecomeSentencesWithTheProvidersCode) {
    struct {
        const char* error;
        const char* description;
        FailureKind kind;
        const char* ending;
    } cases[] = {
        {"invalid_grant", "AADSTS700082: The refresh token has expired due to inactivity.", FailureKind::SignInAgain,
         "sign in again with korvcfg or korvconf oauth signin (invalid_grant AADSTS700082)"},
        {"invalid_grant", "AADSTS50173: The provided grant has expired", FailureKind::SignInAgain,
         "(invalid_grant AADSTS50173)"},
        {"invalid_grant", "Token has been expired or revoked.", FailureKind::SignInAgain, "(invalid_grant)"},
        {"invalid_grant", "AADSTS65001: The user or administrator has not consented", FailureKind::Consent,
         "ask an administrator to grant consent, then sign in again (invalid_grant AADSTS65001)"},
        {"invalid_request", "AADSTS50011: The redirect URI does not match", FailureKind::RedirectMismatch,
         "then sign in again (invalid_request AADSTS50011)"},
        {"access_denied", "", FailureKind::Cancelled, "sign in again when you are ready (access_denied)"},
        {"authorization_declined", "", FailureKind::Cancelled, "(authorization_declined)"},
        {"expired_token", "", FailureKind::SignInAgain, "(expired_token)"},
        {"slow_down", "", FailureKind::SlowDown, "(slow_down)"},
        {"temporarily_unavailable", "", FailureKind::Network, "(temporarily_unavailable)"},
        {"weird\x01<b>", "", FailureKind::Refused, "sign in again (weirdb)"},
    };
    for (const auto& c : cases) {
        Failure f = FailureFromError(c.error, c.description);
        EXPECT_EQ(f.kind, c.kind) << c.error << " " << c.description;
        std::string ending = c.ending;
        EXPECT_EQ(f.sentence.substr(f.sentence.size() - std::min(ending.size(), f.sentence.size())), ending)
            << f.sentence;
        EXPECT_EQ(f.retryable(), c.kind == FailureKind::Network);
    }
    EXPECT_EQ(MakeFailure(FailureKind::NotSignedIn).sentence, "not signed in: run korvcfg or korvconf oauth signin");
}

TEST(SigninReply, TokenAnswersAreCheckedBeforeUse) {
    struct {
        bool delivered;
        long status;
        const char* body;
        FailureKind kind;  // None: accepted
        std::int64_t expiresAt;
    } cases[] = {
        {true, 200, R"({"access_token":"at1","refresh_token":"rt1","token_type":"Bearer","expires_in":3599})",
         FailureKind::None, 1000 + 3599},
        {true, 200, R"({"access_token":"at1","expires_in":"60"})", FailureKind::None, 1060},
        {true, 200, R"({"access_token":"at1"})", FailureKind::None, 1000 + 3600},
        {true, 200, R"({"access_token":"at1","token_type":"mac"})", FailureKind::Protocol, 0},
        {true, 200, R"({"access_token":"a t"})", FailureKind::Protocol, 0},
        {true, 200, R"({"access_token":"at","expires_in":-5})", FailureKind::Protocol, 0},
        {true, 200, R"({"token":"at"})", FailureKind::Protocol, 0},
        {true, 200, "<html>Sign in</html>", FailureKind::Protocol, 0},
        {true, 400, R"({"error":"invalid_grant","error_description":"AADSTS50173: gone"})", FailureKind::SignInAgain, 0},
        {true, 500, "oops", FailureKind::Network, 0},
        {true, 302, "", FailureKind::Protocol, 0},
        {false, 0, "", FailureKind::Network, 0},
    };
    for (const auto& c : cases) {
        HttpReply reply{c.delivered, c.status, c.body, "timed out"};
        TokenGrant grant;
        Failure failure;
        bool ok = ReadTokenReply(reply, 1000, grant, failure);
        EXPECT_EQ(ok, c.kind == FailureKind::None) << c.body;
        EXPECT_EQ(failure.kind, c.kind) << c.body;
        EXPECT_EQ(grant.expiresAt, c.expiresAt) << c.body;
        if (!ok) {
            EXPECT_EQ(grant.accessToken, "");
        }
    }
    std::string big(kTokenMaxBytes + 1, 'a');
    TokenGrant grant;
    Failure failure;
    EXPECT_FALSE(ReadTokenReply({true, 200, "{\"access_token\":\"" + big + "\"}", ""}, 0, grant, failure));
}

TEST(SigninFlows, PastedAddressesGiveTheCodeOnlyForTheirState) {
    struct {
        const char* pasted;
        bool ok;
        const char* ending;  // the code, or the failure's bracket
    } cases[] = {
        {"http://127.0.0.1:3456/?code=C-1&state=S\n", true, "C-1"},
        {"  http://localhost:3456/?state=S&code=C%2F2#frag", true, "C/2"},
        {"http://127.0.0.1:3456/?code=C-1&state=T", false, "(the pasted address belongs to another sign-in)"},
        {"http://127.0.0.1:3456/?code=C-1", false, "(the pasted address belongs to another sign-in)"},
        {"http://127.0.0.1:3456/?error=access_denied&state=S", false, "(access_denied)"},
        {"C-1", false, "(no address with a code was pasted)"},
    };
    for (const auto& c : cases) {
        std::string code;
        Failure failure;
        EXPECT_EQ(CodeFromPastedUrl(c.pasted, "S", code, failure), c.ok) << c.pasted;
        std::string got = c.ok ? code : failure.sentence;
        std::string ending = c.ending;
        EXPECT_EQ(got.substr(got.size() - std::min(got.size(), ending.size())), ending) << c.pasted;
    }
}

}  // namespace
}  // namespace quorvexia::signin
