// The dial-up provider for Linux desktops, over NetworkManager's command-line
// client nmcli. Phonebook entries are NetworkManager connection profiles, an
// active profile is an active connection, and a connection handle stands for
// a profile's UUID for the life of the process.
//
// Error codes this provider answers besides the usual ones (6 invalid handle,
// 87 invalid parameter, 603 buffer too small, 632 invalid record size):
//   7000 + n  nmcli ended with exit status n (10: no such profile, 4: activation failed, ...)
//   7300      nmcli could not be run (NetworkManager's client is not installed)
//   7301      nmcli was killed or did not finish in time
//   7302      the private secrets file could not be written
//   7303      the connection editor is not installed
// RasGetErrorStringA gives nmcli's own message for the latest failure, else a fixed text.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/ras.h"
#include "platform/process.h"
#include "terse.h"

using namespace quorvexia::ras;
using quorvexia::providers::ParseTerse;
using quorvexia::platform::ProcessResult;
using quorvexia::platform::RunProcess;

namespace {

constexpr DWORD kInvalidHandle = 6;
constexpr DWORD kInvalidParameter = 87;
constexpr DWORD kInvalidSize = 632;
constexpr DWORD kNmcliStatusBase = 7000;
constexpr DWORD kNmcliMissing = 7300;
constexpr DWORD kNmcliUnfinished = 7301;
constexpr DWORD kSecretsFileFailed = 7302;
constexpr DWORD kEditorMissing = 7303;

// nmcli's own limit for bringing a profile up, and ours for any call of it.
constexpr int kActivationWaitSeconds = 90;
constexpr int kUpTimeoutSeconds = kActivationWaitSeconds + 30;
constexpr int kCallTimeoutSeconds = 30;

// A state of an active connection that is neither up nor down (RASCS_OpenPort).
constexpr DWORD kStateInProgress = 0;

std::mutex providerMutex;
std::vector<std::string> handleUuids;  // handle n is handleUuids[n - 1]
DWORD lastFailureCode = 0;
std::string lastFailureText;

HRASCONN HandleFor(const std::string& uuid) {
    for (std::size_t i = 0; i < handleUuids.size(); ++i)
        if (handleUuids[i] == uuid) return static_cast<HRASCONN>(i + 1);
    handleUuids.push_back(uuid);
    return static_cast<HRASCONN>(handleUuids.size());
}

bool UuidFor(HRASCONN handle, std::string& uuid) {
    if (handle == 0 || handle > handleUuids.size()) return false;
    uuid = handleUuids[handle - 1];
    return true;
}

// nmcli's message without its "Error: " prefix, on one line. The "Hint: "
// lines that follow a failed activation point to NetworkManager's journal,
// which a korv user reading "Connection error: ..." has no use for.
std::string FailureText(const std::string& err) {
    std::string text;
    std::size_t start = 0;
    while (start < err.size()) {
        std::size_t end = err.find('\n', start);
        if (end == std::string::npos) end = err.size();
        std::string line = err.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line.rfind("Hint: ", 0) == 0) continue;
        if (!text.empty()) text += ' ';
        text += line;
    }
    if (text.rfind("Error: ", 0) == 0) text.erase(0, 7);
    return text;
}

DWORD Fail(DWORD code, const std::string& text) {
    lastFailureCode = code;
    lastFailureText = text;
    return code;
}

// Runs nmcli with the arguments; 0 with its output, or the failure code.
DWORD Nmcli(std::vector<std::string> args, std::string& out, int timeoutSeconds = kCallTimeoutSeconds) {
    args.insert(args.begin(), "nmcli");
    ProcessResult result = RunProcess(args, true, timeoutSeconds);
    if (!result.started) return Fail(kNmcliMissing, "");
    if (!result.finished) return Fail(kNmcliUnfinished, "");
    if (result.status != 0) return Fail(kNmcliStatusBase + static_cast<DWORD>(result.status), FailureText(result.err));
    out = std::move(result.out);
    return 0;
}

struct ActiveConnection {
    std::string name, uuid, type, device, state;
};

const std::vector<std::string> kListActive = {"-t", "-f", "NAME,UUID,TYPE,DEVICE,STATE", "connection", "show",
                                              "--active"};

