// korv with a built-in sign-in against aiosmtpd (XOAUTH2 accepting only the
// fake authorization server's current access token): refresh before a
// connection when the token is near its end, one refresh and one retry when
// a stored token is refused, grant errors never retried, network errors
// following /tries, and no token anywhere in the console, echo or log.
#include <gtest/gtest.h>
#include <unistd.h>

#include "oauth/fake_auth.h"
#include "pop3_dovecot.h"
#include "signin/oauth_flows.h"
#include "signin/token_store.h"
#include "smtp_test_support.h"
#include "support/smtp_server.h"

namespace quorvexia::test {
namespace {

struct KorvOauth {
    FakeAuthServer auth;
    KorvSandbox box;
    TempDir received;
    SideSettings side;

    KorvOauth() {
        EXPECT_TRUE(auth.ready());
        auth.pki().trust();
        side = auth.side("file");
        side.oauthAccount = "ann";  // the user aiosmtpd knows
        box.config.domainName.assign("client.example");
        box.config.pop3User.assign("someone-else");
        QueueMessage(box, "00000001", "example.org\nann@client.example\nbob@example.org\n\n", "Subject: t\n\nHi.\n");
        std::string error;
        EXPECT_TRUE(WriteSideFile(box.path("korv.conf"), side, error)) << error;
        EXPECT_EQ(symlink(auth.accessFile().c_str(), (received / "token").c_str()), 0);
    }
    void signIn() { SignInForTest(auth, side, box.dir()); }
    // The stored grant with another access token and lifetime.
    void storeAccess(const std::string& token, std::int64_t expiresIn) {
        signin::StoreKey key{"custom", "ann", "korv-test-client"};
        auto store = signin::OpenTokenStore("file", key, box.dir());
        signin::StoredGrant grant;
        bool found = false;
        signin::Failure failure;
        ASSERT_TRUE(store->load(grant, found, failure) && found) << failure.sentence;
        grant.accessToken = token;
        grant.expiresAt = signin::UnixNow() + expiresIn;
        ASSERT_TRUE(store->save(grant, failure));
    }
    std::string serverFile(const char* name) const {
        return FileExists(received / name) ? ReadFile(received / name) : "";
    }
};

// How many lines of the server's AUTH notes say `what`.
int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TEST(KorvOauth, RefreshesAndRetriesOnceAndKeepsTokensOutOfSight) {
    struct {
        const char* name;
        const char* stored;    // the access token in the store ("" the one signed in with)
        int expiresIn;         // its remaining life
        int refreshes;
        int refused, accepted; // XOAUTH2 attempts as the server saw them
    } cases[] = {
        {"fresh token used as it is", "", 3000, 0, 0, 1},
        {"near its end: refreshed before connecting", "", 200, 1, 0, 1},
        {"revoked early: one refresh, one retry", "AT-revoked-early-0123456789", 3000, 1, 1, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        KorvOauth k;
        k.signIn();
        std::string signedIn = k.auth.currentAccess();
        k.storeAccess(*c.stored ? c.stored : signedIn, c.expiresIn);
        SmtpServerProcess server("starttls", k.auth.pki().cert("good"), k.auth.pki().key("good"),
                                 k.received.path(), 60);
        ASSERT_TRUE(server.ready());
        k.box.config.smtpServer.assign("smtp+starttls://localhost:" + std::to_string(server.port()));
        ProgramResult r = k.box.run({"/send", "/debug"}, "", 120);
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(k.auth.refreshes(), c.refreshes);
        std::string auth = k.serverFile("auth");
        EXPECT_EQ(Count(auth, "XOAUTH2 ann refused"), c.refused) << auth;
        EXPECT_EQ(Count(auth, "XOAUTH2 ann ok"), c.accepted) << auth;
        EXPECT_TRUE(FileExists(k.received / "1.data"));
        std::string everything = r.out + k.box.log() + ReadFile(k.box.path("korv.conf")) +
                                 ReadFile(k.box.path("korv.cfg"));
        for (const std::string& secret : {signedIn, k.auth.currentAccess(), k.auth.currentRefresh()})
            EXPECT_EQ(everything.find(secret), std::string::npos) << "a token shows in the console, log or files";
    }
}

// The POP3 side against Dovecot, which asks the fake server whether the
// token korv sends is the current one.
TEST(KorvOauth, Pop3Xoauth2AgainstDovecotIntrospecting) {
    if (!DovecotServer::Installed()) GTEST_SKIP() << "dovecot is not installed";
    struct {
        const char* name;
        const char* stored;
        int refreshes;
        const char* introspections;
    } cases[] = {
        {"stored token used as it is", "", 0, "active\n"},
        {"refused token: one refresh, one retry", "AT-revoked-early-0123456789", 1, "inactive\nactive\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        KorvOauth k;
        k.signIn();
        k.storeAccess(*c.stored ? c.stored : k.auth.currentAccess(), 3000);
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
        EXPECT_EQ(k.auth.refreshes(), c.refreshes);
        EXPECT_EQ(k.auth.introspections(), c.introspections);
        for (const std::string& secret : {k.auth.currentAccess(), k.auth.currentRefresh()})
            EXPECT_EQ((r.out + k.box.log()).find(secret), std::string::npos) << "a token shows in the console or log";
    }
}

TEST(KorvOauth, GrantErrorsStopAndNetworkErrorsAreRetried) {
    struct {
        const char* name;
        const char* mode;
        bool signedIn;
        const char* logLine;
        bool retried;
    } cases[] = {
        {"revoked grant", "invalid_grant", true,
         "the sign-in has expired or was revoked: sign in again with korvcfg or korvconf oauth signin "
         "(invalid_grant AADSTS700082)",
         false},
        {"not signed in", "ok", false, "not signed in: run korvcfg or korvconf oauth signin", false},
        {"server error", "500", true, "the sign-in server cannot be reached: check the network and try again (HTTP 500)",
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        KorvOauth k;
        if (c.signedIn) {
            k.signIn();
            k.storeAccess(k.auth.currentAccess(), 60);  // must be refreshed
        }
        k.auth.mode(c.mode);
        SmtpServerProcess server("starttls", k.auth.pki().cert("good"), k.auth.pki().key("good"),
                                 k.received.path(), 60);
        ASSERT_TRUE(server.ready());
        k.box.config.smtpServer.assign("smtp+starttls://localhost:" + std::to_string(server.port()));
        ProgramResult r = k.box.run({"/send", "/tries:2"}, "", 120);
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_NE(k.box.log().find(c.logLine), std::string::npos) << k.box.log();
        EXPECT_EQ(r.out.find("Retrying...") != std::string::npos, c.retried) << r.out;
        EXPECT_EQ(k.serverFile("auth"), "");  // no password or stale token went out instead
        EXPECT_EQ(k.serverFile("mail"), "");
    }
}

}  // namespace
}  // namespace quorvexia::test
