// Dial-up: the NetworkManager provider, loaded as korv loads it, against a fake
// nmcli first on PATH; and korv's dial-up control with the test provider.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>

#include "platform/ras.h"
#include "support/program.h"

namespace quorvexia::test {
namespace {

using namespace ras;

template <typename T>
T Sized(DWORD size = sizeof(T)) { T t{}; t.dwSize = size; return t; }

// The fake notes each call in "calls" (a passwd-file as its mode and text) and
// answers call n with r.<n>.
TEST(NmProvider, CallsAnswersAndTexts) {
    TempDir bin, runtime;  // runtime: where the secrets file is made
    WriteFile(bin / "nmcli", R"sh(#!/bin/sh
d=$(dirname "$0"); l=nmcli; echo >> "$d/n"; n=$(wc -l < "$d/n")
for a; do [ "$p" = passwd-file ] && a="$(stat -c %a "$a") $(cat "$a")"; l="$l $a"; p=$a; done
echo "$l" >> "$d/calls"; [ ! -f "$d/r.$n" ] || . "$d/r.$n")sh");
    chmod((bin / "nmcli").c_str(), 0755);
    std::string path = std::getenv("PATH");
    setenv("PATH", (bin.path() + ":" + path).c_str(), 1);
    setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
    void* lib = dlopen(NM_RASAPI_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    auto reply = [&](int n, const std::string& out, const std::string& err = "", int status = 0) {
        WriteFile(bin / ("r." + std::to_string(n)), "printf %s '" + out + "'; printf %s '" + err + "' >&2; exit " +
                                                         std::to_string(status));
    };
    auto* list = reinterpret_cast<RasEnumConnectionsA_t*>(dlsym(lib, "RasEnumConnectionsA"));
    auto* status = reinterpret_cast<RasGetConnectStatusA_t*>(dlsym(lib, "RasGetConnectStatusA"));
    auto* hangUp = reinterpret_cast<RasHangUpA_t*>(dlsym(lib, "RasHangUpA"));
    auto* text = reinterpret_cast<RasGetErrorStringA_t*>(dlsym(lib, "RasGetErrorStringA"));
    auto dial = [&](const char* entry, const char* user, const char* password, DWORD want, DWORD size = 1052) {
        auto p = Sized<RASDIALPARAMSA>(size);
        std::snprintf(p.szEntryName, sizeof p.szEntryName, "%s", entry);
        std::snprintf(p.szUserName, sizeof p.szUserName, "%s", user);
        std::snprintf(p.szPassword, sizeof p.szPassword, "%s", password);
        HRASCONN handle = 0;
        EXPECT_EQ(reinterpret_cast<RasDialA_t*>(dlsym(lib, "RasDialA"))(nullptr, nullptr, &p, 0, nullptr, &handle), want);
        return handle;
    };
    // Escaped names, the size asked for, a record of the wrong size.
    for (int n : {1, 2}) reply(n, "Office\\:2:u-1:gsm:ttyUSB0:activated\nLab\\\\net:u-2:vpn::activating\n");
    RASCONNA c[2] = {Sized<RASCONNA>()};
    DWORD size = sizeof c[0], count = 0;
    EXPECT_EQ(list(c, &size, &count), ERROR_BUFFER_TOO_SMALL);
    EXPECT_EQ(list(c, &size, &count) + size, sizeof c);
    EXPECT_EQ(std::string(c[0].szEntryName) + "|" + c[0].szDeviceType + "|" + c[0].szDeviceName + "|" +
                  c[1].szEntryName + "|" + c[1].szDeviceName + "|" + std::to_string(count), "Office:2|gsm|ttyUSB0|Lab\\net||2");
    c[0].dwSize = 400;
    EXPECT_EQ(list(c, &size, &count), 632u);
    // The state of Office:2 by the listing, the last without it; then NetworkManager is down.
    auto s = Sized<RASCONNSTATUSA>();
    std::pair<const char*, DWORD> states[] = {{"Office:u-1:gsm::activated", RASCS_Connected},
        {"Office:u-1:gsm::deactivated", RASCS_Disconnected}, {"Office:u-1:gsm::activating", 0},
        {"Other:u-9:gsm::activated", RASCS_Disconnected}};
    for (int n = 3; auto [line, want] : states) {
        reply(n++, line);
        EXPECT_EQ(status(c[0].hrasconn, &s) + s.rasconnstate, want) << line;
    }
    reply(7, "", "Error: NetworkManager is not running.\n", 8);
    EXPECT_EQ(status(c[0].hrasconn, &s), 7008u);
    EXPECT_EQ(status(c[0].hrasconn + 100, &s), 6u);
    char message[256];
    EXPECT_EQ(text(7008, message, sizeof message), 0u);
    EXPECT_STREQ(message, "NetworkManager is not running.");
    // Dials: secrets in a private file removed afterwards, user names by profile
    // type, the first of two profiles of a name, and failures.
    reply(8, "connection.uuid:u-1\nconnection.type:gsm\n");
    HRASCONN office = dial("Office:2", "jane", "pa:ss\\word", 0);
    EXPECT_TRUE(std::filesystem::is_empty(runtime.path()));
    reply(11, "Office\\:2:u-1:gsm:ttyUSB0:activated\n");
    EXPECT_EQ(list(&(c[0] = Sized<RASCONNA>()), &size, &count) + c[0].hrasconn, office);
    EXPECT_EQ(hangUp(office) + hangUp(office + 7), 6u);
    reply(13, "connection.uuid:u-1\nconnection.type:gsm\n");
    dial("Office", "", "", 0);
    reply(15, "connection.uuid:u-2\nconnection.type:vpn\n");
    dial("Tunnel", "joe", "pw", 0);
    reply(18, "connection.uuid:u-1\nconnection.type:802-3-ethernet\n\nconnection.uuid:u-2\nconnection.type:gsm\n");
    dial("Twin", "jane", "pw", 0);
    reply(20, "", "Error: Office - no such connection profile.\n", 10);
    EXPECT_EQ(dial("Office", "", "pw", 7010), 0u);
    EXPECT_EQ(text(7010, message, sizeof message), 0u);
    EXPECT_STREQ(message, "Office - no such connection profile.");
    reply(21, "connection.uuid:u-1\nconnection.type:gsm\n");
    reply(22, "", "Error: Connection activation failed:\r\nPPP failed\r\nHint: use journalctl -xe for more.\n", 4);
    EXPECT_NE(dial("Office", "", "", 7004), 0u) << "a half-made connection has a handle to hang up";
    dial("Office", "", "", 632, 1040);
    std::string calls, show = "nmcli -t -f connection.uuid,connection.type connection show id ";
    std::string up = "nmcli --wait 90 connection up uuid ", active = "nmcli -t -f NAME,UUID,TYPE,DEVICE,STATE connection show --active\n";
    for (int n = 0; n < 7; ++n) calls += active;
    EXPECT_EQ(ReadFile(bin / "calls"), calls + show + "Office:2\nnmcli connection modify uuid u-1 gsm.username jane\n" + up +
                  "u-1 passwd-file 600 gsm.password:pa:ss\\word\n" + active + "nmcli connection down uuid u-1\n" + show +
                  "Office\n" + up + "u-1\n" + show + "Tunnel\nnmcli connection modify uuid u-2 vpn.user-name joe\n" + up +
                  "u-2 passwd-file 600 vpn.secrets.password:pw\n" + show + "Twin\n" + up + "u-1\n" + show + "Office\n" +
                  show + "Office\n" + up + "u-1\n");
    std::pair<DWORD, const char*> texts[] = {{7004, "Connection activation failed: PPP failed"},
        {7003, "The connection did not come up in time."}, {7042, "NetworkManager's command-line client failed with status 42."}};
    for (auto [code, want] : texts) EXPECT_EQ(std::to_string(text(code, message, sizeof message)) + message, "0" + std::string(want));
    EXPECT_EQ(std::to_string(text(7003, message, 8)) + message + std::to_string(text(12345, message, 8)), "0The con87");
    setenv("PATH", "/nonexistent", 1);
    EXPECT_EQ(list(c, &size, &count) + text(7300, message, sizeof message), 7300u);
    EXPECT_STREQ(message, "NetworkManager's command-line client nmcli is not installed.");
    setenv("PATH", path.c_str(), 1);
}

// The test provider's notes of calls named "enum[:size]", "status:h", "dial:h", "text:code", "hangup:h".
std::string Calls(const std::string& names) {
    std::string notes, call;
    for (std::istringstream in(names); in >> call;) {
        std::string arg = call.find(':') == std::string::npos ? "412" : call.substr(call.find(':') + 1);
        std::map<std::string, std::string> note = {{"enum", "RasEnumConnectionsA\tdwSize=412\tcb=" + arg},
            {"status", "RasGetConnectStatusA\thrasconn=" + arg + "\tdwSize=160"}, {"hangup", "RasHangUpA\thrasconn=" + arg},
            {"text", "RasGetErrorStringA\tcode=" + arg + "\tsize=1000"}, {"dial", "RasDialA\textensions=null\tphonebook=null"
            "\tdwSize=1052\tentry=Office\tphone=\tcallback=\tuser=jane\tpassword=s3cret\tdomain=*\tnotifierType=0"
            "\tnotifier=null\thandle=" + arg}};
        notes += note.at(call.substr(0, call.find(':'))) + "\n";
    }
    return notes;
}

std::string L(std::string line) { return line.empty() ? line : line.insert(1, " HH:MM:SS ") + "\n"; }

// korv's console and log for the steps of a run: D dials, U is up, M finds no
// mail, H hangs up, C finds the connection closed, N may not hang up.
const std::map<char, std::pair<std::string, std::string>> kSteps = {
    {'D', {"Connecting to 'Office'...\n", "+ Connecting to Office"}}, {'U', {"\n", ""}},
    {'M', {"No messages for delivery.\n", "+ No messages for delivery"}},
    {'H', {"\nDisconnecting from 'Office'...", "+ Disconnected from Office"}},
    {'C', {"Connection is already closed.\n", "! Connection is already closed"}},
    {'N', {"Hangup not allowed with network connection.\n", "? Hangup not allowed with network connection"}}};

// Started by a relative path, korv looks for the provider where it started.
TEST(DialUp, StatesAndFailures) {
    struct {
        const char *name, *library, *state, *args, *steps, *calls;  // state "-": no dial entry at all
        std::string fatal = "";  // the message a failed run ends with, on the console and in the log
    } rows[] = {
        {"dial and hang up", FAKE_RASAPI_PATH, "connection 7 0x2001 Office\ndial_handle 42", "/send /hangup", "DUMH",
         "enum status:7 dial:7 hangup:42"},
        {"connected: left up", FAKE_RASAPI_PATH, "connection 7 0x2000 Office", "/send", "M", "enum status:7"},
        {"longer list", FAKE_RASAPI_PATH, "connection 3 0x2000 Other\nconnection 9 0x2000 Office\nenum_size 1300",
         "/send /hangup", "MH", "enum enum:1300 status:9 hangup:9"},
        {"dial in progress elsewhere", FAKE_RASAPI_PATH, "connection 7 5 Office", "/send /hangup", "M", "enum status:7"},
        {"hang-up alone when closed", FAKE_RASAPI_PATH, "", "/hangup", "C", "enum"},
        {"no entry", "", "-", "/send /hangup", "MN", ""},
        {"no provider", "", "", "/send", "", "", "Could't find Remote Access Service (RASAPI32.DLL)"},
        {"list fails", FAKE_RASAPI_PATH, "enum_error 610", "/send", "", "enum", "Remote Access Service Failure 610"},
        {"list too long", FAKE_RASAPI_PATH, "connection 1 0x2000 A\nconnection 2 0x2000 B\nenum_size 4294967295",
         "/send", "", "enum", "Remote Access Service Failure 8"},
        {"status fails", FAKE_RASAPI_PATH, "connection 7 0x2000 Office\nstatus_error 6", "/send", "", "enum status:7",
         "Remote Access Service Failure 9501"},
        {"dial fails", FAKE_RASAPI_PATH, "dial_error 678\ndial_handle 12\nerror_text 678 There was no answer.",
         "/send", "D", "enum dial:0 text:678 hangup:12", "Connection error: There was no answer"},
        {"no dial entry point", FAKE_RASAPI_PARTIAL_PATH, "", "/send", "D", "enum", "Remote Access Service Failure 9502"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        KorvSandbox box;
        box.config.dialEntry.assign(*row.state == '-' ? "" : "Office");
        box.config.dialUser.assign("jane");
        box.config.dialPassword.assign("s3cret");
        box.writeConfig();
        if (*row.library) { ASSERT_EQ(symlink(row.library, box.path("librasapi32.so").c_str()), 0); }
        WriteFile(box.path("fake_ras_state"), row.state);
        std::vector<std::string> args;
        for (std::istringstream in(row.args); in >> args.emplace_back();) {}
        args.pop_back();
        std::string parent = box.dir().substr(0, box.dir().rfind('/')), console, log;
        ProgramResult r = RunProgram(box.path("korv"), args, parent, "", 60, box.dir().substr(parent.size() + 1) + "/korv");
        for (char step : std::string(row.steps)) console += kSteps.at(step).first, log += L(kSteps.at(step).second);
        std::string fatal = row.fatal.empty() ? "" : row.fatal + ".\n";
        EXPECT_EQ(r.status, fatal.empty() ? 0 : 1);
        EXPECT_EQ(r.out, Banner() + console + fatal);
        EXPECT_EQ(MaskLog(box.log()), "\n----------  DAY DD MON YY, Quorvexia 2.12; " +
                      std::string(args[0] == "/send" ? "SEND" : "") + "\n" + log + (fatal.empty() ? "" : L("! " + row.fatal)));
        EXPECT_EQ(FileExists(box.path("fake_ras_calls")) ? ReadFile(box.path("fake_ras_calls")) : "", Calls(row.calls));
    }
}

}  // namespace
}  // namespace quorvexia::test
