// The Mail servers and Directories pages: labelled edits inside a group box,
// each bound to one working text. Shown: the edits are filled from the
// settings. Left: each edit is read back, at most 259 characters.
#pragma once

#include <string>
#include <vector>

#include "sheet_page.h"

class QLineEdit;

namespace quorvexia::setup {

struct TextFieldRow {
    const char* label;                 // with its & mnemonic
    int id;                            // the edit's identifier
    std::string SetupSettings::*text;  // the working text it shows
    bool password;
};

class TextFieldsPage : public SheetPage {
public:
    TextFieldsPage(SetupSettings& settings, int templateId, const char* groupTitle,
                   std::vector<TextFieldRow> fields, QWidget* intro = nullptr, QWidget* parent = nullptr);
    void setActive() override;
    bool killActive() override;

private:
    std::vector<TextFieldRow> fields_;
    std::vector<QLineEdit*> edits_;
};

TextFieldsPage* MakeMailServersPage(SetupSettings& settings);
TextFieldsPage* MakeDirectoriesPage(SetupSettings& settings);

}  // namespace quorvexia::setup
