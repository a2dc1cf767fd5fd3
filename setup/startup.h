// The start-up of the setup program without any window: find korv.cfg, or
// upgrade bexolind.cfg, or create a new file; then run the sheet and save on
// OK. The front end supplies the message boxes and the sheet.
#pragma once

#include <functional>
#include <string>

#include "config/config_file.h"
#include "config/config_names.h"
#include "config_store.h"
#include "message_boxes.h"

namespace quorvexia::setup {

inline constexpr const char* kTextCouldNotOpen = "Could not open configuration file.";
inline constexpr const char* kTextCreateNew = "Could not find configuration file. Create a new one?";
inline constexpr const char* kTextUpgrade = "Upgrade old configuration file?";
inline constexpr const char* kTextCouldNotCreate = "Could not create configuration file.";

struct SetupFiles {
    std::string current = kConfigFileName;       // in the current directory
    std::string legacy = kLegacyConfigFileName;
};

// The two files in `dir` ("" for the current directory), found whatever the
// letter case of their names when the lower-case names are absent.
inline SetupFiles FindSetupFiles(const std::string& dir) {
    return {FindConfigFile(dir, kConfigFileName), FindConfigFile(dir, kLegacyConfigFileName)};
}

// Runs the five pages modally over the settings; true when the user ended
// with OK.
using SheetRunner = std::function<bool(SetupData&)>;

// The whole run: every decision, message and write of the start-up, the
// sheet, and the save on OK. No file stays open while the sheet shows: OK
// saves into korv.cfg as it is then. Always gives the exit code 0.
int RunSetup(const SetupFiles& files, SetupData& data, MessageBoxes& boxes, const SheetRunner& runSheet);

}  // namespace quorvexia::setup
