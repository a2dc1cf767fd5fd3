// Renders every tab of korvcfg's sheet offscreen to PNG. The pictures land in
// a temporary directory, or in $QUORVEXIA_SCREENSHOT_DIR when set (that is how
// docs/screenshots is refreshed), and are checked to hold a drawn page.
#include <QImage>
#include <QPixmap>
#include <set>

#include "setup_gui_support.h"
#include "setup_scripted_boxes.h"
#include "support/temp_dir.h"

namespace quorvexia {
namespace {

TEST(SetupScreenshotsTest, EveryTabRendersToPng) {
    test::EnsureApp();
    test::TempDir temp;
    const char* wanted = std::getenv("QUORVEXIA_SCREENSHOT_DIR");
    std::string outDir = wanted && *wanted ? wanted : temp.path();

    test::WriteFile(temp / "fake_ras_state", "entry Office 2\nentry Office\nentry Home\n");
    setenv("FAKE_RAS_STATE", (temp / "fake_ras_state").c_str(), 1);
    platform::RasLibrary provider;
    ASSERT_TRUE(provider.load(FAKE_RASAPI_DIR));

    SetupSettings settings;
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

    test::ScriptedBoxes boxes;
    setup::SetupSheet sheet(settings, provider, boxes);
    sheet.resize(sheet.sizeHint().expandedTo(QSize(460, 400)));
    test::ShowSheet(sheet);
    const char* files[] = {"1-about.png", "2-mail-servers.png", "3-directories.png", "4-connection.png",
                           "5-security.png"};
    for (int tab = 0; tab < 5; ++tab) {
        SCOPED_TRACE(files[tab]);
        test::ShowTab(sheet, tab);
        std::string path = outDir + "/" + files[tab];
        ASSERT_TRUE(sheet.grab().save(QString::fromStdString(path), "PNG"));
        QImage image(QString::fromStdString(path));
        ASSERT_FALSE(image.isNull());
        EXPECT_EQ(image.size(), sheet.size());
        std::set<QRgb> colours;
        for (int y = 0; y < image.height(); y += 3)
            for (int x = 0; x < image.width(); x += 3) colours.insert(image.pixel(x, y));
        EXPECT_GT(colours.size(), 8u) << "a page with text and controls has more than a few colours";
    }
    EXPECT_TRUE(boxes.shown.empty());
}

}  // namespace
}  // namespace quorvexia
