// One page of the setup sheet. The sheet tells a page when it becomes active
// (it refills its controls from the settings) and when it is left, also by OK
// (it reads its edits back). Pages keep no values of their own.
#pragma once

#include <QWidget>

#include "config/setup_settings.h"

class QLineEdit;

namespace quorvexia::setup {

class SheetPage : public QWidget {
public:
    SheetPage(SetupSettings& settings, int templateId, QWidget* parent = nullptr);
    virtual void setActive() {}
    virtual void killActive() {}

protected:
    SetupSettings& settings_;
    int templateId_;
};

// The text of a line edit as bytes, at most `maxLength` of them.
std::string EditText(const QLineEdit* edit, std::size_t maxLength);
void SetEditText(QLineEdit* edit, const std::string& text);

}  // namespace quorvexia::setup
