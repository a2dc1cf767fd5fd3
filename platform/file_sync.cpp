#include "file_sync.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace quorvexia::platform {

bool SyncedDirectory::open(const char* path) {
    if (fd_ < 0) fd_ = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return fd_ >= 0;
}

bool SyncedDirectory::syncFileSystem() {
    if (fd_ < 0) return false;
#ifdef __linux__
    if (syncfs(fd_) != 0) return false;
#else
    sync();  // no error to be had; the directory's fsync below still reports one
#endif
    return fsync(fd_) == 0;
}

void SyncedDirectory::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool NameTaken(const char* path) {
    struct stat info;
    return lstat(path, &info) == 0 || errno != ENOENT;
}

}  // namespace quorvexia::platform
