// korvcfg's property sheet on the offscreen platform: the tabs, every label
// and control by object name, refilling and reading back pages, the flood
// protection controls, and OK and Cancel through the whole start-up.
#include <QCheckBox>
#include <algorithm>
#include <QDialogButtonBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>

#include "setup/startup.h"
#include "setup_gui_support.h"
#include "setup_scripted_boxes.h"
#include "support/temp_dir.h"

namespace quorvexia {
namespace {

using setup::SetupSheet;
using test::Find;
using test::Text;

struct SheetFixture : ::testing::Test {
    SheetFixture() { test::EnsureApp(); }
    SetupSettings settings;
    platform::RasLibrary noProvider;
    test::ScriptedBoxes boxes;
};

TEST_F(SheetFixture, OpensOnAboutWithFiveTabsOkAndCancel) {
    SetupSheet sheet(settings, noProvider, boxes);
    test::ShowSheet(sheet);
    EXPECT_EQ(sheet.windowTitle(), "Quorvexia 2.1 Setup");
    EXPECT_TRUE(sheet.isModal());
    EXPECT_FALSE(sheet.windowIcon().isNull());
    QTabWidget* tabs = sheet.tabs();
    ASSERT_EQ(tabs->count(), 5);
    const char* titles[] = {"About", "Mail servers", "Directories", "Connection", "Security"};
    const char* pages[] = {"118", "109", "108", "107", "120"};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(tabs->tabText(i), titles[i]);
        EXPECT_EQ(tabs->widget(i)->objectName(), pages[i]);
    }
    EXPECT_EQ(tabs->currentIndex(), 0);
    QList<QPushButton*> buttons = sheet.findChild<QDialogButtonBox*>()->findChildren<QPushButton*>();
    ASSERT_EQ(buttons.size(), 2);
    EXPECT_EQ(buttons[0]->text(), "OK");
    EXPECT_EQ(buttons[1]->text(), "Cancel");

    QLabel* text = Find<QLabel>(&sheet, "118.text");
    ASSERT_TRUE(text);
    EXPECT_TRUE(text->text().startsWith("Quorvexia 2.1 Setup\n"));
    EXPECT_EQ(text->text().count('\n'), 2);
    EXPECT_EQ(text->font().pointSize(), 12);
    for (const char* art : {"118.picture", "118.icon", "108.icon", "107.icon", "107.listIcon", "120.icon"}) {
        QLabel* label = Find<QLabel>(&sheet, art);
        ASSERT_TRUE(label);
        EXPECT_FALSE(label->pixmap().isNull()) << art;
    }
}

struct LabelCase {
    const char* label;
    const char* text;
    const char* buddy;
};

TEST_F(SheetFixture, EveryLabelCarriesItsTextMnemonicAndBuddy) {
    SetupSheet sheet(settings, noProvider, boxes);
    const LabelCase cases[] = {
        {"1238.label", "&Domain name:", "1238"},     {"1239.label", "&SMTP Server:", "1239"},
        {"1240.label", "&POP3 Server:", "1240"},     {"1241.label", "POP3 &Username:", "1241"},
        {"1242.label", "POP3 Pass&word:", "1242"},   {"1440.label", "&Inbound email:", "1440"},
        {"1441.label", "&Outbound email:", "1441"},  {"1442.label", "&Logfile:", "1442"},
        {"1008", "&Maximum message size:", "1007"},  {"25201.label", "Using this connection:", "25201"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        QLabel* label = Find<QLabel>(&sheet, c.label);
        ASSERT_TRUE(label);
        EXPECT_EQ(label->text(), c.text);
        ASSERT_TRUE(label->buddy());
        EXPECT_EQ(label->buddy()->objectName(), c.buddy);
    }
    const std::pair<const char*, const char*> buttons[] = {
        {"1005", "&Flood protection"},     {"1006", "&Delete larger messages from server."},
        {"21100", "Connect by &network"},  {"21101", "Connect by &modem"},
        {"25202", "&Add entry..."},        {"25204", "&Edit entry..."},
        {"25205", "&Connect as..."},
    };
    for (const auto& [name, text] : buttons) {
        QAbstractButton* b = Find<QAbstractButton>(&sheet, name);
        ASSERT_TRUE(b);
        EXPECT_EQ(b->text(), text);
    }
    const std::pair<const char*, const char*> groups[] = {
        {"109.group", "Mail server information"}, {"108.group", "Directories"},
        {"107.group", "Internet Mail Connection"}, {"120.group", "Security settings"},
        {"120.settings", "Settings"},
    };
    for (const auto& [name, title] : groups) {
        QGroupBox* g = Find<QGroupBox>(&sheet, name);
        ASSERT_TRUE(g);
        EXPECT_EQ(g->title(), title);
    }
    EXPECT_EQ(Find<QLabel>(&sheet, "1007.unit")->text(), "kB");
    EXPECT_EQ(Find<QLabel>(&sheet, "108.intro")->text(), "Specify the mail directories, and optionally a logfile:");
    EXPECT_EQ(Find<QLabel>(&sheet, "120.intro")->text(), "The following settings enable security features:");
    EXPECT_EQ(Find<QLabel>(&sheet, "107.intro")->text(),
              "Specify your connection type. If you connect by modem, setup the login information in "
              "\"Connect as\".");
    EXPECT_EQ(Find<QLineEdit>(&sheet, "1242")->echoMode(), QLineEdit::Password);
    for (const char* plain : {"1238", "1239", "1240", "1241", "1440", "1441", "1442", "1007"}) {
        EXPECT_EQ(Find<QLineEdit>(&sheet, plain)->echoMode(), QLineEdit::Normal) << plain;
    }
}

struct EditCase {
    int tab;
    const char* edit;
    std::string SetupSettings::*setting;
};

TEST_F(SheetFixture, TextPagesRefillWhenShownAndReadBackWhenLeft) {
    const EditCase cases[] = {
        {1, "1238", &SetupSettings::domainName}, {1, "1239", &SetupSettings::smtpServer},
        {1, "1240", &SetupSettings::pop3Server}, {1, "1241", &SetupSettings::pop3User},
        {1, "1242", &SetupSettings::pop3Password}, {2, "1440", &SetupSettings::inboundDir},
        {2, "1441", &SetupSettings::outboundDir}, {2, "1442", &SetupSettings::logFile},
    };
    SetupSheet sheet(settings, noProvider, boxes);
    test::ShowSheet(sheet);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.edit);
        settings.*c.setting = std::string("loaded ") + c.edit;
        test::ShowTab(sheet, c.tab);
        QLineEdit* edit = Find<QLineEdit>(&sheet, c.edit);
        ASSERT_TRUE(edit);
        EXPECT_EQ(Text(edit), settings.*c.setting);
        edit->setText(QString("typed ") + c.edit);
        EXPECT_EQ(settings.*c.setting, std::string("loaded ") + c.edit) << "taken only when the page is left";
        test::ShowTab(sheet, 0);
        EXPECT_EQ(settings.*c.setting, std::string("typed ") + c.edit);
    }
}

