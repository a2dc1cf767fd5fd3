// The property sheet: a modal dialog titled "Quorvexia 2.1 Setup" with the
// five pages as tabs and only OK and Cancel. Leaving a tab reads its edits
// back, showing one refills it; OK reads back the page that is showing. A
// page that refuses to be left stays in front and the sheet stays open. The
// sheet is never narrower than its row of tabs, and Ctrl+Tab, Ctrl+Shift+Tab,
// Ctrl+PgDn and Ctrl+PgUp change tabs wherever the focus is.
#pragma once

#include <QDialog>
#include <vector>

#include "config/setup_settings.h"
#include "message_boxes.h"
#include "platform/ras_library.h"

class QTabWidget;

namespace quorvexia::setup {

class SheetPage;

class SetupSheet : public QDialog {
public:
    SetupSheet(SetupSettings& settings, const platform::RasLibrary& ras, MessageBoxes& boxes,
               QWidget* parent = nullptr);
    QTabWidget* tabs() const { return tabs_; }
    void accept() override;

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void tabChanged(int index);

    QTabWidget* tabs_;
    std::vector<SheetPage*> pages_;
    int current_ = 0;
};

// Runs the sheet modally over the settings; true when it ended with OK.
bool RunSetupSheet(SetupSettings& settings, const platform::RasLibrary& ras, MessageBoxes& boxes);

}  // namespace quorvexia::setup
