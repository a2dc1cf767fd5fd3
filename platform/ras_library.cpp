#include "ras_library.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>

namespace quorvexia::platform {

namespace {

// The directory of the running executable, also when it was started through
// PATH and its first argument names no directory.
std::string ExecutableDir() {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return {};
    std::string exe(path, static_cast<std::size_t>(n));
    auto slash = exe.rfind('/');
    return slash == std::string::npos ? std::string() : exe.substr(0, slash);
}

void* OpenBeside(const std::string& dir) {
    if (dir.empty()) return nullptr;
    std::string beside = dir;
    if (beside.back() != '/') beside += '/';
    beside += kRasLibraryName;
    return dlopen(beside.c_str(), RTLD_NOW | RTLD_LOCAL);
}

}  // namespace

bool RasLibrary::load(const std::string& programDir) {
    if (handle_) return true;
    handle_ = OpenBeside(programDir);
    if (!handle_) handle_ = OpenBeside(ExecutableDir());
    if (!handle_) handle_ = dlopen(kRasLibraryName, RTLD_NOW | RTLD_LOCAL);
    return handle_ != nullptr;
}

void* RasLibrary::findSymbol(const char* name) const {
    if (!handle_) return nullptr;
    dlerror();
    return dlsym(handle_, name);
}

}  // namespace quorvexia::platform
