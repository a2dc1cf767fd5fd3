// Files that must survive a crash: a stream forced to stable storage, a
// directory whose entries are, a test for a name that is taken, and the
// moves and folders of a kept file.
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

// Gives `from` the name `to` unless something already has that name: never
// an overwrite. False when it was not moved; `exists` then tells whether the
// name was taken.
bool RenameNoReplace(const char* from, const char* to, bool& exists);

// Creates a directory that only its owner may enter, unless it exists
// already; false when there is no directory by that name afterwards.
bool MakePrivateDirectory(const char* path);

}  // namespace quorvexia::platform
