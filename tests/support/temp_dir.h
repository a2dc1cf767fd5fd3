// Files and directories for tests: a temporary directory removed afterwards,
// and whole-file reads and writes.
#pragma once

#include <string>
#include <string_view>

#include "config/mail_config.h"

namespace quorvexia::test {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(std::string_view name) const { return path_ + "/" + std::string(name); }

private:
    std::string path_;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, std::string_view content);
bool FileExists(const std::string& path);
void MakeDir(const std::string& path);
// The names in a directory, sorted.
std::string ListDir(const std::string& path);

// A record as korvcfg writes it for a new file: signature, no limit.
MailConfig DefaultConfig();
void WriteConfig(const std::string& path, const MailConfig& config);
// The 1424 bytes of a record, as korv.cfg holds them.
std::string ConfigBytes(const MailConfig& config);
MailConfig ReadConfig(const std::string& path);

}  // namespace quorvexia::test
