// Sign-in: its plain parts; the stored grant, the device flow and the loopback
// listener with the fake authorization server; and korv signed in through it,
// using the token for XOAUTH2 with aiosmtpd and Dovecot, which take only the current one.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <thread>

#include "config/side_file.h"
#include "oauth/fake_auth.h"
#include "platform/process.h"
#include "pop3_dovecot.h"
#include "signin/loopback_listener.h"
#include "signin/oauth_crypto.h"
#include "signin/oauth_flows.h"
#include "signin/token_keeper.h"
#include "signin/token_store.h"
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
    bool ok = ReadTokenReply({status != 0, status, body, "timed out"}, 1000, g, f);
    return ok ? std::to_string(g.expiresAt) : f.sentence;
}
std::string Preset(const char* oauth, const char* tenant, const char* tokenUrl = "") {
    SideSettings s;
    s.oauth = oauth, s.oauthTenant = tenant, s.oauthClientId = "app", s.oauthTokenUrl = tokenUrl;
    s.oauthAuthorizeUrl = s.oauth == "custom" ? "https://127.0.0.1/auth" : "";
    Provider p;
    std::string error;
    return ProviderFromSide(s, p, error) ? p.tokenUrl + " " + p.deviceUrl : error;
}
std::string Side(const char* text) {
    SideSettings s;
    std::string error;
    return ParseSideText(text, s, error) ? "accepted" + error : error;
}
std::string Error(const char* error, const char* text = "") { return FailureFromError(error, text).sentence; }

TEST(SigninPlain, ValuesAndTheEndsOfTheirSentences) {
    const std::string noCode = "(no address with a code was pasted)", unusable = "(no usable access_token)";
    const std::string other = "(the pasted address belongs to another sign-in)", big(kTokenMaxBytes + 1, 'a');
    const std::string ms = "https://login.microsoftonline.com/organizations/oauth2/v2.0/";
    std::pair<std::string, std::string> rows[] = {
        {CodeChallengeS256("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"),
         "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM"},
        {Base64Url("\xfb\xff\xfe"), "-__-"}, {Pasted("http://127.0.0.1:3456/?code=C-1&state=S\n"), "C-1"},
        {Pasted("  http://localhost:3456/?&&state=S&code=C%2F2+x#frag"), "C/2 x"},
        {Pasted("http://h/?code=C-1"), other}, {Pasted("http://h/?code=C-1&state=T"), other},
        {Pasted("http://h/?error=access_denied&state=S"), "(access_denied)"}, {Pasted("C-1"), noCode},
        {Pasted("http://h/?state=S&code=%4"), noCode}, {Pasted("http://h/?code=%zz"), noCode},
        {Error("invalid_grant", "AADSTS700082: The refresh token has expired due to inactivity."),
         "the sign-in has expired or was revoked: sign in again with korvcfg or korvconf oauth signin "
         "(invalid_grant AADSTS700082)"},
        {Error("invalid_grant", "Token has been expired or revoked."), "korvconf oauth signin (invalid_grant)"},
        {Error("invalid_grant", "AADSTS65001: no"), "grant consent, then sign in again (invalid_grant AADSTS65001)"},
        {Error("invalid_request", "AADSTS50011: redirect"), "URI, then sign in again (invalid_request AADSTS50011)"},
        {Error("authorization_declined"), "sign in again when you are ready (authorization_declined)"},
        {Error("expired_token"), "korvconf oauth signin (expired_token)"},
        {Error("slow_down"), "asked less often: keep waiting (slow_down)"},
        {Error("temporarily_unavailable"), "check the network and try again (temporarily_unavailable)"},
        {Error("weird\x01<b>"), "check the app registration and sign in again (weirdb)"},
        {Token(200, R"({"access_token":"at1","refresh_token":"rt1","token_type":"Bearer","expires_in":3599})"), "4599"},
        {Token(200, R"({"access_token":"at1","expires_in":"60"})"), "1060"},
        {Token(200, R"({"access_token":"at1"})"), "4600"}, {Token(200, R"({"token":"at"})"), unusable},
        {Token(200, R"({"access_token":"at1","token_type":"mac"})"), unusable},
        {Token(200, R"({"access_token":"a t"})"), unusable},
        {Token(200, R"({"access_token":"at","expires_in":-5})"), unusable},
        {Token(200, "{\"access_token\":\"" + big + "\"}"), unusable},
        {Token(200, "<html>Sign in</html>"), "check the provider's addresses in korv.conf (HTTP 200, not JSON)"},
        {Token(400, R"({"error":"invalid_grant","error_description":"AADSTS50173"})"), "(invalid_grant AADSTS50173)"},
        {Token(500, "oops"), "check the network and try again (HTTP 500)"}, {Token(302, ""), "(HTTP 302, not JSON)"},
        {Token(0, ""), "(timed out)"}, {Preset("microsoft", "organizations"), ms + "token " + ms + "devicecode"},
        {Preset("", ""), "no provider is chosen (korv.conf has no oauth key)"},
        {Preset("yahoo", ""), "unknown provider 'yahoo' (microsoft, google or custom)"},
        {Preset("microsoft", "../evil"), "oauth-tenant '../evil' is not a tenant name or ID"},
        {Preset("custom", "", "http://h/token"), "the provider's address 'http://h/token' is not https"},
        {Preset("custom", ""), "oauth = custom needs oauth-authorize-url and oauth-token-url"},
        {Side("oauth = microsoft\noauth-account = a@b\noauth-tenant = consumers\noauth-store = file\n"), "accepted"},
        {Side("oauth = microsoft\noauth-account = a@b\ntoken-command = t\n"),
         "oauth and token-command exclude each other (remove one of them)"},
        {Side("oauth = gmail\n"), "line 1: oauth takes one of microsoft,google,custom, not 'gmail'"},
        {Side("oauth = google\noauth-account = a@b\noauth-store = disk\n"),
         "line 3: oauth-store takes one of keyring,file, not 'disk'"},
        {Side("oauth-token-url = http://h/token\n"), "line 1: oauth-token-url takes an https:// address"},
        {Side("oauth-account = a@b\n"), "the oauth-* keys need oauth (microsoft, google or custom)"},
        {Side("oauth = google\n"), "oauth needs oauth-account (the mail address)"},
        {Side("oauth = google\noauth-account = a@b\noauth-tenant = common\n"),
         "oauth-tenant is for oauth = microsoft only"}};
    for (const auto& [got, want] : rows) EXPECT_TRUE(got.ends_with(want)) << got << "\ndoes not end in\n" << want;
    // Google's preset with a client ID of the user's own, without the built-in secret.
    SideSettings side;
    side.oauth = "google", side.oauthClientId = "g-app";
    Provider p;
    Authorization a;
    std::string error;
    ASSERT_TRUE(ProviderFromSide(side, p, error) && PrepareAuthorization(p, "http://127.0.0.1:47/", "a@b.example", a));
    EXPECT_EQ(p.clientSecret + a.url, "https://accounts.google.com/o/oauth2/v2/auth?client_id=g-app&response_type=code"
              "&redirect_uri=http%3A%2F%2F127.0.0.1%3A47%2F&scope=https%3A%2F%2Fmail.google.com%2F&state=" + a.state +
              "&code_challenge=" + CodeChallengeS256(a.verifier) +
              "&code_challenge_method=S256&login_hint=a%40b.example&access_type=offline&prompt=consent");
    EXPECT_EQ(a.state.size() + (a.state == a.verifier) + (a.state == RandomUrlSafe()), 43u);
}

