// korv.cfg and bexolind.cfg as the setup tools see them: a file is sound only
// when it holds the whole record and the exact signature (korv itself is more
// lenient). Reading and writing go through the shared way in and out of
// korv.cfg (config/config_access.h).
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

// Takes a record apart from the bytes of a file that exists (Loaded, Short or
// Signature).
LoadedRecord ParseRecord(const std::string& bytes, bool legacy);

// The image followed by `excess`: the bytes of the whole file.
std::string RecordFileBytes(const MailConfig& image, const std::string& excess = {});

// A message for a load that failed, naming the file.
std::string DescribeLoadFailure(const LoadedRecord& record, const std::string& name, bool legacy);

}  // namespace quorvexia::conf
