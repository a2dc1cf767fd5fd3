#include "file_sync.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace quorvexia::platform {

bool SyncStream(std::FILE* stream) {
    if (std::fflush(stream) != 0) return false;
    return fsync(fileno(stream)) == 0;
}

bool SyncedDirectory::open(const char* path) {
    if (fd_ < 0) fd_ = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return fd_ >= 0;
}

bool SyncedDirectory::sync() { return fd_ >= 0 && fsync(fd_) == 0; }

void SyncedDirectory::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool NameTaken(const char* path) {
    struct stat info;
    return lstat(path, &info) == 0 || errno != ENOENT;
}

bool RenameNoReplace(const char* from, const char* to, bool& exists) {
    exists = false;
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return true;
    if (errno == EINVAL || errno == ENOSYS) {
        // A file system without the flag: a hard link fails as well on a
        // taken name, and the old name goes only once the new one is there.
        if (link(from, to) == 0) {
            if (unlink(from) == 0) return true;
            unlink(to);
            return false;
        }
    }
    exists = errno == EEXIST;
    return false;
}

bool MakePrivateDirectory(const char* path) {
    if (mkdir(path, 0700) == 0) return true;
    struct stat info;
    return errno == EEXIST && stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace quorvexia::platform
