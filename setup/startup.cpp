#include "startup.h"

#include <cerrno>
#include <cstdio>

namespace quorvexia::setup {

namespace {

// Upgrades bexolind.cfg (already open) into a new korv.cfg; null when the user
// declined a rebuild or korv.cfg could not be created.
ConfigFile UpgradeLegacy(const SetupFiles& files, ConfigFile legacyFile, SetupData& data,
                         MessageBoxes& boxes) {
    if (!AskYesNo(boxes, kTextUpgrade)) return nullptr;
    bool loaded = LoadConfig(legacyFile.get(), true, data, boxes);
    legacyFile.reset();
    if (!loaded) return nullptr;

    ConfigFile file = CreateConfigFile(files.current);
    if (!file) {
        Warn(boxes, kTextCouldNotCreate);
        return nullptr;
    }
    // The old file goes only once the new one holds its settings: after a
    // failed write it is the only copy left.
    if (SaveConfig(file.get(), data, boxes)) (void)std::remove(files.legacy.c_str());
    return file;
}

ConfigFile CreateWithDefaults(const SetupFiles& files, SetupData& data, MessageBoxes& boxes) {
    if (!AskYesNo(boxes, kTextCreateNew)) return nullptr;
    ConfigFile file = CreateConfigFile(files.current);
    if (!file) {
        Warn(boxes, kTextCouldNotCreate);
        return nullptr;
    }
    SetDefaultSettings(data.settings, data.image);
    SaveConfig(file.get(), data, boxes);
    return file;
}

ConfigFile OpenOrCreate(const SetupFiles& files, SetupData& data, MessageBoxes& boxes) {
    ConfigFile file = OpenForUpdate(files.current);
    if (file) {
        if (!LoadConfig(file.get(), false, data, boxes)) return nullptr;
        return file;
    }
    if (errno != ENOENT) {
        Warn(boxes, kTextCouldNotOpen);
        return nullptr;
    }
    // Only when korv.cfg does not exist at all is the predecessor's file looked at.
    if (ConfigFile legacy = OpenForUpdate(files.legacy)) {
        return UpgradeLegacy(files, std::move(legacy), data, boxes);
    }
    return CreateWithDefaults(files, data, boxes);
}

}  // namespace

int RunSetup(const SetupFiles& files, SetupData& data, MessageBoxes& boxes, const SheetRunner& runSheet) {
    ConfigFile file = OpenOrCreate(files, data, boxes);
    if (file && runSheet(data)) SaveConfig(file.get(), data, boxes);
    return 0;
}

}  // namespace quorvexia::setup
