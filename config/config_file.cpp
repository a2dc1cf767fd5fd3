#include "config_file.h"
#include "config_access.h"
#include "platform/stdio_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace quorvexia {

namespace {

using File = platform::StdioFile;

}  // namespace

bool ResolveSymbolicLinks(std::string path, std::string& target) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st;
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            target = path;
            return true;
        }
        char buf[PATH_MAX];
        ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
        if (n < 0) return false;
        std::string link(buf, static_cast<std::size_t>(n));
        if (link.empty() || link[0] != '/') {
            auto slash = path.rfind('/');
            link = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + link;
        }
        path = link;
    }
    errno = ELOOP;
    return false;
}

namespace {

std::string DirectoryOf(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

bool WriteAll(int fd, const unsigned char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

void SyncDirectory(const std::string& dir) {
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

}  // namespace

ConfigOpenResult ReadKorvConfig(const char* path, const char* legacyPath, MailConfig& image) {
    std::string bytes;
    // A directory in its place opens as a file does and reads as nothing: damaged.
    if (!ReadConfigBytes(path, bytes) && errno != EISDIR) {
        File legacy(std::fopen(legacyPath, "rb"));
        return legacy ? ConfigOpenResult::OnlyLegacy : ConfigOpenResult::Unreadable;
    }
    // A short file leaves the rest of the image alone.
    std::memcpy(ImageBytes(image), bytes.data(), std::min(bytes.size(), kMailConfigSize));
    return ConfigOpenResult::Read;
}

bool ReplaceFileAtomically(const std::string& path, const void* data, std::size_t size, int forcedMode) {
    std::string target;
    if (!ResolveSymbolicLinks(path, target)) return false;

    mode_t mode = 0600;
    struct stat old;
    bool existed = stat(target.c_str(), &old) == 0;
    if (existed) mode = old.st_mode & 07777;
    if (forcedMode >= 0) mode = static_cast<mode_t>(forcedMode);

    std::string dir = DirectoryOf(target);
    std::string base = target.substr(target.rfind('/') == std::string::npos ? 0 : target.rfind('/') + 1);
    std::string temp = dir + "/." + base + ".XXXXXX";
    int fd = mkstemp(temp.data());
    if (fd < 0) return false;

    bool ok = fchmod(fd, mode) == 0;
    if (ok && existed && (old.st_uid != geteuid() || old.st_gid != getegid())) {
        // Keep the owner where we may; a file we cannot give back stays ours.
        (void)!fchown(fd, old.st_uid, old.st_gid);
    }
    ok = ok && WriteAll(fd, static_cast<const unsigned char*>(data), size) && fsync(fd) == 0;
    int savedErrno = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        savedErrno = errno;
    }
    if (ok && rename(temp.c_str(), target.c_str()) != 0) {
        ok = false;
        savedErrno = errno;
    }
    if (!ok) {
        unlink(temp.c_str());
        errno = savedErrno;
        return false;
    }
    SyncDirectory(dir);
    return true;
}

}  // namespace quorvexia
