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

namespace quorvexia {

namespace {

using namespace ras;

// A failed status query of the matching connection.
constexpr int kStatusQueryFailed = 9501;
// A provider library that lacks one of the entry points korv calls.
constexpr int kEntryPointMissing = 9502;
// The connection list is not allowed to grow beyond this many bytes: a
// provider asking for more is treated as memory that cannot be had.
constexpr DWORD kMaxConnectionBuffer = 16u * 1024u * 1024u;

[[noreturn]] void RasFailure(int code) { throw FatalError("Remote Access Service Failure %d", code); }

// Copies a text into a record field, cut to the field, always terminated.
template <std::size_t N>
void CopyField(char (&field)[N], std::string_view text) {
    std::size_t length = text.size() < N - 1 ? text.size() : N - 1;
    std::memcpy(field, text.data(), length);
    field[length] = '\0';
}

}  // namespace

template <typename Fn>
Fn* DialUp::entryPoint(const char* name) {
    Fn* fn = library_.find<Fn>(name);
    if (!fn) RasFailure(kEntryPointMissing);
    return fn;
}

// Finds dialEntry among the active connections and sets rasState and
// rasConnection from what is found; the result is 0 or a failure code.
int DialUp::findEntryConnection(std::string_view entry) {
    auto* enumConnections = entryPoint<RasEnumConnectionsA_t>("RasEnumConnectionsA");

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

    state_ = MustDial;
    // A provider's count is never trusted beyond the records the buffer holds.
    std::size_t listed = count < capacity ? count : capacity;
    for (std::size_t i = 0; i < listed; ++i) {
        const RASCONNA& connection = connections[i];
        std::string_view name(connection.szEntryName,
                              strnlen(connection.szEntryName, sizeof connection.szEntryName));
        if (name != entry) continue;

        connection_ = connection.hrasconn;
        auto* getStatus = entryPoint<RasGetConnectStatusA_t>("RasGetConnectStatusA");
        RASCONNSTATUSA status{};
        status.dwSize = sizeof(RASCONNSTATUSA);
        if (getStatus(connection.hrasconn, &status) != 0) return kStatusQueryFailed;
        if (status.rasconnstate == RASCS_Connected) {
            state_ = Connected;
        } else if (status.rasconnstate != RASCS_Disconnected) {
            state_ = NotManaged;  // a dial in progress elsewhere
        }
        break;
    }
    return 0;
}

void DialUp::dial(std::string_view entry) {
    RASDIALPARAMSA params{};
    params.dwSize = sizeof(RASDIALPARAMSA);
    CopyField(params.szEntryName, entry);
    params.szPhoneNumber[0] = '\0';     // the number stored in the entry
    params.szCallbackNumber[0] = '\0';  // no callback
    CopyField(params.szUserName, config_.dialUser.text());
    CopyField(params.szPassword, config_.dialPassword.text());
    CopyField(params.szDomain, "*");    // the domain stored in the entry

    std::string name(entry);
    ConsolePrint("Connecting to '%s'...\n", name.c_str());
    std::fflush(consoleStream);  // the dial may take long
    LogEventf('+', "Connecting to %s", name.c_str());

    auto* dial = entryPoint<RasDialA_t>("RasDialA");
    DWORD result = dial(nullptr, nullptr, &params, 0, nullptr, &connection_);
    std::memset(params.szPassword, 0, sizeof params.szPassword);
    if (result != 0) {
        char text[1000];
        text[0] = '\0';
        auto* errorString = entryPoint<RasGetErrorStringA_t>("RasGetErrorStringA");
        errorString(result, text, sizeof text);
        text[sizeof text - 1] = '\0';
        auto* hangUp = entryPoint<RasHangUpA_t>("RasHangUpA");
        hangUp(connection_);
        throw FatalError("Connection error: %s", text);
    }
    ConsolePrint("\n");
}

void DialUp::open(bool transferRequested) {
    if (!library_.load(providerDir_)) throw FatalError("Could't find Remote Access Service (RASAPI32.DLL)");

    std::string_view entry = config_.dialEntry.text();
    int result = findEntryConnection(entry);
    if (result != 0) RasFailure(result);

    if (state_ != MustDial) return;
    if (transferRequested) {
        dial(entry);
    } else {
        ConsolePrint("Connection is already closed.\n");
        LogEvent('!', "Connection is already closed");
        state_ = NotManaged;
    }
}

void DialUp::close(bool hangupRequested) {
    if (!hangupRequested) return;
    std::string entry(config_.dialEntry.text());
    if (state_ != NotManaged) {
        ConsolePrint("\nDisconnecting from '%s'...", entry.c_str());
        std::fflush(consoleStream);
        auto* hangUp = entryPoint<RasHangUpA_t>("RasHangUpA");
        hangUp(connection_);
        LogEventf('+', "Disconnected from %s", entry.c_str());
    }
    if (entry.empty()) {
        ConsolePrint("Hangup not allowed with network connection.\n");
        LogEvent('?', "Hangup not allowed with network connection");
    }
}

}  // namespace quorvexia
