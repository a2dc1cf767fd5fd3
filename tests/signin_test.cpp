// Sign-in: its plain parts (PKCE, pasted addresses, presets, token answers, the
// sentence for every failure); the flows against the fake authorization server
// over TLS with the real loopback listener; and korv using the tokens for
// XOAUTH2 against aiosmtpd and Dovecot, which accept only the current one.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>

#include "oauth/fake_auth.h"
#include "platform/process.h"
#include "pop3_dovecot.h"
#include "signin/loopback_listener.h"
#include "signin/oauth_crypto.h"
#include "signin/oauth_flows.h"
#include "signin/token_keeper.h"
#include "smtp_test_support.h"
#include "support/smtp_server.h"

namespace quorvexia::test {
namespace {

using namespace signin;

// What a plain part gives: its value, or the sentence of its failure.
std::string Pasted(const char* url) {
    std::string code;
    Failure f;
    return CodeFromPastedUrl(url, "S", code, f) ? code : f.sentence;
}
std::string Token(long status, const std::string& body) {
    TokenGrant g;
    Failure f;
    return ReadTokenReply({status != 0, status, body, "timed out"}, 1000, g, f) ? std::to_string(g.expiresAt)
                                                                                 : f.sentence;
}
std::string Preset(const char* oauth, const char* tenant, const char* tokenUrl = "") {
    SideSettings s;
    s.oauth = oauth, s.oauthTenant = tenant, s.oauthClientId = "app", s.oauthTokenUrl = tokenUrl;
    if (s.oauth == "custom") s.oauthAuthorizeUrl = "https://127.0.0.1/auth";
    Provider p;
    std::string error;
    return ProviderFromSide(s, p, error) ? p.tokenUrl + " " + p.deviceUrl : error;
}
std::string Error(const char* error, const char* description = "") {
    return FailureFromError(error, description).sentence;
}

TEST(SigninPlain, ValuesAndTheEndsOfTheirSentences) {
    const std::string bad = "(no address with a code was pasted)", unusable = "(no usable access_token)";
    std::pair<std::string, std::string> rows[] = {
        {CodeChallengeS256("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"), "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM"},
        {Base64Url("\xfb\xff\xfe"), "-__-"},
        {Pasted("http://127.0.0.1:3456/?code=C-1&state=S\n"), "C-1"},
        {Pasted("  http://localhost:3456/?&&state=S&code=C%2F2+x#frag"), "C/2 x"},
        {Pasted("http://127.0.0.1:3456/?code=C-1&state=T"), "(the pasted address belongs to another sign-in)"},
        {Pasted("http://127.0.0.1:3456/?code=C-1"), "(the pasted address belongs to another sign-in)"},
        {Pasted("http://127.0.0.1:3456/?error=access_denied&state=S"), "when you are ready (access_denied)"},
        {Pasted("C-1"), bad}, {Pasted("http://h/?state=S&code=%4"), bad}, {Pasted("http://h/?state=S&code=%zz"), bad},
        {Error("invalid_grant", "AADSTS700082: The refresh token has expired due to inactivity."),
         "the sign-in has expired or was revoked: sign in again with korvcfg or korvconf oauth signin "
         "(invalid_grant AADSTS700082)"},
        {Error("invalid_grant", "Token has been expired or revoked."), "korvconf oauth signin (invalid_grant)"},
        {Error("invalid_grant", "AADSTS65001: no consent"), "grant consent, then sign in again (invalid_grant AADSTS65001)"},
        {Error("invalid_request", "AADSTS50011: redirect"), "URI, then sign in again (invalid_request AADSTS50011)"},
        {Error("authorization_declined"), "sign in again when you are ready (authorization_declined)"},
        {Error("expired_token"), "korvconf oauth signin (expired_token)"},
        {Error("slow_down"), "asked less often: keep waiting (slow_down)"},
        {Error("temporarily_unavailable"), "check the network and try again (temporarily_unavailable)"},
        {Error("weird\x01<b>"), "check the app registration and sign in again (weirdb)"},
        {MakeFailure(FailureKind::NotSignedIn).sentence, "not signed in: run korvcfg or korvconf oauth signin"},
        {Token(200, R"({"access_token":"at1","refresh_token":"rt1","token_type":"Bearer","expires_in":3599})"), "4599"},
        {Token(200, R"({"access_token":"at1","expires_in":"60"})"), "1060"},
        {Token(200, R"({"access_token":"at1"})"), "4600"},
        {Token(200, R"({"access_token":"at1","token_type":"mac"})"), unusable},
        {Token(200, R"({"access_token":"a t"})"), unusable}, {Token(200, R"({"token":"at"})"), unusable},
        {Token(200, R"({"access_token":"at","expires_in":-5})"), unusable},
        {Token(200, "{\"access_token\":\"" + std::string(kTokenMaxBytes + 1, 'a') + "\"}"), unusable},
        {Token(200, "<html>Sign in</html>"), "check the provider's addresses in korv.conf (HTTP 200, not JSON)"},
        {Token(400, R"({"error":"invalid_grant","error_description":"AADSTS50173: gone"})"), "(invalid_grant AADSTS50173)"},
        {Token(500, "oops"), "check the network and try again (HTTP 500)"}, {Token(302, ""), "(HTTP 302, not JSON)"},
        {Token(0, ""), "check the network and try again (timed out)"},
        {Preset("microsoft", "organizations"), "https://login.microsoftonline.com/organizations/oauth2/v2.0/token "
                                               "https://login.microsoftonline.com/organizations/oauth2/v2.0/devicecode"},
        {Preset("", ""), "no provider is chosen (korv.conf has no oauth key)"},
        {Preset("yahoo", ""), "unknown provider 'yahoo' (microsoft, google or custom)"},
        {Preset("microsoft", "../evil"), "oauth-tenant '../evil' is not a tenant name or ID"},
        {Preset("custom", "", "http://127.0.0.1/token"), "the provider's address 'http://127.0.0.1/token' is not https"},
        {Preset("custom", ""), "oauth = custom needs oauth-authorize-url and oauth-token-url"}};
    for (const auto& [got, want] : rows) EXPECT_TRUE(got.ends_with(want)) << got << "\ndoes not end in\n" << want;
}

// Google's preset, a client ID of the user's own (without the built-in secret),
// and the address the browser is sent to.
TEST(SigninPlain, AuthorizationAddress) {
    SideSettings side;
    side.oauth = "google", side.oauthClientId = "g-app";
    Provider p;
    std::string error;
    ASSERT_TRUE(ProviderFromSide(side, p, error)) << error;
    Authorization a;
    ASSERT_TRUE(PrepareAuthorization(p, "http://127.0.0.1:4711/", "a@gmail.example", a));
    EXPECT_EQ(p.clientSecret + p.smtpServer + " " + a.url,
              "smtps://smtp.gmail.com https://accounts.google.com/o/oauth2/v2/auth?client_id=g-app&response_type=code"
              "&redirect_uri=http%3A%2F%2F127.0.0.1%3A4711%2F&scope=https%3A%2F%2Fmail.google.com%2F&state=" + a.state +
                  "&code_challenge=" + CodeChallengeS256(a.verifier) +
                  "&code_challenge_method=S256&login_hint=a%40gmail.example&access_type=offline&prompt=consent");
    EXPECT_NE(RandomUrlSafe(), a.state);
    EXPECT_EQ(a.state.size() + a.verifier.size(), 86u);
}

// One sign-in through the loopback listener, then korv's way with the grant:
// the stored token while it has time left, a refresh near its end or when it
// is refused, and the sentences when that cannot be done.
TEST(SigninServer, SignInThenRefreshWhenNeeded) {
    FakeAuthServer server;
    ASSERT_TRUE(server.ready());
    TempDir dir, empty;
    SignInForTest(server, server.side(), dir.path());
    struct stat st {};
    EXPECT_EQ(stat((dir / kTokenFileName).c_str(), &st) == 0 ? st.st_mode & 0777 : 0, 0600u);
    HttpOptions quick = server.http();
    quick.totalSeconds = 2;
    auto fresh = [&](std::int64_t inFromNow, const std::string& rejected = "", const std::string& in = "") {
        std::string token;
        Failure f;
        bool ok = FreshAccessToken(server.side(), in.empty() ? dir.path() : in, quick, rejected, token, f,
                                   UnixNow() + inFromNow, nullptr, std::chrono::milliseconds(300));
        return ok ? token : f.sentence;
    };
    std::string signedIn = server.currentAccess();
    EXPECT_EQ(fresh(0), signedIn);
    EXPECT_EQ(server.refreshes(), 0);
    server.mode("rotate");
    std::string nearItsEnd = fresh(3600 - 240), refused = fresh(0, nearItsEnd);  // this one with the rotated token
    EXPECT_EQ(server.refreshes(), 2);
    EXPECT_NE(nearItsEnd, signedIn);
    EXPECT_EQ(refused, server.currentAccess());
    for (const char* mode : {"stall", "huge"}) {
        server.mode(mode);
        EXPECT_NE(fresh(0, refused).find(*mode == 's' ? "(https://127.0.0.1:" : "is larger than 64 KiB)"), std::string::npos);
    }
    EXPECT_EQ(fresh(0, "", empty.path()), "not signed in: run korvcfg or korvconf oauth signin");
    RefreshLock stuck(dir.path());
    EXPECT_EQ(fresh(0, refused), "another korv run has been refreshing the sign-in for over a minute: end that run "
                                 "(or wait for it) and try again");
    EXPECT_EQ(PostForm("http://127.0.0.1:1/token", {}, quick).error, "the address http://127.0.0.1:1/token is not https");
}

// korv with the grant stored beside korv.cfg (`stored`: the access token put in
// its place, "" the one signed in with, null not signed in).
struct Korv {
    FakeAuthServer auth;
    KorvSandbox box;
    TempDir received;  // what the mail server saw
    SideSettings side = auth.side("file");