DWORD ListActive(std::vector<ActiveConnection>& list) {
    std::string out;
    if (DWORD code = Nmcli(kListActive, out)) return code;
    for (auto& fields : ParseTerse(out)) {
        if (fields.size() < 5) continue;
        list.push_back({fields[0], fields[1], fields[2], fields[3], fields[4]});
    }
    return 0;
}

DWORD StateOf(const std::string& nmState) {
    if (nmState == "activated") return RASCS_Connected;
    if (nmState == "deactivated") return RASCS_Disconnected;
    return kStateInProgress;
}

template <std::size_t N>
void CopyField(char (&field)[N], const std::string& text) {
    std::size_t length = text.size() < N - 1 ? text.size() : N - 1;
    std::memcpy(field, text.data(), length);
    field[length] = '\0';
}

template <std::size_t N>
std::string FieldText(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
}

struct Profile {
    std::string uuid, type;
};

DWORD FindProfile(const std::string& name, Profile& profile) {
    std::string out;
    if (DWORD code = Nmcli({"-t", "-f", "connection.uuid,connection.type", "connection", "show", "id", name}, out))
        return code;
    // Profiles that share the name are shown one after the other, each from
    // its connection.uuid on: the first one shown is the one dialled.
    for (auto& fields : ParseTerse(out)) {
        if (fields.size() < 2) continue;
        if (fields[0] == "connection.uuid" && !profile.uuid.empty()) break;
        if (fields[0] == "connection.uuid") profile.uuid = fields[1];
        if (fields[0] == "connection.type") profile.type = fields[1];
    }
    if (profile.uuid.empty()) return Fail(kNmcliStatusBase + 10, name + " - no such connection profile.");
    return 0;
}

// Where a profile type keeps the dial-up user name and password.
struct SecretNames {
    const char* type;
    const char* user;
    const char* password;
};
constexpr SecretNames kSecretNames[] = {
    {"gsm", "gsm.username", "gsm.password"},
    {"cdma", "cdma.username", "cdma.password"},
    {"pppoe", "pppoe.username", "pppoe.password"},
    {"vpn", "vpn.user-name", "vpn.secrets.password"},
};

const SecretNames* SecretNamesFor(const std::string& type) {
    for (const SecretNames& names : kSecretNames)
        if (type == names.type) return &names;
    return nullptr;
}

// A secrets file readable by this user only, removed when it goes out of scope.
class SecretsFile {
public:
    SecretsFile() = default;
    ~SecretsFile() {
        if (!path_.empty()) unlink(path_.c_str());
    }
    SecretsFile(const SecretsFile&) = delete;
    SecretsFile& operator=(const SecretsFile&) = delete;

