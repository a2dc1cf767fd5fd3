// Object names of the sheet's widgets, so that tests and accessibility tools
// find every control the way the pages name it:
//   - a control with an identifier carries that number: the edit "1238", the
//     check box "1005", the list "25201", the OK button of "Connect as" "1";
//   - a page (and the "Connect as" dialog) carries its template number:
//     "118" About, "109" Mail servers, "108" Directories, "107" Connection,
//     "120" Security, "119" Connect as;
//   - the label of a control is "<identifier>.label" ("1238.label"), and the
//     unit after it "<identifier>.unit" ("1007.unit");
//   - everything else is "<template>.<role>": "109.group", "120.settings",
//     "118.picture", "118.icon", "118.text", "108.icon", "108.intro",
//     "109.faults", ...
#pragma once

#include <QString>

namespace quorvexia::setup {

inline QString ControlName(int id) { return QString::number(id); }
inline QString LabelName(int id) { return QString::number(id) + QStringLiteral(".label"); }
inline QString RoleName(int templateId, const char* role) {
    return QString::number(templateId) + QLatin1Char('.') + QLatin1String(role);
}

// Template numbers of the pages and the dialog.
inline constexpr int kAboutTemplate = 118;
inline constexpr int kMailServersTemplate = 109;
inline constexpr int kDirectoriesTemplate = 108;
inline constexpr int kConnectionTemplate = 107;
inline constexpr int kSecurityTemplate = 120;
inline constexpr int kConnectAsTemplate = 119;

}  // namespace quorvexia::setup
