#include "conf_file.h"

#include <cerrno>
#include <cstring>

#include "config/config_access.h"

namespace quorvexia::conf {

LoadedRecord LoadRecordFile(const std::string& path, bool legacy) {
    std::string bytes;
    if (!ReadConfigBytes(path, bytes)) {
        LoadedRecord record;
        record.status = errno == ENOENT ? LoadStatus::Missing : LoadStatus::Unreadable;
        record.detail = std::strerror(errno);
        return record;
    }
    return ParseRecord(bytes, legacy);
}

LoadedRecord ParseRecord(const std::string& bytes, bool legacy) {
    LoadedRecord record;
    const std::size_t size = legacy ? kLegacyConfigSize : kMailConfigSize;
    if (bytes.size() < size) {
        record.status = LoadStatus::Short;
        return record;
    }
    std::memcpy(ImageBytes(record.image), bytes.data(), size);
    std::string_view signature = legacy ? kLegacySignature : kMailSignature;
    if (!SignatureEquals(record.image.signature, signature, /*ignoreCase=*/false)) {
        record.status = LoadStatus::Signature;
        return record;
    }
    // The predecessor had nothing behind its record worth keeping; the
    // upgraded file starts anew (the image behind its 1416 bytes stays zero).
    if (!legacy) record.excess = bytes.substr(kMailConfigSize);
    record.status = LoadStatus::Loaded;
    return record;
}

std::string RecordFileBytes(const MailConfig& image, const std::string& excess) {
    std::string bytes(reinterpret_cast<const char*>(ImageBytes(image)), kMailConfigSize);
    return bytes + excess;
}

std::string DescribeLoadFailure(const LoadedRecord& record, const std::string& name, bool legacy) {
    switch (record.status) {
        case LoadStatus::Loaded:
            return {};
        case LoadStatus::Missing:
            return name + " not found";
        case LoadStatus::Unreadable:
            return "cannot read " + name + ": " + record.detail;
        case LoadStatus::Short:
            return name + " is damaged: it is shorter than the " +
                   std::to_string(legacy ? kLegacyConfigSize : kMailConfigSize) +
                   "-byte record";
        case LoadStatus::Signature:
            return name + " is damaged: its signature is not \"" +
                   std::string(legacy ? kLegacySignature : kMailSignature) +
                   "\"";
    }
    return {};
}

}  // namespace quorvexia::conf
