// The Mail servers and Directories pages: labelled edits inside a group box,
// each bound to one working text. Shown: the edits are filled from the
// settings. Left: each edit is read back, at most 259 characters.
// A server's edit has a security choice beside it (None, STARTTLS, SSL/TLS)
// that stands for the scheme of the field: shown, the scheme is taken off
// into the choice; left, the chosen scheme is put back in front. A field the
// server forms do not allow is named in a line under the edits.
#pragma once

#include <string>
#include <vector>

#include "config/server_address.h"
#include "sheet_page.h"

class QComboBox;
class QLabel;
class QLineEdit;

namespace quorvexia::setup {

struct TextFieldRow {
    const char* label;                 // with its & mnemonic
    int id;                            // the edit's identifier
    std::string SetupSettings::*text;  // the working text it shows
    bool password;
    int securityId = 0;  // the identifier of its security choice; 0 for none
    ServerProtocol protocol = ServerProtocol::Smtp;
};

class TextFieldsPage : public SheetPage {
public:
    TextFieldsPage(SetupSettings& settings, int templateId, const char* groupTitle,
                   std::vector<TextFieldRow> fields, QWidget* intro = nullptr, QWidget* parent = nullptr);
    void setActive() override;
    bool killActive() override;
    // Places `widget` under the page's group of edits.
    void addBelow(QWidget* widget);

private:
    std::string fieldText(std::size_t row) const;
    void showFaults();

    std::vector<TextFieldRow> fields_;
    std::vector<QLineEdit*> edits_;
    std::vector<QComboBox*> securities_;  // null for a row without one
    QLabel* faults_ = nullptr;
};

TextFieldsPage* MakeMailServersPage(SetupSettings& settings);
TextFieldsPage* MakeDirectoriesPage(SetupSettings& settings);

}  // namespace quorvexia::setup
