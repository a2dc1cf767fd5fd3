// Paths and working directories as korv sees them on this platform.
#pragma once

#include <string>

namespace quorvexia::platform {

inline constexpr char kPathSeparator = '/';

// The program's directory: the first argument cut before its last separator;
// empty when it holds none.
std::string ProgramDirFromArgv0(const char* argv0);

// The current working directory, or an empty text when it cannot be had.
std::string CurrentDirectory();

// Changes the working directory; false when that is not possible.
bool ChangeDirectory(const std::string& dir);

}  // namespace quorvexia::platform
