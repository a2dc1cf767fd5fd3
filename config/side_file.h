// The side file beside korv.cfg, "korv.conf": the few settings that do not
// fit the 1424-byte record, as `key = value` lines ('#' starts a comment
// line; blank lines are ignored). No file, or a key left out, means korv
// behaves as it did before the file existed. A line korv cannot read is an
// error naming the line, never silently skipped. korvconf writes the file
// whole and atomically, with mode 0600.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quorvexia {

inline constexpr const char* kSideFileName = "korv.conf";
// Larger than any sensible file; a bigger one is refused rather than read.
inline constexpr std::size_t kSideFileMaxBytes = 64 * 1024;

struct SideSettings {
    std::string passwordCommand;  // its output stands for pop3Password
    std::string tokenCommand;     // its output is an OAuth2 access token
    std::string caFile;           // certificates trusted besides the system's
    // Built-in OAuth2 sign-in (never a token here: those live in the store).
    std::string oauth;              // "microsoft", "google" or "custom"
    std::string oauthAccount;       // the mail address signed in; XOAUTH2's user=
    std::string oauthTenant;        // Microsoft: common, organizations, consumers or an ID
    std::string oauthClientId;      // the app registration, when not the built-in one
    std::string oauthAuthorizeUrl;  // endpoints replacing the provider's
    std::string oauthTokenUrl;
    std::string oauthDeviceUrl;
    std::string oauthScope;
    std::string oauthStore;         // "keyring" (default) or "file" (korv.token)
};

// One key of the file; the table is the one list that reading, writing,
// korvconf's usage and `korvconf show` go by.
struct SideKey {
    std::string_view key;
    std::string SideSettings::*value;
    std::string_view help;
    bool command;  // the value is a helper command line (checked when set)
    // The allowed values, '|'-separated; empty: any. "https" means an https:// URL.
    std::string_view choices = {};
};
const std::vector<SideKey>& SideKeys();
const SideKey* FindSideKey(std::string_view key);

// A value as a key takes it: one line, no control characters; a command
// must split into words. Empty when the value is acceptable.
std::string CheckSideValue(const SideKey& key, std::string_view value);

// What no single key can say: the keys that exclude or need each other.
// Empty when the settings hang together.
std::string CheckSideSettings(const SideSettings& settings);

// Reads the text of the file; false with "line N: ..." in `error`.
bool ParseSideText(std::string_view text, SideSettings& settings, std::string& error);
// The text for the settings: a comment line, then one line per key set.
std::string FormatSideText(const SideSettings& settings);

enum class SideFileStatus { Absent, Read, Failed };
// Reads the file at `path`. Absent leaves the settings empty; Failed gives a
// sentence naming the file (and the line) in `error`.
SideFileStatus ReadSideFile(const std::string& path, SideSettings& settings, std::string& error);
// Replaces the file at `path` (mode 0600); false with the system's reason.
bool WriteSideFile(const std::string& path, const SideSettings& settings, std::string& error);

// A helper command line split into words: blanks separate words; '...'
// keeps everything inside; "..." keeps everything but lets \" and \\ stand
// for " and \; outside quotes a backslash keeps the next character. False
// with a reason for an open quote or a trailing backslash, or no words.
bool SplitCommandLine(std::string_view line, std::vector<std::string>& words, std::string& error);

// Runs a password-command or token-command once, as korv does for each
// connection, and checks its answer: one line, not empty. False with the
// sentence korv logs ("helper 'x' printed more than one line", ...).
bool RunCredentialCommand(const std::string& command, std::string& answer, std::string& error);

}  // namespace quorvexia
