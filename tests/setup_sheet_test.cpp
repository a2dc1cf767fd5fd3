// korvcfg's property sheet on the offscreen platform: the tabs, every label
// and control by object name, refilling and reading back pages, the flood
// protection controls, and OK and Cancel through the whole start-up.
#include <QCheckBox>
#include <algorithm>
#include <QDialogButtonBox>
#include <QKeySequence>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>

#include "setup/security_page.h"
#include "setup/startup.h"
#include "setup_gui_support.h"
#include "setup_scripted_boxes.h"
#include "support/program.h"
#include "support/temp_dir.h"
#include "utf8_field_cases.h"

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

// Ctrl+Tab, Ctrl+Shift+Tab, Ctrl+PgDn and Ctrl+PgUp step through the tabs
// (round the ends) from OK and Cancel too, and the page left reads back.
TEST_F(SheetFixture, CtrlTabAndCtrlPageKeysChangeTabsFromOkAndCancel) {
    struct Case {
        const char* focus;
        int from;
        Qt::Key key;
        Qt::KeyboardModifiers modifiers;
        int to;
    };
    const Qt::KeyboardModifiers ctrl = Qt::ControlModifier, ctrlShift = Qt::ControlModifier | Qt::ShiftModifier;
    const Case cases[] = {
        {"ok", 1, Qt::Key_Tab, ctrl, 2},           {"cancel", 1, Qt::Key_Tab, ctrl, 2},
        {"ok", 1, Qt::Key_Backtab, ctrlShift, 0},  {"cancel", 1, Qt::Key_Backtab, ctrlShift, 0},
        {"ok", 1, Qt::Key_PageDown, ctrl, 2},      {"cancel", 1, Qt::Key_PageDown, ctrl, 2},
        {"ok", 1, Qt::Key_PageUp, ctrl, 0},        {"cancel", 1, Qt::Key_PageUp, ctrl, 0},
        {"ok", 4, Qt::Key_Tab, ctrl, 0},           {"cancel", 0, Qt::Key_PageUp, ctrl, 4},
        {"1238", 1, Qt::Key_PageDown, ctrl, 2},    {"1238", 1, Qt::Key_Tab, ctrl, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.focus) + " from tab " + std::to_string(c.from) + " key " +
                     QKeySequence(c.key | c.modifiers).toString().toStdString());
        settings = SetupSettings{};
        SetupSheet sheet(settings, noProvider, boxes);
        test::ShowSheet(sheet);
        test::ShowTab(sheet, c.from);
        Find<QLineEdit>(&sheet, "1238")->setText("typed");
        test::PressOn(Find<QWidget>(&sheet, c.focus), c.key, c.modifiers);
        EXPECT_EQ(sheet.tabs()->currentIndex(), c.to);
        EXPECT_TRUE(sheet.isVisible());
        if (c.from == 1) {
            EXPECT_EQ(settings.domainName, "typed") << "the page left reads back";
        }
    }
}

