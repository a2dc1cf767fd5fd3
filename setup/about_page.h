// The About page: the picture, a line, the program icon and three lines of
// text. It shows nothing that changes.
#pragma once

#include "sheet_page.h"

namespace quorvexia::setup {

inline constexpr const char* kAboutText =
    "Quorvexia 2.1 Setup\n"
    "Mail settings for korv, version 2.10\n"
    "Kept in korv.cfg in this directory";

class AboutPage : public SheetPage {
public:
    explicit AboutPage(SetupSettings& settings, QWidget* parent = nullptr);
};

}  // namespace quorvexia::setup
