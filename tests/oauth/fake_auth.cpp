#include "fake_auth.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/process.h"
#include "signin/loopback_listener.h"
#include "signin/oauth_flows.h"

namespace quorvexia::test {

FakeAuthServer::FakeAuthServer(int seconds)
    : process_({"python3", QUORVEXIA_SOURCE_DIR "/tests/oauth/fake_auth_server.py", pki_.cert("good"),
                pki_.key("good"), dir_.path(), std::to_string(seconds)},
               seconds + 5) {
    for (int i = 0; i < 500 && !FileExists(dir_ / "port"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (FileExists(dir_ / "port")) port_ = static_cast<unsigned short>(std::stoi(ReadFile(dir_ / "port")));
}

void FakeAuthServer::mode(const std::string& fault) const { WriteFile(dir_ / "mode", fault); }

static std::string TokenOf(const std::string& dir, const char* name) {
    if (!FileExists(dir + "/tokens.json")) return {};
    auto j = nlohmann::json::parse(ReadFile(dir + "/tokens.json"));
    return j[name].is_string() ? j[name].get<std::string>() : std::string();
}

std::string FakeAuthServer::currentAccess() const { return TokenOf(dir_.path(), "access"); }
std::string FakeAuthServer::currentRefresh() const { return TokenOf(dir_.path(), "refresh"); }

std::string FakeAuthServer::note(const char* name) const {
    return FileExists(dir_ / name) ? ReadFile(dir_ / name) : std::string();
}

static int Lines(const std::string& text) { return static_cast<int>(std::count(text.begin(), text.end(), '\n')); }

int FakeAuthServer::refreshes() const { return Lines(note("refreshes")); }
std::string FakeAuthServer::requests() const { return note("requests.log"); }
int FakeAuthServer::revocations() const { return Lines(note("revocations")); }
std::string FakeAuthServer::introspections() const { return note("introspections"); }

SideSettings FakeAuthServer::side(const std::string& store, const std::string& provider) const {
    SideSettings s;
    s.oauth = provider;
    s.oauthAccount = "ann@example.com";
    s.oauthClientId = "korv-test-client";
    s.oauthAuthorizeUrl = url("/authorize");
    s.oauthTokenUrl = url("/token");
    if (provider == "google") {
        s.oauthRevokeUrl = url("/revoke");
    } else {
        s.oauthDeviceUrl = url("/devicecode");
        s.oauthScope = "mail offline";
    }
    s.oauthStore = store;
    s.caFile = pki_.caFile();
    return s;
}

void SignInForTest(const FakeAuthServer& server, const SideSettings& side, const std::string& dir) {
    using namespace signin;
    Provider provider;
    std::string error;
    ASSERT_TRUE(ProviderFromSide(side, provider, error)) << error;
    LoopbackListener listener;
    ASSERT_TRUE(listener.open(provider.redirectHost, error)) << error;
    Authorization a;
    ASSERT_TRUE(PrepareAuthorization(provider, listener.redirectUri(), side.oauthAccount, a));
    std::thread browser([&] {
        platform::RunProcess({"curl", "-s", "-L", "--max-time", "10", "--cacert", server.pki().caFile(), a.url},
                             platform::ProcessOptions{true, true, 0, 20});
    });
    std::string code;
    Failure failure;
    bool got = listener.wait(a.state, code, failure, std::chrono::seconds(20));
    browser.join();
    ASSERT_TRUE(got) << failure.sentence;
    TokenGrant grant;
    ASSERT_TRUE(ExchangeCode(provider, "", a, code, server.http(), UnixNow(), grant, failure)) << failure.sentence;
    auto store = OpenTokenStore(side.oauthStore, {provider.name, side.oauthAccount, provider.clientId}, dir);
    ASSERT_TRUE(store->save({grant.refreshToken, grant.accessToken, grant.expiresAt, ""}, failure))
        << failure.sentence;
}

CmdlineSampler::CmdlineSampler()
    : thread_([this] {
          while (!stop_) {
              for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
                  for (const char* file : {"/cmdline", "/environ"}) {
                      // A process that ends while it is read fails the read (ESRCH, thrown
                      // by the stream); the others are still read.
                      try {
                          std::ifstream in(entry.path().string() + file, std::ios::binary);
                          std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
                          if (!text.empty()) seen_ += text + "\n";
                      } catch (const std::exception&) {
                      }
                  }
              }
              std::this_thread::sleep_for(std::chrono::milliseconds(20));
          }
      }) {}

std::string CmdlineSampler::finish() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    return seen_;
}

void ExpectNoSecret(const std::string& where, const std::string& text, const std::vector<std::string>& secrets) {
    for (const std::string& secret : secrets) {
        ASSERT_GT(secret.size(), 10u);
        EXPECT_EQ(text.find(secret), std::string::npos) << "a secret shows in " << where;
    }
}

}  // namespace quorvexia::test
