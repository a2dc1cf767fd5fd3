#include "dial_up.h"

#include "activity_log.h"
#include "console.h"
#include "korv_state.h"
#include "platform/net.h"

namespace quorvexia {

// Until a dial-up provider can be loaded, a configured entry is treated as a
// missing provider library.
void OpenDialUp(bool /*transferRequested*/) {
    platform::NetCleanup();
    FatalError("Could't find Remote Access Service (RASAPI32.DLL)");
}

void CloseDialUp(bool hangupRequested) {
    if (mailConfig.dialEntry.empty() && hangupRequested) {
        ConsolePrint("Hangup not allowed with network connection.\n");
        LogEvent('?', "Hangup not allowed with network connection");
    }
}

}  // namespace quorvexia
