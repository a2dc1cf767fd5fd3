#include "startup.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "config/config_access.h"

namespace quorvexia::setup {

namespace {

// Upgrades bexolind.cfg (read into `legacyBytes`) into a new korv.cfg; false
// when the user declined a rebuild or korv.cfg could not be created.
bool UpgradeLegacy(const SetupFiles& files, const std::string& legacyBytes, SetupData& data,
                   MessageBoxes& boxes) {
    if (!AskYesNo(boxes, kTextUpgrade)) return false;
    if (!LoadConfig(legacyBytes, true, data, boxes)) return false;
    if (!CreateConfigFile(files.current)) {
        Warn(boxes, kTextCouldNotCreate);
        return false;
    }
    // The old file goes only once the new one holds its settings: after a
    // failed write it is the only copy left.
    if (SaveConfig(files.current, data, boxes)) (void)std::remove(files.legacy.c_str());
    return true;
}

bool CreateWithDefaults(const SetupFiles& files, SetupData& data, MessageBoxes& boxes) {
    if (!AskYesNo(boxes, kTextCreateNew)) return false;
    if (!CreateConfigFile(files.current)) {
        Warn(boxes, kTextCouldNotCreate);
        return false;
    }
    SetDefaultSettings(data.settings, data.image);
    SaveConfig(files.current, data, boxes);
    return true;
}

// Whether there is a korv.cfg to show in the sheet, loaded into `data`.
bool LoadOrCreate(const SetupFiles& files, SetupData& data, MessageBoxes& boxes) {
    std::string bytes;
    if (ReadConfigBytes(files.current, bytes)) {
        // korvcfg saves only into a file it may change.
        if (access(files.current.c_str(), W_OK) != 0) {
            Warn(boxes, kTextCouldNotOpen);
            return false;
        }
        return LoadConfig(bytes, false, data, boxes);
    }
    if (errno != ENOENT) {
        Warn(boxes, kTextCouldNotOpen);
        return false;
    }
    // Only when korv.cfg does not exist at all is the predecessor's file looked at.
    std::string legacyBytes;
    if (ReadConfigBytes(files.legacy, legacyBytes) && access(files.legacy.c_str(), W_OK) == 0)
        return UpgradeLegacy(files, legacyBytes, data, boxes);
    return CreateWithDefaults(files, data, boxes);
}

}  // namespace

int RunSetup(const SetupFiles& files, SetupData& data, MessageBoxes& boxes, const SheetRunner& runSheet) {
    if (LoadOrCreate(files, data, boxes) && runSheet(data)) SaveConfig(files.current, data, boxes);
    return 0;
}

}  // namespace quorvexia::setup
