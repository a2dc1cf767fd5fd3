#include "paths.h"

#include <unistd.h>

#include <climits>
#include <cstring>

namespace quorvexia::platform {

std::string ProgramDirFromArgv0(const char* argv0) {
    if (!argv0) return {};
    const char* last = std::strrchr(argv0, kPathSeparator);
    if (!last) return {};
    return std::string(argv0, static_cast<std::size_t>(last - argv0));
}

std::string CurrentDirectory() {
    char buf[PATH_MAX];
    if (!getcwd(buf, sizeof buf)) return {};
    return buf;
}

bool ChangeDirectory(const std::string& dir) { return !dir.empty() && chdir(dir.c_str()) == 0; }

}  // namespace quorvexia::platform
