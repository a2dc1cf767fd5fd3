#include "config_access.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "config_file.h"

namespace quorvexia {

namespace {

constexpr std::chrono::milliseconds kLockPoll{50};

// A file descriptor closed on every way out; errno survives the close.
struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd < 0) return;
        int saved = errno;
        close(fd);
        errno = saved;
    }
};

// One byte of the lock file, exclusively, for this open file description.
bool TryLockByte(int fd, ConfigLockKind kind, int& error) {
    struct flock range {};
    range.l_type = F_WRLCK;
    range.l_whence = SEEK_SET;
    range.l_start = static_cast<off_t>(kind);
    range.l_len = 1;
    if (fcntl(fd, F_OFD_SETLK, &range) == 0) return true;
    error = errno;
    return false;
}

// Opens (or creates) the lock file. A new one gets the owner of the
// korv.cfg it guards, so that the user can still lock it after root did.
int OpenLockFile(const std::string& configPath, std::string& error) {
    std::string lockPath = LockFilePathFor(configPath);
    int fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        error = std::strerror(errno);
        return -1;
    }
    struct stat config, lock;
    if (stat(configPath.c_str(), &config) == 0 && fstat(fd, &lock) == 0 &&
        (lock.st_uid != config.st_uid || lock.st_gid != config.st_gid) && lock.st_uid == geteuid()) {
        (void)!fchown(fd, config.st_uid, config.st_gid);
    }
    return fd;
}

}  // namespace

std::string LockFilePathFor(const std::string& configPath) {
    std::string target;
    if (!ResolveSymbolicLinks(configPath, target)) target = configPath;
    auto slash = target.rfind('/');
    std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    return dir + "." + base + ".lock";
}

ConfigLock::ConfigLock(ConfigLock&& other) noexcept
    : fd_(other.fd_), status_(other.status_), error_(std::move(other.error_)) {
    other.fd_ = -1;
    other.status_ = Status::Failed;
}

ConfigLock& ConfigLock::operator=(ConfigLock&& other) noexcept {
    if (this != &other) {
        release();
        fd_ = other.fd_;
        status_ = other.status_;
        error_ = std::move(other.error_);
        other.fd_ = -1;
        other.status_ = Status::Failed;
    }
    return *this;
}

ConfigLock::~ConfigLock() { release(); }

void ConfigLock::release() {
    // Closing the only descriptor of the open file ends its locks.
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    if (status_ == Status::Held) status_ = Status::Failed;
}

ConfigLock ConfigLock::Acquire(const std::string& configPath, ConfigLockKind kind,
                               std::chrono::milliseconds wait, const std::function<void()>& onWait) {
    ConfigLock lock;
    lock.fd_ = OpenLockFile(configPath, lock.error_);
    if (lock.fd_ < 0) return lock;

    auto deadline = std::chrono::steady_clock::now() + wait;
    bool told = false;
    for (;;) {
        int error = 0;
        if (TryLockByte(lock.fd_, kind, error)) {
            lock.status_ = Status::Held;
            return lock;
        }
        if (error != EAGAIN && error != EACCES && error != EINTR) {
            lock.error_ = std::strerror(error);
            lock.release();
            return lock;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            lock.release();
            lock.status_ = Status::Busy;
            return lock;
        }
        if (!told && onWait) onWait();
        told = true;
        std::this_thread::sleep_for(kLockPoll);
    }
}

bool ReadConfigBytes(const std::string& path, std::string& bytes) {
    bytes.clear();
    // Non-blocking, so that a named pipe in its place cannot hold the program up.
    Descriptor file{open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
    if (file.fd < 0) return false;
    struct stat st {};
    if (fstat(file.fd, &st) != 0) return false;
    if (!S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return false;
    }
    char buffer[4096];
    for (;;) {
        ssize_t n = read(file.fd, buffer, sizeof buffer);
        if (n == 0) return true;
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
}

ConfigUpdateResult UpdateConfigFile(const std::string& path, const ConfigChange& change,
                                    std::string& reason, std::chrono::milliseconds wait) {
    ConfigLock lock = ConfigLock::Acquire(path, ConfigLockKind::Config, wait);
    if (lock.status() == ConfigLock::Status::Busy) {
        reason = "another program keeps it locked";
        return ConfigUpdateResult::LockBusy;
    }
    if (!lock.held()) {
        reason = "cannot lock it: " + lock.error();
        return ConfigUpdateResult::LockFailed;
    }
    std::string bytes;
    bool exists = ReadConfigBytes(path, bytes);
    if (!exists && errno != ENOENT) {
        // A file that is there but cannot be read must not be taken for a new one.
        reason = std::strerror(errno);
        return ConfigUpdateResult::ReadFailed;
    }
    if (!change(bytes, exists)) return ConfigUpdateResult::Unchanged;
    if (!ReplaceFileAtomically(path, bytes.data(), bytes.size())) {
        reason = std::strerror(errno);
        return ConfigUpdateResult::WriteFailed;
    }
    return ConfigUpdateResult::Replaced;
}

bool HoldsKorvRecord(const std::string& bytes) {
    if (bytes.size() < offsetof(MailConfig, messageCounter) + 4) return false;
    std::array<char, kSignatureSize> signature;
    std::memcpy(signature.data(), bytes.data(), kSignatureSize);
    return SignatureEquals(signature, kMailSignature, /*ignoreCase=*/true);
}

bool HoldsSoundRecord(const std::string& bytes) {
    return bytes.size() >= kMailConfigSize && bytes.compare(0, kSignatureSize, kMailSignature) == 0;
}

CounterSaveResult SaveMessageCounter(const std::string& path, std::uint32_t counter) {
    bool record = true;
    std::string reason;
    ConfigUpdateResult result = UpdateConfigFile(
        path,
        [&](std::string& bytes, bool) {
            record = HoldsKorvRecord(bytes);
            if (!record) return false;
            if (bytes.size() < kMailConfigSize) bytes.resize(kMailConfigSize, '\0');
            LittleEndian32<std::uint32_t> value;
            value.set(counter);
            std::memcpy(&bytes[offsetof(MailConfig, messageCounter)], value.bytes.data(), 4);
            return true;
        },
        reason);
    if (result == ConfigUpdateResult::Replaced) return CounterSaveResult::Saved;
    if (result == ConfigUpdateResult::Unchanged && !record) return CounterSaveResult::NotARecord;
    return CounterSaveResult::Failed;
}

bool ReadMessageCounter(const std::string& path, std::uint32_t& counter) {
    std::string bytes;
    if (!ReadConfigBytes(path, bytes) || !HoldsKorvRecord(bytes)) return false;
    LittleEndian32<std::uint32_t> value;
    std::memcpy(value.bytes.data(), &bytes[offsetof(MailConfig, messageCounter)], 4);
    counter = value.get();
    return true;
}

void TakeCurrentCounter(const std::string& fileBytes, MailConfig& image) {
    if (!HoldsSoundRecord(fileBytes)) return;
    std::memcpy(image.messageCounter.bytes.data(), &fileBytes[offsetof(MailConfig, messageCounter)], 4);
}

}  // namespace quorvexia
