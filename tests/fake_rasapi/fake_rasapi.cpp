// A dial-up provider for tests. Its behaviour comes from a state file that the
// test writes, "fake_ras_state" in the current working directory (or the path
// in FAKE_RAS_STATE), read anew on every call; every call and its arguments are
// appended to "fake_ras_calls" beside that file, one line per call, fields
// separated by tabs. A successful dial adds the connection to the state file
// and a hang-up removes it, so one run can dial and a later one hang up.
//
// State file lines (keyword, one space, arguments; names run to the line end):
//   connection <handle> <state> <name>   an active connection (state as 8192 or 0x2000)
//   enum_error <code>                    RasEnumConnectionsA answers this code
//   enum_size <bytes>                    the size RasEnumConnectionsA asks for (at least
//                                        what the connections need)
//   status_error <code>                  RasGetConnectStatusA answers this code
//   dial_error <code>                    RasDialA answers this code
//   dial_handle <handle>                 the handle RasDialA hands out (also on failure)
//   error_text <code> <text>             RasGetErrorStringA's text for a code
//   entry <name>                         a phonebook entry, in listed order
//   entries_error <code>                 RasEnumEntriesA answers this code
//   entries_size <bytes>                 the size RasEnumEntriesA asks for
//   entries_retry_error <code>           RasEnumEntriesA answers this code when given
//                                        room for more than one entry
//   create_adds <name>                   RasCreatePhonebookEntryA adds this entry
//   edit_renames <name>                  RasEditPhonebookEntryA renames the entry to this
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/ras.h"

using namespace quorvexia::ras;

namespace {

constexpr DWORD kInvalidSize = 632;
constexpr DWORD kInvalidParameter = 87;
constexpr DWORD kInvalidHandle = 6;

std::string StatePath() {
    const char* path = std::getenv("FAKE_RAS_STATE");
    return path && *path ? path : "fake_ras_state";
}

std::string CallsPath() {
    std::string state = StatePath();
    std::size_t slash = state.rfind('/');
    return (slash == std::string::npos ? std::string() : state.substr(0, slash + 1)) + "fake_ras_calls";
}

struct Connection {
    DWORD handle = 0;
    DWORD state = 0;
    std::string name;
};

struct State {
    std::vector<std::string> lines;
    std::vector<Connection> connections;
    std::vector<std::string> entries;
    std::vector<std::pair<DWORD, std::string>> texts;
    DWORD enumError = 0, enumSize = 0, statusError = 0, dialError = 0, dialHandle = 100;
    DWORD entriesError = 0, entriesSize = 0, entriesRetryError = 0;
    std::string createAdds, editRenames;
};

DWORD Number(const std::string& text) { return static_cast<DWORD>(std::strtoul(text.c_str(), nullptr, 0)); }

State ReadState() {
    State state;
    std::ifstream in(StatePath());
    std::string line;
    while (std::getline(in, line)) {
        state.lines.push_back(line);
        std::istringstream fields(line);
        std::string keyword, a, b;
        fields >> keyword;
        auto rest = [&fields] {
            std::string text;
            std::getline(fields >> std::ws, text);
            return text;
        };
        if (keyword == "connection") {
            fields >> a >> b;
            state.connections.push_back({Number(a), Number(b), rest()});
        } else if (keyword == "entry") {
            state.entries.push_back(rest());
        } else if (keyword == "error_text") {
            fields >> a;
            state.texts.emplace_back(Number(a), rest());
        } else if (keyword == "create_adds") {
            state.createAdds = rest();
        } else if (keyword == "edit_renames") {
            state.editRenames = rest();
        } else {
            fields >> a;
            DWORD value = Number(a);
            if (keyword == "enum_error") state.enumError = value;
            if (keyword == "enum_size") state.enumSize = value;
            if (keyword == "status_error") state.statusError = value;
            if (keyword == "dial_error") state.dialError = value;
            if (keyword == "dial_handle") state.dialHandle = value;
            if (keyword == "entries_error") state.entriesError = value;
            if (keyword == "entries_size") state.entriesSize = value;
            if (keyword == "entries_retry_error") state.entriesRetryError = value;
        }
    }
    return state;
}

void WriteLines(const std::vector<std::string>& lines) {
    std::ofstream out(StatePath(), std::ios::trunc);
    for (const std::string& line : lines) out << line << '\n';
}

[[maybe_unused]] bool IsConnectionLine(const std::string& line, DWORD handle) {
    std::istringstream fields(line);
    std::string keyword, value;
    fields >> keyword >> value;
    return keyword == "connection" && Number(value) == handle;
}

void Record(const std::string& text) {
    std::ofstream out(CallsPath(), std::ios::app);
    out << text << '\n';
}

std::string Text(const char* text) { return text ? std::string("\"") + text + "\"" : "null"; }
std::string Pointer(const void* p) { return p ? "set" : "null"; }

template <std::size_t N>
void Copy(char (&field)[N], const std::string& text) {
    std::snprintf(field, N, "%s", text.c_str());
}

}  // namespace

