// The security choice beside each server on korvcfg's Mail servers page:
// the scheme of the field is shown as the choice and written back from it.
#include <QComboBox>
#include <QLabel>

#include "setup_gui_support.h"
#include "setup_scripted_boxes.h"

namespace quorvexia {
namespace {

using setup::SetupSheet;
using test::Find;
using test::Text;

struct MailServersPage : ::testing::Test {
    MailServersPage() { test::EnsureApp(); }
    SetupSettings settings;
    platform::RasLibrary noProvider;
    test::ScriptedBoxes boxes;
};

TEST_F(MailServersPage, ChoiceShowsTheSchemeAndWritesItBack) {
    struct Case {
        const char* stored;     // the field as korv.cfg holds it
        const char* edit;       // what the edit shows
        const char* choice;     // what the box shows
        const char* change;     // a choice made by the user, or null
        const char* written;    // the field when the page is left
    };
    const Case smtp[] = {
        {"mail.example.com", "mail.example.com", "None", nullptr, "mail.example.com"},
        {"SMTPS://mail.example.com:2465", "mail.example.com:2465", "SSL/TLS", nullptr, "smtps://mail.example.com:2465"},
        {"smtp+starttls://[::1]:587", "[::1]:587", "STARTTLS", nullptr, "smtp+starttls://[::1]:587"},
        {"mail.example.com", "mail.example.com", "None", "STARTTLS", "smtp+starttls://mail.example.com"},
        {"smtps://mail.example.com", "mail.example.com", "SSL/TLS", "None", "mail.example.com"},
        {"", "", "None", "SSL/TLS", ""},  // no server, no scheme
        // A scheme the page does not know stays in the edit, as it is.
        {"imap://mail.example.com", "imap://mail.example.com", "None", nullptr, "imap://mail.example.com"},
    };
    for (const Case& c : smtp) {
        SCOPED_TRACE(c.stored);
        settings.smtpServer = c.stored;
        SetupSheet sheet(settings, noProvider, boxes);
        test::ShowSheet(sheet);
        test::ShowTab(sheet, 1);
        auto* edit = Find<QLineEdit>(&sheet, "1239");
        auto* choice = Find<QComboBox>(&sheet, "1243");
        ASSERT_TRUE(edit && choice);
        EXPECT_EQ(Text(edit), c.edit);
        EXPECT_EQ(choice->currentText().toStdString(), c.choice);
        if (c.change) choice->setCurrentText(QString::fromLatin1(c.change));
        test::ShowTab(sheet, 0);
        EXPECT_EQ(settings.smtpServer, c.written);
    }
}

TEST_F(MailServersPage, SchemeTypedIntoTheEditAndFaultsShown) {
    settings.pop3Server = "pop.example.com";
    SetupSheet sheet(settings, noProvider, boxes);
    test::ShowSheet(sheet);
    test::ShowTab(sheet, 1);
    auto* edit = Find<QLineEdit>(&sheet, "1240");
    auto* choice = Find<QComboBox>(&sheet, "1244");
    auto* faults = Find<QLabel>(&sheet, "109.faults");
    ASSERT_TRUE(edit && choice && faults);
    EXPECT_FALSE(faults->isVisibleTo(&sheet));

    edit->setText("pop3s://pop.example.com");  // typed as a whole form: taken as it stands
    test::ShowTab(sheet, 0);
    EXPECT_EQ(settings.pop3Server, "pop3s://pop.example.com");
    test::ShowTab(sheet, 1);
    EXPECT_EQ(Text(edit), "pop.example.com");
    EXPECT_EQ(choice->currentText(), "SSL/TLS");

    edit->setText("smtps://pop.example.com");
    EXPECT_TRUE(faults->isVisibleTo(&sheet));
    EXPECT_EQ(faults->text().toStdString(),
              "smtps:// is for the SMTP server; the POP3 server takes pop3s:// or pop3+starttls://, or no "
              "scheme for plain POP3");
    edit->setText(":995");
    EXPECT_EQ(faults->text().toStdString(),
              "the POP3 server needs a host name after pop3s:// (pop3s://host or pop3s://host:port)");
    choice->setCurrentText("None");  // the bare form keeps its old leniency
    EXPECT_FALSE(faults->isVisibleTo(&sheet));
}

}  // namespace
}  // namespace quorvexia
