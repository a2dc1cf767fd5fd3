// Sign-in and refresh against the fake authorization server over TLS, with
// the real loopback listener and curl standing in for the browser.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <netinet/in.h>
#include <unistd.h>

#include <sstream>
#include <thread>

#include "oauth/fake_auth.h"
#include "platform/process.h"
#include "signin/loopback_listener.h"
#include "signin/oauth_flows.h"
#include "signin/token_keeper.h"
#include "signin/token_store.h"

namespace quorvexia::signin {
namespace {

using test::FakeAuthServer;
using test::TempDir;

// What a browser does with an address: follows the redirects to the end.
platform::ProcessResult Browse(const std::string& url, const std::string& ca) {
    return platform::RunProcess({"curl", "-s", "-L", "--max-time", "10", "--cacert", ca, url},
                                platform::ProcessOptions{true, true, 0, 20});
}

struct SignedIn {
    Provider provider;
    StoredGrant grant;
};

// A loopback sign-in whose grant is kept in korv.token in `dir`.
void SignIn(const FakeAuthServer& server, const std::string& dir, SignedIn& out) {
    test::SignInForTest(server, server.side(), dir);
    std::string error;
    ASSERT_TRUE(ProviderFromSide(server.side(), out.provider, error)) << error;
    bool found = false;
    Failure failure;
    auto store = OpenTokenStore("file", {"custom", "ann@example.com", "korv-test-client"}, dir);
    ASSERT_TRUE(store->load(out.grant, found, failure) && found) << failure.sentence;
}

TEST(SigninServer, LoopbackSignInThenTheCodeIsSpent) {
    FakeAuthServer server;
    ASSERT_TRUE(server.ready());
    TempDir dir;
    SignedIn s;
    SignIn(server, dir.path(), s);
    EXPECT_EQ(s.grant.accessToken, server.currentAccess());
    struct stat st;
    ASSERT_EQ(stat((dir / kTokenFileName).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // The fake server checked PKCE and the redirect address; an exchange with
    // another verifier is refused as a real server refuses it.
    Authorization forged;
    ASSERT_TRUE(PrepareAuthorization(s.provider, "http://127.0.0.1:1/", "", forged));
    TokenGrant grant;
    Failure failure;
    EXPECT_FALSE(ExchangeCode(s.provider, "", forged, "C-guess", server.http(), UnixNow(), grant, failure));
    EXPECT_EQ(failure.kind, FailureKind::SignInAgain);
}

TEST(SigninServer, ListenerTakesOnlyItsOwnCallbackOnce) {
    FakeAuthServer server;
    ASSERT_TRUE(server.ready());
    struct {
        const char* name;
        const char* mode;
        bool stranger;      // a request with another state arrives first
        bool browse;        // the browser follows the address at all
        bool ok;
        FailureKind kind;
        const char* bracket;
    } cases[] = {
        {"plain", "ok", false, true, true, FailureKind::None, ""},
        {"stranger first", "ok", true, true, true, FailureKind::None, ""},
        {"denied", "deny", false, true, false, FailureKind::Cancelled, "(access_denied)"},
        {"nothing", "ok", false, false, false, FailureKind::Cancelled, "(no answer in time)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        server.mode(c.mode);
        Provider p;
        std::string error;
        ASSERT_TRUE(ProviderFromSide(server.side(), p, error));
        LoopbackListener listener;
        ASSERT_TRUE(listener.open("127.0.0.1", error)) << error;
        Authorization a;
        ASSERT_TRUE(PrepareAuthorization(p, listener.redirectUri(), "", a));
        std::string strangerAnswer, secondAnswer;
        int secondStatus = -1;
        std::thread browser([&] {
            if (c.stranger)
                strangerAnswer = Browse(listener.redirectUri() + "?code=EVIL&state=wrong", "/dev/null").out;
            if (!c.browse) return;
            Browse(a.url, server.pki().caFile());
            // A second callback with the right state after the first one.
            auto second = Browse(listener.redirectUri() + "?code=LATE&state=" + a.state, "/dev/null");
            secondStatus = second.status;
            secondAnswer = second.out;
        });
        std::string code;
        Failure failure;
        bool ok = listener.wait(a.state, code, failure, std::chrono::milliseconds(c.browse ? 15000 : 1500));
        browser.join();
        EXPECT_EQ(ok, c.ok) << failure.sentence;
        EXPECT_EQ(failure.kind, c.kind);
        EXPECT_NE(code, "EVIL");
        EXPECT_NE(code, "LATE");
        if (c.ok) {
            EXPECT_EQ(code.rfind("C-", 0), 0u);
        } else {
            EXPECT_NE(failure.sentence.find(c.bracket), std::string::npos) << failure.sentence;
        }
        if (c.stranger) {
            EXPECT_NE(strangerAnswer.find("not the answer korv is waiting for"), std::string::npos);
        }
        if (c.browse) {
            EXPECT_EQ(secondStatus, 7) << "the second callback reached a listener: " << secondAnswer;
        }
    }
}

TEST(SigninServer, LocalhostListensOnBothLoopbackAddressesOnly) {
    LoopbackListener listener;
    std::string error;
    ASSERT_TRUE(listener.open("localhost", error)) << error;
    EXPECT_EQ(listener.redirectUri(), "http://localhost:" + std::to_string(listener.port()) + "/");
    int fd = socket(AF_INET6, SOCK_STREAM, 0);
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    v6.sin6_addr = in6addr_loopback;
    v6.sin6_port = htons(listener.port());
    bool ipv6 = fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&v6), sizeof v6) == 0;
    if (fd >= 0) close(fd);
    if (!ipv6) GTEST_SKIP() << "no IPv6 loopback here";
    // Nothing answers on the wildcard address's other faces: ask the kernel.
    std::string listening = platform::RunProcess({"ss", "-Hltn", "sport = :" + std::to_string(listener.port())},
                                                 platform::ProcessOptions{true, true, 0, 10})
                                .out;
    std::vector<std::string> local;
    std::istringstream lines(listening);
    for (std::string state, recvq, sendq, address, peer; lines >> state >> recvq >> sendq >> address >> peer;)
        local.push_back(address);
    std::string port = ":" + std::to_string(listener.port());
    EXPECT_EQ(local, (std::vector<std::string>{"127.0.0.1" + port, "[::1]" + port})) << listening;
}

TEST(SigninServer, KorvRefreshesOnlyWhenNeededAndKeepsRotatedTokens) {
    FakeAuthServer server;
    ASSERT_TRUE(server.ready());
    TempDir dir;
    SignedIn s;
    SignIn(server, dir.path(), s);
    SideSettings side = server.side();
    std::string token;
    Failure failure;
    std::int64_t now = UnixNow();

    // An hour left: the stored token, no request.
    ASSERT_TRUE(FreshAccessToken(side, dir.path(), server.http(), "", token, failure, now)) << failure.sentence;
    EXPECT_EQ(token, s.grant.accessToken);
    EXPECT_EQ(server.refreshes(), 0);
    // Four minutes left: refreshed, and the rotated refresh token is kept.
    server.mode("rotate");
    std::string oldRefresh = server.currentRefresh();
    ASSERT_TRUE(FreshAccessToken(side, dir.path(), server.http(), "", token, failure, s.grant.expiresAt - 240))
        << failure.sentence;
    EXPECT_EQ(server.refreshes(), 1);
    EXPECT_EQ(token, server.currentAccess());
    EXPECT_NE(server.currentRefresh(), oldRefresh);
    // The next refresh works only if the new refresh token was stored.
    ASSERT_TRUE(FreshAccessToken(side, dir.path(), server.http(), token, token, failure)) << failure.sentence;
    EXPECT_EQ(server.refreshes(), 2);
    EXPECT_EQ(token, server.currentAccess());
    // A token that lives 5 s is refreshed at the next connection.
    server.mode("short");
    ASSERT_TRUE(FreshAccessToken(side, dir.path(), server.http(), token, token, failure));
    std::string shortLived = token;
    server.mode("ok");
    ASSERT_TRUE(FreshAccessToken(side, dir.path(), server.http(), "", token, failure));
    EXPECT_NE(token, shortLived);
    EXPECT_EQ(server.refreshes(), 4);
    std::string text = test::ReadFile(dir / kTokenFileName);
    EXPECT_NE(text.find(server.currentRefresh()), std::string::npos);
}

TEST(SigninServer, RefreshFailuresSayWhatToDo) {
    FakeAuthServer server;
    ASSERT_TRUE(server.ready());
    TempDir dir;
    SignedIn s;
    SignIn(server, dir.path(), s);
    SideSettings side = server.side();
    HttpOptions quick = server.http();
    quick.totalSeconds = 2;
    struct {
        const char* mode;
        FailureKind kind;
        const char* part;
    } cases[] = {
        {"invalid_grant", FailureKind::SignInAgain, "sign in again with korvcfg or korvconf oauth signin (invalid_grant AADSTS700082)"},
        {"stall", FailureKind::Network, "(https://127.0.0.1:"},
        {"html", FailureKind::Protocol, "(HTTP 200, not JSON)"},
        {"huge", FailureKind::Network, "is larger than 64 KiB)"},
        {"500", FailureKind::Network, "(HTTP 500)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        server.mode(c.mode);
        std::string token;
        Failure failure;
        EXPECT_FALSE(FreshAccessToken(side, dir.path(), quick, s.grant.accessToken, token, failure));
        EXPECT_EQ(failure.kind, c.kind);
        EXPECT_NE(failure.sentence.find(c.part), std::string::npos) << failure.sentence;
        EXPECT_EQ(token, "");
    }
    // Nothing stored: korv never asks anyone, it says what to run.
    TempDir empty;
    std::string token;
    Failure failure;
    EXPECT_FALSE(FreshAccessToken(side, empty.path(), quick, "", token, failure));
    EXPECT_EQ(failure.sentence, "not signed in: run korvcfg or korvconf oauth signin");
    // Plain http is refused before anything is sent.
    HttpReply reply = PostForm("http://127.0.0.1:" + std::to_string(server.port()) + "/token", {}, quick);
    EXPECT_FALSE(reply.delivered);
    EXPECT_EQ(reply.error, "the address http://127.0.0.1:" + std::to_string(server.port()) + "/token is not https");
}

TEST(SigninServer, TwoRunsAtOnceRefreshOnce) {
    FakeAuthServer server;
    ASSERT_TRUE(server.ready());
    TempDir dir;
    SignedIn s;
    SignIn(server, dir.path(), s);
    server.mode("rotate");
    SideSettings side = server.side();
    std::string tokens[2];
    bool ok[2] = {};
    std::int64_t late = s.grant.expiresAt - 60;
    auto run = [&](int i) {
        Failure failure;
        ok[i] = FreshAccessToken(side, dir.path(), server.http(), "", tokens[i], failure, late);
    };
    std::thread first(run, 0), second(run, 1);
    first.join();
    second.join();
    EXPECT_TRUE(ok[0] && ok[1]);
    EXPECT_EQ(server.refreshes(), 1);
    EXPECT_EQ(tokens[0], tokens[1]);
}

TEST(SigninServer, AStuckRefreshIsWaitedForOnlySoLong) {
    FakeAuthServer server;
    ASSERT_TRUE(server.ready());
    TempDir dir;
    SignedIn s;
    SignIn(server, dir.path(), s);
    RefreshLock stuck(dir.path());
    ASSERT_TRUE(stuck.held());
    std::string token;
    Failure failure;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(FreshAccessToken(server.side(), dir.path(), server.http(), "", token, failure,
                                  s.grant.expiresAt - 60, nullptr, std::chrono::milliseconds(300)));
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(300));
    EXPECT_LT(took, std::chrono::seconds(3));
    EXPECT_EQ(failure.sentence, "another korv run has been refreshing the sign-in for over a minute: end that run "
                                "(or wait for it) and try again");
    EXPECT_FALSE(failure.retryable());
    EXPECT_EQ(server.refreshes(), 0);
}

TEST(SigninServer, TokenFileMustBeTheUsersAlone) {
    FakeAuthServer server;
    ASSERT_TRUE(server.ready());
    TempDir dir;
    SignedIn s;
    SignIn(server, dir.path(), s);
    std::string path = dir / kTokenFileName;
    StoreKey key{"custom", "ann@example.com", "korv-test-client"};
    struct {
        const char* name;
        std::function<void()> spoil;
        const char* why;
    } cases[] = {
        {"readable", [&] { chmod(path.c_str(), 0644); }, "readable by others"},
        {"other owner", [&] { chmod(path.c_str(), 0600); (void)!chown(path.c_str(), 65534, 65534); },
         "owned by someone else"},
        {"link", [&] {
             std::string real = dir / "elsewhere";
             (void)!chown(path.c_str(), geteuid(), getegid());
             rename(path.c_str(), real.c_str());
             (void)!symlink(real.c_str(), path.c_str());
         }, "Too many levels of symbolic links"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.spoil();
        if (std::string(c.name) == "other owner" && geteuid() != 0) continue;
        StoredGrant grant;
        bool found = true;
        Failure failure;
        EXPECT_FALSE(OpenTokenStore("file", key, dir.path())->load(grant, found, failure));
        EXPECT_NE(failure.sentence.find(c.why), std::string::npos) << failure.sentence;
        EXPECT_EQ(grant.refreshToken, "");
    }
    // Another account's sign-in is not taken for this one.
    unlink(path.c_str());
    rename((dir / "elsewhere").c_str(), path.c_str());
    StoredGrant grant;
    bool found = false;
    Failure failure;
    EXPECT_TRUE(OpenTokenStore("file", key, dir.path())->load(grant, found, failure)) << failure.sentence;
    EXPECT_TRUE(found);
    key.account = "bob@example.com";
    EXPECT_FALSE(OpenTokenStore("file", key, dir.path())->load(grant, found, failure));
}

TEST(SigninServer, DeviceFlowPollsAtTheAskedPace) {
    FakeAuthServer server;
    ASSERT_TRUE(server.ready());
    Provider p;
    std::string error;
    ASSERT_TRUE(ProviderFromSide(server.side(), p, error));
    for (const char* mode : {"device", "expired"}) {
        SCOPED_TRACE(mode);
        server.mode(mode);
        DeviceCode device;
        Failure failure;
        ASSERT_TRUE(StartDeviceFlow(p, server.http(), 1000, device, failure)) << failure.sentence;
        EXPECT_EQ(device.userCode, "KORV-TEST");
        std::vector<int> sleeps;
        std::int64_t clock = 1000;
        DeviceClock fake{[&](int seconds) {
                             sleeps.push_back(seconds);
                             clock += seconds;
                             return true;
                         },
                         [&] { return clock; }};
        TokenGrant grant;
        bool ok = PollDeviceFlow(p, "", device, server.http(), fake, grant, failure);
        if (std::string(mode) == "device") {
            ASSERT_TRUE(ok) << failure.sentence;
            EXPECT_EQ(sleeps, (std::vector<int>{1, 1, 6}));  // pending, then slow_down adds 5 s
            EXPECT_EQ(grant.accessToken, server.currentAccess());
        } else {
            EXPECT_FALSE(ok);
            EXPECT_EQ(failure.kind, FailureKind::SignInAgain);
            EXPECT_NE(failure.sentence.find("(expired_token)"), std::string::npos);
        }
    }
    // The user gives up while waiting.
    server.mode("device");
    DeviceCode device;
    Failure failure;
    ASSERT_TRUE(StartDeviceFlow(p, server.http(), UnixNow(), device, failure));
    TokenGrant grant;
    DeviceClock cancel{[](int) { return false; }, [] { return UnixNow(); }};
    EXPECT_FALSE(PollDeviceFlow(p, "", device, server.http(), cancel, grant, failure));
    EXPECT_EQ(failure.kind, FailureKind::Cancelled);
}

}  // namespace
}  // namespace quorvexia::signin
