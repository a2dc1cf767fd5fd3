// korvcfg's sign-in on the Mail servers page, run under a real X server
// (xvfb-run) where QDesktopServices hands the address to xdg-open: a
// stand-in first in PATH follows it like a browser to the fake
// authorization server, or leaves it lying for the Cancel case.
#include <sys/stat.h>
#include <unistd.h>

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTextBrowser>
#include <chrono>

#include "oauth/fake_auth.h"
#include "setup_gui_support.h"
#include "setup_scripted_boxes.h"

namespace quorvexia {
namespace {

using test::Find;
using test::ReadFile;

// korvcfg works in the directory of korv.cfg: the test moves into one.
struct SetupSignIn : ::testing::Test {
    test::FakeAuthServer server;
    test::TempDir dir;
    SetupSettings settings;
    platform::RasLibrary noProvider;
    test::ScriptedBoxes boxes;

    void prepare(const std::string& browser) {
        test::EnsureApp();
        ASSERT_TRUE(server.ready());
        // The toolkit looks for xdg-open once: the stand-in stays where it was found.
        static test::TempDir bin;
        static bool onPath = !setenv("PATH", (bin.path() + ":" + std::getenv("PATH")).c_str(), 1);
        ASSERT_TRUE(onPath);
        test::WriteFile(bin / "xdg-open", "#!/bin/sh\n" + browser + "\n");
        chmod((bin / "xdg-open").c_str(), 0755);
        ASSERT_EQ(chdir(dir.path().c_str()), 0);
    }
    ~SetupSignIn() override { EXPECT_EQ(chdir("/"), 0); }  // out before the directory goes
    std::string status(QWidget* sheet) const { return Find<QLabel>(sheet, "109.signin-status")->text().toStdString(); }
    // Clicks Sign in... and answers the dialog once it shows.
    void signIn(QWidget* sheet, const char* provider, std::vector<std::pair<const char*, std::string>> fields) {
        test::WhenModalShows("signin", [=](QWidget* dialog) {
            Find<QComboBox>(dialog, "signin.provider")->setCurrentText(QString::fromLatin1(provider));
            Find<QComboBox>(dialog, "signin.store")->setCurrentIndex(1);  // korv.token
            for (const auto& [name, text] : fields) Find<QLineEdit>(dialog, name)->setText(QString::fromStdString(text));
            Find<QPushButton>(dialog, "signin.ok")->click();
        });
        Find<QPushButton>(sheet, "109.signin")->click();
    }
};

TEST_F(SetupSignIn, PresetsSignInFillTheServersAndSignOut) {
    struct {
        const char* title;
        const char* provider;
        const char* field;  // one more answer in the dialog
        std::string value;
        const char *pop3, *smtp;
        const char* exchange;  // the code exchange as the server saw it
        int revocations;
    } cases[] = {
        {"Google", "google", "signin.client-secret", "GoogleDesktopSecret-0123456789", "pop3s://pop.gmail.com",
         "smtps://smtp.gmail.com", "POST /token authorization_code with client secret\n", 1},
        {"Microsoft", "microsoft", "signin.tenant", "organizations", "pop3s://outlook.office365.com",
         "smtp+starttls://smtp.office365.com", "POST /token authorization_code\n", 0},
    };
    prepare("curl -s -L --max-time 10 --cacert '" + server.pki().caFile() + "' \"$1\" >/dev/null");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        // A build's registration would come with the preset; the test's points at the fake server.
        std::string error;
        ASSERT_TRUE(WriteSideFile(dir / "korv.conf", server.side("file", c.provider), error)) << error;
        int revokedBefore = server.revocations();
        settings = {};
        setup::SetupSheet sheet(settings, noProvider, boxes);
        test::ShowSheet(sheet);
        test::ShowTab(sheet, 1);
        test::CmdlineSampler sampler;
        signIn(&sheet, c.title, {{"signin.account", "ann@example.com"}, {c.field, c.value}});
        std::string processes = sampler.finish();
        EXPECT_EQ(status(&sheet), "Signed in as ann@example.com (korv.token)");
        EXPECT_NE(server.requests().find(c.exchange), std::string::npos) << server.requests();
        SideSettings kept;
        ASSERT_EQ(ReadSideFile(dir / "korv.conf", kept, error), SideFileStatus::Read) << error;
        EXPECT_EQ(kept.oauth + " " + kept.oauthAccount + " " + kept.oauthStore, std::string(c.provider) + " ann@example.com file");
        struct stat st {};
        ASSERT_EQ(stat((dir / "korv.token").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        std::vector<std::string> secrets = {server.currentAccess(), server.currentRefresh(),
                                            "GoogleDesktopSecret-0123456789"};
        test::ExpectNoSecret("korv.conf", ReadFile(dir / "korv.conf"), secrets);
        test::ExpectNoSecret("a command line or environment", processes, secrets);

        Find<QPushButton>(&sheet, "109.signout")->click();
        EXPECT_EQ(status(&sheet), "Signed out ann@example.com");
        EXPECT_EQ(server.revocations() - revokedBefore, c.revocations);
        EXPECT_FALSE(test::FileExists(dir / "korv.token"));
        EXPECT_EQ(ReadFile(dir / "korv.conf").find("oauth"), std::string::npos);
        // The preset's servers, their security and the account, as the page writes them back.
        test::ShowTab(sheet, 0);
        EXPECT_EQ(settings.pop3Server + " " + settings.smtpServer + " " + settings.pop3User,
                  std::string(c.pop3) + " " + c.smtp + " ann@example.com");
    }
}

TEST_F(SetupSignIn, CancelStopsTheListenerAtOnceAndKeepsNothing) {
    prepare("exit 0");  // a browser that shows the page to no one
    setup::SetupSheet sheet(settings, noProvider, boxes);
    test::ShowSheet(sheet);
    test::ShowTab(sheet, 1);
    EXPECT_EQ(status(&sheet), "Not signed in with a provider.");
    int port = 0;
    std::chrono::steady_clock::time_point cancelled;
    test::WhenModalShows("signin.progress", [&](QWidget* progress) {
        std::string url = Find<QTextBrowser>(progress, "signin.url")->toPlainText().toStdString();
        auto at = url.find("redirect_uri=http%3A%2F%2F127.0.0.1%3A");
        if (at != std::string::npos) port = std::atoi(url.c_str() + at + 38);
        EXPECT_TRUE(test::WaitUntilAccepts(static_cast<unsigned short>(port), 0)) << url;
        cancelled = std::chrono::steady_clock::now();
        Find<QPushButton>(progress, "signin.cancel")->click();
    });
    signIn(&sheet, "Custom",
           {{"signin.account", "ann@example.com"}, {"signin.client-id", "korv-test-client"},
            {"signin.authorize-url", server.url("/authorize")}, {"signin.token-url", server.url("/token")}});
    EXPECT_LT(std::chrono::steady_clock::now() - cancelled, std::chrono::seconds(1));
    ASSERT_NE(port, 0);
    EXPECT_FALSE(test::WaitUntilAccepts(static_cast<unsigned short>(port), 0));
    EXPECT_EQ(status(&sheet), "sign-in was cancelled: sign in again when you are ready (cancelled)");
    EXPECT_FALSE(test::FileExists(dir / "korv.conf"));
    EXPECT_FALSE(test::FileExists(dir / "korv.token"));
}

}  // namespace
}  // namespace quorvexia
