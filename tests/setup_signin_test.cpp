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
#include <QRegularExpression>
#include <chrono>
#include <cstdlib>

#include "oauth/fake_auth.h"
#include "setup_gui_support.h"
#include "setup_scripted_boxes.h"

namespace quorvexia {
namespace {

using test::Find;
using test::ReadFile;

// korvcfg works in the directory of korv.cfg: the test moves into one whose
// korv.conf is `side`.
struct SetupSignIn : ::testing::Test {
    test::FakeAuthServer server;
    test::TempDir dir;
    std::string previous;
    SetupSettings settings;
    platform::RasLibrary noProvider;
    test::ScriptedBoxes boxes;

    void prepare(const SideSettings& side, const std::string& browser) {
        test::EnsureApp();
        ASSERT_TRUE(server.ready());
        std::string error;
        ASSERT_TRUE(WriteSideFile(dir / "korv.conf", side, error)) << error;
        // The toolkit looks for xdg-open once: the stand-in stays where it was found.
        static test::TempDir bin;
        static bool onPath = !setenv("PATH", (bin.path() + ":" + std::getenv("PATH")).c_str(), 1);
        ASSERT_TRUE(onPath);
        test::WriteFile(bin / "xdg-open", "#!/bin/sh\n" + browser + "\n");
        chmod((bin / "xdg-open").c_str(), 0755);
        char cwd[4096];
        previous = getcwd(cwd, sizeof cwd) ? cwd : "/";
        ASSERT_EQ(chdir(dir.path().c_str()), 0);
    }
    ~SetupSignIn() override {
        if (!previous.empty() && chdir(previous.c_str()) != 0) ADD_FAILURE() << "cannot go back";
    }
    std::string status(QWidget* sheet) const { return Find<QLabel>(sheet, "109.signin-status")->text().toStdString(); }
};

// Fills the sign-in dialog once it shows and confirms it.
void AnswerSignIn(const char* provider, const char* account, int store,
                  std::vector<std::pair<const char*, std::string>> fields = {}) {
    test::WhenModalShows("signin", [=](QWidget* dialog) {
        Find<QComboBox>(dialog, "signin.provider")->setCurrentText(QString::fromLatin1(provider));
        Find<QLineEdit>(dialog, "signin.account")->setText(QString::fromLatin1(account));
        Find<QComboBox>(dialog, "signin.store")->setCurrentIndex(store);
        for (const auto& [name, text] : fields) Find<QLineEdit>(dialog, name)->setText(QString::fromStdString(text));
        Find<QPushButton>(dialog, "signin.ok")->click();
    });
}

TEST_F(SetupSignIn, PresetsSignInFillTheServersAndSignOut) {
    struct {
        const char* title;
        const char* provider;
        std::vector<std::pair<const char*, std::string>> fields;
        const char *pop3, *pop3Security, *smtp, *smtpSecurity;
        const char* exchange;  // the code exchange as the server saw it
        int revocations;
    } cases[] = {
        {"Google", "google", {{"signin.client-secret", "GoogleDesktopSecret-0123456789"}}, "pop.gmail.com", "SSL/TLS",
         "smtp.gmail.com", "SSL/TLS", "POST /token authorization_code with client secret\n", 1},
        {"Microsoft", "microsoft", {{"signin.tenant", "organizations"}}, "outlook.office365.com", "SSL/TLS",
         "smtp.office365.com", "STARTTLS", "POST /token authorization_code\n", 0},
    };
    prepare({}, "curl -s -L --max-time 10 --cacert '" + server.pki().caFile() + "' \"$1\" >/dev/null");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        // A build's registration would come with the preset; the test's
        // points at the fake server.
        std::string error;
        ASSERT_TRUE(WriteSideFile(dir / "korv.conf", server.side("file", c.provider), error)) << error;
        int revokedBefore = server.revocations();
        settings = {};
        settings.pop3Server = "pop.example.com";
        setup::SetupSheet sheet(settings, noProvider, boxes);
        test::ShowSheet(sheet);
        test::ShowTab(sheet, 1);
        EXPECT_EQ(status(&sheet), "not signed in: run korvcfg or korvconf oauth signin");

        test::CmdlineSampler sampler;
        AnswerSignIn(c.title, "ann@example.com", 1, c.fields);
        Find<QPushButton>(&sheet, "109.signin")->click();
        std::string processes = sampler.finish();
        EXPECT_EQ(status(&sheet), "Signed in as ann@example.com (korv.token)");
        EXPECT_NE(server.requests().find(c.exchange), std::string::npos) << server.requests();
        // The preset's servers with their security, and the account as user.
        EXPECT_EQ(test::Text(Find<QLineEdit>(&sheet, "1240")), c.pop3);
        EXPECT_EQ(Find<QComboBox>(&sheet, "1244")->currentText().toStdString(), c.pop3Security);
        EXPECT_EQ(test::Text(Find<QLineEdit>(&sheet, "1239")), c.smtp);
        EXPECT_EQ(Find<QComboBox>(&sheet, "1243")->currentText().toStdString(), c.smtpSecurity);
        EXPECT_EQ(test::Text(Find<QLineEdit>(&sheet, "1241")), "ann@example.com");

        SideSettings kept;
        ASSERT_EQ(ReadSideFile(dir / "korv.conf", kept, error), SideFileStatus::Read) << error;
        EXPECT_EQ(kept.oauth, c.provider);
        EXPECT_EQ(kept.oauthAccount, "ann@example.com");
        EXPECT_EQ(kept.oauthStore, "file");
        struct stat st {};
        ASSERT_EQ(stat((dir / "korv.token").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        std::vector<std::string> secrets = {server.currentAccess(), server.currentRefresh(),
                                            "GoogleDesktopSecret-0123456789"};
        EXPECT_NE(ReadFile(dir / "korv.token").find(secrets[1]), std::string::npos);
        test::ExpectNoSecret("korv.conf", ReadFile(dir / "korv.conf"), secrets);
        test::ExpectNoSecret("a command line or environment", processes, secrets);

        Find<QPushButton>(&sheet, "109.signout")->click();
        EXPECT_EQ(status(&sheet), "Signed out ann@example.com");
        EXPECT_EQ(server.revocations() - revokedBefore, c.revocations);
        EXPECT_FALSE(test::FileExists(dir / "korv.token"));
        ASSERT_EQ(ReadSideFile(dir / "korv.conf", kept, error), SideFileStatus::Read) << error;
        EXPECT_EQ(kept.oauth, "");
        test::ShowTab(sheet, 0);
        EXPECT_EQ(settings.pop3Server, "pop3s://" + std::string(c.pop3));
    }
}

TEST_F(SetupSignIn, CancelStopsTheListenerAtOnceAndKeepsNothing) {
    SideSettings side;
    side.caFile = server.pki().caFile();
    prepare(side, "exit 0");  // a browser that shows the page to no one
    std::string before = ReadFile(dir / "korv.conf");
    setup::SetupSheet sheet(settings, noProvider, boxes);
    test::ShowSheet(sheet);
    test::ShowTab(sheet, 1);
    EXPECT_EQ(status(&sheet), "Not signed in with a provider.");

    AnswerSignIn("Custom", "ann@example.com", 1,
                 {{"signin.client-id", "korv-test-client"},
                  {"signin.authorize-url", server.url("/authorize")},
                  {"signin.token-url", server.url("/token")},
                  {"signin.scope", "mail offline"}});
    int port = 0;
    std::chrono::steady_clock::time_point cancelled;
    test::WhenModalShows("signin.progress", [&](QWidget* progress) {
        std::string url = Find<QTextBrowser>(progress, "signin.url")->toPlainText().toStdString();
        auto at = url.find("redirect_uri=http%3A%2F%2F127.0.0.1%3A");
        if (at != std::string::npos) port = std::atoi(url.c_str() + at + 38);
        EXPECT_TRUE(test::WaitUntilAccepts(static_cast<unsigned short>(port), 0)) << url;
        EXPECT_EQ(Find<QLabel>(progress, "signin.note")->text().toStdString(),
                  "Waiting for the browser (at most 5 minutes)...");
        cancelled = std::chrono::steady_clock::now();
        Find<QPushButton>(progress, "signin.cancel")->click();
    });
    Find<QPushButton>(&sheet, "109.signin")->click();
    auto took = std::chrono::steady_clock::now() - cancelled;
    EXPECT_LT(took, std::chrono::seconds(1));
    ASSERT_NE(port, 0);
    EXPECT_FALSE(test::WaitUntilAccepts(static_cast<unsigned short>(port), 0));
    EXPECT_EQ(status(&sheet), "sign-in was cancelled: sign in again when you are ready (cancelled)");
    EXPECT_EQ(ReadFile(dir / "korv.conf"), before);
    EXPECT_FALSE(test::FileExists(dir / "korv.token"));
    EXPECT_EQ(server.requests().find("/token"), std::string::npos);
}

}  // namespace
}  // namespace quorvexia
