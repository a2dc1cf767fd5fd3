// korvconf oauth as a program: sign-in through an xdg-open stand-in that
// follows the address like a browser, the device flow, the stores (a token
// file, a real key ring, no key ring at all), and that no token, code or
// verifier shows up where others could read it.
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "oauth/fake_auth.h"
#include "platform/process.h"
#include "support/program.h"

namespace quorvexia {
namespace {

using test::CmdlineSampler;
using test::ExpectNoSecret;
using test::FakeAuthServer;
using test::FileExists;
using test::ProgramResult;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

// A directory of korv.cfg and korv.conf pointing at the fake server, with an
// xdg-open stand-in first in PATH that does what `browser` says.
struct OauthSetup {
    FakeAuthServer server;
    TempDir dir;
    TempDir bin;

    explicit OauthSetup(const std::string& browser, const std::string& store = "file",
                        const std::string& provider = "custom") {
        EXPECT_TRUE(server.ready());
        EXPECT_EQ(run({"init"}).status, 0);
        SideSettings s = server.side(store, provider);
        std::vector<std::string> set = {"set"};
        for (const SideKey& key : SideKeys())
            if (!(s.*key.value).empty()) set.insert(set.end(), {std::string(key.key), s.*key.value});
        EXPECT_EQ(run(set).status, 0);
        std::string follow = "curl -s -L --max-time 10 --cacert '" + server.pki().caFile() + "' \"$1\" >/dev/null";
        std::string port = "$(echo \"$1\" | sed 's/.*redirect_uri=http%3A%2F%2F127.0.0.1%3A\\([0-9]*\\).*/\\1/')";
        std::string script = "#!/bin/sh\n";
        if (browser == "stranger")
            script += "curl -s --max-time 5 \"http://127.0.0.1:" + port + "/?code=EVIL&state=guess\" >/dev/null\n";
        if (browser != "none") script += follow + "\n";
        if (browser == "twice") script += follow + " && exit 3\n";
        WriteFile(bin / "xdg-open", script);
        chmod((bin / "xdg-open").c_str(), 0755);
        setenv("PATH", (bin.path() + ":" + std::getenv("PATH")).c_str(), 1);
    }