// What korv is given from a stored grant: one refresh for two runs at once, nothing
// from a file others can read, one reached by a link or another account's, and
// no waiting past the lock's limit; then a device sign-in at the asked pace.
TEST(SigninServer, GrantFileRefreshLockAndDeviceFlow) {
    FakeAuthServer server;
    TempDir dir;
    SignInForTest(server, server.side(), dir.path());
    server.mode("rotate");
    std::string tokens[2], path = dir / kTokenFileName;
    std::int64_t late = UnixNow() + 3540;
    auto fresh = [&](std::string& token, const std::string& account = "ann@example.com", int waitMs = 5000) {
        SideSettings side = server.side();
        side.oauthAccount = account;
        Failure f;
        bool ok = FreshAccessToken(side, dir.path(), server.http(), "", token, f, late, nullptr,
                                   std::chrono::milliseconds(waitMs));
        return ok ? token : f.sentence;
    };
    std::thread first([&] { fresh(tokens[0]); });
    fresh(tokens[1]);
    first.join();
    EXPECT_EQ(tokens[0] + " " + std::to_string(server.refreshes()), tokens[1] + " 1");
    chmod(path.c_str(), 0604);
    EXPECT_NE(fresh(tokens[0]).find("readable by others (it must have mode 0600)"), std::string::npos) << tokens[0];
    chmod(path.c_str(), 0600);
    EXPECT_EQ(fresh(tokens[0], "bob@example.com"), "the stored sign-in cannot be used: sign in again with korvcfg or "
              "korvconf oauth signin (korv.token refused: not a sign-in of this account)");
    std::filesystem::rename(path, dir / "elsewhere");
    std::filesystem::create_symlink(dir / "elsewhere", path);
    EXPECT_NE(fresh(tokens[0]).find("Too many levels of symbolic links"), std::string::npos) << tokens[0];
    RefreshLock stuck(dir.path());
    EXPECT_EQ(fresh(tokens[0], "ann@example.com", 300), "another korv run has been refreshing the sign-in for over a "
              "minute: end that run (or wait for it) and try again");
    Provider p;
    std::string error;
    ASSERT_TRUE(ProviderFromSide(server.side(), p, error)) << error;
    struct { const char* mode; int limit; std::string want; } polls[] = {{"device", 1020, "1 1 6 AT-"},
        {"expired", 1020, "1 the sign-in has expired or was revoked: sign in again with korvcfg or korvconf oauth "
                          "signin (expired_token)"},
        {"device", 1001, "1 sign-in was cancelled: sign in again when you are ready (cancelled)"}};
    for (const auto& [mode, limit, want] : polls) {  // the user gives up after `limit`
        server.mode(mode);
        std::int64_t clock = 1000;
        std::string slept;
        DeviceClock fake{[&](int s) { return slept += std::to_string(s) + " ", clock += s, clock < limit; },
                         [&] { return clock; }};
        DeviceCode device;
        TokenGrant grant;
        Failure f;
        bool ok = StartDeviceFlow(p, server.http(), clock, device, f) &&
                  PollDeviceFlow(p, "", device, server.http(), fake, grant, f);
        EXPECT_TRUE((slept + (ok ? grant.accessToken : f.sentence)).starts_with(want)) << slept << f.sentence;
    }
}

