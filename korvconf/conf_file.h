// korv.cfg and bexolind.cfg as the setup tools see them: a file is sound only
// when it holds the whole record and the exact signature (korv itself is more
// lenient). Writes replace the file atomically, so no run ever leaves a
// half-written korv.cfg.
#pragma once

#include <string>

#include "config/mail_config.h"

namespace quorvexia::conf {

enum class LoadStatus {
    Loaded,
    Missing,     // the file does not exist
    Unreadable,  // it exists but cannot be read (detail tells why)
    Short,       // fewer bytes than the record
    Signature,   // the first 16 bytes are not the exact signature
};

struct LoadedRecord {
    LoadStatus status = LoadStatus::Missing;
    std::string detail;  // the system's reason for Unreadable
    MailConfig image{};  // for a legacy file, its 1416 bytes and zero behind them
    std::string excess;  // bytes beyond the record, kept on every save
};

// Reads a current record (legacy false) or a predecessor's record (legacy true).
LoadedRecord LoadRecordFile(const std::string& path, bool legacy);

// Writes the image followed by `excess` in place of the file at `path`; a new
// file gets mode 0600, an existing one keeps its mode. Empty on success,
// otherwise the system's reason.
std::string SaveRecordFile(const std::string& path, const MailConfig& image,
                           const std::string& excess = {});

// A message for a load that failed, naming the file.
std::string DescribeLoadFailure(const LoadedRecord& record, const std::string& name, bool legacy);

}  // namespace quorvexia::conf
