// korvcfg's sheet as it opens on a 1024x768 screen: at 96 dpi, and (when
// QUORVEXIA_TEST_DPI says so) at 144 dpi, scaled or with larger fonts. Every
// tab's title and every control must be in sight at the size the sheet opens
// with. The pictures of docs/screenshots are taken at that size too: in a
// temporary directory, or in $QUORVEXIA_SCREENSHOT_DIR when set (that is how
// docs/screenshots is refreshed).
#include <QAbstractButton>
#include <QComboBox>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QScreen>
#include <QTabBar>
#include <set>

#include "setup_gui_support.h"
#include "setup_scripted_boxes.h"
#include "support/temp_dir.h"

namespace quorvexia {
namespace {

// The screen the application runs on, set before it starts: 1024x768 device
// pixels at the dots per inch asked for.
int StartOnScreen() {
    static test::TempDir configDir;
    const char* wanted = std::getenv("QUORVEXIA_TEST_DPI");
    static const int dpi = wanted && *wanted ? std::atoi(wanted) : 96;
    std::string config = configDir / "screen.json";
    test::WriteFile(config, "{\"screens\": [{\"name\": \"main\", \"x\": 0, \"y\": 0, \"width\": 1024, \"height\": 768, "
                            "\"logicalDpi\": " + std::to_string(dpi) + ", \"logicalBaseDpi\": 96, \"dpr\": 1.0}]}");
    if (!QApplication::instance()) setenv("QT_QPA_PLATFORM", ("offscreen:configfile=" + config).c_str(), 1);
    test::EnsureApp();
    return dpi;
}

struct ScreenFixture : ::testing::Test {
    ScreenFixture() : dpi(StartOnScreen()) {
        test::WriteFile(temp / "fake_ras_state", "entry Office 2\nentry Office\nentry Home\n");
        setenv("FAKE_RAS_STATE", (temp / "fake_ras_state").c_str(), 1);
        provider.load(FAKE_RASAPI_DIR);
        settings.domainName = "example.org";
        settings.smtpServer = "smtp+starttls://smtp.example.org";
        settings.pop3Server = "pop3s://pop.example.org";
        settings.pop3User = "jane";
        settings.pop3Password = "secret";
        settings.inboundDir = "/home/jane/mail/in";
        settings.outboundDir = "/home/jane/mail/out";
        settings.logFile = "/home/jane/mail/korv.log";
        settings.connectionMode = kConnectByModem;
        settings.dialEntry = "Office";
        settings.floodProtection = 1;
        settings.maxSizeText = "2048";
        settings.deleteOversize = 1;
    }
    int dpi;
    test::TempDir temp;
    platform::RasLibrary provider;
    SetupSettings settings;
    test::ScriptedBoxes boxes;
};

// Where `w` lies, in the coordinates of `root`.
QRect RectIn(const QWidget* w, const QWidget* root) { return QRect(w->mapTo(root, QPoint(0, 0)), w->size()); }

TEST_F(ScreenFixture, SheetOpensShowingEveryTabAndEveryControl) {
    ASSERT_TRUE(provider.loaded());
    QScreen* screen = QApplication::primaryScreen();
    ASSERT_DOUBLE_EQ(screen->logicalDotsPerInch() * screen->devicePixelRatio(), dpi)
        << "the screen runs at the dots per inch asked for";

    setup::SetupSheet sheet(settings, provider, boxes);
    test::ShowSheet(sheet);  // at the size it picks for itself, as a user gets it
    SCOPED_TRACE("sheet " + std::to_string(sheet.width()) + "x" + std::to_string(sheet.height()) + " at " +
                 std::to_string(dpi) + " dpi");
    EXPECT_TRUE(screen->availableGeometry().contains(sheet.frameGeometry()))
        << "the sheet fits the screen";

    QTabBar* bar = sheet.tabs()->tabBar();
    for (int tab = 0; tab < sheet.tabs()->count(); ++tab) {
        SCOPED_TRACE(sheet.tabs()->tabText(tab).toStdString());
        test::ShowTab(sheet, tab);
        // The whole row of titles, whichever tab is chosen.
        for (int t = 0; t < bar->count(); ++t) {
            QRect title = bar->tabRect(t);
            EXPECT_TRUE(bar->rect().contains(title)) << "tab " << t << " lies outside the tab row";
            EXPECT_TRUE(sheet.rect().contains(title.translated(bar->mapTo(&sheet, QPoint(0, 0)))))
                << "tab " << t << " lies outside the window";
        }
        // Every control of the page, inside the page and not squeezed below
        // what it needs to show its text.
        QWidget* page = sheet.tabs()->widget(tab);
        int checked = 0;
        for (QWidget* w : page->findChildren<QWidget*>()) {
            if (!w->isVisible() || w->objectName().isEmpty()) continue;
            SCOPED_TRACE(w->objectName().toStdString());
            EXPECT_TRUE(page->rect().contains(RectIn(w, page)));
            QSize needs = w->minimumSizeHint();
            if (auto* label = qobject_cast<QLabel*>(w); label && label->wordWrap()) needs.setWidth(0);
            if (needs.isValid()) {
                EXPECT_GE(w->width(), needs.width());
                EXPECT_GE(w->height(), needs.height());
            }
            ++checked;
        }
        EXPECT_GT(checked, 2);
    }
    for (const char* button : {"ok", "cancel"})
        EXPECT_TRUE(sheet.rect().contains(RectIn(test::Find<QWidget>(&sheet, button), &sheet))) << button;
}

TEST_F(ScreenFixture, EveryTabRendersToPngAtTheOpeningSize) {
    const char* wanted = std::getenv("QUORVEXIA_SCREENSHOT_DIR");
    std::string outDir = wanted && *wanted ? wanted : temp.path();

    setup::SetupSheet sheet(settings, provider, boxes);
    test::ShowSheet(sheet);
    const QSize opened = sheet.size();
    const char* files[] = {"1-about.png", "2-mail-servers.png", "3-directories.png", "4-connection.png",
                           "5-security.png"};
    for (int tab = 0; tab < 5; ++tab) {
        SCOPED_TRACE(files[tab]);
        test::ShowTab(sheet, tab);
        EXPECT_EQ(sheet.size(), opened) << "no tab makes the sheet grow";
        std::string path = outDir + "/" + files[tab];
        ASSERT_TRUE(sheet.grab().save(QString::fromStdString(path), "PNG"));
        QImage image(QString::fromStdString(path));
        ASSERT_FALSE(image.isNull());
        EXPECT_EQ(image.size(), opened * sheet.devicePixelRatioF());
        std::set<QRgb> colours;
        for (int y = 0; y < image.height(); y += 3)
            for (int x = 0; x < image.width(); x += 3) colours.insert(image.pixel(x, y));
        EXPECT_GT(colours.size(), 8u) << "a page with text and controls has more than a few colours";
    }
    EXPECT_TRUE(boxes.shown.empty());
}

}  // namespace
}  // namespace quorvexia