    ProgramResult run(const std::vector<std::string>& args, const std::string& input = "") const {
        return test::RunProgram(KORVCONF_PATH, args, dir.path(), input, 60);
    }
};

TEST(KorvconfOauth, SignsInThroughTheBrowserAndKeepsNothingInTheOpen) {
    OauthSetup setup("browse");
    CmdlineSampler sampler;
    ProgramResult r = setup.run({"oauth", "signin", "--provider", "custom", "--account", "ann@example.com"});
    std::string processes = sampler.finish();
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Sign in at 127.0.0.1 (check that your browser shows this host):\n  https://127.0.0.1:"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Signed in as ann@example.com (korv.token)\n"), std::string::npos) << r.out;
    struct stat st;
    ASSERT_EQ(stat((setup.dir / "korv.token").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_NE(ReadFile(setup.dir / "korv.token").find(setup.server.currentRefresh()), std::string::npos);

    ProgramResult status = setup.run({"oauth", "status"});
    EXPECT_EQ(status.status, 0) << status.err;
    // An hour's token, read back seconds later: 59 or 60 whole minutes.
    EXPECT_TRUE(status.out == "Signed in as ann@example.com (korv.token) with custom; access token valid for 59 more minutes\n" ||
                status.out == "Signed in as ann@example.com (korv.token) with custom; access token valid for 60 more minutes\n")
        << status.out;
    ProgramResult test = setup.run({"oauth", "test"});
    EXPECT_EQ(test.status, 0) << test.err;
    ProgramResult show = setup.run({"show"});
    EXPECT_NE(show.out.find("oauth-account:"), std::string::npos) << show.out;

    std::vector<std::string> secrets = {setup.server.currentAccess(), setup.server.currentRefresh()};
    ExpectNoSecret("korvconf's output", r.out + r.err + status.out + test.out + show.out + show.err, secrets);
    ExpectNoSecret("korv.conf", ReadFile(setup.dir / "korv.conf"), secrets);
    ExpectNoSecret("korv.cfg", ReadFile(setup.dir / "korv.cfg"), secrets);
    ExpectNoSecret("a command line or environment", processes, secrets);

    ProgramResult out = setup.run({"oauth", "signout"});
    EXPECT_EQ(out.status, 0) << out.err;
    EXPECT_FALSE(FileExists(setup.dir / "korv.token"));
    EXPECT_EQ(ReadFile(setup.dir / "korv.conf").find("oauth"), std::string::npos);
    ProgramResult after = setup.run({"oauth", "status"});
    EXPECT_EQ(after.status, 1);
    EXPECT_EQ(after.err, "korvconf: not signed in: run korvcfg or korvconf oauth signin\n");
}

TEST(KorvconfOauth, BrowserVariants) {
    struct {
        const char* browser;
        const char* mode;
        int status;
        const char* text;  // in stdout when 0, else all of stderr
    } cases[] = {
        {"stranger", "ok", 0, "Signed in as ann@example.com (korv.token)"},
        {"twice", "ok", 0, "Signed in as ann@example.com (korv.token)"},
        {"browse", "deny", 1, "korvconf: sign-in was cancelled: sign in again when you are ready (access_denied)\n"},
        {"browse", "consent", 1,
         "korvconf: your organisation must approve this app: ask an administrator to grant consent, then sign in "
         "again (invalid_grant AADSTS65001)\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.browser) + " " + c.mode);
        OauthSetup setup(c.browser);
        setup.server.mode(c.mode);
        ProgramResult r = setup.run({"oauth", "signin", "--provider", "custom", "--account", "ann@example.com"});
        EXPECT_EQ(r.status, c.status) << r.err;
        if (c.status == 0) {
            EXPECT_NE(r.out.find(c.text), std::string::npos) << r.out;
        } else {
            EXPECT_EQ(r.err, c.text);
            EXPECT_FALSE(FileExists(setup.dir / "korv.token"));
        }
    }
}

TEST(KorvconfOauth, DeviceFlowAndUsageFaults) {
    OauthSetup setup("none");
    setup.server.mode("device");
    ProgramResult r =
        setup.run({"oauth", "signin", "--provider", "custom", "--account", "ann@example.com", "--device"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("On any device, open https://127.0.0.1/device and enter the code KORV-TEST\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(ReadFile(setup.dir / "korv.token").find(setup.server.currentRefresh()), std::string::npos);

    struct {
        std::vector<std::string> args;
        const char* err;
    } usage[] = {
        {{"oauth", "signin", "--provider", "custom"}, "korvconf: oauth signin needs --provider and --account\n"},
        {{"oauth", "signin", "--provider", "yahoo", "--account", "a@b"},
         "korvconf: oauth takes one of microsoft,google,custom, not 'yahoo'\n"},
        {{"oauth", "signin", "--provider", "custom", "--account", "a@b", "--device", "--paste"},
         "korvconf: --device and --paste exclude each other\n"},
        {{"oauth", "signin", "--provider", "custom", "--account", "a@b", "--store", "disk"},
         "korvconf: oauth-store takes one of keyring,file, not 'disk'\n"},
        {{"oauth", "status", "now"}, "korvconf: oauth status takes no arguments\n"},
        {{"oauth", "refresh"}, "korvconf: oauth takes signin, status, test or signout\n"},
    };
    for (const auto& u : usage) {
        ProgramResult bad = setup.run(u.args);
        EXPECT_EQ(bad.status, 2);
        EXPECT_EQ(bad.err, u.err);
    }
}

// The paste flow at a terminal, as over SSH: the client secret is asked
// without echo, the browser's last address is pasted back; sign-out then
// withdraws the grant at Google.
TEST(KorvconfOauth, PastedAddressAndUnechoedSecretThenGoogleRevokes) {
    OauthSetup setup("none", "file", "google");
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (chdir(setup.dir.path().c_str()) != 0) _exit(127);
        execl(KORVCONF_PATH, "korvconf", "oauth", "signin", "--provider", "google", "--account", "ann@example.com",
              "--paste", "--ask-client-secret", static_cast<char*>(nullptr));
        _exit(127);
    }
    std::string seen;
    auto type = [&](const std::string& line) {
        std::string text = line + "\r";
        EXPECT_EQ(write(master, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    };
    EXPECT_TRUE(test::ReadUntil(master, seen, "Client secret of the app registration: ", 20000)) << seen;
    type("TypedClientSecret-0123456789");
    EXPECT_TRUE(test::ReadUntil(master, seen, "paste its whole address here:", 20000)) << seen;
    auto start = seen.find("  https://");
    ASSERT_NE(start, std::string::npos) << seen;
    std::string url = seen.substr(start + 2, seen.find('\r', start) - start - 2);
    // The browser is sent back to a port no one listens on; its address bar
    // keeps the redirected address.
    auto back = platform::RunProcess({"curl", "-s", "-o", "/dev/null", "-w", "%{redirect_url}", "--max-time", "10",
                                      "--cacert", setup.server.pki().caFile(), url},
                                     platform::ProcessOptions{true, true, 0, 20});
    ASSERT_NE(back.out.find("code="), std::string::npos) << back.out << back.err;
    EXPECT_TRUE(test::ReadUntil(master, seen, "Address: ", 20000)) << seen;
    type(back.out);
    EXPECT_TRUE(test::ReadUntil(master, seen, "Signed in as ann@example.com (korv.token)", 20000)) << seen;
    EXPECT_TRUE(test::EndsWellOnTerminal(pid, master, seen)) << seen;
    EXPECT_EQ(seen.find("TypedClientSecret"), std::string::npos) << "echoed: " << seen;
    EXPECT_EQ(seen.find("code="), std::string::npos) << "echoed: " << seen;
    EXPECT_NE(seen.find("Servers of google: pop3s://pop.gmail.com and smtps://smtp.gmail.com"), std::string::npos);
    ExpectNoSecret("korv.conf", ReadFile(setup.dir / "korv.conf"), {"TypedClientSecret-0123456789"});

    ProgramResult out = setup.run({"oauth", "signout"});
    EXPECT_EQ(out.status, 0) << out.err;
    EXPECT_EQ(out.out + out.err, "Signed out ann@example.com\n");
    EXPECT_EQ(setup.server.revocations(), 1);
    EXPECT_FALSE(FileExists(setup.dir / "korv.token"));
}

TEST(KorvconfOauth, NoKeyRingSaysSoAndChangesNothing) {
    OauthSetup setup("browse", "keyring");
    std::string before = ReadFile(setup.dir / "korv.conf");
    setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus", 1);
    unsetenv("DISPLAY");
    ProgramResult r = setup.run({"oauth", "signin", "--provider", "custom", "--account", "ann@example.com"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("korvconf: no key ring can be reached: sign in from a desktop session, or with --store "
                          "file to keep the sign-in in korv.token beside korv.cfg (",
                          0),
              0u)
        << r.err;
    EXPECT_EQ(ReadFile(setup.dir / "korv.conf"), before);
    EXPECT_FALSE(FileExists(setup.dir / "korv.token"));
}

// Run by ctest inside dbus-run-session with an unlocked gnome-keyring (see
// oauth/with_keyring.sh); skipped anywhere else.
TEST(KorvconfOauthKeyring, SignInLandsInTheKeyRing) {
    if (!std::getenv("KORV_TEST_KEYRING")) GTEST_SKIP() << "needs oauth/with_keyring.sh";
    OauthSetup setup("browse", "keyring");
    ProgramResult r = setup.run({"oauth", "signin", "--provider", "custom", "--account", "ann@example.com"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Signed in as ann@example.com (key ring)\n"), std::string::npos);
    EXPECT_FALSE(FileExists(setup.dir / "korv.token"));
    auto lookup = platform::RunProcess({"secret-tool", "lookup", "provider", "custom", "account", "ann@example.com",
                                        "client-id", "korv-test-client"},
                                       platform::ProcessOptions{true, true, 0, 20});
    EXPECT_EQ(lookup.status, 0) << lookup.err;
    EXPECT_NE(lookup.out.find(setup.server.currentRefresh()), std::string::npos);
    ProgramResult test = setup.run({"oauth", "test"});
    EXPECT_EQ(test.status, 0) << test.err;
    EXPECT_EQ(setup.run({"oauth", "signout"}).status, 0);
    lookup = platform::RunProcess({"secret-tool", "lookup", "provider", "custom", "account", "ann@example.com",
                                   "client-id", "korv-test-client"},
                                  platform::ProcessOptions{true, true, 0, 20});
    EXPECT_EQ(lookup.out, "");
}

}  // namespace
}  // namespace quorvexia
