// The NetworkManager provider, loaded as korv loads it, against a fake nmcli
// (and a fake connection editor) placed first on PATH: the exact arguments of
// every call, the parsing of terse output, states, failures and their texts,
// and that a password never appears on a command line.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "platform/ras.h"
#include "support/temp_dir.h"

namespace quorvexia::test {
namespace {

using namespace ras;
using Args = std::vector<std::string>;

// Call n of the fake writes its arguments to args.<n>, copies a passwd-file
// to secrets.<n> with its mode in mode.<n>, and answers out.<n>, err.<n>,
// status.<n>.
const char* kFakeNmcli = R"(#!/bin/sh
d=$(dirname "$0")
n=$(( $(cat "$d/count" 2>/dev/null || echo 0) + 1 ))
echo $n > "$d/count"
: > "$d/args.$n"
prev=
for a in "$@"; do
  printf '%s\n' "$a" >> "$d/args.$n"
  if [ "$prev" = passwd-file ]; then cp "$a" "$d/secrets.$n"; stat -c %a "$a" > "$d/mode.$n"; fi
  prev=$a
done
[ -f "$d/out.$n" ] && cat "$d/out.$n"
[ -f "$d/err.$n" ] && cat "$d/err.$n" >&2
exit $(cat "$d/status.$n" 2>/dev/null || echo 0)
)";

const char* kFakeEditor = R"(#!/bin/sh
printf '%s\n' "$@" > "$(dirname "$0")/editor.args"
)";

class NmProvider : public ::testing::Test {
protected:
    TempDir bin;
    void* library = nullptr;
    std::string savedPath;

    void SetUp() override {
        install("nmcli", kFakeNmcli);
        savedPath = std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin";
        setenv("PATH", (bin.path() + ":" + savedPath).c_str(), 1);
        library = dlopen(NM_RASAPI_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library, nullptr) << dlerror();
    }
    void TearDown() override { setenv("PATH", savedPath.c_str(), 1); }

