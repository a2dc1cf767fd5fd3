// Files that must survive a crash: a stream forced to stable storage, a
// directory whose entries are, and a test for a name that is taken.
#pragma once

#include <cstdio>

namespace quorvexia::platform {

// Writes the stream's buffer and forces the file to stable storage; false
// when either step fails.
bool SyncStream(std::FILE* stream);

// A directory kept open so that its entries (new names, renames) can be
// forced to stable storage again and again at the cost of one call.
class SyncedDirectory {
public:
    SyncedDirectory() = default;
    ~SyncedDirectory() { close(); }
    SyncedDirectory(const SyncedDirectory&) = delete;
    SyncedDirectory& operator=(const SyncedDirectory&) = delete;

    // Opens `path` unless it is open already; false when it cannot be opened.
    bool open(const char* path);
    bool sync();
    void close();

private:
    int fd_ = -1;
};

// True when something has this name, or when that cannot be told: a name is
// free only when the file system says it does not exist.
bool NameTaken(const char* path);

}  // namespace quorvexia::platform
