// korvcfg's configuration file: read at start-up into the record image and
// the working settings; saved from them through the shared way in and out of
// korv.cfg (a locked read-change-replace), so that nothing korv or korvconf
// saved in the meantime is overwritten by an open file's old content.
#pragma once

#include <string>

#include "config/mail_config.h"
#include "config/setup_settings.h"
#include "message_boxes.h"

namespace quorvexia::setup {

// The process-wide state of the setup program: the record image as read (zero
// at start-up) and the settings that the pages edit.
struct SetupData {
    MailConfig image{};
    SetupSettings settings;
};

inline constexpr const char* kTextDamaged = "Configuration file is damaged. Rebuild?";
inline constexpr const char* kTextCouldNotWrite = "Could not write configuration file.";

// Creates a new, empty korv.cfg with mode 0600 (it will hold passwords); false
// when it cannot be created or another program created one meanwhile.
bool CreateConfigFile(const std::string& path);

// Takes the current record (1424 bytes, "Quorvexia 20 CFG") or, with `legacy`,
// the predecessor's (1416 bytes, "Bexolind 1.0 CFG") from the start of the
// file's bytes into the image, and apart into the settings. Too few bytes or
// another signature (letter case counts) make the file damaged: the user is
// asked to rebuild; Yes goes on with the defaults, No gives false. Nothing is
// written here.
bool LoadConfig(const std::string& fileBytes, bool legacy, SetupData& data, MessageBoxes& boxes);

// Builds the image from the settings and replaces the file at `path` with it
// under the configuration lock: the message counter is the one in the file at
// this moment (korv may have advanced it since start-up), and bytes beyond the
// record stay. A failure is reported to the user and gives false; the old file
// stays whole.
bool SaveConfig(const std::string& path, SetupData& data, MessageBoxes& boxes);

// The warning given when a kilobyte number too large for the record was
// clamped on saving.
std::string SizeClampedText(long savedKilobytes);

}  // namespace quorvexia::setup
