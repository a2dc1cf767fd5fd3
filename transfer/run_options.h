// korv's command line: switches tested by prefix, without regard to case.
#pragma once

#include <cstdint>

namespace quorvexia {

struct RunOptions {
    bool sendRequested = false;
    bool receiveRequested = false;
    bool hangupRequested = false;
    bool debugMode = false;
    std::int32_t tries = 1;
    std::uint32_t daemonSeconds = 0;
};

RunOptions ParseSwitches(int argc, const char* const* argv);

// True when the switches ask for something to do (send, receive or hang up).
inline bool HasAction(const RunOptions& o) {
    return o.sendRequested || o.receiveRequested || o.hangupRequested;
}

void PrintUsage();

}  // namespace quorvexia
