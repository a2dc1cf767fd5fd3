// korvconf's commands on korv.cfg in one directory: init, show, set and
// upgrade. What they print goes to `out` and `err`; the result is the exit
// status (0 done, 1 a file could not be read or written, 2 a usage error).
#pragma once

#include <string>
#include <vector>

namespace quorvexia::conf {

inline constexpr int kExitDone = 0;
inline constexpr int kExitFile = 1;
inline constexpr int kExitUsage = 2;

int RunKorvconf(const std::vector<std::string>& args, const std::string& dir, std::string& out,
                std::string& err);

std::string UsageText();

}  // namespace quorvexia::conf