extern "C" {

DWORD RasEnumConnectionsA(RASCONNA* connections, DWORD* byteSize, DWORD* count) {
    State state = ReadState();
    Record("RasEnumConnectionsA\tdwSize=" + std::to_string(connections ? connections->dwSize : 0) +
           "\tcb=" + std::to_string(byteSize ? *byteSize : 0));
    if (!connections || !byteSize || !count) return kInvalidParameter;
    if (connections->dwSize != sizeof(RASCONNA)) return kInvalidSize;
    if (state.enumError) return state.enumError;
    DWORD needed = static_cast<DWORD>(state.connections.size() * sizeof(RASCONNA));
    if (state.enumSize > needed) needed = state.enumSize;
    if (*byteSize < needed) {
        *byteSize = needed;
        *count = 0;
        return ERROR_BUFFER_TOO_SMALL;
    }
    // Like a real provider, use every byte the caller says it has.
    if (*byteSize > sizeof(DWORD))
        std::memset(reinterpret_cast<char*>(connections) + sizeof(DWORD), 0, *byteSize - sizeof(DWORD));
    for (std::size_t i = 0; i < state.connections.size(); ++i) {
        RASCONNA& record = connections[i];
        record.dwSize = sizeof(RASCONNA);
        record.hrasconn = state.connections[i].handle;
        Copy(record.szEntryName, state.connections[i].name);
        Copy(record.szDeviceType, "modem");
        Copy(record.szDeviceName, "Test Modem");
    }
    *byteSize = static_cast<DWORD>(state.connections.size() * sizeof(RASCONNA));
    *count = static_cast<DWORD>(state.connections.size());
    return 0;
}

DWORD RasGetConnectStatusA(HRASCONN connection, RASCONNSTATUSA* status) {
    State state = ReadState();
    Record("RasGetConnectStatusA\thrasconn=" + std::to_string(connection) +
           "\tdwSize=" + std::to_string(status ? status->dwSize : 0));
    if (!status) return kInvalidParameter;
    if (status->dwSize != sizeof(RASCONNSTATUSA)) return kInvalidSize;
    if (state.statusError) return state.statusError;
    for (const Connection& c : state.connections) {
        if (c.handle != connection) continue;
        status->rasconnstate = c.state;
        status->dwError = 0;
        Copy(status->szDeviceType, "modem");
        Copy(status->szDeviceName, "Test Modem");
        return 0;
    }
    return kInvalidHandle;
}

#ifndef FAKE_RAS_PARTIAL
DWORD RasDialA(void* extensions, const char* phonebook, RASDIALPARAMSA* params, DWORD notifierType,
               void* notifier, HRASCONN* connection) {
    State state = ReadState();
    if (!params || !connection) {
        Record("RasDialA\tparams=null");
        return kInvalidParameter;
    }
    Record("RasDialA\textensions=" + Pointer(extensions) + "\tphonebook=" + Text(phonebook) +
           "\tdwSize=" + std::to_string(params->dwSize) + "\tentry=" + params->szEntryName +
           "\tphone=" + params->szPhoneNumber + "\tcallback=" + params->szCallbackNumber +
           "\tuser=" + params->szUserName + "\tpassword=" + params->szPassword +
           "\tdomain=" + params->szDomain + "\tnotifierType=" + std::to_string(notifierType) +
           "\tnotifier=" + Pointer(notifier) + "\thandle=" + std::to_string(*connection));
    if (params->dwSize != sizeof(RASDIALPARAMSA)) return kInvalidSize;
    *connection = state.dialHandle;
    if (state.dialError) return state.dialError;
    std::vector<std::string> lines;
    for (const std::string& line : state.lines)
        if (!IsConnectionLine(line, state.dialHandle)) lines.push_back(line);
    lines.push_back("connection " + std::to_string(state.dialHandle) + " 0x2000 " + params->szEntryName);
    WriteLines(lines);
    return 0;
}

DWORD RasHangUpA(HRASCONN connection) {
    State state = ReadState();
    Record("RasHangUpA\thrasconn=" + std::to_string(connection));
    std::vector<std::string> lines;
    bool found = false;
    for (const std::string& line : state.lines) {
        if (IsConnectionLine(line, connection)) {
            found = true;
        } else {
            lines.push_back(line);
        }
    }
    if (!found) return kInvalidHandle;
    WriteLines(lines);
    return 0;
}
#endif

DWORD RasGetErrorStringA(unsigned code, char* text, DWORD size) {
    State state = ReadState();
    Record("RasGetErrorStringA\tcode=" + std::to_string(code) + "\tsize=" + std::to_string(size));
    if (!text || size == 0) return kInvalidParameter;
    for (const auto& [known, message] : state.texts) {
        if (known != code) continue;
        std::snprintf(text, size, "%s", message.c_str());
        return 0;
    }
    return kInvalidParameter;
}

DWORD RasEnumEntriesA(const char* reserved, const char* phonebook, RASENTRYNAMEA* entries, DWORD* byteSize,
                      DWORD* count) {
    State state = ReadState();
    Record("RasEnumEntriesA\treserved=" + Text(reserved) + "\tphonebook=" + Text(phonebook) +
           "\tdwSize=" + std::to_string(entries ? entries->dwSize : 0) +
           "\tcb=" + std::to_string(byteSize ? *byteSize : 0));
    if (!entries || !byteSize || !count) return kInvalidParameter;
    if (entries->dwSize != sizeof(RASENTRYNAMEA)) return kInvalidSize;
    if (state.entriesError) return state.entriesError;
    if (state.entriesRetryError && *byteSize > sizeof(RASENTRYNAMEA)) return state.entriesRetryError;
    DWORD needed = static_cast<DWORD>(state.entries.size() * sizeof(RASENTRYNAMEA));
    if (state.entriesSize > needed) needed = state.entriesSize;
    if (*byteSize < needed) {
        *byteSize = needed;
        *count = 0;
        return ERROR_BUFFER_TOO_SMALL;
    }
    if (*byteSize > sizeof(DWORD))
        std::memset(reinterpret_cast<char*>(entries) + sizeof(DWORD), 0, *byteSize - sizeof(DWORD));
    for (std::size_t i = 0; i < state.entries.size(); ++i) {
        entries[i].dwSize = sizeof(RASENTRYNAMEA);
        Copy(entries[i].szEntryName, state.entries[i]);
    }
    *byteSize = static_cast<DWORD>(state.entries.size() * sizeof(RASENTRYNAMEA));
    *count = static_cast<DWORD>(state.entries.size());
    return 0;
}

DWORD RasCreatePhonebookEntryA(void* ownerWindow, const char* phonebook) {
    State state = ReadState();
    Record("RasCreatePhonebookEntryA\towner=" + Pointer(ownerWindow) + "\tphonebook=" + Text(phonebook));
    if (!state.createAdds.empty()) {
        state.lines.push_back("entry " + state.createAdds);
        WriteLines(state.lines);
    }
    return 0;
}

DWORD RasEditPhonebookEntryA(void* ownerWindow, const char* phonebook, const char* entryName) {
    State state = ReadState();
    std::string name = entryName ? entryName : "";
    Record("RasEditPhonebookEntryA\towner=" + Pointer(ownerWindow) + "\tphonebook=" + Text(phonebook) +
           "\tentry=" + Text(entryName));
    if (!state.editRenames.empty()) {
        for (std::string& line : state.lines)
            if (line == "entry " + name) line = "entry " + state.editRenames;
        WriteLines(state.lines);
    }
    return 0;
}

}  // extern "C"

// The exports keep the types that korv and korvcfg call them through.
static_assert(std::is_same_v<decltype(RasEnumConnectionsA), RasEnumConnectionsA_t>);
static_assert(std::is_same_v<decltype(RasGetConnectStatusA), RasGetConnectStatusA_t>);
static_assert(std::is_same_v<decltype(RasGetErrorStringA), RasGetErrorStringA_t>);
static_assert(std::is_same_v<decltype(RasEnumEntriesA), RasEnumEntriesA_t>);
static_assert(std::is_same_v<decltype(RasCreatePhonebookEntryA), RasCreatePhonebookEntryA_t>);
static_assert(std::is_same_v<decltype(RasEditPhonebookEntryA), RasEditPhonebookEntryA_t>);
#ifndef FAKE_RAS_PARTIAL
static_assert(std::is_same_v<decltype(RasDialA), RasDialA_t>);
static_assert(std::is_same_v<decltype(RasHangUpA), RasHangUpA_t>);
#endif
