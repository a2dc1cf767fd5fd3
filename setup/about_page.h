// The About page: the picture, a line, the program icon and three lines of
// text. It shows nothing that changes.
#pragma once

#include "sheet_page.h"

namespace quorvexia::setup {

inline constexpr const char* kAboutText =
    "Quorvexia 2.1 Setup\n"
    "Settings for sending and receiving your mail with korv.\n"
    "Version 2.10. The settings are kept in korv.cfg.";

class AboutPage : public SheetPage {
public:
    explicit AboutPage(SetupSettings& settings, QWidget* parent = nullptr);
};

}  // namespace quorvexia::setup
