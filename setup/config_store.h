// korvcfg's configuration file: opened or created once at start-up and kept
// open until the program ends; loaded into the record image and the working
// settings, and saved from them in place at offset 0.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "config/mail_config.h"
#include "config/setup_settings.h"
#include "message_boxes.h"
#include "platform/stdio_file.h"

namespace quorvexia::setup {

using ConfigFile = platform::StdioFile;

// The process-wide state of the setup program: the record image as read (zero
// at start-up) and the settings that the pages edit.
struct SetupData {
    MailConfig image{};
    SetupSettings settings;
};

inline constexpr const char* kTextDamaged = "Configuration file is damaged. Rebuild?";
inline constexpr const char* kTextCouldNotWrite = "Could not write configuration file.";

// Opens an existing file for update without truncating it ("r+b"); null with
// errno set when that fails.
ConfigFile OpenForUpdate(const std::string& path);

// Creates (or empties) the file for update ("w+b"). A new file gets mode 0600:
// it holds passwords.
ConfigFile CreateConfigFile(const std::string& path);

// Reads the current record (1424 bytes, "Quorvexia 20 CFG") or, with `legacy`,
// the predecessor's (1416 bytes, "Bexolind 1.0 CFG") from offset 0 into the
// image, and takes it apart into the settings. A short read or another
// signature (letter case counts) makes the file damaged: the user is asked to
// rebuild; Yes goes on with the defaults, No gives false. The file is not
// written here.
bool LoadConfig(std::FILE* file, bool legacy, SetupData& data, MessageBoxes& boxes);

// Builds the image from the settings and writes its 1424 bytes at offset 0 in
// one block; the file is not truncated. A short write is reported to the user
// and gives false; the file stays open either way.
bool SaveConfig(std::FILE* file, SetupData& data, MessageBoxes& boxes);

// The warning given when a kilobyte number too large for the record was
// clamped on saving.
std::string SizeClampedText(long savedKilobytes);

}  // namespace quorvexia::setup
