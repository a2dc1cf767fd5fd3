#include "config_store.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "config/config_access.h"

namespace quorvexia::setup {

bool CreateConfigFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

bool LoadConfig(const std::string& fileBytes, bool legacy, SetupData& data, MessageBoxes& boxes) {
    const std::size_t size = legacy ? kLegacyConfigSize : kMailConfigSize;
    const std::string_view signature = legacy ? kLegacySignature : kMailSignature;

    std::memcpy(ImageBytes(data.image), fileBytes.data(), std::min(size, fileBytes.size()));
    if (fileBytes.size() < size || !SignatureEquals(data.image.signature, signature, false)) {
        if (!AskYesNo(boxes, kTextDamaged)) return false;
        SetDefaultSettings(data.settings, data.image);
        return true;
    }
    SettingsFromRecord(data.image, legacy, data.settings);
    return true;
}

std::string SizeClampedText(long savedKilobytes) {
    return "The maximum message size is too large. It was saved as " + std::to_string(savedKilobytes) +
           " kB.";
}

bool SaveConfig(const std::string& path, SetupData& data, MessageBoxes& boxes) {
    RecordBuildResult built = BuildRecordImage(data.settings, data.image);
    if (built.sizeClamped && built.savedKilobytes > 0) {
        // Kept to 32 bits the number would turn into another limit, or none.
        Warn(boxes, SizeClampedText(built.savedKilobytes));
    }
    std::string reason;
    ConfigUpdateResult result = UpdateConfigFile(
        path,
        [&](std::string& bytes, bool) {
            TakeCurrentCounter(bytes, data.image);
            std::string excess = bytes.size() > kMailConfigSize ? bytes.substr(kMailConfigSize) : "";
            bytes.assign(reinterpret_cast<const char*>(ImageBytes(data.image)), kMailConfigSize);
            bytes += excess;
            return true;
        },
        reason);
    if (result != ConfigUpdateResult::Replaced) {
        Warn(boxes, kTextCouldNotWrite);
        return false;
    }
    return true;
}

}  // namespace quorvexia::setup
