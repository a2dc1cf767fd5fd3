// One page of the setup sheet. The sheet tells a page when it becomes active
// (it refills its controls from the settings) and when it is left, also by OK
// (it reads its edits back, and may refuse to be left while one of them
// cannot be kept). Pages keep no values of their own.
#pragma once

#include <QWidget>

#include "config/setup_settings.h"

class QLineEdit;

namespace quorvexia::setup {

class SheetPage : public QWidget {
public:
    SheetPage(SetupSettings& settings, int templateId, QWidget* parent = nullptr);
    virtual void setActive() {}
    // False keeps the page in front (it has told the user why).
    virtual bool killActive() { return true; }

protected:
    SetupSettings& settings_;
    int templateId_;
};

// The text of a line edit as bytes, at most `maxLength` of them.
std::string EditText(const QLineEdit* edit, std::size_t maxLength);
void SetEditText(QLineEdit* edit, const std::string& text);

}  // namespace quorvexia::setup
