#include "file_open.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvexia::platform {

namespace {

// The open never blocks (a pipe without its other end fails at once); the
// stream then works in the ordinary blocking way.
std::FILE* OpenAtOnce(const char* path, int flags, const char* mode, bool regularOnly) {
    int fd = ::open(path, flags | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    struct stat info;
    int status = fcntl(fd, F_GETFL);
    if ((regularOnly && (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))) || status < 0 ||
        fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
        ::close(fd);
        return nullptr;
    }
    std::FILE* stream = fdopen(fd, mode);
    if (!stream) ::close(fd);
    return stream;
}

}  // namespace

std::FILE* OpenRegularFileForReading(const char* path) { return OpenAtOnce(path, O_RDONLY, "r", true); }

std::FILE* CreateFileForWriting(const char* path) {
    return OpenAtOnce(path, O_WRONLY | O_CREAT | O_TRUNC, "w", false);
}

}  // namespace quorvexia::platform
