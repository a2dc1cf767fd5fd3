#include "config_store.h"

#include <fcntl.h>
#include <unistd.h>

namespace quorvexia::setup {

ConfigFile OpenForUpdate(const std::string& path) {
    return ConfigFile(std::fopen(path.c_str(), "r+b"));
}

ConfigFile CreateConfigFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    std::FILE* file = ::fdopen(fd, "w+b");
    if (!file) ::close(fd);
    return ConfigFile(file);
}

bool LoadConfig(std::FILE* file, bool legacy, SetupData& data, MessageBoxes& boxes) {
    const std::size_t size = legacy ? kLegacyConfigSize : kMailConfigSize;
    const std::string_view signature = legacy ? kLegacySignature : kMailSignature;

    bool whole = std::fseek(file, 0, SEEK_SET) == 0 &&
                 std::fread(ImageBytes(data.image), 1, size, file) == size;
    if (!whole || !SignatureEquals(data.image.signature, signature, false)) {
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

bool SaveConfig(std::FILE* file, SetupData& data, MessageBoxes& boxes) {
    RecordBuildResult built = BuildRecordImage(data.settings, data.image);
    if (built.sizeClamped && built.savedKilobytes > 0) {
        // Kept to 32 bits the number would turn into another limit, or none.
        Warn(boxes, SizeClampedText(built.savedKilobytes));
    }
    // The stream is flushed at once: korv may read the file while the sheet
    // stays open, and only a flush tells whether the block really got out.
    bool written = std::fseek(file, 0, SEEK_SET) == 0 &&
                   std::fwrite(ImageBytes(data.image), 1, kMailConfigSize, file) == kMailConfigSize &&
                   std::fflush(file) == 0;
    if (!written) {
        std::clearerr(file);
        Warn(boxes, kTextCouldNotWrite);
    }
    return written;
}

}  // namespace quorvexia::setup
