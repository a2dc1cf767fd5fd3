// korvcfg's Connection page over the NetworkManager provider and a real
// NetworkManager. Not a test of its own: nm_real_test.sh runs it inside the
// private namespaces where its NetworkManager runs, in a directory whose
// korv.cfg names the entry "office", with
//   NM_CHECK_PROVIDER_DIR  the directory of the provider library
//   NM_CHECK_PROFILES      the names of the profiles made there, one a line
// It picks the profile, enters "Connect as" and saves with OK, as a user does.
#include <QComboBox>
#include <QPushButton>
#include <QRadioButton>

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "platform/ras_library.h"
#include "setup/startup.h"
#include "setup_gui_support.h"
#include "setup_scripted_boxes.h"
#include "support/temp_dir.h"

namespace quorvexia {
namespace {

using test::Find;

constexpr int kConnectionTab = 3;

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::vector<std::string> SortedLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    return lines;
}

TEST(RealNetworkManager, ConnectionPageListsTheProfilesAndSavesConnectAs) {
    std::string providerDir = Env("NM_CHECK_PROVIDER_DIR");
    ASSERT_FALSE(providerDir.empty()) << "run by nm_real_test.sh";
    test::EnsureApp();
    platform::RasLibrary provider;
    ASSERT_TRUE(provider.load(providerDir));

    test::ScriptedBoxes boxes;
    setup::SetupData data;
    std::vector<std::string> listed;
    std::string selected, enabled;
    setup::RunSetup(setup::SetupFiles{}, data, boxes, [&](setup::SetupData& d) {
        setup::SetupSheet sheet(d.settings, provider, boxes);
        test::ShowSheet(sheet);
        test::ShowTab(sheet, kConnectionTab);
        auto* list = Find<QComboBox>(&sheet, "25201");
        for (int i = 0; i < list->count(); ++i) listed.push_back(list->itemText(i).toStdString());
        selected = list->currentText().toStdString();
        for (const char* name : {"25201", "25202", "25204", "25205"})
            enabled += Find<QWidget>(&sheet, name)->isEnabled() ? '1' : '0';
        EXPECT_TRUE(Find<QRadioButton>(&sheet, "21101")->isChecked());

        test::WhenModalShows("119", [](QWidget* dialog) {
            Find<QLineEdit>(dialog, "25304")->setText("jane");
            Find<QLineEdit>(dialog, "25305")->setText("dial: secret");
            test::Click(Find<QPushButton>(dialog, "1"));
        });
        test::Click(Find<QPushButton>(&sheet, "25205"));
        test::Click(Find<QPushButton>(&sheet, "ok"));
        return sheet.result() == QDialog::Accepted;
    });

    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, SortedLines(Env("NM_CHECK_PROFILES")));
    EXPECT_EQ(selected, "Office Modem");
    EXPECT_EQ(enabled, "1111");
    EXPECT_TRUE(boxes.shown.empty()) << "a message box: " << boxes.shown.front();

    MailConfig saved = test::ReadConfig("korv.cfg");
    EXPECT_EQ(saved.dialEntry.text(), "Office Modem");
    EXPECT_EQ(saved.dialUser.text(), "jane");
    EXPECT_EQ(saved.dialPassword.text(), "dial: secret");
}

}  // namespace
}  // namespace quorvexia
