// A reporter for tests: every console text and log line a session reports,
// in order, as "console|code log" entries (either part may be empty).
#pragma once

#include <string>
#include <vector>

#include "transfer/reporter.h"

namespace quorvexia::test {

class RecordingReporter final : public Reporter {
public:
    void report(std::string_view console, char code, std::string_view log) override {
        std::string entry(console);
        entry += "|";
        if (!log.empty()) entry += std::string(1, code) + " " + std::string(log);
        entries.push_back(entry);
    }
    std::vector<std::string> entries;
};

}  // namespace quorvexia::test
