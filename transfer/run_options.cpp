#include "run_options.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "console.h"

namespace quorvexia {

namespace {

bool HasPrefix(const char* arg, const char* prefix) {
    for (; *prefix; ++arg, ++prefix) {
        if (std::tolower(static_cast<unsigned char>(*arg)) != *prefix) return false;
    }
    return true;
}

// The number after the first ':' as atol reads it; false without a colon.
bool NumberAfterColon(const char* arg, long& value) {
    const char* colon = std::strchr(arg, ':');
    if (!colon) return false;
    value = std::strtol(colon + 1, nullptr, 10);
    return true;
}

}  // namespace

RunOptions ParseSwitches(int argc, const char* const* argv) {
    RunOptions o;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        long n = 0;
        if (HasPrefix(arg, "/s")) {
            o.sendRequested = true;
        } else if (HasPrefix(arg, "/r")) {
            o.receiveRequested = true;
        } else if (HasPrefix(arg, "/h")) {
            o.hangupRequested = true;
        } else if (HasPrefix(arg, "/de")) {
            o.debugMode = true;
        } else if (HasPrefix(arg, "/t")) {
            if (NumberAfterColon(arg, n) && n > 0 && n <= INT32_MAX) o.tries = static_cast<std::int32_t>(n);
        } else if (HasPrefix(arg, "/da")) {
            // Minutes beyond what 32 bits of seconds hold are kept at the longest pause.
            if (NumberAfterColon(arg, n) && n > 0)
                o.daemonSeconds = n > long(UINT32_MAX / 60) ? UINT32_MAX / 60 * 60 : std::uint32_t(n) * 60;
        }
    }
    return o;
}

void PrintUsage() {
    ConsolePrint("KORV [/send] [/receive] [/hangup] [/debug] [/tries:<n>] [/daemon:<n>]\n\n");
    ConsolePrint("  /send\t\tSend mail.\n  /receive\tReceive mail.\n");
    ConsolePrint(
        "  /hangup\tHangs up modem connection.\n  /debug\tDebug mode.\n  /tries:<n>\tTries mail "
        "transfer up to <n> times on failure.\n");
    ConsolePrint("  /daemon:<min>\tChecks mail every <min> minutes; exits on new mail.\n");
}

}  // namespace quorvexia