TEST_F(SheetFixture, LongDomainNameIsCutTo259AndShowsCutWhenShownAgain) {
    SetupSheet sheet(settings, noProvider, boxes);
    test::ShowSheet(sheet);
    test::ShowTab(sheet, 1);
    QLineEdit* domain = Find<QLineEdit>(&sheet, "1238");
    ASSERT_TRUE(domain);
    domain->setFocus();
    QTest::keyClicks(domain, QString(300, 'a'));
    ASSERT_EQ(domain->text().size(), 300);
    test::ShowTab(sheet, 4);
    test::ShowTab(sheet, 1);
    EXPECT_EQ(domain->text().size(), 259);
    EXPECT_EQ(settings.domainName, std::string(259, 'a'));
}

TEST_F(SheetFixture, FloodProtectionEnablesItsThreeControlsKeepingTheirContents) {
    settings.floodProtection = 1;
    settings.maxSizeText = "77";
    settings.deleteOversize = 1;
    SetupSheet sheet(settings, noProvider, boxes);
    test::ShowSheet(sheet);
    test::ShowTab(sheet, 4);
    auto* flood = Find<QCheckBox>(&sheet, "1005");
    auto* size = Find<QLineEdit>(&sheet, "1007");
    auto* label = Find<QLabel>(&sheet, "1008");
    auto* unit = Find<QLabel>(&sheet, "1007.unit");
    auto* del = Find<QCheckBox>(&sheet, "1006");
    ASSERT_TRUE(flood && size && label && unit && del);
    EXPECT_TRUE(flood->isChecked());
    EXPECT_EQ(Text(size), "77");
    EXPECT_TRUE(del->isChecked());

    for (bool on : {false, true, false}) {
        SCOPED_TRACE(on ? "switched on" : "switched off");
        test::Click(flood);
        EXPECT_EQ(settings.floodProtection, on ? 1 : 0) << "written through at once";
        EXPECT_EQ(size->isEnabled(), on);
        EXPECT_EQ(label->isEnabled(), on);
        EXPECT_EQ(del->isEnabled(), on);
        EXPECT_TRUE(unit->isEnabled());
        EXPECT_EQ(Text(size), "77");
        EXPECT_TRUE(del->isChecked());
    }
    // Flood protection is off now; leaving still reads the size, cut to 15.
    size->setText("12345678901234567890");
    test::ShowTab(sheet, 0);
    EXPECT_EQ(settings.maxSizeText, "123456789012345");
    EXPECT_EQ(settings.floodProtection, 0);

    // The delete box writes through as well, without leaving the page.
    test::ShowTab(sheet, 4);
    test::Click(flood);
    test::Click(del);
    EXPECT_EQ(settings.deleteOversize, 0);
    EXPECT_EQ(Text(size), "123456789012345");
}

