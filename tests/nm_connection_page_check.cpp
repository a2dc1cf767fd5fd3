// korvcfg's Connection page over the NetworkManager provider and a real
// NetworkManager, run by nm_real_test.sh inside its namespaces, in a
// directory whose korv.cfg names the entry "office", with
//   NM_CHECK_PROVIDER_DIR  the directory of the provider library
//   NM_CHECK_PROFILES      the names of the profiles made there, one a line
// It picks the profile, enters "Connect as" and saves with OK, as a user does.
#include <QComboBox>
#include <QRadioButton>
#include <QStringList>

#include "setup/startup.h"
#include "setup_gui_support.h"
#include "support/temp_dir.h"

namespace quorvexia {
namespace {

using test::Find;

TEST(RealNetworkManager, ConnectionPageListsTheProfilesAndSavesConnectAs) {
    const char* providerDir = std::getenv("NM_CHECK_PROVIDER_DIR");
    ASSERT_TRUE(providerDir && *providerDir) << "run by nm_real_test.sh";
    test::EnsureApp();
    platform::RasLibrary provider;
    ASSERT_TRUE(provider.load(providerDir));
    test::ScriptedBoxes boxes;
    setup::SetupData data;
    QStringList listed;
    setup::RunSetup(setup::SetupFiles{}, data, boxes, [&](setup::SetupData& d) {
        setup::SetupSheet sheet(d.settings, provider, boxes);
        test::Show(sheet, 3);
        auto* list = Find<QComboBox>(&sheet, "25201");
        for (int i = 0; i < list->count(); ++i) listed << list->itemText(i);
        EXPECT_EQ(list->currentText(), "Office Modem");
        EXPECT_TRUE(Find<QRadioButton>(&sheet, "21101")->isChecked() && Find(&sheet, "25205")->isEnabled());
        test::WhenModalShows("119", [](QWidget* dialog) {
            Find<QLineEdit>(dialog, "25304")->setText("jane");
            Find<QLineEdit>(dialog, "25305")->setText("dial: secret");
            test::Click(dialog, "1");
        });
        test::Click(&sheet, "25205");
        test::Click(&sheet, "ok");
        return sheet.result() == QDialog::Accepted;
    });
    listed.sort();
    QStringList profiles = QString::fromLocal8Bit(std::getenv("NM_CHECK_PROFILES")).split('\n', Qt::SkipEmptyParts);
    profiles.sort();
    EXPECT_EQ(listed, profiles);
    EXPECT_EQ(boxes.shown, "");
    MailConfig saved = test::ReadConfig("korv.cfg");
    EXPECT_EQ(std::string(saved.dialEntry.text()) + "/" + std::string(saved.dialUser.text()) + "/" +
                  std::string(saved.dialPassword.text()),
              "Office Modem/jane/dial: secret");
}

}  // namespace
}  // namespace quorvexia
