#include "file_sync.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

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

}  // namespace quorvexia::platform
