#include "temp_dir.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace quorvexia::test {

TempDir::TempDir() {
    std::string templ = (std::filesystem::temp_directory_path() / "quorvexia-XXXXXX").string();
    if (!mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
    path_ = templ;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteFile(const std::string& path, std::string_view content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out) ADD_FAILURE() << "cannot write " << path;
}

bool FileExists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

void MakeDir(const std::string& path) { std::filesystem::create_directories(path); }

std::string ListDir(const std::string& path) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(path)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    std::string out;
    for (const auto& n : names) out += (out.empty() ? "" : " ") + n;
    return out;
}

MailConfig DefaultConfig() {
    MailConfig c;
    SetSignature(c.signature, kMailSignature);
    c.maxMessageSize.set(-1);
    return c;
}

std::string ConfigBytes(const MailConfig& config) {
    return std::string(reinterpret_cast<const char*>(ImageBytes(config)), kMailConfigSize);
}

void WriteConfig(const std::string& path, const MailConfig& config) {
    WriteFile(path, std::string_view(reinterpret_cast<const char*>(ImageBytes(config)), kMailConfigSize));
}

MailConfig ReadConfig(const std::string& path) {
    MailConfig c;
    std::string bytes = ReadFile(path);
    std::memcpy(ImageBytes(c), bytes.data(), std::min(bytes.size(), kMailConfigSize));
    return c;
}

}  // namespace quorvexia::test
