#include "conf_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "config/config_file.h"
#include "platform/stdio_file.h"

namespace quorvexia::conf {

namespace {

using File = platform::StdioFile;

}  // namespace

LoadedRecord LoadRecordFile(const std::string& path, bool legacy) {
    LoadedRecord record;
    File file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        record.status = errno == ENOENT ? LoadStatus::Missing : LoadStatus::Unreadable;
        record.detail = std::strerror(errno);
        return record;
    }
    const std::size_t size = legacy ? kLegacyConfigSize : kMailConfigSize;
    std::size_t got = std::fread(ImageBytes(record.image), 1, size, file.get());
    if (std::ferror(file.get())) {
        record.status = LoadStatus::Unreadable;
        record.detail = std::strerror(errno);
        return record;
    }
    if (got < size) {
        record.status = LoadStatus::Short;
        return record;
    }
    std::string_view signature = legacy ? kLegacySignature : kMailSignature;
    if (!SignatureEquals(record.image.signature, signature, /*ignoreCase=*/false)) {
        record.status = LoadStatus::Signature;
        return record;
    }
    if (legacy) {
        // The predecessor had nothing behind its record worth keeping; the
        // upgraded file starts anew.
        std::memset(ImageBytes(record.image) + kLegacyConfigSize, 0,
                    kMailConfigSize - kLegacyConfigSize);
    } else {
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) record.excess.append(buffer, n);
        if (std::ferror(file.get())) {
            record.status = LoadStatus::Unreadable;
            record.detail = std::strerror(errno);
            return record;
        }
    }
    record.status = LoadStatus::Loaded;
    return record;
}

std::string SaveRecordFile(const std::string& path, const MailConfig& image, const std::string& excess) {
    std::string bytes(reinterpret_cast<const char*>(ImageBytes(image)), kMailConfigSize);
    bytes += excess;
    if (!ReplaceFileAtomically(path, bytes.data(), bytes.size())) return std::strerror(errno);
    return {};
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
