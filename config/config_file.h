// Reading and replacing the configuration file. korv reads the record once at
// start-up and rewrites it whole after every POP3 connection that reached the
// server; the rewrite replaces the file atomically so that a failure never
// leaves a truncated korv.cfg behind.
#pragma once

#include <cstddef>
#include <string>

#include "mail_config.h"

namespace quorvexia {

inline constexpr const char* kConfigFileName = "korv.cfg";
inline constexpr const char* kLegacyConfigFileName = "bexolind.cfg";

enum class ConfigOpenResult {
    Read,          // the file was read (possibly short: the rest of the image is untouched)
    OnlyLegacy,    // no korv.cfg, but a bexolind.cfg is there
    Unreadable,    // neither file can be opened
};

// korv's read: up to 1424 bytes of `path` into the image; a shorter file leaves
// the rest of the image as it was. When `path` cannot be opened, `legacyPath`
// is only tested for presence.
ConfigOpenResult ReadKorvConfig(const char* path, const char* legacyPath, MailConfig& image);

// Follows symbolic links from `path` to the file that really gets replaced.
// False with errno set when a link cannot be read or they loop.
bool ResolveSymbolicLinks(std::string path, std::string& target);

// Replaces the file at `path` with exactly `size` bytes: written to a temporary
// file in the same directory, flushed to disk and renamed over the old one. A
// symbolic link at `path` stays a link (its target is replaced). A new file gets
// mode 0600; an existing file keeps its mode. On failure the old file is left
// whole, the temporary file is removed and false is returned (errno tells why).
// A `mode` of 0 or more is given to the file whatever it had.
bool ReplaceFileAtomically(const std::string& path, const void* data, std::size_t size, int mode = -1);

}  // namespace quorvexia