// A limit that does not fit the record is refused while the sheet is open,
// on leaving the Security page and on OK, before anything is saved.
TEST_F(SheetFixture, TooLargeSizeKeepsTheSecurityPageOpenWithAWarning) {
    struct Case {
        const char* text;
        bool flood;
        bool refused;
    };
    const Case cases[] = {
        {"2097151", true, false}, {"2097152", true, true},   {"  9999999999999", true, true},
        {"-5000000", true, false}, {"3000000", false, false},  {"0", true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.text) + (c.flood ? " with" : " without") + " flood protection");
        settings = SetupSettings{};
        settings.floodProtection = c.flood;
        test::ScriptedBoxes shown;
        SetupSheet sheet(settings, noProvider, shown);
        test::ShowSheet(sheet);
        test::ShowTab(sheet, 4);
        auto* size = Find<QLineEdit>(&sheet, "1007");
        size->setText(c.text);
        std::vector<test::ShownBox> warned;
        if (c.refused) warned.push_back({setup::MessageKind::Warning, setup::SizeTooLargeText(), true});

        test::ShowTab(sheet, 1);
        EXPECT_EQ(sheet.tabs()->currentIndex(), c.refused ? 4 : 1);
        EXPECT_EQ(shown.shown, warned);
        EXPECT_EQ(settings.maxSizeText, c.text);
        if (!c.refused) continue;
        EXPECT_EQ(QApplication::focusWidget(), size);
        EXPECT_EQ(size->selectedText(), c.text);

        test::Click(Find<QPushButton>(&sheet, "ok"));
        EXPECT_TRUE(sheet.isVisible());
        EXPECT_NE(sheet.result(), QDialog::Accepted);
        EXPECT_EQ(shown.shown.size(), 2u);

        size->setText("2097151");
        test::Click(Find<QPushButton>(&sheet, "ok"));
        EXPECT_EQ(sheet.result(), QDialog::Accepted);
        EXPECT_EQ(settings.maxSizeText, "2097151");
        EXPECT_EQ(shown.shown.size(), 2u);
    }
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

// Accented letters typed past a field's end: the edit shows whole letters
// when the tab comes back (no replacement mark), and the file holds whole
// letters followed by NULs; korvconf stores the same bytes.
TEST(SetupSheetProgramTest, AccentedTextIsCutBetweenCharacters) {
    std::vector<std::string> shown;
    std::string after = RunSheetOverFile(ConfigBytes(test::DefaultConfig()), [&](SetupSheet& sheet) {
        for (const auto& c : test::Utf8FieldCases()) {
            test::ShowTab(sheet, c.tab);
            QLineEdit* edit = Find<QLineEdit>(&sheet, c.edit);
            edit->setFocus();
            test::TypeText(edit, QString::fromUtf8(c.typed.data(), static_cast<qsizetype>(c.typed.size())));
            EXPECT_EQ(edit->text().toUtf8().toStdString(), c.typed) << "typed whole";
            test::ShowTab(sheet, 0);
            test::ShowTab(sheet, c.tab);
            shown.push_back(edit->text().toUtf8().toStdString());
        }
        test::Click(Find<QPushButton>(&sheet, "ok"));
    });
    ASSERT_EQ(after.size(), kMailConfigSize);
    std::size_t i = 0;
    for (const auto& c : test::Utf8FieldCases()) {
        SCOPED_TRACE(c.edit);
        ASSERT_LT(i, shown.size());
        EXPECT_EQ(shown[i++], c.shown);
        EXPECT_EQ(after.substr(c.offset, c.width), c.stored);
    }
}

// Without a display korvcfg says in one line what it needs and what to use
// instead, ends with 1, and touches no file.
TEST(SetupSheetProgramTest, WithoutADisplayItSaysSoInOneLine) {
    struct Case {
        const char* name;
        const char* display;   // nullptr: unset
        const char* platform;  // nullptr: unset (the toolkit's own choice)
    };
    const Case cases[] = {
        {"no DISPLAY at all", nullptr, nullptr},
        {"a DISPLAY with no server", ":97", nullptr},
        {"the X11 platform asked for by name", nullptr, "xcb"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        auto set = [](const char* name, const char* value) {
            if (value) setenv(name, value, 1);
            else unsetenv(name);
        };
        std::string savedPlatform = std::getenv("QT_QPA_PLATFORM") ? std::getenv("QT_QPA_PLATFORM") : "";
        set("DISPLAY", c.display);
        set("QT_QPA_PLATFORM", c.platform);
        unsetenv("WAYLAND_DISPLAY");
        test::ProgramResult r = test::RunProgram(KORVCFG_PATH, {}, dir.path(), "", 60);
        set("QT_QPA_PLATFORM", savedPlatform.empty() ? nullptr : savedPlatform.c_str());
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err,
                  "korvcfg needs a graphical session and could not open a display; korvconf does the same "
                  "from a terminal.\n");
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(test::ListDir(dir.path()), "") << "no korv.cfg was created";
    }
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
