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

bool SyncDirectory(const char* path) {
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = fsync(fd) == 0;
    close(fd);
    return ok;
}

bool NameTaken(const char* path) {
    struct stat info;
    return lstat(path, &info) == 0 || errno != ENOENT;
}

}  // namespace quorvexia::platform
