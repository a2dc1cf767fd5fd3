// Dial-up: the NetworkManager provider, loaded as korv loads it, against a fake
// nmcli; korv's dial-up control with the test provider beside it.
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

// The fake notes each call in "calls", a passwd-file as its mode and text, and
// answers call n by r.<n>. The states of connections are left to the test with
// a real NetworkManager.
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
    auto* text = reinterpret_cast<RasGetErrorStringA_t*>(dlsym(lib, "RasGetErrorStringA"));
    auto dial = [&](const char* entry, const char* user, const char* password, DWORD want) {
        RASDIALPARAMSA p{};
        p.dwSize = sizeof p;
        std::strcpy(p.szEntryName, entry), std::strcpy(p.szUserName, user), std::strcpy(p.szPassword, password);
        HRASCONN handle = 0;
        EXPECT_EQ(reinterpret_cast<RasDialA_t*>(dlsym(lib, "RasDialA"))(nullptr, nullptr, &p, 0, nullptr, &handle), want);
        return handle;
    };
    reply(1, "connection.uuid:u-1\nconnection.type:gsm\n");
    HRASCONN office = dial("Office:2", "jane", "pa:ss\\word", 0);
    EXPECT_TRUE(std::filesystem::is_empty(runtime.path())) << "the secrets file outlives the dial";
    for (int n : {4, 5}) reply(n, "Office\\:2:u-1:gsm:ttyUSB0:activated\nLab\\\\net:u-2:vpn::activating\n");
    RASCONNA c[2] = {};
    DWORD size = c[0].dwSize = sizeof c[0], count = 0;
    EXPECT_EQ(list(c, &size, &count), ERROR_BUFFER_TOO_SMALL);
    EXPECT_EQ(list(c, &size, &count), 0u);
    EXPECT_EQ(std::string(c[0].szEntryName) + "|" + c[0].szDeviceType + "|" + c[0].szDeviceName + "|" + c[1].szEntryName +
                  "|" + c[1].szDeviceName + "|" + std::to_string(count) + std::to_string(size / sizeof c[0]),
              "Office:2|gsm|ttyUSB0|Lab\\net||22");
    EXPECT_EQ(c[0].hrasconn, office);
    auto* hangUp = reinterpret_cast<RasHangUpA_t*>(dlsym(lib, "RasHangUpA"));
    EXPECT_EQ(hangUp(office) + hangUp(office + 7), 6u);
    reply(7, "connection.uuid:u-2\nconnection.type:vpn\n");
    dial("Tunnel", "joe", "pw", 0);
    // Of two profiles of a name the first is dialled; ethernet takes no secrets.
    reply(10, "connection.uuid:u-1\nconnection.type:802-3-ethernet\n\nconnection.uuid:u-2\nconnection.type:gsm\n");
    dial("Twin", "jane", "pw", 0);
    reply(12, "connection.uuid:u-1\nconnection.type:gsm\n");
    dial("Office", "", "", 0);
    reply(14, "", "Error: Office - no such connection profile.\n", 10);
    EXPECT_EQ(dial("Office", "", "pw", 7010), 0u);
    char message[256];
    EXPECT_EQ(std::to_string(text(7010, message, sizeof message)) + message, "0Office - no such connection profile.");
    reply(15, "connection.uuid:u-1\nconnection.type:gsm\n");
    reply(16, "", "Error: Connection activation failed:\r\nPPP failed\r\nHint: use journalctl -xe for more.\n", 4);
    EXPECT_NE(dial("Office", "", "", 7004), 0u) << "a half-made connection has a handle to hang up";
    const std::string show = "nmcli -t -f connection.uuid,connection.type connection show id ",
                      up = "nmcli --wait 90 connection up uuid ";
    EXPECT_EQ(ReadFile(bin / "calls"), show + "Office:2\nnmcli connection modify uuid u-1 gsm.username jane\n" + up +
                  "u-1 passwd-file 600 gsm.password:pa:ss\\word\n"
                  "nmcli -t -f NAME,UUID,TYPE,DEVICE,STATE connection show --active\n"
                  "nmcli -t -f NAME,UUID,TYPE,DEVICE,STATE connection show --active\n"
                  "nmcli connection down uuid u-1\n" + show + "Tunnel\nnmcli connection modify uuid u-2 vpn.user-name joe\n" +
                  up + "u-2 passwd-file 600 vpn.secrets.password:pw\n" + show + "Twin\n" + up + "u-1\n" + show + "Office\n" +
                  up + "u-1\n" + show + "Office\n" + show + "Office\n" + up + "u-1\n");
    std::pair<DWORD, const char*> texts[] = {{7004, "Connection activation failed: PPP failed"},
        {7003, "The connection did not come up in time."}, {7042, "NetworkManager's command-line client failed with status 42."}};
    for (auto [code, want] : texts) EXPECT_EQ(std::to_string(text(code, message, sizeof message)) + message, "0" + std::string(want));
    EXPECT_EQ(std::to_string(text(7003, message, 8)) + message + std::to_string(text(12345, message, 8)), "0The con87");
    setenv("PATH", "/nonexistent", 1);
    c[0].dwSize = 400;
    EXPECT_EQ(list(c, &size, &count), 632u);
    c[0].dwSize = sizeof c[0];
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