// The whole program path: start-up over a file, the sheet driven by `drive`,
// and the file afterwards.
std::string RunSheetOverFile(const std::string& fileBytes, const std::function<void(SetupSheet&)>& drive) {
    test::EnsureApp();
    test::TempDir dir;
    setup::SetupFiles files{dir / "korv.cfg", dir / "bexolind.cfg"};
    test::WriteFile(files.current, fileBytes);
    platform::RasLibrary noProvider;
    test::ScriptedBoxes boxes;
    setup::SetupData data;
    setup::RunSetup(files, data, boxes, [&](setup::SetupData& d) {
        SetupSheet sheet(d.settings, noProvider, boxes);
        test::ShowSheet(sheet);
        drive(sheet);
        return sheet.result() == QDialog::Accepted;
    });
    EXPECT_TRUE(boxes.shown.empty());
    return test::ReadFile(files.current);
}

// Names the first differing offset instead of printing 1424 bytes.
void ExpectSameBytes(const std::string& actual, const std::string& expected) {
    EXPECT_EQ(actual.size(), expected.size());
    auto diff = std::mismatch(actual.begin(), actual.end(), expected.begin(), expected.end());
    EXPECT_TRUE(diff.first == actual.end() && diff.second == expected.end())
        << "first difference at offset " << (diff.first - actual.begin());
}

std::string ConfigBytes(const MailConfig& c) {
    return std::string(reinterpret_cast<const char*>(ImageBytes(c)), kMailConfigSize);
}

TEST(SetupSheetProgramTest, OkWritesTheFirst63CharactersOfALongDomainName) {
    std::string after = RunSheetOverFile(ConfigBytes(test::DefaultConfig()), [](SetupSheet& sheet) {
        test::ShowTab(sheet, 1);
        QLineEdit* domain = Find<QLineEdit>(&sheet, "1238");
        domain->setFocus();
        QTest::keyClicks(domain, QString(300, 'a'));
        test::ShowTab(sheet, 2);
        test::ShowTab(sheet, 1);
        test::Click(Find<QPushButton>(&sheet, "ok"));
    });
    MailConfig expected = test::DefaultConfig();
    expected.domainName.assign(std::string(63, 'a'));
    ExpectSameBytes(after, ConfigBytes(expected));
}

TEST(SetupSheetProgramTest, OkOnAnActiveTextPageTakesItsEdits) {
    std::string after = RunSheetOverFile(ConfigBytes(test::DefaultConfig()), [](SetupSheet& sheet) {
        test::ShowTab(sheet, 2);
        Find<QLineEdit>(&sheet, "1440")->setText("/var/mail/in");
        test::Click(Find<QPushButton>(&sheet, "ok"));
    });
    MailConfig expected = test::DefaultConfig();
    expected.inboundDir.assign("/var/mail/in");
    ExpectSameBytes(after, ConfigBytes(expected));
}

TEST(SetupSheetProgramTest, CancelLeavesTheFileAsItWas) {
    MailConfig c = test::DefaultConfig();
    c.smtpServer.assign("smtp.example.org");
    c.smtpServer.bytes[40] = 'j';  // an OK would clear this
    c.maxMessageSize.set(1500);     // an OK would round this down
    std::string before = ConfigBytes(c);
    std::string after = RunSheetOverFile(before, [](SetupSheet& sheet) {
        test::ShowTab(sheet, 1);
        Find<QLineEdit>(&sheet, "1239")->setText("changed");
        test::ShowTab(sheet, 4);
        test::Click(Find<QCheckBox>(&sheet, "1005"));
        test::Click(Find<QPushButton>(&sheet, "cancel"));
    });
    ExpectSameBytes(after, before);
}

TEST(SetupSheetProgramTest, SecuritySettingsReachTheFile) {
    std::string after = RunSheetOverFile(ConfigBytes(test::DefaultConfig()), [](SetupSheet& sheet) {
        test::ShowTab(sheet, 4);
        EXPECT_FALSE(Find<QLineEdit>(&sheet, "1007")->isEnabled());
        EXPECT_EQ(Text(Find<QLineEdit>(&sheet, "1007")), "1024");
        test::Click(Find<QCheckBox>(&sheet, "1005"));
        test::Click(Find<QCheckBox>(&sheet, "1006"));
        Find<QLineEdit>(&sheet, "1007")->setText("  12ab");
        test::Click(Find<QPushButton>(&sheet, "ok"));
    });
    MailConfig expected = test::DefaultConfig();
    expected.maxMessageSize.set(12288);
    expected.deleteOversize = 1;
    ExpectSameBytes(after, ConfigBytes(expected));
}

}  // namespace
}  // namespace quorvexia