// A callback with another state is answered and passed over, the awaited one is
// taken, and after it nothing listens any more.
TEST(SigninServer, ListenerTakesOnlyItsOwnCallbackOnce) {
    LoopbackListener listener;
    std::string error, code, stranger;
    ASSERT_TRUE(listener.open("127.0.0.1", error)) << error;
    auto browse = [&](const std::string& query) {
        auto r = platform::RunProcess({"curl", "-s", "--max-time", "10", listener.redirectUri() + query},
                                      {true, true, 0, 20});
        return std::to_string(r.status) + " " + r.out;
    };
    std::thread browser([&] { stranger = browse("?code=EVIL&state=wrong"), browse("?code=C-1&state=S"); });
    Failure f;
    EXPECT_TRUE(listener.wait("S", code, f, std::chrono::milliseconds(15000))) << f.sentence;
    browser.join();
    EXPECT_EQ(code, "C-1");
    EXPECT_NE(stranger.find("not the answer korv is waiting for"), std::string::npos) << stranger;
    EXPECT_EQ(browse("?code=LATE&state=S").substr(0, 2), "7 ");  // curl: could not connect
}

// "localhost" is listened on at both loopback addresses and nowhere else, as the kernel tells.
TEST(SigninServer, LocalhostListensOnTheLoopbackAddressesOnly) {
    if (ReadFile("/proc/net/if_inet6").find("00000000000000000000000000000001") == std::string::npos)
        GTEST_SKIP() << "no IPv6 loopback here";
    LoopbackListener listener;
    std::string error, local, state, receiveQ, sendQ, address, peer;
    ASSERT_TRUE(listener.open("localhost", error)) << error;
    std::string port = ":" + std::to_string(listener.port());
    EXPECT_EQ(listener.redirectUri(), "http://localhost" + port + "/");
    std::istringstream lines(platform::RunProcess({"ss", "-Hltn", "sport = " + port}, {true, true, 0, 10}).out);
    while (lines >> state >> receiveQ >> sendQ >> address >> peer) local += address + " ";
    EXPECT_EQ(local, "127.0.0.1" + port + " [::1]" + port + " ");
}

