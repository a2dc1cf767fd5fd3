// The Connection page: network or modem, the list of phonebook entries with
// the provider's own dialogs to add and edit one, and "Connect as". The page
// works on the settings directly, so it reads nothing back when it is left.
#pragma once

#include <string>
#include <vector>

#include "message_boxes.h"
#include "phonebook.h"
#include "platform/ras_library.h"
#include "sheet_page.h"

class QPushButton;
class QRadioButton;

namespace quorvexia::setup {

class EntryComboBox;

class ConnectionPage : public SheetPage {
public:
    ConnectionPage(SetupSettings& settings, const platform::RasLibrary& ras, MessageBoxes& boxes,
                   QWidget* parent = nullptr);
    void setActive() override;

    // Refills the list from the provider, selects the stored entry (or the
    // first) and enables the controls for `mode`; gives the number listed.
    int refreshEntryList(int mode);

private:
    void initialise();  // the first time the page is shown
    void modeClicked(int mode);
    void takeSelection();
    void addEntry();
    void editEntry();
    void connectAs();
    QRadioButton* modeButton(int mode) const;

    const platform::RasLibrary& ras_;
    MessageBoxes& boxes_;
    bool initialised_ = false;
    std::vector<std::string> entries_;  // as the provider named them, in list order
    ReportedErrors reportedErrors_;     // provider errors already shown in this session
    QRadioButton* network_;
    QRadioButton* modem_;
    EntryComboBox* list_;
    QPushButton* add_;
    QPushButton* edit_;
    QPushButton* connectAs_;
};

}  // namespace quorvexia::setup
