// The Security page: flood protection, the size limit in kilobytes and the
// deletion of larger messages. The check boxes write to the settings the
// moment they change; the size text is read back when the page is left. A
// limit too large for the record keeps the page (and the sheet) open with a
// warning, before anything is saved.
#pragma once

#include <string>

#include "message_boxes.h"
#include "sheet_page.h"

class QCheckBox;
class QLabel;
class QLineEdit;

namespace quorvexia::setup {

// The warning for a kilobyte number whose byte count does not fit the record.
std::string SizeTooLargeText();

class SecurityPage : public SheetPage {
public:
    SecurityPage(SetupSettings& settings, MessageBoxes& boxes, QWidget* parent = nullptr);
    void setActive() override;
    bool killActive() override;

private:
    // The size edit, its label and the delete box follow the flood protection
    // setting; the "kB" label keeps its state.
    void updateFloodControls();

    MessageBoxes& boxes_;
    QCheckBox* flood_;
    QLabel* sizeLabel_;
    QLineEdit* size_;
    QCheckBox* deleteLarger_;
};

}  // namespace quorvexia::setup