    Korv(const char* stored, int expiresIn) {
        EXPECT_TRUE(auth.ready());
        auth.pki().trust();
        side.oauthAccount = "ann";  // the user the mail servers know
        box.config.domainName.assign("client.example");
        box.config.pop3User.assign("someone-else");
        QueueMessage(box, "00000001", "example.org\nann@client.example\nbob@example.org\n\n", "Subject: t\n\nHi.\n");
        std::string error;
        EXPECT_TRUE(WriteSideFile(box.path("korv.conf"), side, error)) << error;
        EXPECT_EQ(symlink(auth.accessFile().c_str(), (received / "token").c_str()), 0);
        if (!stored) return;
        SignInForTest(auth, side, box.dir());
        auto store = OpenTokenStore("file", {"custom", "ann", "korv-test-client"}, box.dir());
        StoredGrant grant;
        bool found = false;
        Failure failure;
        EXPECT_TRUE(store->load(grant, found, failure) && found) << failure.sentence;
        if (*stored) grant.accessToken = stored;
        grant.expiresAt = UnixNow() + expiresIn;
        EXPECT_TRUE(store->save(grant, failure));
    }
    // The run's console, log and files hold no token.
    void expectNoToken(const ProgramResult& r, const std::string& signedIn) {
        std::string all = r.out + box.log() + ReadFile(box.path("korv.conf")) + ReadFile(box.path("korv.cfg"));
        for (const std::string& token : {signedIn, auth.currentAccess(), auth.currentRefresh()})
            EXPECT_TRUE(token.empty() || all.find(token) == std::string::npos) << "a token shows";
    }
};

TEST(KorvOauth, SmtpRefreshesOnceRetriesOnceAndStopsOnGrantErrors) {
    struct {
        const char* name;
        const char* stored;
        int expiresIn;
        const char* mode;
        int refreshes;
        const char* verdicts;  // of the XOAUTH2 attempts, as the server saw them
        const char* logLine;   // a failed run's last line; retried when the server cannot be reached
    } rows[] = {
        {"fresh token used as it is", "", 3000, "ok", 0, "ok ", ""},
        {"near its end: refreshed before connecting", "", 200, "ok", 1, "ok ", ""},
        {"revoked early: one refresh, one retry", "AT-revoked-early-0123456789", 3000, "ok", 1, "refused ok ", ""},
        {"revoked grant", "", 60, "invalid_grant", 0, "", "the sign-in has expired or was revoked: sign in again "
                                                      "with korvcfg or korvconf oauth signin (invalid_grant AADSTS700082)"},
        {"not signed in", nullptr, 0, "ok", 0, "", "not signed in: run korvcfg or korvconf oauth signin"},
        {"server error", "", 60, "500", 0, "",
         "the sign-in server cannot be reached: check the network and try again (HTTP 500)"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Korv k(row.stored, row.expiresIn);
        std::string signedIn = k.auth.currentAccess();
        k.auth.mode(row.mode);
        SmtpServerProcess server("starttls", k.auth.pki().cert("good"), k.auth.pki().key("good"), k.received.path(), 60);
        ASSERT_TRUE(server.ready());
        k.box.config.smtpServer.assign("smtp+starttls://localhost:" + std::to_string(server.port()));
        ProgramResult r = k.box.run({"/send", "/debug", "/tries:2"}, "", 120);
        EXPECT_EQ(r.status, *row.logLine ? 1 : 0) << r.out;
        EXPECT_EQ(k.auth.refreshes(), row.refreshes);
        std::string verdicts, auth = FileExists(k.received / "auth") ? ReadFile(k.received / "auth") : "";
        std::istringstream notes(auth);
        for (std::string mechanism, user, verdict, size; notes >> mechanism >> user >> verdict >> size;) verdicts += verdict + " ";
        EXPECT_EQ(verdicts, row.verdicts) << auth;
        EXPECT_EQ(FileExists(k.received / "1.data"), !*row.logLine);
        EXPECT_NE(k.box.log().find(row.logLine), std::string::npos) << k.box.log();
        EXPECT_EQ(r.out.find("Retrying...") != std::string::npos, row.mode == std::string("500")) << r.out;
        k.expectNoToken(r, signedIn);
    }
}

// The POP3 side against Dovecot, which asks the fake server whether the token
// korv sends is the current one: a refused one is refreshed once and retried.
TEST(KorvOauth, Pop3RefusedTokenAgainstDovecot) {
    if (!DovecotServer::Installed()) GTEST_SKIP() << "dovecot is not installed";
    Korv k("AT-revoked-early-0123456789", 3000);
    DovecotTls tls{k.auth.pki().cert("good"), k.auth.pki().key("good")};
    DovecotOauth oauth{k.auth.url("/introspect"), k.auth.pki().caFile()};
    DovecotServer dovecot(&tls, &oauth);
    dovecot.addMessage("1700000001.M1P1.quorvexia", "Subject: one\n\nfirst\n");
    ASSERT_TRUE(dovecot.start());
    k.box.config.pop3Server.assign("pop3s://" + dovecot.pop3sAddress());
    ProgramResult r = k.box.run({"/receive", "/debug"}, "", 120);
    EXPECT_EQ(r.status, 0) << r.out << k.box.log() << dovecot.log();
    EXPECT_EQ(dovecot.messagesLeft(), 0);
    EXPECT_NE(dovecot.log().find("Login: user=<ann>, method=XOAUTH2"), std::string::npos) << dovecot.log();
    EXPECT_EQ(k.auth.refreshes(), 1);
    EXPECT_EQ(k.auth.introspections(), "inactive\nactive\n");
    k.expectNoToken(r, "");
}

}  // namespace
}  // namespace quorvexia::test
