// korvcfg's property sheet on the offscreen platform: its pages read back,
// refill and refuse; the Connection page over the test dial-up provider;
// the whole run over a file; and the sheet as it opens on a 1024x768 screen
// at 96 dpi, or at the dots per inch QUORVEXIA_TEST_DPI asks for.
#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QScreen>
#include <QScrollBar>
#include <QTabBar>

#include "setup/phonebook.h"
#include "setup/startup.h"
#include "setup_gui_support.h"
#include "support/program.h"
#include "support/temp_dir.h"
#include "utf8_field_cases.h"

namespace quorvexia {
namespace {

using setup::SetupSheet;
using test::Find;
using S = SetupSettings;

std::string Text(QWidget* root, const char* name) { return Find<QLineEdit>(root, name)->text().toStdString(); }

struct SheetFixture : ::testing::Test {
    SheetFixture() {
        test::EnsureApp();
        setenv("FAKE_RAS_STATE", (dir / "state").c_str(), 1);
        provider.load(FAKE_RASAPI_DIR);
    }
    void state(const std::string& lines) {
        test::WriteFile(dir / "state", lines);
        test::WriteFile(dir / "fake_ras_calls", "");
    }
    // The entries ("*" after the selected one), which of modem, list, Add,
    // Edit and Connect as are enabled, and the entry and mode settled on.
    std::string connection(QWidget* sheet) {
        auto* list = Find<QComboBox>(sheet, "25201");
        std::string out;
        for (int i = 0; i < list->count(); ++i) out += list->itemText(i).toStdString() + (i == list->currentIndex() ? "*," : ",");
        for (const char* name : {"21101", "25201", "25202", "25204", "25205"}) out += Find(sheet, name)->isEnabled() ? '1' : '0';
        return out + " " + settings.dialEntry + (settings.connectionMode == kConnectByModem ? " modem" : " network");
    }
    test::TempDir dir;
    platform::RasLibrary provider, none;
    test::ScriptedBoxes boxes;
    S settings;
};
using ConnectionFixture = SheetFixture;

TEST_F(SheetFixture, PagesReadBackRefillAndRefuse) {
    SetupSheet sheet(settings, none, boxes);
    test::Show(sheet, 0);
    std::string titles = sheet.windowTitle().toStdString() + ":";
    for (int i = 0; i < sheet.tabs()->count(); ++i) titles += " " + sheet.tabs()->tabText(i).toStdString();
    EXPECT_EQ(titles, "Quorvexia 2.1 Setup: About Mail servers Directories Connection Security");
    EXPECT_EQ(Find<QLineEdit>(&sheet, "1242")->echoMode(), QLineEdit::Password);
    const std::pair<const char*, std::string S::*> edits[] = {
        {"1238", &S::domainName}, {"1239", &S::smtpServer},  {"1240", &S::pop3Server},  {"1241", &S::pop3User},
        {"1242", &S::pop3Password}, {"1440", &S::inboundDir}, {"1441", &S::outboundDir}, {"1442", &S::logFile}};
    for (const auto& [name, field] : edits) {
        SCOPED_TRACE(name);
        settings.*field = std::string("loaded ") + name;
        test::Show(sheet, name[1] == '2' ? 1 : 2);
        EXPECT_EQ(Text(&sheet, name), settings.*field);
        Find<QLineEdit>(&sheet, name)->setText(QString("typed ") + name);
        EXPECT_EQ(settings.*field, std::string("loaded ") + name) << "taken only when the page is left";
        test::Show(sheet, 0);
        EXPECT_EQ(settings.*field, std::string("typed ") + name);
    }
    // Ctrl+Tab, Ctrl+Shift+Tab, Ctrl+PgDn and Ctrl+PgUp step round the tabs from anywhere.
    const Qt::KeyboardModifiers ctrl = Qt::ControlModifier, ctrlShift = ctrl | Qt::ShiftModifier;
    const struct { const char* focus; Qt::Key key; Qt::KeyboardModifiers modifiers; int to; } keys[] = {
        {"ok", Qt::Key_Tab, ctrl, 2},      {"cancel", Qt::Key_Backtab, ctrlShift, 1}, {"1238", Qt::Key_PageDown, ctrl, 2},
        {"ok", Qt::Key_PageUp, ctrl, 1}, {"cancel", Qt::Key_PageUp, ctrl, 0},     {"ok", Qt::Key_PageUp, ctrl, 4},
        {"cancel", Qt::Key_Tab, ctrl, 0}};
    test::Show(sheet, 1);
    Find<QLineEdit>(&sheet, "1238")->setText("by keys");
    for (const auto& k : keys) {
        test::Press(Find(&sheet, k.focus), k.key, k.modifiers);
        EXPECT_EQ(sheet.tabs()->currentIndex(), k.to) << k.focus << " " << k.key;
    }
    EXPECT_EQ(settings.domainName, "by keys");

    // Flood protection: the box enables the size and the delete box, and both boxes write through at once.
    settings.floodProtection = settings.deleteOversize = 1;
    settings.maxSizeText = "77";
    test::Show(sheet, 4);
    auto security = [&] {
        std::string s = std::to_string(settings.floodProtection) + std::to_string(settings.deleteOversize) + " ";
        for (const char* name : {"1007", "1008", "1006", "1007.unit"}) s += Find(&sheet, name)->isEnabled() ? '1' : '0';
        return s + " " + Text(&sheet, "1007") + (Find<QCheckBox>(&sheet, "1006")->isChecked() ? " ticked" : "");
    };
    EXPECT_EQ(security(), "11 1111 77 ticked");
    test::Click(&sheet, "1005");
    EXPECT_EQ(security(), "01 0001 77 ticked");
    test::Click(&sheet, "1005");
    test::Click(&sheet, "1006");
    EXPECT_EQ(security(), "10 1111 77");
    // A limit that does not fit the record keeps the page in front, on leaving and on OK.
    auto* size = Find<QLineEdit>(&sheet, "1007");
    size->setText("2097152");
    test::Show(sheet, 1);
    EXPECT_EQ(sheet.tabs()->currentIndex(), 4);
    EXPECT_EQ(QApplication::focusWidget(), size);
    EXPECT_EQ(size->selectedText(), "2097152");
    test::Click(&sheet, "ok");
    EXPECT_TRUE(sheet.isVisible());
    const std::string tooLarge = "!* The maximum message size is too large. The largest is 2097151 kB.\n";
    EXPECT_EQ(boxes.shown, tooLarge + tooLarge);
    test::Click(&sheet, "1005");
    size->setText("3000000123456789");
    test::Show(sheet, 1);
    EXPECT_EQ(settings.maxSizeText, "300000012345678") << "read even when off, cut to 15";
    test::Show(sheet, 4);
    test::Click(&sheet, "1005");
    size->setText("2097151");
    test::Click(&sheet, "ok");
    EXPECT_EQ(sheet.result(), QDialog::Accepted);
    EXPECT_EQ(boxes.shown, tooLarge + tooLarge);
}

// Each row opens the Connection page over the provider's state and the stored mode and entry, does `act`, and names what shows.
struct ConnectionRow {
    std::string state;  // "-": no provider
    int mode;
    const char* stored;
    std::function<void(SetupSheet&)> act;
    const char* shows;
    std::string boxes = "", call = "";  // the boxes shown, and calls the provider saw
};

TEST_F(ConnectionFixture, ListSelectionEnablingAndProviderCalls) {
    const int M = kConnectByModem, N = kConnectByNetwork;
    const std::string enumerate = "RasEnumEntriesA\treserved=null\tphonebook=null\tdwSize=264\tcb=";
    const std::string twice = enumerate + "264\n" + enumerate, cantOpen = "error_text 621 Cannot open the phone book file.\n";
    auto click = [](const char* name) { return [name](SetupSheet& s) { test::Click(&s, name); }; };
    const ConnectionRow rows[] = {
        {"entry Office 2\nentry Office\n", M, "office", {}, "Office 2*,Office,11111 Office 2 modem", "", twice + "528\n"},
        {"entry Home\nentry Office\n", M, "office", {}, "Home,Office*,11111 Office modem"},
        {"entry Home\nentry Office\n", M, "Office 2", {}, "Home*,Office,11111 Home modem"},
        {"", M, "A", {}, "10100 A modem"},
        {"entry A\n", N, "", {}, "A*,10000 A network"},
        {"-", M, "Office", {}, "00000 Office network"},
        {"entry Dial One\nentry Dial Two\n", N, "dial t", click("21101"), "Dial One,Dial Two*,11111 Dial Two modem"},
        {"entry A\nentry B\n", M, "B", click("21100"), "A,B*,10000 B network"},
        {"entry Alpha\nentry Beta\nentry Gamma\n", M, "Alpha", [this](SetupSheet& s) {
             auto* list = Find<QComboBox>(&s, "25201");
             list->showPopup();
             list->setCurrentIndex(2);
             EXPECT_EQ(settings.dialEntry, "Alpha") << "taken when the list closes up";
             list->hidePopup();
         }, "Alpha,Beta,Gamma*,11111 Gamma modem"},
        {"entry Alpha\nentry Beta\n", M, "Beta", [](SetupSheet& s) { QTest::keyClick(Find(&s, "25201"), Qt::Key_Up); },
         "Alpha*,Beta,11111 Alpha modem"},
        {"create_adds My ISP\n", M, "", click("25202"), "My ISP*,11111 My ISP modem", "",
         "RasCreatePhonebookEntryA\towner=set\tphonebook=null\n"},
        {"entry Office\ncreate_adds Alternative\n", M, "Office", click("25202"), "Office*,Alternative,11111 Office modem"},
        {"entry Office\nentry Home\nedit_renames Office West\n", M, "Office", click("25204"),
         "Office West*,Home,11111 Office modem", "", "RasEditPhonebookEntryA\towner=set\tphonebook=null\tentry=\"Office\"\n"},
        {"entry A\nentry B\nentry C\nentries_size 2000\n", M, "", {}, "A*,B,C,11111 A modem", "", twice + "2000\n"},
        {"entry A\nentry B\nentries_retry_error 621\n" + cantOpen, M, "B", {}, "10100 B modem", "", twice + "528\n"},
        {"entry A\nentries_error 621\n" + cantOpen, M, "A", {}, "10100 A modem", "x* Cannot open the phone book file.\n"},
        {"entry A\nentries_error 621\n", M, "A", {}, "10100 A modem", "x* Undefined RasEnumEntries Error.\n"},
        {"entry A\nentries_error 621\nerror_text 621 \n", M, "A", {}, "10100 A modem", "x* Undefined RasEnumEntries Error.\n"},
        // An error is told once a session, however often the list is asked for again; another error is told.
        {"entries_error 7300\nerror_text 7300 nmcli is not installed.\n", M, "", [&](SetupSheet& s) {
             for (const char* name : {"21100", "21101", "25202"}) test::Click(&s, name);
             test::Show(s, 0);
             test::Show(s, 3);
             state("entries_error 7008\nerror_text 7008 NetworkManager is not running.\n");
             for (const char* name : {"21100", "21101"}) test::Click(&s, name);
         }, "10100  modem", "x* nmcli is not installed.\nx* NetworkManager is not running.\n"},
    };
    for (const ConnectionRow& r : rows) {
        SCOPED_TRACE(r.state + " " + r.stored);
        state(r.state);
        boxes.shown.clear();
        settings = S{};
        settings.connectionMode = r.mode;
        settings.dialEntry = r.stored;
        SetupSheet sheet(settings, r.state == "-" ? none : provider, boxes);
        test::Show(sheet, 3);
        if (r.act) r.act(sheet);
        EXPECT_EQ(connection(&sheet), r.shows);
        EXPECT_EQ(boxes.shown, r.boxes);
        EXPECT_NE(test::ReadFile(dir / "fake_ras_calls").find(r.call), std::string::npos);
    }
}

TEST_F(ConnectionFixture, ConnectAsKeysAndTheOpenList) {
    std::string entries = "entry Office\n";
    for (int i = 1; i <= 40; ++i) entries += "entry Provider " + std::to_string(i) + "\n";
    state(entries + "entry " + std::string(256, 'W') + "\n");
    settings.connectionMode = kConnectByModem;
    settings.dialEntry = "Office";
    settings.dialUser = "old user";
    settings.dialPassword = "old password";
    SetupSheet sheet(settings, provider, boxes);
    test::Show(sheet, 3);
    std::string seen;
    for (const char* button : {"2", "1"}) {  // Cancel, then OK
        test::WhenModalShows("119", [&](QWidget* dialog) {
            auto* password = Find<QLineEdit>(dialog, "25305");
            seen += dialog->windowTitle().toStdString() + ": " + Text(dialog, "25304") + "/" + password->text().toStdString() +
                    (password->echoMode() == QLineEdit::Password ? " hidden\n" : "\n");
            Find<QLineEdit>(dialog, "25304")->setText(QString(300, 'u'));
            password->setText("new password");
            test::Click(dialog, button);
        });
        test::Click(&sheet, "25205");
    }
    EXPECT_EQ(seen, "Connect as: old user/old password hidden\nConnect as: old user/old password hidden\n");
    EXPECT_EQ(settings.dialUser + "/" + settings.dialPassword, std::string(255, 'u') + "/new password");

    // Enter on a focused button presses that button, as Space does; elsewhere it is OK.
    test::WhenModalShows("119", [](QWidget* dialog) { static_cast<QDialog*>(dialog)->reject(); });
    test::Press(Find(&sheet, "25202"), Qt::Key_Return);
    test::Press(Find(&sheet, "25204"), Qt::Key_Enter);
    test::Press(Find(&sheet, "25205"), Qt::Key_Return);
    EXPECT_TRUE(sheet.isVisible());
    const std::string calls = test::ReadFile(dir / "fake_ras_calls");
    EXPECT_NE(calls.find("RasCreatePhonebookEntryA"), std::string::npos);
    EXPECT_NE(calls.find("RasEditPhonebookEntryA"), std::string::npos);

    // Tab reaches the mode buttons at the checked one, where Space keeps the mode; the arrows change it.
    for (const char* mode : {"21101", "21100"}) {
        if (mode[4] == '0') test::Click(&sheet, "21100");
        test::Press(sheet.tabs()->tabBar(), Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget()->objectName(), mode);
        test::Press(QApplication::focusWidget(), Qt::Key_Space);
        EXPECT_EQ(settings.connectionMode, std::atoi(mode));
    }
    test::Press(Find(&sheet, "21100"), Qt::Key_Down);
    EXPECT_EQ(settings.connectionMode, kConnectByModem);

    // The open list scrolls after ten rows and is no wider than the box; a long name does not widen the sheet.
    auto* list = Find<QComboBox>(&sheet, "25201");
    list->setCurrentIndex(41);
    list->showPopup();
    QWidget* popup = list->view()->window();
    EXPECT_LE(popup->height(), 12 * list->view()->sizeHintForRow(0));
    EXPECT_GT(list->view()->verticalScrollBar()->maximum(), 0);
    EXPECT_LE(popup->width(), list->width() + 4);
    EXPECT_EQ(list->itemData(41, Qt::ToolTipRole).toString(), QString(256, 'W'));
    list->hidePopup();
    EXPECT_EQ(settings.dialEntry, std::string(256, 'W'));
    SetupSheet plain(settings, none, boxes);
    test::Show(plain, 3);
    EXPECT_EQ(sheet.width(), plain.width());
    test::Show(sheet, 1);
    test::Press(Find(&sheet, "1238"), Qt::Key_Return);
    EXPECT_EQ(sheet.result(), QDialog::Accepted);
    EXPECT_EQ(setup::FindEntryByPrefix({"Office 2", "HOME net"}, "home net 2") + setup::FindEntryByPrefix({}, ""), -2);
}

// The security choice beside a server shows the field's scheme and writes it back.
TEST_F(SheetFixture, MailServersPageSecurityChoiceAndFaults) {
    const struct { const char *stored, *edit, *choice, *change, *written; } rows[] = {
        {"SMTPS://mail.example.com:2465", "mail.example.com:2465", "SSL/TLS", "", "smtps://mail.example.com:2465"},
        {"smtp+starttls://[::1]:587", "[::1]:587", "STARTTLS", "", "smtp+starttls://[::1]:587"},
        {"mail.example.com", "mail.example.com", "None", "STARTTLS", "smtp+starttls://mail.example.com"},
        {"smtps://mail.example.com", "mail.example.com", "SSL/TLS", "None", "mail.example.com"},
        {"", "", "None", "SSL/TLS", ""},
        {"imap://mail.example.com", "imap://mail.example.com", "None", "", "imap://mail.example.com"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.stored);
        settings.smtpServer = r.stored;
        SetupSheet sheet(settings, none, boxes);
        test::Show(sheet, 1);
        auto* choice = Find<QComboBox>(&sheet, "1243");
        EXPECT_EQ(Text(&sheet, "1239") + " " + choice->currentText().toStdString(), std::string(r.edit) + " " + r.choice);
        if (*r.change) choice->setCurrentText(r.change);
        test::Show(sheet, 0);
        EXPECT_EQ(settings.smtpServer, r.written);
    }
    settings.smtpServer = "";
    SetupSheet sheet(settings, none, boxes);
    test::Show(sheet, 1);
    auto* pop3 = Find<QLineEdit>(&sheet, "1240");
    auto* faults = Find<QLabel>(&sheet, "109.faults");
    EXPECT_FALSE(faults->isVisibleTo(&sheet));
    pop3->setText("pop3s://pop.example.com");  // a scheme typed in wins over the choice
    test::Show(sheet, 0);
    test::Show(sheet, 1);
    EXPECT_EQ(settings.pop3Server + " " + Text(&sheet, "1240") + " " + Find<QComboBox>(&sheet, "1244")->currentText().toStdString(),
              "pop3s://pop.example.com pop.example.com SSL/TLS");
    pop3->setText("smtps://pop.example.com");
    EXPECT_EQ(faults->isVisibleTo(&sheet) ? faults->text().toStdString() : "",
              "smtps:// is for the SMTP server; the POP3 server takes pop3s:// or pop3+starttls://, or no scheme for plain POP3");
    pop3->setText(":995");
    EXPECT_EQ(faults->text().toStdString(), "the POP3 server needs a host name after pop3s:// (pop3s://host or pop3s://host:port)");
    Find<QComboBox>(&sheet, "1244")->setCurrentText("None");
    EXPECT_FALSE(faults->isVisibleTo(&sheet));
}

// The whole run over a korv.cfg: OK stores what the pages hold (accented
// text cut between characters), Cancel leaves the file as it was.
TEST_F(SheetFixture, OkSavesThePagesAndCancelNothing) {
    MailConfig c = test::DefaultConfig();
    c.smtpServer.assign("smtp.example.org");
    c.smtpServer.bytes[40] = 'j';   // an OK clears this
    c.maxMessageSize.set(1500);     // an OK rounds this down
    c.dialEntry.assign("Office");   // the Connection page is never shown
    MailConfig e = c;
    e.smtpServer.bytes[40] = '\0';
    e.inboundDir.assign("/var/mail/in");
    e.maxMessageSize.set(12288);
    e.deleteOversize = 1;
    std::string expected = test::ConfigBytes(e);
    for (const auto& u : test::Utf8FieldCases()) expected.replace(u.offset, u.width, u.stored);
    for (bool ok : {false, true}) {
        test::TempDir run;
        test::WriteConfig(run / "korv.cfg", c);
        setup::SetupData data;
        setup::RunSetup(setup::FindSetupFiles(run.path()), data, boxes, [&](setup::SetupData& d) {
            SetupSheet sheet(d.settings, none, boxes);
            for (const auto& u : test::Utf8FieldCases()) {
                test::Show(sheet, u.tab);
                Find<QLineEdit>(&sheet, u.edit)->setText(QString::fromStdString(u.typed));
                test::Show(sheet, 0);
                test::Show(sheet, u.tab);
                EXPECT_EQ(Text(&sheet, u.edit), u.shown);
            }
            test::Show(sheet, 4);
            test::Click(&sheet, "1006");
            Find<QLineEdit>(&sheet, "1007")->setText("  12ab");
            test::Show(sheet, 2);
            Find<QLineEdit>(&sheet, "1440")->setText("/var/mail/in");
            test::Click(&sheet, ok ? "ok" : "cancel");
            return sheet.result() == QDialog::Accepted;
        });
        EXPECT_TRUE(test::ReadFile(run / "korv.cfg") == (ok ? expected : test::ConfigBytes(c))) << ok;
    }
    EXPECT_EQ(boxes.shown, "");
}

// Without a display korvcfg says in one line what it needs, ends with 1 and touches no file.
TEST_F(SheetFixture, WithoutADisplayItSaysSoInOneLine) {
    setenv("DISPLAY", ":97", 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    unsetenv("WAYLAND_DISPLAY");
    test::ProgramResult r = test::RunProgram(KORVCFG_PATH, {}, dir.path(), "", 60);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err + r.out + test::ListDir(dir.path()),
              "korvcfg needs a graphical session and could not open a display; korvconf does the same from a terminal.\n");
}

// Every tab's title and every control in sight, unsqueezed, at the size the sheet opens with.
TEST(ScreenFixture, SheetOpensShowingEveryTabAndEveryControl) {
    test::TempDir config;
    const char* wanted = std::getenv("QUORVEXIA_TEST_DPI");
    const int dpi = wanted && *wanted ? std::atoi(wanted) : 96;
    test::WriteFile(config / "screen.json", "{\"screens\": [{\"name\": \"main\", \"x\": 0, \"y\": 0, \"width\": 1024, \"height\": 768, "
                    "\"logicalDpi\": " + std::to_string(dpi) + ", \"logicalBaseDpi\": 96, \"dpr\": 1.0}]}");
    setenv("QT_QPA_PLATFORM", ("offscreen:configfile=" + config / "screen.json").c_str(), 1);
    test::EnsureApp();
    QScreen* screen = QApplication::primaryScreen();
    ASSERT_DOUBLE_EQ(screen->logicalDotsPerInch() * screen->devicePixelRatio(), dpi);
    test::WriteFile(config / "state", "entry Office 2\nentry Office\nentry Home\n");
    setenv("FAKE_RAS_STATE", (config / "state").c_str(), 1);
    platform::RasLibrary provider;
    ASSERT_TRUE(provider.load(FAKE_RASAPI_DIR));
    S settings{"example.org", "smtp+starttls://smtp.example.org", "pop3s://pop.example.org", "/home/jane/mail/in",
               "/home/jane/mail/out", "jane", "secret", "/home/jane/mail/korv.log", kConnectByModem, "Office", "", "", 1, "2048", 1};
    test::ScriptedBoxes boxes;
    SetupSheet sheet(settings, provider, boxes);
    test::Show(sheet, 0);
    const QSize opened = sheet.size();
    EXPECT_TRUE(screen->availableGeometry().contains(sheet.frameGeometry())) << "the sheet fits the screen";
    auto in = [&](QWidget* w, QWidget* root) { return root->rect().contains(QRect(w->mapTo(root, QPoint(0, 0)), w->size())); };
    for (int tab = 0; tab < sheet.tabs()->count(); ++tab) {
        test::Show(sheet, tab);
        SCOPED_TRACE(sheet.tabs()->tabText(tab).toStdString() + " at " + std::to_string(dpi) + " dpi");
        EXPECT_EQ(sheet.size(), opened) << "no tab makes the sheet grow";
        QTabBar* bar = sheet.tabs()->tabBar();
        for (int t = 0; t < bar->count(); ++t)
            EXPECT_TRUE(sheet.rect().contains(bar->tabRect(t).translated(bar->mapTo(&sheet, QPoint(0, 0))))) << "tab " << t;
        int checked = 0;
        for (QWidget* w : sheet.tabs()->widget(tab)->findChildren<QWidget*>()) {
            if (!w->isVisible() || w->objectName().isEmpty()) continue;
            SCOPED_TRACE(w->objectName().toStdString());
            EXPECT_TRUE(in(w, sheet.tabs()->widget(tab)));
            auto* label = qobject_cast<QLabel*>(w);
            QSize needs = w->minimumSizeHint().expandedTo(QSize(0, 0));
            EXPECT_TRUE(w->width() >= (label && label->wordWrap() ? 0 : needs.width()) && w->height() >= needs.height());
            ++checked;
        }
        EXPECT_GT(checked, 2);
    }
    EXPECT_TRUE(in(Find(&sheet, "ok"), &sheet) && in(Find(&sheet, "cancel"), &sheet));
    EXPECT_EQ(boxes.shown, "");
}

}  // namespace
}  // namespace quorvexia
