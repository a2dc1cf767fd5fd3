#include "ras_library.h"

#include <dlfcn.h>

namespace quorvexia::platform {

bool RasLibrary::load(const std::string& programDir) {
    if (handle_) return true;
    if (!programDir.empty()) {
        std::string beside = programDir;
        if (beside.back() != '/') beside += '/';
        beside += kRasLibraryName;
        handle_ = dlopen(beside.c_str(), RTLD_NOW | RTLD_LOCAL);
    }
    if (!handle_) handle_ = dlopen(kRasLibraryName, RTLD_NOW | RTLD_LOCAL);
    return handle_ != nullptr;
}

void* RasLibrary::findSymbol(const char* name) const {
    if (!handle_) return nullptr;
    dlerror();
    return dlsym(handle_, name);
}

}  // namespace quorvexia::platform
