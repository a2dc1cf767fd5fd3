// Dial-up connection control. The provider library is loaded only here and
// only when an entry is configured; its functions are looked up by name when
// they are used, so a provider that lacks one ends the run cleanly instead of
// crashing it.
#include "dial_up.h"

#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "activity_log.h"
#include "console.h"
#include "korv_state.h"
#include "platform/net.h"
#include "platform/ras.h"
#include "platform/ras_library.h"

namespace quorvexia {

namespace {

using namespace ras;

enum RasState { RasNotManaged = 0, RasMustDial = 1, RasConnected = 2 };

// A failed status query of the matching connection.
constexpr int kStatusQueryFailed = 9501;
// A provider library that lacks one of the entry points korv calls.
constexpr int kEntryPointMissing = 9502;
// The connection list is not allowed to grow beyond this many bytes: a
// provider asking for more is treated as memory that cannot be had.
constexpr DWORD kMaxConnectionBuffer = 16u * 1024u * 1024u;

struct DialUpLink {
    platform::RasLibrary rasLibrary;
    HRASCONN rasConnection = 0;
    int rasState = RasNotManaged;
};

DialUpLink dialUpLink;

[[noreturn]] void RasFailure(int code) {
    platform::NetCleanup();
    FatalError("Remote Access Service Failure %d", code);
}

template <typename Fn>
Fn* EntryPoint(const char* name) {
    Fn* fn = dialUpLink.rasLibrary.find<Fn>(name);
    if (!fn) RasFailure(kEntryPointMissing);
    return fn;
}

// Copies a text into a record field, cut to the field, always terminated.
template <std::size_t N>
void CopyField(char (&field)[N], std::string_view text) {
    std::size_t length = text.size() < N - 1 ? text.size() : N - 1;
    std::memcpy(field, text.data(), length);
    field[length] = '\0';
}

std::string ProviderDirectory() {
    // korv has already changed into its own directory, so a relative program
    // directory is taken from where the run started.
    if (programDir.empty() || programDir.front() == '/' || startDir.empty()) return programDir;
    return startDir + "/" + programDir;
}

// Finds dialEntry among the active connections and sets rasState and
// rasConnection from what is found; the result is 0 or a failure code.
int FindEntryConnection(std::string_view entry) {
    auto* enumConnections = EntryPoint<RasEnumConnectionsA_t>("RasEnumConnectionsA");

    DWORD byteSize = sizeof(RASCONNA);
    DWORD count = 0;
    std::size_t capacity = 1;
    std::unique_ptr<RASCONNA[]> connections(new (std::nothrow) RASCONNA[capacity]());
    if (!connections) return ERROR_NOT_ENOUGH_MEMORY;
    connections[0].dwSize = sizeof(RASCONNA);
    DWORD result = enumConnections(connections.get(), &byteSize, &count);

    if (result == ERROR_BUFFER_TOO_SMALL) {
        if (byteSize > kMaxConnectionBuffer) return ERROR_NOT_ENOUGH_MEMORY;
        // Whole records, never fewer than one, so the provider can fill what it asked for.
        capacity = (byteSize + sizeof(RASCONNA) - 1) / sizeof(RASCONNA);
        if (capacity == 0) capacity = 1;
        connections.reset(new (std::nothrow) RASCONNA[capacity]());
        if (!connections) return ERROR_NOT_ENOUGH_MEMORY;
        connections[0].dwSize = sizeof(RASCONNA);
        count = 0;
        result = enumConnections(connections.get(), &byteSize, &count);
    }
    if (result != 0) return static_cast<int>(result);

    dialUpLink.rasState = RasMustDial;
    // A provider's count is never trusted beyond the records the buffer holds.
    std::size_t listed = count < capacity ? count : capacity;
    for (std::size_t i = 0; i < listed; ++i) {
        const RASCONNA& connection = connections[i];
        std::string_view name(connection.szEntryName,
                              strnlen(connection.szEntryName, sizeof connection.szEntryName));
        if (name != entry) continue;

        dialUpLink.rasConnection = connection.hrasconn;
        auto* getStatus = EntryPoint<RasGetConnectStatusA_t>("RasGetConnectStatusA");
        RASCONNSTATUSA status{};
        status.dwSize = sizeof(RASCONNSTATUSA);
        if (getStatus(connection.hrasconn, &status) != 0) return kStatusQueryFailed;
        if (status.rasconnstate == RASCS_Connected) {
            dialUpLink.rasState = RasConnected;
        } else if (status.rasconnstate != RASCS_Disconnected) {
            dialUpLink.rasState = RasNotManaged;  // a dial in progress elsewhere
        }
        break;
    }
    return 0;
}

void Dial(std::string_view entry) {
    RASDIALPARAMSA params{};
    params.dwSize = sizeof(RASDIALPARAMSA);
    CopyField(params.szEntryName, entry);
    params.szPhoneNumber[0] = '\0';     // the number stored in the entry
    params.szCallbackNumber[0] = '\0';  // no callback
    CopyField(params.szUserName, mailConfig.dialUser.text());
    CopyField(params.szPassword, mailConfig.dialPassword.text());
    CopyField(params.szDomain, "*");    // the domain stored in the entry

    std::string name(entry);
    ConsolePrint("Connecting to '%s'...\n", name.c_str());
    std::fflush(consoleStream);  // the dial may take long
    LogEventf('+', "Connecting to %s", name.c_str());

    auto* dial = EntryPoint<RasDialA_t>("RasDialA");
    DWORD result = dial(nullptr, nullptr, &params, 0, nullptr, &dialUpLink.rasConnection);
    std::memset(params.szPassword, 0, sizeof params.szPassword);
    if (result != 0) {
        char text[1000];
        text[0] = '\0';
        auto* errorString = EntryPoint<RasGetErrorStringA_t>("RasGetErrorStringA");
        errorString(result, text, sizeof text);
        text[sizeof text - 1] = '\0';
        auto* hangUp = EntryPoint<RasHangUpA_t>("RasHangUpA");
        hangUp(dialUpLink.rasConnection);
        platform::NetCleanup();
        FatalError("Connection error: %s", text);
    }
    ConsolePrint("\n");
}

}  // namespace

void OpenDialUp(bool transferRequested) {
    if (!dialUpLink.rasLibrary.load(ProviderDirectory())) {
        platform::NetCleanup();
        FatalError("Could't find Remote Access Service (RASAPI32.DLL)");
    }

    std::string_view entry = mailConfig.dialEntry.text();
    int result = FindEntryConnection(entry);
    if (result != 0) RasFailure(result);

    if (dialUpLink.rasState != RasMustDial) return;
    if (transferRequested) {
        Dial(entry);
    } else {
        ConsolePrint("Connection is already closed.\n");
        LogEvent('!', "Connection is already closed");
        dialUpLink.rasState = RasNotManaged;
    }
}

void CloseDialUp(bool hangupRequested) {
    if (!hangupRequested) return;
    std::string entry(mailConfig.dialEntry.text());
    if (dialUpLink.rasState != RasNotManaged) {
        ConsolePrint("\nDisconnecting from '%s'...", entry.c_str());
        std::fflush(consoleStream);
        auto* hangUp = EntryPoint<RasHangUpA_t>("RasHangUpA");
        hangUp(dialUpLink.rasConnection);
        LogEventf('+', "Disconnected from %s", entry.c_str());
    }
    if (entry.empty()) {
        ConsolePrint("Hangup not allowed with network connection.\n");
        LogEvent('?', "Hangup not allowed with network connection");
    }
}

}  // namespace quorvexia