    bool write(const std::string& content) {
        // The user's private runtime directory first; the file itself is 0600 wherever it is.
        int fd = -1;
        std::string pattern;
        const char* dirs[] = {std::getenv("XDG_RUNTIME_DIR"), std::getenv("TMPDIR"), "/tmp"};
        for (const char* dir : dirs) {
            if (!dir || !*dir) continue;
            pattern = std::string(dir) + "/rasapi32-secrets-XXXXXX";
            fd = mkstemp(pattern.data());
            if (fd >= 0) break;
        }
        if (fd < 0) return false;
        path_ = pattern;
        bool written = fchmod(fd, S_IRUSR | S_IWUSR) == 0 &&
                       ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
        written = ::close(fd) == 0 && written;
        return written;
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

DWORD EnumConnections(RASCONNA* connections, DWORD* byteSize, DWORD* count) {
    if (!connections || !byteSize || !count) return kInvalidParameter;
    if (connections->dwSize != sizeof(RASCONNA)) return kInvalidSize;
    std::vector<ActiveConnection> list;
    if (DWORD code = ListActive(list)) return code;
    DWORD needed = static_cast<DWORD>(list.size() * sizeof(RASCONNA));
    *count = static_cast<DWORD>(list.size());
    if (*byteSize < needed) {
        *byteSize = needed;
        return ERROR_BUFFER_TOO_SMALL;
    }
    for (std::size_t i = 0; i < list.size(); ++i) {
        RASCONNA& record = connections[i];
        record.dwSize = sizeof(RASCONNA);
        record.hrasconn = HandleFor(list[i].uuid);
        CopyField(record.szEntryName, list[i].name);
        CopyField(record.szDeviceType, list[i].type);
        CopyField(record.szDeviceName, list[i].device);
    }
    *byteSize = needed;
    return 0;
}

DWORD GetConnectStatus(HRASCONN connection, RASCONNSTATUSA* status) {
    if (!status) return kInvalidParameter;
    if (status->dwSize != sizeof(RASCONNSTATUSA)) return kInvalidSize;
    std::string uuid;
    if (!UuidFor(connection, uuid)) return kInvalidHandle;
    std::vector<ActiveConnection> list;
    if (DWORD code = ListActive(list)) return code;
    status->rasconnstate = RASCS_Disconnected;
    status->dwError = 0;
    status->szDeviceType[0] = status->szDeviceName[0] = '\0';
    for (const ActiveConnection& active : list) {
        if (active.uuid != uuid) continue;
        status->rasconnstate = StateOf(active.state);
        CopyField(status->szDeviceType, active.type);
        CopyField(status->szDeviceName, active.device);
        break;
    }
    return 0;
}

DWORD Dial(const RASDIALPARAMSA& params, HRASCONN* connection) {
    Profile profile;
    if (DWORD code = FindProfile(FieldText(params.szEntryName), profile)) return code;
    const SecretNames* names = SecretNamesFor(profile.type);
    std::string user = FieldText(params.szUserName);
    std::string password = FieldText(params.szPassword);
    std::string out;
    if (names && !user.empty()) {
        // The user name is a setting of the profile, not a secret.
        if (DWORD code = Nmcli({"connection", "modify", "uuid", profile.uuid, names->user, user}, out)) return code;
    }

    std::vector<std::string> up = {"--wait", std::to_string(kActivationWaitSeconds), "connection", "up", "uuid",
                                   profile.uuid};
    SecretsFile secrets;
    if (names && !password.empty()) {
        // A line of the file holds one value: a password stops at its first line end.
        password = password.substr(0, password.find_first_of("\r\n"));
        if (!secrets.write(std::string(names->password) + ":" + password + "\n"))
            return Fail(kSecretsFileFailed, "");
        up.push_back("passwd-file");
        up.push_back(secrets.path());
    }
    *connection = HandleFor(profile.uuid);  // also on failure: a half-made connection is hung up by its caller
    return Nmcli(up, out, kUpTimeoutSeconds);
}

DWORD ErrorString(unsigned code, char* text, DWORD size) {
    if (!text || size == 0) return kInvalidParameter;
    std::string message;
    if (code == lastFailureCode && !lastFailureText.empty()) {
        message = lastFailureText;
    } else if (code == kNmcliMissing) {
        message = "NetworkManager's command-line client nmcli is not installed.";
    } else if (code == kNmcliUnfinished) {
        message = "NetworkManager's command-line client did not finish.";
    } else if (code == kSecretsFileFailed) {
        message = "The secrets of the connection could not be handed over.";
    } else if (code == kEditorMissing) {
        message = "The connection editor nm-connection-editor is not installed.";
    } else if (code == kNmcliStatusBase + 3) {
        message = "The connection did not come up in time.";
    } else if (code == kNmcliStatusBase + 4) {
        message = "The connection could not be activated.";
    } else if (code == kNmcliStatusBase + 8) {
        message = "NetworkManager is not running.";
    } else if (code == kNmcliStatusBase + 10) {
        message = "No such connection profile.";
    } else if (code > kNmcliStatusBase && code < kNmcliStatusBase + 256) {
        message = "NetworkManager's command-line client failed with status " + std::to_string(code - kNmcliStatusBase) + ".";
    } else {
        return kInvalidParameter;
    }
    std::snprintf(text, size, "%s", message.c_str());
    return 0;
}

DWORD EnumEntries(RASENTRYNAMEA* entries, DWORD* byteSize, DWORD* count) {
    if (!entries || !byteSize || !count) return kInvalidParameter;
    if (entries->dwSize != sizeof(RASENTRYNAMEA)) return kInvalidSize;
    std::string out;
    if (DWORD code = Nmcli({"-t", "-f", "NAME", "connection", "show"}, out)) return code;
    auto records = ParseTerse(out);
    DWORD needed = static_cast<DWORD>(records.size() * sizeof(RASENTRYNAMEA));
    *count = static_cast<DWORD>(records.size());
    if (*byteSize < needed) {
        *byteSize = needed;
        return ERROR_BUFFER_TOO_SMALL;
    }
    for (std::size_t i = 0; i < records.size(); ++i) {
        entries[i].dwSize = sizeof(RASENTRYNAMEA);
        CopyField(entries[i].szEntryName, records[i][0]);
    }
    *byteSize = needed;
    return 0;
}

// Runs the connection editor and waits until the user closes it.
DWORD RunEditor(const std::vector<std::string>& args) {
    std::vector<std::string> command = {"nm-connection-editor"};
    command.insert(command.end(), args.begin(), args.end());
    ProcessResult result = RunProcess(command, false, 0);
    if (!result.started) return Fail(kEditorMissing, "");
    return 0;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) DWORD RasEnumConnectionsA(RASCONNA* connections, DWORD* byteSize,
                                                                 DWORD* count) {
    std::lock_guard lock(providerMutex);
    return EnumConnections(connections, byteSize, count);
}

__attribute__((visibility("default"))) DWORD RasGetConnectStatusA(HRASCONN connection, RASCONNSTATUSA* status) {
    std::lock_guard lock(providerMutex);
    return GetConnectStatus(connection, status);
}

// Returns when the profile is up or has failed (nmcli waits for it); no
// notifier is supported.
__attribute__((visibility("default"))) DWORD RasDialA(void* /*extensions*/, const char* /*phonebook*/,
                                                      RASDIALPARAMSA* params, DWORD /*notifierType*/,
                                                      void* /*notifier*/, HRASCONN* connection) {
    if (!params || !connection) return kInvalidParameter;
    if (params->dwSize != sizeof(RASDIALPARAMSA)) return kInvalidSize;
    std::lock_guard lock(providerMutex);
    return Dial(*params, connection);
}

__attribute__((visibility("default"))) DWORD RasGetErrorStringA(unsigned code, char* text, DWORD size) {
    std::lock_guard lock(providerMutex);
    return ErrorString(code, text, size);
}

__attribute__((visibility("default"))) DWORD RasHangUpA(HRASCONN connection) {
    std::lock_guard lock(providerMutex);
    std::string uuid;
    if (!UuidFor(connection, uuid)) return kInvalidHandle;
    std::string out;
    return Nmcli({"connection", "down", "uuid", uuid}, out);
}

__attribute__((visibility("default"))) DWORD RasEnumEntriesA(const char* /*reserved*/, const char* /*phonebook*/,
                                                             RASENTRYNAMEA* entries, DWORD* byteSize,
                                                             DWORD* count) {
    std::lock_guard lock(providerMutex);
    return EnumEntries(entries, byteSize, count);
}

__attribute__((visibility("default"))) DWORD RasCreatePhonebookEntryA(void* /*ownerWindow*/,
                                                                      const char* /*phonebook*/) {
    std::lock_guard lock(providerMutex);
    return RunEditor({"--create"});
}

__attribute__((visibility("default"))) DWORD RasEditPhonebookEntryA(void* /*ownerWindow*/, const char* /*phonebook*/,
                                                                    const char* entryName) {
    if (!entryName) return kInvalidParameter;
    std::lock_guard lock(providerMutex);
    Profile profile;
    if (DWORD code = FindProfile(entryName, profile)) return code;
    return RunEditor({"--edit=" + profile.uuid});
}

}  // extern "C"

static_assert(std::is_same_v<decltype(RasEnumConnectionsA), RasEnumConnectionsA_t>);
static_assert(std::is_same_v<decltype(RasGetConnectStatusA), RasGetConnectStatusA_t>);
static_assert(std::is_same_v<decltype(RasDialA), RasDialA_t>);
static_assert(std::is_same_v<decltype(RasGetErrorStringA), RasGetErrorStringA_t>);
static_assert(std::is_same_v<decltype(RasHangUpA), RasHangUpA_t>);
static_assert(std::is_same_v<decltype(RasEnumEntriesA), RasEnumEntriesA_t>);
static_assert(std::is_same_v<decltype(RasCreatePhonebookEntryA), RasCreatePhonebookEntryA_t>);
static_assert(std::is_same_v<decltype(RasEditPhonebookEntryA), RasEditPhonebookEntryA_t>);
