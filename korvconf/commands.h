// korvconf's commands on korv.cfg in one directory: init, show, set and
// upgrade. What they print goes to `out` and `err`; the result is the exit
// status (0 done, 1 a file could not be read or written, 2 a usage error).
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace quorvexia::conf {

inline constexpr int kExitDone = 0;
inline constexpr int kExitFile = 1;
inline constexpr int kExitUsage = 2;

// A password given as this value is read instead: from standard input, or
// at a prompt without echo when that is a terminal.
inline constexpr const char* kReadSecret = "-";

// Reads one secret, showing `prompt` where a person would see it; false when
// there was nothing to read.
using SecretReader = std::function<bool(const std::string& prompt, std::string& value)>;

int RunKorvconf(const std::vector<std::string>& args, const std::string& dir, std::string& out,
                std::string& err, const SecretReader& readSecret = {});

std::string UsageText();

}  // namespace quorvexia::conf
