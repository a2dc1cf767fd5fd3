#include "oauth_commands.h"

#include <atomic>
#include <chrono>
#include <thread>

#include "commands.h"
#include "config/side_file.h"
#include "platform/process.h"
#include "signin/oauth_flows.h"
#include "signin/signin_session.h"
#include "signin/token_keeper.h"
#include "signin/token_store.h"

namespace quorvexia::conf {

namespace {

using namespace signin;

struct Oauth {
    std::string dir;
    const Conversation& talk;

    std::string path(const char* name) const { return dir.empty() ? name : dir + "/" + name; }
    int fail(int status, const std::string& message) const {
        talk.warn("korvconf: " + message + "\n");
        return status;
    }
    bool loadSide(SideSettings& side) const {
        std::string error;
        if (ReadSideFile(path(kSideFileName), side, error) != SideFileStatus::Failed) return true;
        fail(kExitFile, error + " (mend or remove the file)");
        return false;
    }
    std::unique_ptr<TokenStore> store(const SideSettings& side, const Provider& provider) const {
        return OpenTokenStore(side.oauthStore, {provider.name, side.oauthAccount, provider.clientId}, dir);
    }
};

struct SigninArgs {
    std::string provider, account, tenant, clientId, store;
    bool device = false, paste = false, askSecret = false;
};

bool ParseSignin(const std::vector<std::string>& args, SigninArgs& a, std::string& error) {
    for (std::size_t i = 2; i < args.size(); ++i) {
        const std::string& arg = args[i];
        std::string* value = arg == "--provider"    ? &a.provider
                             : arg == "--account"   ? &a.account
                             : arg == "--tenant"    ? &a.tenant
                             : arg == "--client-id" ? &a.clientId
                             : arg == "--store"     ? &a.store
                                                    : nullptr;
        if (value) {
            if (++i >= args.size()) {
                error = arg + " needs a value";
                return false;
            }
            *value = args[i];
        } else if (arg == "--device") a.device = true;
        else if (arg == "--paste") a.paste = true;
        else if (arg == "--ask-client-secret") a.askSecret = true;
        else {
            error = "oauth signin does not know '" + arg + "'";
            return false;
        }
    }
    if (a.provider.empty() || a.account.empty()) error = "oauth signin needs --provider and --account";
    else if (a.device && a.paste) error = "--device and --paste exclude each other";
    return error.empty();
}

// The address to open, with the host the user should see in the address bar
// set apart (in bold on a terminal).
void ShowAddress(const Conversation& talk, const std::string& url) {
    std::string host(UrlHost(url));
    talk.say("Sign in at " + (talk.terminal ? "\033[1m" + host + "\033[0m" : host) +
             " (check that your browser shows this host):\n  " + url + "\n");
}

bool ByBrowser(const Oauth& o, const Provider& p, const std::string& account, const HttpOptions& http,
               const std::string& secret, TokenGrant& grant, Failure& failure) {
    BrowserSignIn flow;
    if (!flow.begin(p, account, failure)) return false;
    ShowAddress(o.talk, flow.url());
    // xdg-open may return at once or only when the browser ends (a text
    // browser in this terminal): the listener waits meanwhile. Its output is
    // no concern of ours; that no browser could start is.
    std::atomic<bool> browserFailed{false};
    std::thread opener([&] {
        platform::ProcessResult opened =
            platform::RunProcess({"xdg-open", flow.url()},
                                 platform::ProcessOptions{true, true, 4096, static_cast<int>(kCallbackWait.count())});
        browserFailed = !opened.started || !opened.finished || opened.status != 0;
    });
    o.talk.say("Waiting for the browser (at most 5 minutes)...\n");
    bool warned = false;
    bool ok = flow.finish(secret, http,
                          [&] {
                              if (browserFailed && !warned) {
                                  o.talk.warn("korvconf: no browser could be opened: open the address above yourself\n");
                                  warned = true;
                              }
                              return false;
                          },
                          grant, failure);
    opener.join();
    return ok;
}

bool ByPaste(const Oauth& o, const Provider& p, const std::string& account, const HttpOptions& http,
             const std::string& secret, TokenGrant& grant, Failure& failure) {
    // The port is only a name here: nothing needs to listen on it, the user
    // copies the address the browser could not open.
    LoopbackListener probe;
    std::string error;
    if (!probe.open(p.redirectHost, error)) {
        failure = MakeFailure(FailureKind::Cancelled, error);
        return false;
    }
    std::string redirect = probe.redirectUri();
    probe.close();
    Authorization a;
    if (!PrepareAuthorization(p, redirect, account, a)) {
        failure = MakeFailure(FailureKind::Cancelled, "no random numbers");
        return false;
    }
    ShowAddress(o.talk, a.url);
    o.talk.say("After signing in the browser shows an error page; paste its whole address here:\n");
    // The address carries the single-use code: a terminal does not echo it.
    std::string pasted, code;
    if (!o.talk.askSecret("Address: ", pasted)) {
        failure = MakeFailure(FailureKind::Cancelled, "nothing was pasted");
        return false;
    }
    return CodeFromPastedUrl(pasted, a.state, code, failure) &&
           ExchangeCode(p, secret, a, code, http, UnixNow(), grant, failure);
}

bool ByDevice(const Oauth& o, const Provider& p, const HttpOptions& http, const std::string& secret,
              TokenGrant& grant, Failure& failure) {
    DeviceCode device;
    if (!StartDeviceFlow(p, http, UnixNow(), device, failure)) return false;
    o.talk.say("On any device, open " + device.verificationUri + " and enter the code " + device.userCode + "\n");
    o.talk.say("Waiting for the sign-in...\n");
    DeviceClock clock{[](int seconds) {
                          std::this_thread::sleep_for(std::chrono::seconds(seconds));
                          return true;
                      },
                      UnixNow};
    return PollDeviceFlow(p, secret, device, http, clock, grant, failure);
}

int Signin(const Oauth& o, const std::vector<std::string>& args) {
    SigninArgs a;
    std::string error;
    if (!ParseSignin(args, a, error)) return o.fail(kExitUsage, error);
    SideSettings side;
    if (!o.loadSide(side)) return kExitFile;
    Provider p;
    if (!PrepareSignIn({a.provider, a.account, a.tenant, a.clientId, a.store, "", "", ""}, side, p, error))
        return o.fail(kExitUsage, error);

    std::string secret;
    if (a.askSecret && (!o.talk.askSecret("Client secret of the app registration: ", secret) || secret.empty()))
        return o.fail(kExitUsage, "no client secret was given");
    HttpOptions http{side.caFile};
    TokenGrant grant;
    Failure failure;
    bool ok = a.device  ? ByDevice(o, p, http, secret, grant, failure)
              : a.paste ? ByPaste(o, p, a.account, http, secret, grant, failure)
                        : ByBrowser(o, p, a.account, http, secret, grant, failure);
    std::string where;
    if (!ok || !KeepSignIn(side, p, grant, secret, o.dir, where, failure)) return o.fail(kExitFile, failure.sentence);
    o.talk.say(SignedInText(side.oauthAccount, where) + "\n");
    if (!p.popServer.empty())
        o.talk.say("Servers of " + p.name + ": " + p.popServer + " and " + p.smtpServer +
                   " ('korvconf set pop3-server ... smtp-server ...')\n");
    return kExitDone;
}

// The provider and store korv.conf names, or the status to return.
int Current(const Oauth& o, SideSettings& side, Provider& p, std::unique_ptr<TokenStore>& store) {
    if (!o.loadSide(side)) return kExitFile;
    if (side.oauth.empty()) return o.fail(kExitFile, "not signed in: run korvcfg or korvconf oauth signin");
    std::string error;
    if (!ProviderFromSide(side, p, error)) return o.fail(kExitUsage, error);
    store = o.store(side, p);
    return kExitDone;
}

int Status(const Oauth& o) {
    SideSettings side;
    Provider p;
    std::unique_ptr<TokenStore> store;
    if (int status = Current(o, side, p, store)) return status;
    StoredGrant grant;
    bool found = false;
    Failure failure;
    if (!store->load(grant, found, failure)) return o.fail(kExitFile, failure.sentence);
    if (!found) return o.fail(kExitFile, MakeFailure(FailureKind::NotSignedIn).sentence);
    std::int64_t left = grant.expiresAt - UnixNow();
    o.talk.say("Signed in as " + side.oauthAccount + " (" + store->describe() + ") with " + p.name + "; " +
               (left > 0 ? "access token valid for " + std::to_string(left / 60) + " more minutes"
                         : std::string("access token to be refreshed at the next connection")) +
               "\n");
    return kExitDone;
}

int Test(const Oauth& o) {
    SideSettings side;
    Provider p;
    std::unique_ptr<TokenStore> store;
    if (int status = Current(o, side, p, store)) return status;
    std::string token;
    Failure failure;
    // A refresh proves the grant is alive; the token itself is never shown.
    if (!FreshAccessToken(side, o.dir, HttpOptions{side.caFile}, "", token, failure, /*now=*/0))
        return o.fail(kExitFile, failure.sentence);
    o.talk.say("The sign-in of " + side.oauthAccount + " works: korv has an access token.\n");
    return kExitDone;
}

int Signout(const Oauth& o) {
    SideSettings side;
    Provider p;
    std::unique_ptr<TokenStore> store;
    if (int status = Current(o, side, p, store)) return status;
    std::string account;
    bool unconfirmed = false;
    Failure failure;
    bool ok = SignOut(side, o.dir, account, unconfirmed, failure);
    if (unconfirmed) o.talk.warn(std::string("korvconf: ") + kRevokeUnconfirmed + "\n");
    if (!ok) return o.fail(kExitFile, failure.sentence);
    o.talk.say("Signed out " + account + "\n");
    return kExitDone;
}

}  // namespace

std::string OauthUsageText() {
    return "  oauth signin --provider microsoft|google|custom --account ADDRESS\n"
           "        [--tenant T] [--client-id ID] [--store keyring|file] [--device|--paste]\n"
           "        [--ask-client-secret]  sign in; korv then keeps the tokens fresh\n"
           "  oauth status|test|signout  show, try, or end the sign-in\n";
}

int RunOauth(const std::vector<std::string>& args, const std::string& dir, const Conversation& talk) {
    Oauth o{dir, talk};
    std::string command = args.size() > 1 ? args[1] : "";
    if (command == "signin") return Signin(o, args);
    if (args.size() > 2) return o.fail(kExitUsage, "oauth " + command + " takes no arguments");
    if (command == "status") return Status(o);
    if (command == "test") return Test(o);
    if (command == "signout") return Signout(o);
    return o.fail(kExitUsage, "oauth takes signin, status, test or signout");
}

}  // namespace quorvexia::conf