// korv's console and log line for the steps of a run: D dials, U is up, M finds
// no mail, H hangs up, C finds the connection closed, N may not hang up.
const std::map<char, std::pair<std::string, std::string>> kSteps = {
    {'D', {"Connecting to 'Office'...\n", "+ Connecting to Office"}}, {'U', {"\n", ""}},
    {'M', {"No messages for delivery.\n", "+ No messages for delivery"}},
    {'H', {"\nDisconnecting from 'Office'...", "+ Disconnected from Office"}},
    {'C', {"Connection is already closed.\n", "! Connection is already closed"}},
    {'N', {"Hangup not allowed with network connection.\n", "? Hangup not allowed with network connection"}}};
std::string L(std::string line) { return line.empty() ? line : line.insert(1, " HH:MM:SS ") + "\n"; }

// korv is started by a relative path, so each row also checks that it finds
// the provider where it started, although it has changed into its directory.
TEST(DialUp, StatesAndFailures) {
    const char *fake = FAKE_RASAPI_PATH, *partial = FAKE_RASAPI_PARTIAL_PATH;
    struct {
        const char *library, *state;  // state "-": no dial entry at all
        std::vector<std::string> args;
        const char *steps, *calls;
        std::string fatal = "";  // the message a failed run ends with, on the console and in the log
    } rows[] = {{fake, "connection 7 0x2001 Office\ndial_handle 42", {"/send", "/hangup"}, "DUMH", "enum status:7 dial:7 hangup:42"},
        {fake, "connection 7 0x2000 Office", {"/send"}, "M", "enum status:7"},
        {fake, "connection 3 0x2000 Other\nconnection 9 0x2000 Office\nenum_size 1300", {"/send", "/hangup"}, "MH",
         "enum enum:1300 status:9 hangup:9"},
        {fake, "connection 7 5 Office", {"/send", "/hangup"}, "M", "enum status:7"},  // a dial in progress elsewhere
        {fake, "", {"/hangup"}, "C", "enum"}, {"", "-", {"/send", "/hangup"}, "MN", ""},
        {"", "", {"/send"}, "", "", "Could't find Remote Access Service (RASAPI32.DLL)"},
        {fake, "enum_error 610", {"/send"}, "", "enum", "Remote Access Service Failure 610"},
        {fake, "connection 1 0x2000 A\nenum_size 4294967295", {"/send"}, "", "enum", "Remote Access Service Failure 8"},
        {fake, "connection 7 0x2000 Office\nstatus_error 6", {"/send"}, "", "enum status:7", "Remote Access Service Failure 9501"},
        {fake, "dial_error 678\ndial_handle 12\nerror_text 678 There was no answer.", {"/send"}, "D",
         "enum dial:0 text:678 hangup:12", "Connection error: There was no answer"},
        {partial, "", {"/send"}, "D", "enum", "Remote Access Service Failure 9502"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.state);
        KorvSandbox box;
        box.config.dialEntry.assign(*row.state == '-' ? "" : "Office");
        box.config.dialUser.assign("jane");
        box.config.dialPassword.assign("s3cret");
        box.writeConfig();
        if (*row.library) { ASSERT_EQ(symlink(row.library, box.path("librasapi32.so").c_str()), 0); }
        WriteFile(box.path("fake_ras_state"), row.state);
        std::string parent = box.dir().substr(0, box.dir().rfind('/')), console, log;
        ProgramResult r = RunProgram(box.path("korv"), row.args, parent, "", 60, box.dir().substr(parent.size() + 1) + "/korv");
        for (char step : std::string(row.steps)) console += kSteps.at(step).first, log += L(kSteps.at(step).second);
        std::string fatal = row.fatal.empty() ? "" : row.fatal + ".\n";
        EXPECT_EQ(r.status, fatal.empty() ? 0 : 1);
        EXPECT_EQ(r.out, Banner() + console + fatal);
        EXPECT_EQ(MaskLog(box.log()), "\n----------  DAY DD MON YY, Quorvexia 2.12; " +
                      std::string(row.args[0] == "/send" ? "SEND" : "") + "\n" + log + (fatal.empty() ? "" : L("! " + row.fatal)));
        EXPECT_EQ(FileExists(box.path("fake_ras_calls")) ? ReadFile(box.path("fake_ras_calls")) : "", Calls(row.calls));
    }
}

}  // namespace
}  // namespace quorvexia::test
