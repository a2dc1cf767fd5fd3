// The Connection page and "Connect as" with the test dial-up provider: what
// the list shows and selects, which controls are enabled, what reaches the
// settings and the file, and what the provider was called with.
#include <QAbstractItemView>
#include <QComboBox>
#include <QPushButton>
#include <QScrollBar>
#include <QTabBar>
#include <QRadioButton>
#include <QStringList>

#include <memory>

#include "setup/phonebook.h"
#include "setup/startup.h"
#include "setup_gui_support.h"
#include "setup_scripted_boxes.h"
#include "support/temp_dir.h"

namespace quorvexia {
namespace {

using setup::SetupSheet;
using test::Find;

constexpr int kConnectionTab = 3;

struct ConnectionFixture : ::testing::Test {
    ConnectionFixture() {
        test::EnsureApp();
        setenv("FAKE_RAS_STATE", statePath().c_str(), 1);
        provider.load(FAKE_RASAPI_DIR);
    }
    std::string statePath() const { return dir / "fake_ras_state"; }
    void state(const std::string& lines) { test::WriteFile(statePath(), lines); }
    std::string calls() const { return test::ReadFile(dir / "fake_ras_calls"); }

    QStringList listed(SetupSheet& sheet) {
        QStringList names;
        auto* list = Find<QComboBox>(&sheet, "25201");
        for (int i = 0; list && i < list->count(); ++i) names << list->itemText(i);
        return names;
    }
    std::string current(SetupSheet& sheet) { return Find<QComboBox>(&sheet, "25201")->currentText().toStdString(); }
    // Which of list, Add, Edit and Connect as are enabled, as "1000" and so on.
    std::string enabled(SetupSheet& sheet) {
        std::string flags;
        for (const char* name : {"25201", "25202", "25204", "25205"})
            flags += Find<QWidget>(&sheet, name)->isEnabled() ? '1' : '0';
        return flags;
    }

    // The sheet shown on the Connection tab, over `ras` (the test provider or none).
    SetupSheet& openPage(platform::RasLibrary& ras) {
        openSheet = std::make_unique<SetupSheet>(settings, ras, boxes);
        test::ShowSheet(*openSheet);
        test::ShowTab(*openSheet, kConnectionTab);
        return *openSheet;
    }