// korv signed in through the loopback listener (`how`: "" not, "ok" as it is,
// "short" with a token near its end, "superseded" with one the server no longer
// takes, made by refreshing a copy of the grant), with one message queued.
struct Korv {
    FakeAuthServer auth;
    KorvSandbox box;
    TempDir received, copy;  // received: the mail server's notes
    explicit Korv(const std::string& how) {
        auth.pki().trust();
        SideSettings side = auth.side("file");
        side.oauthAccount = "ann";  // the user the mail servers know
        box.config.domainName.assign("client.example");
        box.config.pop3User.assign("someone-else");
        QueueMessage(box, "00000001", "example.org\nann@client.example\nbob@example.org\n\n", "Subject: t\n\nHi.\n");
        std::string error;
        EXPECT_TRUE(auth.ready() && WriteSideFile(box.path("korv.conf"), side, error)) << error;
        EXPECT_EQ(symlink(auth.accessFile().c_str(), (received / "token").c_str()), 0);
        if (how.empty()) return;
        auth.mode(how == "short" ? "short" : "ok");
        SignInForTest(auth, side, box.dir());
        struct stat st {};
        EXPECT_EQ(stat(box.path(kTokenFileName).c_str(), &st) == 0 ? st.st_mode & 0777 : 0, 0600u);
        if (how != "superseded") return;
        std::filesystem::copy_file(box.path(kTokenFileName), copy / kTokenFileName);
        std::string token;
        Failure f;
        EXPECT_TRUE(FreshAccessToken(side, copy.path(), auth.http(), "", token, f, UnixNow() + 3600)) << f.sentence;
    }
    std::string seen(const ProgramResult& r) {  // all korv shows and keeps, where no token may stand
        std::string all = r.out + box.log() + ReadFile(box.path("korv.conf")) + ReadFile(box.path("korv.cfg"));
        for (const std::string& t : {auth.currentAccess(), auth.currentRefresh()})
            EXPECT_EQ(t.empty() ? std::string::npos : all.find(t), std::string::npos) << "a token shows";
        return all;
    }
};

TEST(KorvOauth, SmtpRefreshesOnceRetriesOnceAndStopsOnGrantErrors) {
    struct {
        const char *how, *mode;
        int refreshes;         // as the authorization server counts them, the superseding one included
        const char* verdicts;  // on the XOAUTH2 attempts, as the mail server saw them
        const char* logLine;   // a failed run's; retried when the server cannot be reached
    } rows[] = {{"ok", "ok", 0, "ok ", ""}, {"short", "rotate", 1, "ok ", ""},
        {"superseded", "ok", 2, "refused ok ", ""},
        {"short", "invalid_grant", 0, "", "the sign-in has expired or was revoked: sign in again with korvcfg or "
                                          "korvconf oauth signin (invalid_grant AADSTS700082)"},
        {"", "ok", 0, "", "not signed in: run korvcfg or korvconf oauth signin"},
        {"short", "huge", 0, "", "the sign-in server cannot be reached: check the network and try again (the answer of "
                                 "https://127.0.0.1:"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.how) + " " + row.mode);
        Korv k(row.how);
        k.auth.mode(row.mode);
        const TestPki& pki = k.auth.pki();
        SmtpServerProcess server("starttls", pki.cert("good"), pki.key("good"), k.received.path(), 60);
        ASSERT_TRUE(server.ready());
        k.box.config.smtpServer.assign("smtp+starttls://localhost:" + std::to_string(server.port()));
        ProgramResult r = k.box.run({"/send", "/debug", "/tries:2"}, "", 120);
        EXPECT_EQ(r.status, *row.logLine ? 1 : 0) << r.out;
        EXPECT_EQ(k.auth.refreshes(), row.refreshes);
        std::string verdicts, auth = FileExists(k.received / "auth") ? ReadFile(k.received / "auth") : "";
        std::istringstream notes(auth);
        for (std::string mechanism, user, verdict, size; notes >> mechanism >> user >> verdict >> size;)
            verdicts += verdict + " ";
        EXPECT_EQ(verdicts, row.verdicts) << auth;
        std::string stored = FileExists(k.box.path(kTokenFileName)) ? ReadFile(k.box.path(kTokenFileName)) : "";
        bool kept = stored.find(k.auth.currentAccess()) != std::string::npos &&
                    stored.find(k.auth.currentRefresh()) != std::string::npos;
        EXPECT_EQ(FileExists(k.received / "1.data") && kept, !*row.logLine) << "the mail went with the tokens stored";
        EXPECT_NE(k.seen(r).find(row.logLine), std::string::npos) << k.box.log();
        EXPECT_EQ(r.out.find("Retrying...") != std::string::npos, row.mode == std::string("huge")) << r.out;
    }
}

// The POP3 side against Dovecot, which asks the fake server whether the token is current.
TEST(KorvOauth, Pop3SupersededTokenAgainstDovecot) {
    if (!DovecotServer::Installed()) GTEST_SKIP() << "dovecot is not installed";
    Korv k("superseded");
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
    EXPECT_EQ(k.auth.refreshes(), 2);
    EXPECT_EQ(k.auth.introspections(), "inactive\nactive\n");
    k.seen(r);
}

}  // namespace
}  // namespace quorvexia::test
