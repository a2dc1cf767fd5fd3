// The one way in and out of korv.cfg for korv, korvcfg and korvconf.
//
// Reading needs no lock: the file is only ever replaced by rename, so a
// reader sees the old file or the new one, whole. Every change is a
// read-change-replace under an exclusive advisory lock. The lock cannot sit on
// korv.cfg itself (the rename puts a new file in its place), so it is taken on
// a stable side file in the same directory, ".korv.cfg.lock", which nobody
// replaces. The same file carries korv's run locks, one byte each, so that two
// korv runs on one configuration never send from one queue or fetch from one
// mailbox at once. The locks are open-file-description locks: they belong to
// the open file, not to the process, and die with it, so a killed program
// never leaves a lock that blocks.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "mail_config.h"

namespace quorvexia {

// What a lock guards; each is one byte of the lock file.
enum class ConfigLockKind {
    Config = 0,   // a change of korv.cfg (held for one read-change-replace)
    Sending = 1,  // korv's send phase: the outbound queue
    Receiving = 2,  // korv's receive phase: the POP3 mailbox and the inbound names
};

// How long the setup tools and korv's rewrite wait for the configuration lock.
// Its holders keep it for one small read and rename.
inline constexpr std::chrono::milliseconds kConfigLockWait{10000};

// The lock file that guards `configPath` (symbolic links followed: two names
// of one korv.cfg share one lock).
std::string LockFilePathFor(const std::string& configPath);

class ConfigLock {
public:
    enum class Status {
        Held,
        Busy,    // another process held it for the whole wait
        Failed,  // the lock file could not be opened or locked (error tells why)
    };

    ConfigLock() = default;
    ConfigLock(ConfigLock&& other) noexcept;
    ConfigLock& operator=(ConfigLock&& other) noexcept;
    ConfigLock(const ConfigLock&) = delete;
    ConfigLock& operator=(const ConfigLock&) = delete;
    ~ConfigLock();

    // Takes the lock of `kind` for `configPath`, waiting at most `wait`.
    // `onWait` is called once if the lock is busy at the first try (to tell
    // the user why nothing happens).
    static ConfigLock Acquire(const std::string& configPath, ConfigLockKind kind,
                              std::chrono::milliseconds wait,
                              const std::function<void()>& onWait = {});

    Status status() const { return status_; }
    bool held() const { return status_ == Status::Held; }
    const std::string& error() const { return error_; }  // for Failed
    void release();

private:
    int fd_ = -1;
    Status status_ = Status::Failed;
    std::string error_;
};

// The whole file as bytes. False with errno set when it cannot be read.
bool ReadConfigBytes(const std::string& path, std::string& bytes);

enum class ConfigUpdateResult {
    Replaced,
    Unchanged,   // the change declined (nothing written)
    LockBusy,    // the configuration lock stayed taken for the whole wait
    LockFailed,  // the lock file could not be opened
    ReadFailed,  // the file is there but cannot be read
    WriteFailed, // the replacement failed; the old file is whole
};

// Under the configuration lock: reads the file as it is now (`exists` false
// and `bytes` empty when there is none), lets `change` edit the bytes, and
// replaces the file with them atomically when it returns true. Mode and owner
// of an existing file are kept; a new file gets mode 0600. `reason` tells why
// a lock or write failed.
using ConfigChange = std::function<bool(std::string& bytes, bool exists)>;
ConfigUpdateResult UpdateConfigFile(const std::string& path, const ConfigChange& change,
                                    std::string& reason,
                                    std::chrono::milliseconds wait = kConfigLockWait);

// Whether `bytes` start with a record korv would run on: the signature in any
// letter case and at least the bytes up to the message counter.
bool HoldsKorvRecord(const std::string& bytes);

// Whether `bytes` hold a record as korvcfg and korvconf accept it: 1424 bytes
// or more and the exact signature.
bool HoldsSoundRecord(const std::string& bytes);

// korv's rewrite: changes only the message counter of the file as it is now.
// A file that is no longer a record korv runs on is left alone
// (NotARecord); a shorter one is filled up with zero bytes to the whole record,
// as korv read it.
enum class CounterSaveResult { Saved, NotARecord, Failed };
CounterSaveResult SaveMessageCounter(const std::string& path, std::uint32_t counter);

// The counter of the file as it is now, when it holds a record korv runs on.
bool ReadMessageCounter(const std::string& path, std::uint32_t& counter);

// The setup tools keep the counter that korv last saved: the counter of the
// file as it is at save time replaces the one in `image`, when that file is a
// sound record.
void TakeCurrentCounter(const std::string& fileBytes, MailConfig& image);

}  // namespace quorvexia
