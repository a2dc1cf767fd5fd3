// The Security page: flood protection, the size limit in kilobytes and the
// deletion of larger messages. The check boxes write to the settings the
// moment they change; the size text is read back when the page is left.
#pragma once

#include "sheet_page.h"

class QCheckBox;
class QLabel;
class QLineEdit;

namespace quorvexia::setup {

class SecurityPage : public SheetPage {
public:
    explicit SecurityPage(SetupSettings& settings, QWidget* parent = nullptr);
    void setActive() override;
    void killActive() override;

private:
    // The size edit, its label and the delete box follow the flood protection
    // setting; the "kB" label keeps its state.
    void updateFloodControls();

    QCheckBox* flood_;
    QLabel* sizeLabel_;
    QLineEdit* size_;
    QCheckBox* deleteLarger_;
};

}  // namespace quorvexia::setup
