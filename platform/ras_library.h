// Loading the dial-up provider library at run time, only when it is needed,
// and finding its entry points by name at the moment of use. Once loaded the
// library stays loaded until the process ends: handles and functions taken
// from it stay valid for the whole run.
#pragma once

#include <string>

namespace quorvexia::platform {

inline constexpr const char* kRasLibraryName = "librasapi32.so";

class RasLibrary {
public:
    RasLibrary() = default;
    RasLibrary(const RasLibrary&) = delete;
    RasLibrary& operator=(const RasLibrary&) = delete;

    // Tries programDir + "/librasapi32.so" first (when programDir is not
    // empty), then the running executable's own directory (korv started
    // through PATH names none), then the plain name through the library
    // search path. True when
    // a library is loaded (also when it already was).
    bool load(const std::string& programDir);
    bool loaded() const { return handle_ != nullptr; }

    // The entry point `name` as a function of type Fn (one of the *_t types of
    // ras.h); nullptr when the library is not loaded or lacks the name.
    template <typename Fn>
    Fn* find(const char* name) const {
        return reinterpret_cast<Fn*>(findSymbol(name));
    }

private:
    void* findSymbol(const char* name) const;

    void* handle_ = nullptr;  // deliberately never closed
};

}  // namespace quorvexia::platform
