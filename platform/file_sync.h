// Files that must survive a crash: a directory whose file system is forced
// to stable storage, a test for a name that is taken, and the moves and
// folders of a kept file.
#pragma once

#include <cstdio>

namespace quorvexia::platform {

// A directory kept open so that what was written into it can be forced to
// stable storage at the cost of one call.
class SyncedDirectory {
public:
    SyncedDirectory() = default;
    ~SyncedDirectory() { close(); }
    SyncedDirectory(const SyncedDirectory&) = delete;
    SyncedDirectory& operator=(const SyncedDirectory&) = delete;

    // Opens `path` unless it is open already; false when it cannot be opened.
    bool open(const char* path);
    // Forces the directory's entries (new names, renames) to stable storage.
    bool sync();
    // Forces everything written to the directory's file system (file data,
    // new names, renames) to stable storage in one call, then the directory
    // itself. Write-back failures since open() are reported here, so the
    // directory is best opened before the files are written.
    bool syncFileSystem();
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
