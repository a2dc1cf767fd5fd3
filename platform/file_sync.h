// Files that must survive a crash: a stream forced to stable storage, a
// directory whose entries are, and a test for a name that is taken.
#pragma once

#include <cstdio>

namespace quorvexia::platform {

// Writes the stream's buffer and forces the file to stable storage; false
// when either step fails.
bool SyncStream(std::FILE* stream);

// Forces the entries of a directory (new names, renames) to stable storage.
bool SyncDirectory(const char* path);

// True when something has this name, or when that cannot be told: a name is
// free only when the file system says it does not exist.
bool NameTaken(const char* path);

}  // namespace quorvexia::platform
