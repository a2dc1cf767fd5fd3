// korvcfg: record <-> settings conversions, the start-up's decisions over the
// files it finds, and the property sheet offscreen: its pages, the Connection
// page over the test dial-up provider, the whole run over a file, and the
// sheet as it opens on a 1024x768 screen at 96 dpi or QUORVEXIA_TEST_DPI.
#include <sys/stat.h>
#include <unistd.h>

#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QScreen>
#include <QTabBar>
#include <climits>
#include <filesystem>

#include "setup/startup.h"
#include "setup_gui_support.h"
#include "support/program.h"
#include "support/temp_dir.h"
#include "utf8_field_cases.h"

namespace quorvexia {
namespace {

using setup::SetupSheet;
using test::ConfigBytes;
using test::Find;
using test::Text;
using S = SetupSettings;

std::string Patched(std::string bytes, std::size_t at, const std::string& part) {
    return bytes.replace(at, part.size(), part);
}

// One text saved over an image of 'Z's, in modem mode with flood protection
// and deletion on (`off`: network mode, both off); the bytes from `at` on.
struct SaveRow {
    std::string S::*field;
    std::string text;
    std::size_t at;
    std::string bytes;
    bool clamped = false, off = false;
};

TEST(SetupConversionTest, SavedBytesAndLoadedSettings) {
    const std::string nul(1, '\0'), limit("\x00\xFC\xFF\x7F\x01ZZZ", 8), least("\x00\x00\x00\x80", 4);
    const SaveRow rows[] = {
        {&S::domainName, std::string(300, 'd'), 16, std::string(63, 'd') + nul + nul},
        {&S::dialEntry, std::string(300, 'e'), 644, std::string(256, 'e') + nul},
        {&S::dialUser, "me", 901, "me" + nul + "ZZ"},  // dial-up texts keep the bytes behind them
        {&S::dialEntry, "Office", 644, nul + "ZZ", false, true},
        {&S::maxSizeText, "\t\n 12ab", 1416, std::string("\x00\x30\x00\x00\x01ZZZ", 8)},
        {&S::maxSizeText, "+3", 1416, std::string("\x00\x0C\x00\x00", 4)},
        {&S::maxSizeText, " - 5", 1416, std::string(4, '\0')},
        {&S::maxSizeText, "-5", 1416, std::string("\x00\xEC\xFF\xFF", 4)},
        {&S::maxSizeText, "2097151", 1416, limit},
        {&S::maxSizeText, "2097152", 1416, limit, true},
        {&S::maxSizeText, "999999999999999999999999", 1416, limit, true},
        {&S::maxSizeText, "-2097152", 1416, least},
        {&S::maxSizeText, "-3000000", 1416, least, true},
        {&S::maxSizeText, "55", 1416, "\xFF\xFF\xFF\xFFZ", false, true},
    };
    for (const SaveRow& r : rows) {
        SCOPED_TRACE(r.text.substr(0, 30) + " at " + std::to_string(r.at));
        MailConfig image;
        std::memset(ImageBytes(image), 'Z', kMailConfigSize);
        S s;
        s.connectionMode = r.off ? kConnectByNetwork : kConnectByModem;
        s.floodProtection = s.deleteOversize = !r.off;
        s.*r.field = r.text;
        EXPECT_EQ(BuildRecordImage(s, image).sizeClamped, r.clamped);
        EXPECT_EQ(ConfigBytes(image).substr(r.at, r.bytes.size()), r.bytes);
    }
    // Texts without a terminator are read to their width; the stored limit decides flood protection.
    for (const auto& [stored, legacy, shown] : {std::tuple{0, false, "0"}, {1500, false, "1"},
                                                {INT32_MAX, false, "2097151"}, {-1, false, ""}, {4096, true, ""}}) {
        MailConfig image;
        std::memset(ImageBytes(image), 'x', kMailConfigSize);
        image.maxMessageSize.set(stored);
        S s;
        SettingsFromRecord(image, legacy, s);
        EXPECT_EQ(s.domainName.size() + s.logFile.size() + s.dialEntry.size() + s.dialPassword.size(),
                  64u + 80 + 256 + 256);
        EXPECT_EQ(s.maxSizeText + " " + std::to_string(s.floodProtection + s.deleteOversize),
                  *shown ? shown + std::string(" 2") : "1024 0");
    }
    S loaded;
    SettingsFromRecord(MailConfig{}, false, loaded);
    EXPECT_EQ(loaded.connectionMode, kConnectByNetwork) << "no entry, no modem";
    MailConfig image{};
    SetDefaultSettings(loaded, image);
    EXPECT_EQ(loaded.maxSizeText, "1024") << "the defaults replace the stored limit of 0";
}

long OpenFiles() { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); }

// The files ("-" absent, "/" a directory, "@" a link to nowhere, or bytes),
// the answers, OK or Cancel on the sheet, which edits the SMTP server (and
// with `rewrite` korv rewrites korv.cfg meanwhile); the boxes, korv.cfg as
// the sheet saw it ("-": no sheet) and at the end, and the directory.
struct StartRow {
    const char* name;
    std::string korv, legacy;
    std::deque<bool> answers;
    bool ok;
    std::string boxes, atSheet, after, listing, lock = "-";
    bool rewrite = false;
};

// Makes `path` as a row gives it: "/" a directory, "@" a dangling link, "-" nothing,
// anything else a file with that text.
void Put(const std::string& path, const std::string& what) {
    if (what == "/") test::MakeDir(path);
    else if (what == "@") EXPECT_EQ(symlink("nowhere", path.c_str()), 0);
    else if (what != "-") test::WriteFile(path, what);
}

TEST(SetupStartupTest, DecisionsOverTheFilesFound) {
    const std::string nul(1, '\0'), edit = "smtp.example.org", tail = "bytes beyond the record",
                      D = ConfigBytes(test::DefaultConfig());
    const std::string E = Patched(D, 240, edit), caps = Patched(D, 0, "QUORVEXIA 20 CFG"), K = Patched(D, 640, "\x0B");
    std::string L(kLegacyConfigSize, '\0');
    for (auto [at, part] : {std::pair<std::size_t, std::string>{0, "Bexolind 1.0 CFG"}, {16, "old.example"},
                            {56, "J"}, {640, "\x40\xE2\x01"}, {644, "Provider X"}, {1415, "\x5A"}})
        L.replace(at, part.size(), part);
    const std::string U = Patched(Patched(Patched(L + std::string(8, '\0'), 0, "Quorvexia 20 CFG"), 56, nul), 1416,
                                  "\xFF\xFF\xFF\xFF");
    const std::string R = Patched(Patched(D, 645, "rovider X"), 1415, "\x5A");  // defaults over a damaged bexolind.cfg
    const std::string C = "? Could not find configuration file. Create a new one?\n",
                      Up = "? Upgrade old configuration file?\n", Dm = "? Configuration file is damaged. Rebuild?\n",
                      Cr = "! Could not create configuration file.\n", lk = ".korv.cfg.lock ";
    const StartRow rows[] = {
        {"no file, created, Cancel", "-", "-", {1}, false, C, D, D, lk + "korv.cfg"},
        {"no file, created, OK", "-", "-", {1}, true, C, D, E, lk + "korv.cfg"},
        {"no file, declined", "-", "-", {0}, true, C, "-", "", ""},
        {"new file cannot be created", "@", "-", {1}, true, C + Cr, "-", "", "korv.cfg"},
        {"upgrade, Cancel", "-", L, {1}, false, Up, U, U, lk + "korv.cfg"},
        {"upgrade declined", "-", L, {0}, true, Up, "-", "", "bexolind.cfg"},
        {"upgrade, korv.cfg cannot be created", "@", L, {1}, true, Up + Cr, "-", "", "bexolind.cfg korv.cfg"},
        {"upgrade, korv.cfg cannot be written", "-", L, {1}, false, Up + "! Could not write configuration file.\n",
         "", "", lk + "bexolind.cfg korv.cfg", "/"},
        {"bexolind.cfg a byte short", "-", L.substr(0, 1415), {1, 0}, true, Up + Dm, "-", "", "bexolind.cfg"},
        {"bexolind.cfg damaged, rebuilt", "-", Patched(L, 0, "Bexolind 1.1 CFG"), {1, 1}, false, Up + Dm, R, R,
         lk + "korv.cfg"},
        {"korv.cfg saved in place, bexolind.cfg unread", D + tail, L, {}, true, "", D + tail, E + tail,
         lk + "bexolind.cfg korv.cfg"},
        {"korv.cfg a byte short", D.substr(0, 1423), L, {0}, true, Dm, "-", D.substr(0, 1423), "bexolind.cfg korv.cfg"},
        {"signature in capitals, rebuilt, Cancel", caps, "-", {1}, false, Dm, caps, caps, "korv.cfg"},
        {"damaged, rebuilt, korv rewrote it meanwhile", "damaged", "-", {1}, true, Dm, "damaged",
         Patched(E, 640, "\x0B") + tail, lk + "korv.cfg", "-", true},
        {"a directory in place of korv.cfg", "/", L, {}, true, "! Could not open configuration file.\n", "-", "",
         "bexolind.cfg korv.cfg"},
    };
    for (const StartRow& r : rows) {
        SCOPED_TRACE(r.name);
        test::TempDir dir;
        Put(dir / "korv.cfg", r.korv);
        Put(dir / "bexolind.cfg", r.legacy);
        Put(dir / ".korv.cfg.lock", r.lock);
        setup::SetupFiles files = setup::FindSetupFiles(dir.path());
        test::ScriptedBoxes boxes;
        boxes.answers = r.answers;
        setup::SetupData data;
        std::string atSheet = "-";
        const long open = OpenFiles();
        EXPECT_EQ(setup::RunSetup(files, data, boxes, [&](setup::SetupData& d) {
            atSheet = test::ReadFile(files.current);
            EXPECT_EQ(OpenFiles(), open) << "no file stays open while the sheet shows";
            if (r.rewrite) {
                EXPECT_TRUE(ReplaceFileAtomically(files.current, (K + tail).data(), K.size() + tail.size()));
            }
            d.settings.smtpServer = edit;
            return r.ok;
        }), 0);
        EXPECT_EQ(boxes.shown, r.boxes);
        EXPECT_EQ(atSheet, r.atSheet);
        EXPECT_EQ(test::ReadFile(files.current), r.after);
        EXPECT_EQ(test::ListDir(dir.path()), r.listing);
        if (test::FileExists(files.legacy)) { EXPECT_EQ(test::ReadFile(files.legacy), r.legacy); }
        struct stat st {};
        if (r.korv == "-" && stat(files.current.c_str(), &st) == 0) { EXPECT_EQ(st.st_mode & 0777, 0600u); }
    }
}

TEST(SetupStartupTest, RefusalsAndWarningsOfTheirOwn) {
    // A korv.cfg that may not be written is not offered; the superuser may write any file, so it is met as nobody.
    test::TempDir dir;
    test::WriteFile(dir / "korv.cfg", ConfigBytes(test::DefaultConfig()));
    ASSERT_EQ(chmod((dir / "korv.cfg").c_str(), 0444) + chmod(dir.path().c_str(), 0755), 0);
    test::ScriptedBoxes boxes;
    setup::SetupData data;
    EXPECT_EXIT(if (geteuid() != 0 || setgid(65534) + setuid(65534) == 0) {
        setup::RunSetup(setup::FindSetupFiles(dir.path()), data, boxes, [](setup::SetupData&) -> bool { _exit(2); });
        _exit(boxes.shown == "! Could not open configuration file.\n" ? 0 : 1);
    } _exit(3), testing::ExitedWithCode(0), "");
    // A limit clamped to a positive number is told; a failed save is told each time.
    data.settings.floodProtection = 1;
    for (const char* size : {"3000000", "-3000000"}) {
        data.settings.maxSizeText = size;
        EXPECT_FALSE(setup::SaveConfig(dir / "missing/korv.cfg", data, boxes));
    }
    EXPECT_EQ(boxes.shown, "! The maximum message size is too large. It was saved as 2097151 kB.\n"
                           "! Could not write configuration file.\n! Could not write configuration file.\n");
}

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
    // The entries ("*": selected), which of modem, list, Add, Edit and
    // Connect as are enabled, and the entry and mode settled on.
    std::string connection(QWidget* sheet) {
        auto* list = Find<QComboBox>(sheet, "25201");
        std::string out;
        for (int i = 0; i < list->count(); ++i)
            out += list->itemText(i).toStdString() + (i == list->currentIndex() ? "*," : ",");
        for (const char* name : {"21101", "25201", "25202", "25204", "25205"})
            out += Find(sheet, name)->isEnabled() ? '1' : '0';
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
    for (auto [name, field] : {std::pair{"1238", &S::domainName}, {"1239", &S::smtpServer}, {"1240", &S::pop3Server},
                               {"1241", &S::pop3User}, {"1242", &S::pop3Password}, {"1440", &S::inboundDir},
                               {"1441", &S::outboundDir}, {"1442", &S::logFile}}) {
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
        {"ok", Qt::Key_Tab, ctrl, 2},    {"cancel", Qt::Key_Backtab, ctrlShift, 1}, {"1238", Qt::Key_PageDown, ctrl, 2},
        {"ok", Qt::Key_PageUp, ctrl, 1}, {"cancel", Qt::Key_PageUp, ctrl, 0},     {"ok", Qt::Key_PageUp, ctrl, 4},
        {"cancel", Qt::Key_Tab, ctrl, 0}};
    test::Show(sheet, 1);
    Find<QLineEdit>(&sheet, "1238")->setText("by keys");
    for (const auto& k : keys) {
        test::Press(Find(&sheet, k.focus), k.key, k.modifiers);
        EXPECT_EQ(sheet.tabs()->currentIndex(), k.to) << k.focus << " " << k.key;
    }
    EXPECT_EQ(settings.domainName, "by keys");
    // Flood protection enables the size and the delete box; both boxes write through at once.
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
    test::Click(&sheet, "ok");
    EXPECT_TRUE(sheet.isVisible() && sheet.tabs()->currentIndex() == 4 && QApplication::focusWidget() == size);
    EXPECT_EQ(size->selectedText(), "2097152");
    const std::string tooLarge = "!* The maximum message size is too large. The largest is 2097151 kB.\n";
    EXPECT_EQ(boxes.shown, tooLarge + tooLarge);
    test::Click(&sheet, "1005");
    size->setText("3000000123456789");
    test::Show(sheet, 1);
    EXPECT_EQ(settings.maxSizeText, "300000012345678") << "read while off too, cut to 15";
    test::Show(sheet, 4);
    test::Click(&sheet, "1005");
    size->setText("2097151");
    test::Click(&sheet, "ok");
    EXPECT_EQ(sheet.result(), QDialog::Accepted);
    EXPECT_EQ(boxes.shown, tooLarge + tooLarge);
}

// The page opened over the provider's state ("-": no provider) and the
// stored mode and entry; `act`; then what it shows, the boxes, and a call
// the provider saw.
struct ConnectionRow {
    std::string state;
    int mode;
    const char* stored;
    std::function<void(SetupSheet&)> act;
    const char* shows;
    std::string boxes = "", call = "";
};

TEST_F(ConnectionFixture, ListSelectionEnablingAndProviderCalls) {
    const int M = kConnectByModem, N = kConnectByNetwork;
    const std::string ask = "RasEnumEntriesA\treserved=null\tphonebook=null\tdwSize=264\tcb=",
                      twice = ask + "264\n" + ask;
    const std::string cantOpen = "error_text 621 Cannot open the phone book file.\n";
    auto click = [](const char* name) { return [name](SetupSheet& s) { test::Click(&s, name); }; };
    const ConnectionRow rows[] = {
        {"entry Office 2\nentry Office\n", M, "office", {}, "Office 2*,Office,11111 Office 2 modem", "",
         twice + "528\n"},
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
        {"entry Office\ncreate_adds Alternative\n", M, "Office", click("25202"),
         "Office*,Alternative,11111 Office modem"},
        {"entry Office\nentry Home\nedit_renames Office West\n", M, "Office", [](SetupSheet& s) {
             test::Click(&s, "25204");
             test::Show(s, 4);  // nor does leaving the page take the renamed entry
             test::Show(s, 3);
         }, "Office West*,Home,11111 Office modem", "",
         "RasEditPhonebookEntryA\towner=set\tphonebook=null\tentry=\"Office\"\n"},
        {"entry A\nentry B\nentry C\nentries_size 2000\n", M, "", {}, "A*,B,C,11111 A modem", "", twice + "2000\n"},
        {"entry A\nentry B\nentries_size 16777217\n", M, "", {}, "10100  modem", "",
         ask + "264\n"},  // past 16 MiB: not believed
        {"entry A\nentry B\nentries_retry_error 621\n" + cantOpen, M, "B", {}, "10100 B modem", "", twice + "528\n"},
        {"entry A\nentries_error 621\n" + cantOpen, M, "A", {}, "10100 A modem",
         "x* Cannot open the phone book file.\n"},
        {"entry A\nentries_error 621\n", M, "A", {}, "10100 A modem", "x* Undefined RasEnumEntries Error.\n"},
        {"entry A\nentries_error 621\nerror_text 621 \n", M, "A", {}, "10100 A modem",
         "x* Undefined RasEnumEntries Error.\n"},
        // An error is told once a session, however often the list is asked for again.
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
    std::tie(settings.dialEntry, settings.dialUser, settings.dialPassword) = std::tuple("Office", "old", "older");
    SetupSheet sheet(settings, provider, boxes);
    test::Show(sheet, 3);
    std::string seen;
    for (const char* button : {"2", "1"}) {  // Cancel, then OK
        test::WhenModalShows("119", [&](QWidget* dialog) {
            seen += dialog->windowTitle().toStdString() + ": " + Text(dialog, "25304") + "/" + Text(dialog, "25305") +
                    (Find<QLineEdit>(dialog, "25305")->echoMode() == QLineEdit::Password ? " hidden\n" : "\n");
            Find<QLineEdit>(dialog, "25304")->setText(QString(300, 'u'));
            Find<QLineEdit>(dialog, "25305")->setText("new");
            test::Click(dialog, button);
        });
        test::Click(&sheet, "25205");
    }
    EXPECT_EQ(seen, "Connect as: old/older hidden\nConnect as: old/older hidden\n");
    EXPECT_EQ(settings.dialUser + "/" + settings.dialPassword, std::string(255, 'u') + "/new");
    // Enter on a focused button presses that button, as Space does.
    test::WhenModalShows("119", [](QWidget* dialog) { static_cast<QDialog*>(dialog)->reject(); });
    for (auto [button, key] : {std::pair{"25202", Qt::Key_Return}, {"25204", Qt::Key_Enter}, {"25205", Qt::Key_Return}})
        test::Press(Find(&sheet, button), key);
    EXPECT_TRUE(sheet.isVisible());
    const std::string calls = test::ReadFile(dir / "fake_ras_calls");
    EXPECT_TRUE(calls.find("RasCreatePhonebookEntryA") != calls.npos &&
                calls.find("RasEditPhonebookEntryA") != calls.npos);
    // Tab reaches the mode buttons at the checked one, where Space keeps the mode; the arrows change it.
    for (auto [mode, from, key] :
         {std::tuple<const char*, QWidget*, Qt::Key>{"21101", sheet.tabs()->tabBar(), Qt::Key_Tab},
          {"21100", Find(&sheet, "ok"), Qt::Key_Backtab}}) {
        test::Click(&sheet, mode);
        test::Press(from, key, key == Qt::Key_Tab ? Qt::NoModifier : Qt::ShiftModifier);
        EXPECT_EQ(QApplication::focusWidget(), Find(&sheet, mode));
        test::Press(QApplication::focusWidget(), Qt::Key_Space);
        EXPECT_EQ(settings.connectionMode, std::atoi(mode));
    }
    test::Press(Find(&sheet, "21100"), Qt::Key_Down);
    EXPECT_EQ(settings.connectionMode, kConnectByModem);
    // The open list shows ten rows, no wider than the box; a long name widens nothing.
    auto* list = Find<QComboBox>(&sheet, "25201");
    list->setCurrentIndex(41);
    list->showPopup();
    EXPECT_LE(list->view()->window()->height(), 12 * list->view()->sizeHintForRow(0));
    EXPECT_LE(list->view()->window()->width(), list->width() + 4);
    EXPECT_EQ(list->itemData(41, Qt::ToolTipRole).toString(), QString(256, 'W'));
    list->hidePopup();
    EXPECT_EQ(settings.dialEntry, std::string(256, 'W'));
    SetupSheet plain(settings, none, boxes);
    test::Show(plain, 3);
    EXPECT_EQ(sheet.width(), plain.width());
    // On an edit, Enter is OK.
    test::Show(sheet, 1);
    test::Press(Find(&sheet, "1238"), Qt::Key_Return);
    EXPECT_EQ(sheet.result(), QDialog::Accepted);
}

TEST_F(SheetFixture, MailServersPageSecurityChoiceAndFaults) {
    for (auto [stored, shown, change, written] : {
             std::tuple{"SMTPS://mail.example.com:2465", "mail.example.com:2465 SSL/TLS", "",
                        "smtps://mail.example.com:2465"},
             {"smtp+starttls://[::1]:587", "[::1]:587 STARTTLS", "", "smtp+starttls://[::1]:587"},
             {"mail.example.com", "mail.example.com None", "STARTTLS", "smtp+starttls://mail.example.com"},
             {"smtps://mail.example.com", "mail.example.com SSL/TLS", "None", "mail.example.com"},
             {"", " None", "SSL/TLS", ""},
             {"imap://mail.example.com", "imap://mail.example.com None", "", "imap://mail.example.com"}}) {
        settings.smtpServer = stored;
        SetupSheet sheet(settings, none, boxes);
        test::Show(sheet, 1);
        auto* choice = Find<QComboBox>(&sheet, "1243");
        EXPECT_EQ(Text(&sheet, "1239") + " " + choice->currentText().toStdString(), shown);
        if (*change) choice->setCurrentText(change);
        test::Show(sheet, 0);
        EXPECT_EQ(settings.smtpServer, written);
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
    EXPECT_EQ(settings.pop3Server + " " + Text(&sheet, "1240") + " " +
                  Find<QComboBox>(&sheet, "1244")->currentText().toStdString(),
              "pop3s://pop.example.com pop.example.com SSL/TLS");
    pop3->setText("smtps://pop.example.com");
    EXPECT_EQ(faults->isVisibleTo(&sheet) ? faults->text().toStdString() : "",
              "smtps:// is for the SMTP server; the POP3 server takes pop3s:// or pop3+starttls://, "
              "or no scheme for plain POP3");
    pop3->setText(":995");
    EXPECT_EQ(faults->text().toStdString(),
              "the POP3 server needs a host name after pop3s:// (pop3s://host or pop3s://host:port)");
    Find<QComboBox>(&sheet, "1244")->setCurrentText("None");
    EXPECT_FALSE(faults->isVisibleTo(&sheet));
}

// Accented text is cut between characters.
TEST_F(SheetFixture, OkSavesThePagesAndCancelNothing) {
    // An OK clears the junk behind the server and rounds the limit down; the Connection page is never shown.
    const std::string before =
        Patched(Patched(Patched(ConfigBytes(test::DefaultConfig()), 240, std::string("smtp.example.org\0j", 18)), 644,
                        "Office"), 1416, std::string("\xDC\x05\0\0", 4));
    std::string expected = Patched(Patched(Patched(before, 256, std::string(2, '\0')), 80, "/var/mail/in"), 1416,
                                   std::string("\0\x30\0\0\x01", 5));
    for (const auto& u : test::Utf8FieldCases()) expected.replace(u.offset, u.width, u.stored);
    for (bool ok : {false, true}) {
        test::WriteFile(dir / "korv.cfg", before);
        setup::SetupData data;
        setup::RunSetup(setup::FindSetupFiles(dir.path()), data, boxes, [&](setup::SetupData& d) {
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
        EXPECT_TRUE(test::ReadFile(dir / "korv.cfg") == (ok ? expected : before)) << ok;
    }
    EXPECT_EQ(boxes.shown, "");
}

TEST_F(SheetFixture, WithoutADisplayItSaysSoInOneLine) {
    setenv("DISPLAY", ":97", 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    unsetenv("WAYLAND_DISPLAY");
    test::ProgramResult r = test::RunProgram(KORVCFG_PATH, {}, dir.path(), "", 60);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err + r.out + test::ListDir(dir.path()),
              "korvcfg needs a graphical session and could not open a display; "
              "korvconf does the same from a terminal.\n");
}

TEST(ScreenFixture, SheetOpensShowingEveryTabAndEveryControl) {
    test::TempDir config;
    const char* wanted = std::getenv("QUORVEXIA_TEST_DPI");
    const int dpi = wanted && *wanted ? std::atoi(wanted) : 96;
    test::WriteFile(config / "screen.json",
                    "{\"screens\": [{\"name\": \"main\", \"x\": 0, \"y\": 0, \"width\": 1024, \"height\": 768, "
                    "\"logicalDpi\": " + std::to_string(dpi) + ", \"logicalBaseDpi\": 96, \"dpr\": 1.0}]}");
    setenv("QT_QPA_PLATFORM", ("offscreen:configfile=" + config / "screen.json").c_str(), 1);
    test::EnsureApp();
    QScreen* screen = QApplication::primaryScreen();
    ASSERT_DOUBLE_EQ(screen->logicalDotsPerInch() * screen->devicePixelRatio(), dpi);
    // Filled in as the pictures of docs/screenshots show it; with QUORVEXIA_SCREENSHOT_DIR
    // set, each tab is saved there as the README's picture.
    test::WriteFile(config / "state", "entry Office 2\nentry Office\nentry Home\n");
    setenv("FAKE_RAS_STATE", (config / "state").c_str(), 1);
    platform::RasLibrary provider;
    provider.load(FAKE_RASAPI_DIR);
    S settings;
    settings.domainName = "example.org", settings.pop3User = "jane", settings.pop3Password = "secret";
    settings.smtpServer = "smtp+starttls://smtp.example.org", settings.pop3Server = "pop3s://pop.example.org";
    settings.inboundDir = "/home/jane/mail/in", settings.outboundDir = "/home/jane/mail/out";
    settings.logFile = "/home/jane/mail/korv.log", settings.dialEntry = "Office";
    settings.connectionMode = kConnectByModem, settings.floodProtection = 1;
    settings.maxSizeText = "2048", settings.deleteOversize = 1;
    const char* shots = std::getenv("QUORVEXIA_SCREENSHOT_DIR");
    const char* pictures[] = {"1-about.png", "2-mail-servers.png", "3-directories.png", "4-connection.png",
                              "5-security.png"};
    test::ScriptedBoxes boxes;
    SetupSheet sheet(settings, provider, boxes);
    test::Show(sheet, 0);
    const QSize opened = sheet.size();
    EXPECT_TRUE(screen->availableGeometry().contains(sheet.frameGeometry())) << "the sheet fits the screen";
    auto inside = [&](QWidget* w, QWidget* root) {
        return root->rect().contains(QRect(w->mapTo(root, QPoint(0, 0)), w->size()));
    };
    for (int tab = 0; tab < sheet.tabs()->count(); ++tab) {
        test::Show(sheet, tab);
        SCOPED_TRACE(sheet.tabs()->tabText(tab).toStdString() + " at " + std::to_string(dpi) + " dpi");
        EXPECT_EQ(sheet.size(), opened) << "no tab makes the sheet grow";
        if (shots && *shots && tab < 5) {
            EXPECT_TRUE(sheet.grab().save(QString::fromStdString(std::string(shots) + "/" + pictures[tab]), "PNG"));
        }
        QTabBar* bar = sheet.tabs()->tabBar();
        for (int t = 0; t < bar->count(); ++t)
            EXPECT_TRUE(sheet.rect().contains(bar->tabRect(t).translated(bar->mapTo(&sheet, QPoint(0, 0)))))
                << "tab " << t;
        int checked = 0;
        for (QWidget* w : sheet.tabs()->widget(tab)->findChildren<QWidget*>()) {
            if (!w->isVisible() || w->objectName().isEmpty()) continue;
            auto* label = qobject_cast<QLabel*>(w);
            QSize needs = w->minimumSizeHint().expandedTo(QSize(0, 0));
            EXPECT_TRUE(inside(w, sheet.tabs()->widget(tab)) && w->height() >= needs.height() &&
                        w->width() >= (label && label->wordWrap() ? 0 : needs.width()))
                << w->objectName().toStdString();
            ++checked;
        }
        EXPECT_GT(checked, 2);
    }
    EXPECT_TRUE(inside(Find(&sheet, "ok"), &sheet) && inside(Find(&sheet, "cancel"), &sheet));
    EXPECT_EQ(boxes.shown, "");
}

}  // namespace
}  // namespace quorvexia