    test::TempDir dir;
    platform::RasLibrary provider;
    platform::RasLibrary noProvider;
    test::ScriptedBoxes boxes;
    SetupSettings settings;
    std::unique_ptr<SetupSheet> openSheet;  // last: it refers to the members above
};

TEST_F(ConnectionFixture, StoredNameIsMatchedAsAPrefixIgnoringCaseAndSaved) {
    ASSERT_TRUE(provider.loaded());
    state("entry Office 2\nentry Office\n");
    settings.connectionMode = kConnectByModem;
    settings.dialEntry = "office";
    SetupSheet& sheet = openPage(provider);
    EXPECT_EQ(listed(sheet), (QStringList{"Office 2", "Office"}));
    EXPECT_EQ(current(sheet), "Office 2");
    EXPECT_EQ(settings.dialEntry, "Office 2");
    EXPECT_TRUE(Find<QRadioButton>(&sheet, "21101")->isChecked());
    EXPECT_EQ(enabled(sheet), "1111");
    // One element of 264 bytes first, then once more with the size asked for.
    EXPECT_EQ(calls(),
              "RasEnumEntriesA\treserved=null\tphonebook=null\tdwSize=264\tcb=264\n"
              "RasEnumEntriesA\treserved=null\tphonebook=null\tdwSize=264\tcb=528\n");

    MailConfig image{};
    BuildRecordImage(settings, image);
    EXPECT_EQ(image.dialEntry.text(), "Office 2");
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(ConnectionFixture, NameMatchingNothingLeavesTheFirstEntrySelected) {
    state("entry Home\nentry Office\n");
    settings.connectionMode = kConnectByModem;
    settings.dialEntry = "Gone";
    SetupSheet& sheet = openPage(provider);
    EXPECT_EQ(current(sheet), "Home");
    EXPECT_EQ(settings.dialEntry, "Home");
}

TEST_F(ConnectionFixture, EnablingFollowsModeAndEntries) {
    struct Case {
        const char* state;
        int mode;
        const char* enabled;
    };
    const Case cases[] = {
        {"", kConnectByModem, "0100"},
        {"", kConnectByNetwork, "0000"},
        {"entry A\n", kConnectByModem, "1111"},
        {"entry A\n", kConnectByNetwork, "0000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.state) + (c.mode == kConnectByModem ? " modem" : " network"));
        state(c.state);
        SetupSettings s;
        s.connectionMode = c.mode;
        s.dialEntry = c.mode == kConnectByModem ? "A" : "";
        SetupSheet sheet(s, provider, boxes);
        test::ShowSheet(sheet);
        test::ShowTab(sheet, kConnectionTab);
        EXPECT_EQ(enabled(sheet), c.enabled);
        EXPECT_TRUE(Find<QRadioButton>(&sheet, "21101")->isEnabled());
        // The list holds the entries whatever the mode.
        EXPECT_EQ(listed(sheet).size(), std::string(c.state).empty() ? 0 : 1);
    }
}

TEST_F(ConnectionFixture, ModeClickRefreshesAndTakesTheSelection) {
    state("entry Dial One\nentry Dial Two\n");
    settings.dialEntry = "dial t";  // left in the settings while the mode is network
    SetupSheet& sheet = openPage(provider);
    EXPECT_EQ(enabled(sheet), "0000");
    EXPECT_EQ(settings.dialEntry, "Dial Two") << "the first display clicks the mode button";
    test::Click(Find<QRadioButton>(&sheet, "21101"));
    EXPECT_EQ(settings.connectionMode, kConnectByModem);
    EXPECT_EQ(enabled(sheet), "1111");
    test::Click(Find<QRadioButton>(&sheet, "21100"));
    EXPECT_EQ(settings.connectionMode, kConnectByNetwork);
    EXPECT_EQ(enabled(sheet), "0000");
    MailConfig image{};
    image.dialEntry.assign("Dial Two");
    BuildRecordImage(settings, image);
    EXPECT_TRUE(image.dialEntry.empty()) << "network mode saves no entry";
}

TEST_F(ConnectionFixture, ChoosingFromTheListTakesTheEntryWhenItClosesUp) {
    state("entry Alpha\nentry Beta\nentry Gamma\n");
    settings.connectionMode = kConnectByModem;
    settings.dialEntry = "Alpha";
    SetupSheet& sheet = openPage(provider);
    auto* list = Find<QComboBox>(&sheet, "25201");
    list->showPopup();
    list->setCurrentIndex(2);
    EXPECT_EQ(settings.dialEntry, "Alpha") << "not taken before the list closes";
    list->hidePopup();
    EXPECT_EQ(settings.dialEntry, "Gamma");
    // A choice with the keys on the closed list is taken too.
    list->setFocus();
    QTest::keyClick(list, Qt::Key_Up);
    EXPECT_EQ(current(sheet), "Beta");
    EXPECT_EQ(settings.dialEntry, "Beta");
}

TEST_F(ConnectionFixture, AddEntryCallsTheProviderAndListsAndSelectsTheNewEntry) {
    state("create_adds My ISP\n");
    settings.connectionMode = kConnectByModem;
    SetupSheet& sheet = openPage(provider);
    EXPECT_EQ(enabled(sheet), "0100");
    test::Click(Find<QPushButton>(&sheet, "25202"));
    EXPECT_EQ(listed(sheet), QStringList{"My ISP"});
    EXPECT_EQ(enabled(sheet), "1111");
    EXPECT_EQ(settings.dialEntry, "My ISP");
    EXPECT_NE(calls().find("RasCreatePhonebookEntryA\towner=set\tphonebook=null\n"), std::string::npos);
}

TEST_F(ConnectionFixture, AddedEntryIsSelectedOnlyWhenTheStoredNameDoesNotMatchAnother) {
    state("entry Office\ncreate_adds Alternative\n");
    settings.connectionMode = kConnectByModem;
    settings.dialEntry = "Office";
    SetupSheet& sheet = openPage(provider);
    test::Click(Find<QPushButton>(&sheet, "25202"));
    EXPECT_EQ(listed(sheet), (QStringList{"Office", "Alternative"}));
    EXPECT_EQ(current(sheet), "Office");
    EXPECT_EQ(settings.dialEntry, "Office");
}

TEST_F(ConnectionFixture, EditedEntryKeepsTheOldNameInTheSettings) {
    state("entry Office\nentry Home\nedit_renames Office West\n");
    settings.connectionMode = kConnectByModem;
    settings.dialEntry = "Office";
    SetupSheet& sheet = openPage(provider);
    test::Click(Find<QPushButton>(&sheet, "25204"));
    EXPECT_NE(calls().find("RasEditPhonebookEntryA\towner=set\tphonebook=null\tentry=\"Office\"\n"),
              std::string::npos);
    EXPECT_EQ(listed(sheet), (QStringList{"Office West", "Home"}));
    EXPECT_EQ(settings.dialEntry, "Office");
    // Nor does leaving the page, or OK, take the renamed entry.
    test::ShowTab(sheet, 4);
    EXPECT_EQ(settings.dialEntry, "Office");
    test::ShowTab(sheet, kConnectionTab);
    test::Click(Find<QPushButton>(&sheet, "ok"));
    EXPECT_EQ(sheet.result(), QDialog::Accepted);
    EXPECT_EQ(settings.dialEntry, "Office");
}

TEST_F(ConnectionFixture, ListLargerThanOneElementIsAskedForOnceMore) {
    state("entry A\nentry B\nentry C\nentries_size 2000\n");
    settings.connectionMode = kConnectByModem;
    SetupSheet& sheet = openPage(provider);
    EXPECT_EQ(listed(sheet), (QStringList{"A", "B", "C"}));
    EXPECT_EQ(calls(),
              "RasEnumEntriesA\treserved=null\tphonebook=null\tdwSize=264\tcb=264\n"
              "RasEnumEntriesA\treserved=null\tphonebook=null\tdwSize=264\tcb=2000\n");
}

TEST_F(ConnectionFixture, SecondAskThatFailsListsNothingWithoutAMessage) {
    state("entry A\nentry B\nentries_retry_error 621\nerror_text 621 Cannot open the phone book file.\n");
    settings.connectionMode = kConnectByModem;
    settings.dialEntry = "B";
    SetupSheet& sheet = openPage(provider);
    EXPECT_EQ(calls(),
              "RasEnumEntriesA\treserved=null\tphonebook=null\tdwSize=264\tcb=264\n"
              "RasEnumEntriesA\treserved=null\tphonebook=null\tdwSize=264\tcb=528\n");
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_TRUE(listed(sheet).isEmpty());
    EXPECT_EQ(enabled(sheet), "0100");
    EXPECT_EQ(settings.dialEntry, "B");
}

TEST_F(ConnectionFixture, EnumerationErrorsAreShownAndListNothing) {
    struct Case {
        const char* state;
        const char* text;
    };
    const Case cases[] = {
        {"entry A\nentries_error 621\nerror_text 621 Cannot open the phone book file.\n",
         "Cannot open the phone book file."},
        {"entry A\nentries_error 621\n", "Undefined RasEnumEntries Error."},
        {"entry A\nentries_error 621\nerror_text 621 \n", "Undefined RasEnumEntries Error."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        state(c.state);
        test::ScriptedBoxes shown;
        SetupSettings s;
        s.connectionMode = kConnectByModem;
        s.dialEntry = "A";
        SetupSheet sheet(s, provider, shown);
        test::ShowSheet(sheet);
        test::ShowTab(sheet, kConnectionTab);
        EXPECT_EQ(shown.shown, std::vector<test::ShownBox>{test::Stop(c.text)});
        EXPECT_TRUE(listed(sheet).isEmpty());
        EXPECT_EQ(enabled(sheet), "0100");
        EXPECT_EQ(s.dialEntry, "A");
    }
}

TEST_F(ConnectionFixture, WithoutProviderOnlyTheNetworkIsOffered) {
    settings.connectionMode = kConnectByModem;
    settings.dialEntry = "Office";
    SetupSheet& sheet = openPage(noProvider);
    EXPECT_FALSE(Find<QRadioButton>(&sheet, "21101")->isEnabled());
    EXPECT_TRUE(Find<QRadioButton>(&sheet, "21100")->isChecked());
    EXPECT_EQ(settings.connectionMode, kConnectByNetwork);
    EXPECT_EQ(enabled(sheet), "0000");
    EXPECT_TRUE(boxes.shown.empty());

    MailConfig image{};
    image.dialEntry.assign("Office");
    BuildRecordImage(settings, image);
    EXPECT_EQ(std::string(image.dialEntry.bytes.data(), 7), std::string("\0ffice\0", 7));
}

TEST_F(ConnectionFixture, PageNeverShownKeepsTheLoadedModeEvenWithoutProvider) {
    settings.connectionMode = kConnectByModem;
    settings.dialEntry = "Office";
    SetupSheet sheet(settings, noProvider, boxes);
    test::ShowSheet(sheet);
    test::ShowTab(sheet, 4);
    test::Click(Find<QPushButton>(&sheet, "ok"));
    EXPECT_EQ(sheet.result(), QDialog::Accepted);
    EXPECT_EQ(settings.connectionMode, kConnectByModem);
    EXPECT_EQ(settings.dialEntry, "Office");
}

TEST_F(ConnectionFixture, ConnectAsTakesBothTextsOnOkAndNothingOnCancel) {
    state("entry Office\n");
    settings.connectionMode = kConnectByModem;
    settings.dialEntry = "Office";
    settings.dialUser = "old user";
    settings.dialPassword = "old password";
    SetupSheet& sheet = openPage(provider);
    auto* connectAs = Find<QPushButton>(&sheet, "25205");

    std::string shownUser, shownPassword;
    QLineEdit::EchoMode echo = QLineEdit::Normal;
    test::WhenModalShows("119", [&](QWidget* dialog) {
        EXPECT_EQ(dialog->windowTitle(), "Connect as");
        auto* user = Find<QLineEdit>(dialog, "25304");
        auto* password = Find<QLineEdit>(dialog, "25305");
        shownUser = test::Text(user);
        shownPassword = test::Text(password);
        echo = password->echoMode();
        user->setText("new user");
        password->setText("new password");
        test::Click(Find<QPushButton>(dialog, "2"));
    });
    test::Click(connectAs);
    EXPECT_EQ(shownUser, "old user");
    EXPECT_EQ(shownPassword, "old password");
    EXPECT_EQ(echo, QLineEdit::Password);
    EXPECT_EQ(settings.dialUser, "old user");
    EXPECT_EQ(settings.dialPassword, "old password");

    test::WhenModalShows("119", [&](QWidget* dialog) {
        Find<QLineEdit>(dialog, "25304")->setText(QString(300, 'u'));
        Find<QLineEdit>(dialog, "25305")->setText("new password");
        test::Click(Find<QPushButton>(dialog, "1"));
    });
    test::Click(connectAs);
    EXPECT_EQ(settings.dialUser, std::string(255, 'u'));
    EXPECT_EQ(settings.dialPassword, "new password");
}

TEST_F(ConnectionFixture, SavedThroughTheWholeStartUp) {
    // The prefix example from start to file: "office" is stored, Office 2 is saved.
    state("entry Office 2\nentry Office\n");
    setup::SetupFiles files{dir / "korv.cfg", dir / "bexolind.cfg"};
    MailConfig c = test::DefaultConfig();
    c.dialEntry.assign("office");
    test::WriteConfig(files.current, c);
    setup::SetupData data;
    setup::RunSetup(files, data, boxes, [&](setup::SetupData& d) {
        SetupSheet sheet(d.settings, provider, boxes);
        test::ShowSheet(sheet);
        test::ShowTab(sheet, kConnectionTab);
        test::Click(Find<QPushButton>(&sheet, "ok"));
        return sheet.result() == QDialog::Accepted;
    });
    EXPECT_EQ(test::ReadConfig(files.current).dialEntry.text(), "Office 2");
}

// An enumeration error is told once a session: every mode click, Add and Edit
// refreshes the list, and a missing tool stays missing. Another error is told.
TEST_F(ConnectionFixture, AnEnumerationErrorIsShownOncePerSession) {
    state("entries_error 7300\nerror_text 7300 nmcli is not installed.\n");
    settings.connectionMode = kConnectByModem;
    SetupSheet& sheet = openPage(provider);
    test::Click(Find<QRadioButton>(&sheet, "21100"));
    test::Click(Find<QRadioButton>(&sheet, "21101"));
    test::Click(Find<QPushButton>(&sheet, "25202"));
    test::ShowTab(sheet, 0);
    test::ShowTab(sheet, kConnectionTab);
    EXPECT_EQ(calls().find("RasEnumEntriesA"), 0u);
    EXPECT_EQ(boxes.shown, std::vector<test::ShownBox>{test::Stop("nmcli is not installed.")});

    state("entries_error 7008\nerror_text 7008 NetworkManager is not running.\n");
    test::Click(Find<QRadioButton>(&sheet, "21100"));
    test::Click(Find<QRadioButton>(&sheet, "21101"));
    EXPECT_EQ(boxes.shown, (std::vector<test::ShownBox>{test::Stop("nmcli is not installed."),
                                                        test::Stop("NetworkManager is not running.")}));
}

// Many entries, and one name as long as a name can be: the open list scrolls
// after ten rows and is no wider than the box, and the sheet keeps its width.
TEST_F(ConnectionFixture, TheOpenListIsBoundedInRowsAndWidth) {
    std::string entries;
    for (int i = 1; i <= 40; ++i) entries += "entry Provider " + std::to_string(i) + "\n";
    state(entries);
    settings.connectionMode = kConnectByModem;
    SetupSheet& sheet = openPage(provider);
    const int usualWidth = sheet.width();
    openSheet.reset();

    state(entries + "entry " + std::string(256, 'W') + "\n");
    SetupSheet& wide = openPage(provider);
    EXPECT_EQ(wide.width(), usualWidth) << "a long name does not widen the sheet";
    auto* list = Find<QComboBox>(&wide, "25201");
    ASSERT_EQ(list->count(), 41);
    list->setCurrentIndex(40);
    list->showPopup();
    QWidget* popup = list->view()->window();
    ASSERT_TRUE(popup->isVisible());
    const int row = list->view()->sizeHintForRow(0);
    EXPECT_LE(popup->height(), 12 * row) << "ten rows and a frame, not 41 rows";
    EXPECT_GT(list->view()->verticalScrollBar()->maximum(), 0) << "the rest is reached by scrolling";
    EXPECT_LE(popup->width(), list->width() + 4);
    EXPECT_EQ(list->itemData(40, Qt::ToolTipRole).toString(), QString(256, 'W')) << "the whole name on hover";
    list->hidePopup();
    EXPECT_EQ(settings.dialEntry, std::string(256, 'W'));
}

// Enter on a focused push button presses that button, as Space does; only
// elsewhere does it press OK.
TEST_F(ConnectionFixture, EnterOnAFocusedButtonPressesThatButton) {
    state("entry Office\n");
    struct Case {
        const char* button;
        Qt::Key key;
    };
    const Case cases[] = {
        {"25202", Qt::Key_Return}, {"25204", Qt::Key_Return}, {"25205", Qt::Key_Return},
        {"25202", Qt::Key_Enter},  {"25204", Qt::Key_Enter},  {"25205", Qt::Key_Enter},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.button) + (c.key == Qt::Key_Enter ? " keypad Enter" : " Return"));
        test::WriteFile(dir / "fake_ras_calls", "");
        settings.connectionMode = kConnectByModem;
        settings.dialEntry = "Office";
        SetupSheet& sheet = openPage(provider);
        bool dialogShown = false;
        if (std::string(c.button) == "25205")
            test::WhenModalShows("119", [&](QWidget* dialog) {
                dialogShown = true;
                static_cast<QDialog*>(dialog)->reject();
            });
        test::PressOn(Find<QWidget>(&sheet, c.button), c.key);
        EXPECT_TRUE(sheet.isVisible()) << "the sheet stays open";
        EXPECT_NE(sheet.result(), QDialog::Accepted);
        const std::string button = c.button;
        EXPECT_EQ(calls().find("RasCreatePhonebookEntryA") != std::string::npos, button == "25202");
        EXPECT_EQ(calls().find("RasEditPhonebookEntryA") != std::string::npos, button == "25204");
        EXPECT_EQ(dialogShown, button == "25205");
        openSheet.reset();
    }

    // On an edit of another page Enter is still OK.
    SetupSheet& sheet = openPage(provider);
    test::ShowTab(sheet, 1);
    test::PressOn(Find<QWidget>(&sheet, "1238"), Qt::Key_Return);
    EXPECT_EQ(sheet.result(), QDialog::Accepted);
}

// Tab reaches the two mode buttons at the checked one, from either side, so
// that Space there keeps the mode; the arrow keys still change it.
TEST_F(ConnectionFixture, TabFocusLandsOnTheCheckedModeButton) {
    state("entry Office\n");
    struct Case {
        int mode;
        const char* from;  // the widget that has the focus first
        Qt::Key key;
        const char* lands;
    };
    const Case cases[] = {
        {kConnectByModem, "tabbar", Qt::Key_Tab, "21101"},
        {kConnectByNetwork, "tabbar", Qt::Key_Tab, "21100"},
        {kConnectByModem, "25201", Qt::Key_Backtab, "21101"},
        {kConnectByNetwork, "ok", Qt::Key_Backtab, "21100"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.from) + (c.key == Qt::Key_Tab ? " Tab" : " Shift+Tab") + " to " + c.lands);
        settings.connectionMode = c.mode;
        settings.dialEntry = "Office";
        SetupSheet& sheet = openPage(provider);
        QWidget* from = std::string(c.from) == "tabbar" ? sheet.tabs()->tabBar() : Find<QWidget>(&sheet, c.from);
        from->setFocus(Qt::OtherFocusReason);
        test::PressOn(from, c.key, c.key == Qt::Key_Backtab ? Qt::ShiftModifier : Qt::NoModifier);
        ASSERT_EQ(QApplication::focusWidget(), Find<QWidget>(&sheet, c.lands));
        test::PressOn(QApplication::focusWidget(), Qt::Key_Space);
        EXPECT_EQ(settings.connectionMode, c.mode) << "Space on the checked button keeps the mode";
        openSheet.reset();
    }

    settings.connectionMode = kConnectByNetwork;
    SetupSheet& sheet = openPage(provider);
    auto* network = Find<QRadioButton>(&sheet, "21100");
    network->setFocus(Qt::TabFocusReason);
    test::PressOn(network, Qt::Key_Down);
    EXPECT_EQ(settings.connectionMode, kConnectByModem);
    EXPECT_EQ(QApplication::focusWidget(), Find<QWidget>(&sheet, "21101"));
    // Now Tab from the tab row reaches modem, the checked one.
    sheet.tabs()->tabBar()->setFocus(Qt::OtherFocusReason);
    test::PressOn(sheet.tabs()->tabBar(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), Find<QWidget>(&sheet, "21101"));
}

TEST(PhonebookTest, PrefixSearchIgnoresCaseAndTakesTheFirstMatch) {
    const std::vector<std::string> names = {"Office 2", "Office", "HOME net", "home"};
    EXPECT_EQ(setup::FindEntryByPrefix(names, "office"), 0);
    EXPECT_EQ(setup::FindEntryByPrefix(names, "OFFICE "), 0);
    EXPECT_EQ(setup::FindEntryByPrefix(names, "Office 22"), -1);
    EXPECT_EQ(setup::FindEntryByPrefix(names, "home"), 2);
    EXPECT_EQ(setup::FindEntryByPrefix(names, ""), 0);
    EXPECT_EQ(setup::FindEntryByPrefix({}, ""), -1);
}

}  // namespace
}  // namespace quorvexia