    void install(const std::string& name, const char* script) {
        WriteFile(bin / name, script);
        chmod((bin / name).c_str(), 0755);
    }
    template <typename Fn>
    Fn* fn(const char* name) {
        auto* f = reinterpret_cast<Fn*>(dlsym(library, name));
        EXPECT_NE(f, nullptr) << name;
        return f;
    }
    void reply(int n, const std::string& out, const std::string& err = "", int status = 0) {
        WriteFile(bin / ("out." + std::to_string(n)), out);
        WriteFile(bin / ("err." + std::to_string(n)), err);
        WriteFile(bin / ("status." + std::to_string(n)), std::to_string(status) + "\n");
    }
    Args args(int n) {
        Args lines;
        std::istringstream in(ReadFile(bin / ("args." + std::to_string(n))));
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
    int calls() {
        std::string path = bin / "count";
        return FileExists(path) ? std::atoi(ReadFile(path).c_str()) : 0;
    }

    // Lists the active connections; the records by entry name.
    std::vector<RASCONNA> enumerate(DWORD& result) {
        std::vector<RASCONNA> records(8);
        records[0].dwSize = sizeof(RASCONNA);
        DWORD size = sizeof(RASCONNA) * 8, count = 0;
        result = fn<RasEnumConnectionsA_t>("RasEnumConnectionsA")(records.data(), &size, &count);
        records.resize(result == 0 ? count : 0);
        return records;
    }
    std::string errorText(DWORD code) {
        char text[256] = "unchanged";
        DWORD result = fn<RasGetErrorStringA_t>("RasGetErrorStringA")(code, text, sizeof text);
        return result == 0 ? text : "(code " + std::to_string(result) + ")";
    }
};

const Args kListActive = {"-t", "-f", "NAME,UUID,TYPE,DEVICE,STATE", "connection", "show", "--active"};

TEST_F(NmProvider, ActiveConnectionsWithEscapedNamesAndTheSizeAsked) {
    reply(1, "Office\\:2:u-1:gsm:ttyUSB0:activated\nLab\\\\net:u-2:vpn::activating\n");
    reply(2, "Office\\:2:u-1:gsm:ttyUSB0:activated\nLab\\\\net:u-2:vpn::activating\n");
    RASCONNA one{};
    one.dwSize = sizeof one;
    DWORD size = sizeof one, count = 0;
    auto* enumConnections = fn<RasEnumConnectionsA_t>("RasEnumConnectionsA");
    EXPECT_EQ(enumConnections(&one, &size, &count), ERROR_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, 2 * sizeof(RASCONNA));

    DWORD result = 0;
    std::vector<RASCONNA> records = enumerate(result);
    ASSERT_EQ(result, 0u);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_STREQ(records[0].szEntryName, "Office:2");
    EXPECT_STREQ(records[0].szDeviceType, "gsm");
    EXPECT_STREQ(records[0].szDeviceName, "ttyUSB0");
    EXPECT_STREQ(records[1].szEntryName, "Lab\\net");
    EXPECT_STREQ(records[1].szDeviceName, "");
    EXPECT_NE(records[0].hrasconn, 0u);
    EXPECT_NE(records[0].hrasconn, records[1].hrasconn);
    EXPECT_EQ(args(1), kListActive);
    EXPECT_EQ(args(2), kListActive);

    RASCONNA wrongSize{};
    wrongSize.dwSize = 400;
    size = sizeof wrongSize;
    EXPECT_EQ(enumConnections(&wrongSize, &size, &count), 632u);
    EXPECT_EQ(calls(), 2);
}

TEST_F(NmProvider, StatesOfAConnection) {
    reply(1, "Office:u-1:gsm:ttyUSB0:activated\n");
    DWORD result = 0;
    HRASCONN handle = enumerate(result).at(0).hrasconn;
    struct Case {
        const char* listing;
        DWORD state;
    } cases[] = {
        {"Office:u-1:gsm:ttyUSB0:activated\n", RASCS_Connected},
        {"Office:u-1:gsm:ttyUSB0:deactivated\n", RASCS_Disconnected},
        {"Office:u-1:gsm:ttyUSB0:activating\n", 0},
        {"Office:u-1:gsm:ttyUSB0:deactivating\n", 0},
        {"Other:u-9:gsm:ttyUSB1:activated\n", RASCS_Disconnected},  // no longer active
    };
    auto* status = fn<RasGetConnectStatusA_t>("RasGetConnectStatusA");
    int n = 1;
    for (const Case& c : cases) {
        reply(++n, c.listing);
        RASCONNSTATUSA record{};
        record.dwSize = sizeof record;
        EXPECT_EQ(status(handle, &record), 0u) << c.listing;
        EXPECT_EQ(record.rasconnstate, c.state) << c.listing;
        EXPECT_EQ(args(n), kListActive);
    }
    RASCONNSTATUSA record{};
    record.dwSize = sizeof record;
    EXPECT_EQ(status(handle + 100, &record), 6u);
    reply(++n, "", "Error: NetworkManager is not running.\n", 8);
    EXPECT_EQ(status(handle, &record), 7008u);
    EXPECT_EQ(errorText(7008), "NetworkManager is not running.");
    EXPECT_EQ(calls(), n);
}

RASDIALPARAMSA DialParams(const char* entry, const char* user, const char* password) {
    RASDIALPARAMSA params{};
    params.dwSize = sizeof params;
    std::snprintf(params.szEntryName, sizeof params.szEntryName, "%s", entry);
    std::snprintf(params.szUserName, sizeof params.szUserName, "%s", user);
    std::snprintf(params.szPassword, sizeof params.szPassword, "%s", password);
    std::snprintf(params.szDomain, sizeof params.szDomain, "*");
    return params;
}

TEST_F(NmProvider, DialBringsTheProfileUpWithSecretsInAPrivateFile) {
    reply(1, "connection.uuid:u-1\nconnection.type:gsm\n");
    RASDIALPARAMSA params = DialParams("Office:2", "jane", "pa:ss\\word");
    HRASCONN handle = 0;
    EXPECT_EQ(fn<RasDialA_t>("RasDialA")(nullptr, nullptr, &params, 0, nullptr, &handle), 0u);
    ASSERT_EQ(calls(), 3);
    EXPECT_EQ(args(1), (Args{"-t", "-f", "connection.uuid,connection.type", "connection", "show", "id", "Office:2"}));
    EXPECT_EQ(args(2), (Args{"connection", "modify", "uuid", "u-1", "gsm.username", "jane"}));
    Args up = args(3);
    ASSERT_EQ(up.size(), 8u);
    EXPECT_EQ(Args(up.begin(), up.begin() + 7),
              (Args{"--wait", "90", "connection", "up", "uuid", "u-1", "passwd-file"}));
    EXPECT_EQ(ReadFile(bin / "secrets.3"), "gsm.password:pa:ss\\word\n");
    EXPECT_EQ(ReadFile(bin / "mode.3"), "600\n");
    EXPECT_FALSE(FileExists(up[7])) << "the secrets file is removed after the dial";
    for (int n = 1; n <= 3; ++n)
        for (const std::string& arg : args(n)) EXPECT_EQ(arg.find("pa:ss"), std::string::npos) << arg;

    // The handle is the one the connection is listed with afterwards.
    reply(4, "Office\\:2:u-1:gsm:ttyUSB0:activated\n");
    DWORD result = 0;
    EXPECT_EQ(enumerate(result).at(0).hrasconn, handle);

    EXPECT_EQ(fn<RasHangUpA_t>("RasHangUpA")(handle), 0u);
    EXPECT_EQ(args(5), (Args{"connection", "down", "uuid", "u-1"}));
    EXPECT_EQ(fn<RasHangUpA_t>("RasHangUpA")(handle + 7), 6u);
    EXPECT_EQ(calls(), 5);
}

TEST_F(NmProvider, DialWithoutUserOrPasswordOrOfATypeWithoutSecrets) {
    struct Case {
        const char* type;
        const char* user;
        const char* password;
        Args up;
    } cases[] = {
        {"gsm", "", "", {"--wait", "90", "connection", "up", "uuid", "u-1"}},
        {"802-3-ethernet", "jane", "secret", {"--wait", "90", "connection", "up", "uuid", "u-1"}},
    };
    int n = 0;
    for (const Case& c : cases) {
        reply(n + 1, std::string("connection.uuid:u-1\nconnection.type:") + c.type + "\n");
        RASDIALPARAMSA params = DialParams("Office", c.user, c.password);
        HRASCONN handle = 0;
        EXPECT_EQ(fn<RasDialA_t>("RasDialA")(nullptr, nullptr, &params, 0, nullptr, &handle), 0u);
        n += 2;
        EXPECT_EQ(calls(), n) << c.type;
        EXPECT_EQ(args(n), c.up) << c.type;
    }
    // A vpn profile keeps its user name and password under other names.
    reply(5, "connection.uuid:u-2\nconnection.type:vpn\n");
    RASDIALPARAMSA params = DialParams("Tunnel", "joe", "pw");
    HRASCONN handle = 0;
    EXPECT_EQ(fn<RasDialA_t>("RasDialA")(nullptr, nullptr, &params, 0, nullptr, &handle), 0u);
    EXPECT_EQ(args(6), (Args{"connection", "modify", "uuid", "u-2", "vpn.user-name", "joe"}));
    EXPECT_EQ(ReadFile(bin / "secrets.7"), "vpn.secrets.password:pw\n");
}

TEST_F(NmProvider, DialFailuresAndTheirTexts) {
    auto* dial = fn<RasDialA_t>("RasDialA");
    RASDIALPARAMSA params = DialParams("Office", "", "pw");

    // No such profile: nmcli's text, and no handle.
    reply(1, "", "Error: Office - no such connection profile.\n", 10);
    HRASCONN handle = 0;
    EXPECT_EQ(dial(nullptr, nullptr, &params, 0, nullptr, &handle), 7010u);
    EXPECT_EQ(handle, 0u);
    EXPECT_EQ(errorText(7010), "Office - no such connection profile.");

    // Activation fails: the handle is set, so the caller can hang up what was made.
    reply(2, "connection.uuid:u-1\nconnection.type:gsm\n");
    // NetworkManager's hint at its journal is left out of the text.
    reply(3, "",
          "Error: Connection activation failed: PPP service failed to start\n"
          "Hint: use 'journalctl -xe NM_CONNECTION=u-1 + NM_DEVICE=ppp0' to get more details.\n",
          4);
    EXPECT_EQ(dial(nullptr, nullptr, &params, 0, nullptr, &handle), 7004u);
    EXPECT_NE(handle, 0u);
    EXPECT_EQ(errorText(7004), "Connection activation failed: PPP service failed to start");
    EXPECT_EQ(calls(), 3);

    // A message of more than one line is kept whole, on one line.
    reply(4, "connection.uuid:u-1\nconnection.type:gsm\n");
    reply(5, "", "Error: Connection activation failed:\r\nthe modem hung up.\r\n", 4);
    EXPECT_EQ(dial(nullptr, nullptr, &params, 0, nullptr, &handle), 7004u);
    EXPECT_EQ(errorText(7004), "Connection activation failed: the modem hung up.");
    EXPECT_EQ(calls(), 5);

    // Texts of codes without a message of their own, a short buffer, an unknown code.
    EXPECT_EQ(errorText(7003), "The connection did not come up in time.");
    EXPECT_EQ(errorText(7042), "NetworkManager's command-line client failed with status 42.");
    EXPECT_EQ(errorText(12345), "(code 87)");
    char small[8];
    EXPECT_EQ(fn<RasGetErrorStringA_t>("RasGetErrorStringA")(7003, small, sizeof small), 0u);
    EXPECT_STREQ(small, "The con");

    RASDIALPARAMSA wrong = params;
    wrong.dwSize = 1040;
    EXPECT_EQ(dial(nullptr, nullptr, &wrong, 0, nullptr, &handle), 632u);
}

TEST_F(NmProvider, OfProfilesSharingANameTheFirstShownIsDialled) {
    // nmcli shows every profile of the name, one block after the other.
    reply(1, "connection.uuid:u-1\nconnection.type:802-3-ethernet\n\nconnection.uuid:u-2\nconnection.type:gsm\n");
    RASDIALPARAMSA params = DialParams("Twin", "jane", "pw");
    HRASCONN handle = 0;
    EXPECT_EQ(fn<RasDialA_t>("RasDialA")(nullptr, nullptr, &params, 0, nullptr, &handle), 0u);
    ASSERT_EQ(calls(), 2) << "an ethernet profile takes no user name";
    EXPECT_EQ(args(2), (Args{"--wait", "90", "connection", "up", "uuid", "u-1"}));
}

TEST_F(NmProvider, WithoutNmcliEveryCallFailsWithItsOwnText) {
    setenv("PATH", "/nonexistent", 1);
    DWORD result = 0;
    enumerate(result);
    EXPECT_EQ(result, 7300u);
    EXPECT_EQ(errorText(7300), "NetworkManager's command-line client nmcli is not installed.");
}

TEST_F(NmProvider, PhonebookEntriesAreTheProfiles) {
    const char* listing = "Office:\nHome\\\\dsl\nVPN\\: work\n";
    reply(1, listing);
    reply(2, listing);
    auto* enumEntries = fn<RasEnumEntriesA_t>("RasEnumEntriesA");
    RASENTRYNAMEA one{};
    one.dwSize = sizeof one;
    DWORD size = sizeof one, count = 0;
    EXPECT_EQ(enumEntries(nullptr, nullptr, &one, &size, &count), ERROR_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, 3 * sizeof(RASENTRYNAMEA));
    std::vector<RASENTRYNAMEA> entries(3);
    entries[0].dwSize = sizeof(RASENTRYNAMEA);
    EXPECT_EQ(enumEntries(nullptr, nullptr, entries.data(), &size, &count), 0u);
    ASSERT_EQ(count, 3u);
    EXPECT_STREQ(entries[0].szEntryName, "Office");
    EXPECT_STREQ(entries[1].szEntryName, "Home\\dsl");
    EXPECT_STREQ(entries[2].szEntryName, "VPN: work");
    EXPECT_EQ(args(1), (Args{"-t", "-f", "NAME", "connection", "show"}));
}

TEST_F(NmProvider, EditorRunsForANewOrANamedProfile) {
    auto* create = fn<RasCreatePhonebookEntryA_t>("RasCreatePhonebookEntryA");
    auto* edit = fn<RasEditPhonebookEntryA_t>("RasEditPhonebookEntryA");
    // Not installed: nothing happens.
    EXPECT_EQ(create(nullptr, nullptr), 7303u);
    EXPECT_FALSE(FileExists(bin / "editor.args"));

    install("nm-connection-editor", kFakeEditor);
    EXPECT_EQ(create(nullptr, nullptr), 0u);
    EXPECT_EQ(ReadFile(bin / "editor.args"), "--create\n");
    reply(1, "connection.uuid:u-5\nconnection.type:pppoe\n");
    EXPECT_EQ(edit(nullptr, nullptr, "DSL:home"), 0u);
    EXPECT_EQ(args(1), (Args{"-t", "-f", "connection.uuid,connection.type", "connection", "show", "id", "DSL:home"}));
    EXPECT_EQ(ReadFile(bin / "editor.args"), "--edit=u-5\n");
}

}  // namespace
}  // namespace quorvexia::test
