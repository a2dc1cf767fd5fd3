// korvcfg's sign-in on the Mail servers page under a real X server
// (xvfb-run), where the address goes to xdg-open: a stand-in first in PATH
// follows it like a browser to the fake authorization server, or (for
// Cancel) leaves it lying.
#include <sys/stat.h>
#include <unistd.h>

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTextBrowser>

#include "oauth/fake_auth.h"
#include "setup_gui_support.h"

namespace quorvexia {
namespace {

using test::Find;

TEST(SetupSignIn, GoogleSignsInFillsTheServersSignsOutAndCancelKeepsNothing) {
    test::FakeAuthServer server;
    ASSERT_TRUE(server.ready());
    test::TempDir dir, bin;
    test::EnsureApp();
    ASSERT_EQ(setenv("PATH", (bin.path() + ":" + std::getenv("PATH")).c_str(), 1) + chdir(dir.path().c_str()), 0);
    auto browser = [&](const std::string& does) {
        test::WriteFile(bin / "xdg-open", "#!/bin/sh\n" + does + "\n");
        chmod((bin / "xdg-open").c_str(), 0755);
    };
    browser("curl -s -L --max-time 10 --cacert '" + server.pki().caFile() + "' \"$1\" >/dev/null");
    SetupSettings settings;
    platform::RasLibrary none;
    test::ScriptedBoxes boxes;
    setup::SetupSheet sheet(settings, none, boxes);
    test::Show(sheet, 1);
    auto status = [&] { return Find<QLabel>(&sheet, "109.signin-status")->text().toStdString(); };
    EXPECT_EQ(status(), "Not signed in with a provider.");
    std::string error;  // the test's registration, laid over Google's preset, points at the fake server
    ASSERT_TRUE(WriteSideFile(dir / "korv.conf", server.side("file", "google"), error)) << error;
    auto signIn = [&](const char* provider, std::vector<std::pair<const char*, std::string>> fields) {
        test::WhenModalShows("signin", [=](QWidget* dialog) {
            Find<QComboBox>(dialog, "signin.provider")->setCurrentText(provider);
            Find<QComboBox>(dialog, "signin.store")->setCurrentIndex(1);  // korv.token
            for (const auto& [name, text] : fields)
                Find<QLineEdit>(dialog, name)->setText(QString::fromStdString(text));
            Find<QPushButton>(dialog, "signin.ok")->click();
        });
        Find<QPushButton>(&sheet, "109.signin")->click();
    };
    test::CmdlineSampler sampler;
    signIn("Google",
           {{"signin.account", "ann@example.com"}, {"signin.client-secret", "GoogleDesktopSecret-0123456789"}});
    const std::string processes = sampler.finish();
    EXPECT_EQ(status(), "Signed in as ann@example.com (korv.token)");
    EXPECT_NE(server.requests().find("POST /token authorization_code with client secret\n"), std::string::npos);
    SideSettings kept;
    ASSERT_EQ(ReadSideFile(dir / "korv.conf", kept, error), SideFileStatus::Read) << error;
    EXPECT_EQ(kept.oauth + " " + kept.oauthAccount + " " + kept.oauthStore, "google ann@example.com file");
    struct stat st {};
    EXPECT_TRUE(stat((dir / "korv.token").c_str(), &st) == 0 && (st.st_mode & 0777) == 0600);
    const std::vector<std::string> secrets = {server.currentAccess(), server.currentRefresh(),
                                              "GoogleDesktopSecret-0123456789"};
    test::ExpectNoSecret("korv.conf", test::ReadFile(dir / "korv.conf"), secrets);
    test::ExpectNoSecret("a command line or environment", processes, secrets);

    Find<QPushButton>(&sheet, "109.signout")->click();
    EXPECT_EQ(status(), "Signed out ann@example.com");
    EXPECT_EQ(server.revocations(), 1);
    EXPECT_FALSE(test::FileExists(dir / "korv.token"));
    EXPECT_EQ(test::ReadFile(dir / "korv.conf").find("oauth"), std::string::npos);
    test::Show(sheet, 0);
    EXPECT_EQ(settings.pop3Server + " " + settings.smtpServer + " " + settings.pop3User,
              "pop3s://pop.gmail.com smtps://smtp.gmail.com ann@example.com");

    // Cancel while the browser is out stops the listener at once and keeps nothing.
    browser("exit 0");
    test::Show(sheet, 1);
    int port = 0;
    test::WhenModalShows("signin.progress", [&](QWidget* progress) {
        std::string url = Find<QTextBrowser>(progress, "signin.url")->toPlainText().toStdString();
        auto at = url.find("redirect_uri=http%3A%2F%2F127.0.0.1%3A");
        port = at == std::string::npos ? 0 : std::atoi(url.c_str() + at + 38);
        EXPECT_TRUE(test::WaitUntilAccepts(static_cast<unsigned short>(port), 0)) << url;
        Find<QPushButton>(progress, "signin.cancel")->click();
    });
    signIn("Custom", {{"signin.account", "bob@example.com"}, {"signin.client-id", "korv-test-client"},
                      {"signin.authorize-url", server.url("/authorize")}, {"signin.token-url", server.url("/token")}});
    EXPECT_FALSE(port == 0 || test::WaitUntilAccepts(static_cast<unsigned short>(port), 0));
    EXPECT_EQ(status(), "sign-in was cancelled: sign in again when you are ready (cancelled)");
    EXPECT_FALSE(test::FileExists(dir / "korv.token"));
    EXPECT_EQ(test::ReadFile(dir / "korv.conf").find("bob"), std::string::npos);
    EXPECT_EQ(chdir("/"), 0);
}

}  // namespace
}  // namespace quorvexia
