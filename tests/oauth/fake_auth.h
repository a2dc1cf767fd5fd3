// The fake authorization server (oauth/fake_auth_server.py) as a test
// fixture: started on a free loopback port with the test PKI, stopped by its
// pid; the fault it plays is switched with mode().
#pragma once

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "signin/oauth_http.h"
#include "signin/oauth_provider.h"
#include "signin/token_store.h"
#include "support/temp_dir.h"
#include "support/tls_fixture.h"

namespace quorvexia::test {

class FakeAuthServer;
// A whole loopback sign-in (curl in the browser's place) with `side`, its
// grant kept in the store `side` names, beside korv.cfg in `dir`. Fails the
// test when it cannot.
void SignInForTest(const FakeAuthServer& server, const SideSettings& side, const std::string& dir);

class FakeAuthServer {
public:
    explicit FakeAuthServer(int seconds = 120);
    bool ready() const { return port_ != 0; }
    unsigned short port() const { return port_; }
    std::string url(const std::string& path) const { return "https://127.0.0.1:" + std::to_string(port_) + path; }
    void mode(const std::string& fault) const;
    std::string currentAccess() const;
    std::string currentRefresh() const;
    int refreshes() const;           // refreshes granted so far
    std::string requests() const;    // one line per request
    int revocations() const;         // refresh tokens withdrawn at /revoke
    // One line per /introspect: "active" or "inactive".
    std::string introspections() const;
    // korv.conf's settings for this server: a custom provider, or Google's
    // preset with this server's addresses laid over it.
    SideSettings side(const std::string& store = "file", const std::string& provider = "custom") const;
    signin::HttpOptions http() const { return {pki_.caFile(), 5, 10}; }
    const TestPki& pki() const { return pki_; }
    // The file holding the current access token alone.
    std::string accessFile() const { return dir_ / "access"; }

private:
    std::string note(const char* name) const;  // a file the server keeps, or ""

    TestPki pki_;
    TempDir dir_;
    BackgroundProcess process_;
    unsigned short port_ = 0;
};

// Every process's command line and environment, sampled until finish().
class CmdlineSampler {
public:
    CmdlineSampler();
    std::string finish();

private:
    std::atomic<bool> stop_{false};
    std::string seen_;
    std::thread thread_;
};

// Fails the test when one of `secrets` stands in `text`.
void ExpectNoSecret(const std::string& where, const std::string& text, const std::vector<std::string>& secrets);

}  // namespace quorvexia::test
