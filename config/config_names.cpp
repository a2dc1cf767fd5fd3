#include "config_names.h"

#include <sys/stat.h>

#include <filesystem>
#include <system_error>

namespace quorvexia {

namespace {

bool SameIgnoringCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

}  // namespace

std::string FindConfigFile(const std::string& dir, const char* name) {
    const std::string prefix = dir.empty() || dir == "." ? std::string() : dir + "/";
    std::string exact = prefix + name;
    struct stat st;
    if (lstat(exact.c_str(), &st) == 0) return exact;

    std::string found;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(dir.empty() ? "." : dir, ec), end; !ec && it != end;
         it.increment(ec)) {
        std::string candidate = it->path().filename().string();
        if (SameIgnoringCase(candidate, name) && (found.empty() || candidate < found)) found = candidate;
    }
    return found.empty() ? exact : prefix + found;
}

}  // namespace quorvexia
