// korv's dial-up control as a program, with the test provider beside it or the
// NetworkManager provider over a fake nmcli (real connections' states are left
// to the test with a real NetworkManager).
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>

#include "platform/ras.h"
#include "support/program.h"

namespace quorvexia::test {
namespace {

// The fake nmcli after a row's settings: `active` lists the active connections,
// `type` is Office's profile type (none: the look-up fails), `err` and `status`
// end the look-up or bringing it up, `gone` takes nmcli away. Calls are noted
// beside the test provider's notes, a passwd-file as its mode and text.
const char* kNmcli = R"sh(
PATH=/usr/bin:/bin l=nmcli
for a; do [ "$p" = passwd-file ] && a="$(stat -c %a "$a") $(cat "$a")"; l="$l $a"; p=$a; done
echo "$l" >> fake_ras_calls
case "$*" in
*--active) printf "$active";;
*" id "*) [ -n "$gone" ] && rm "$0"
    [ -n "$type" ] || { printf "${err:-Error: Office - no such connection profile.\n}" >&2; exit ${status:-10}; }
    printf "connection.uuid:u-1\nconnection.type:$type\n";;
*" up "*) printf "$err" >&2; exit ${status:-0};;
esac)sh";

// The notes of the test provider's calls "enum[:size]", "status:h", "dial:h", "hangup:h", and of nmcli's
// "active", "show", "modify:key", "up[:password key]", "down".
std::string Calls(const std::string& names) {
    std::string notes, call;
    for (std::istringstream in(names); in >> call;) {
        std::string arg = call.find(':') == std::string::npos ? "" : call.substr(call.find(':') + 1);
        std::map<std::string, std::string> note = {{"hangup", "RasHangUpA\thrasconn=" + arg},
            {"enum", "RasEnumConnectionsA\tdwSize=412\tcb=" + (arg.empty() ? "412" : arg)},
            {"status", "RasGetConnectStatusA\thrasconn=" + arg + "\tdwSize=160"},
            {"dial", "RasDialA\textensions=null\tphonebook=null\tdwSize=1052\tentry=Office\tphone=\tcallback="
                     "\tuser=jane\tpassword=s3cret\tdomain=*\tnotifierType=0\tnotifier=null\thandle=" + arg},
            {"active", "nmcli -t -f NAME,UUID,TYPE,DEVICE,STATE connection show --active"},
            {"show", "nmcli -t -f connection.uuid,connection.type connection show id Office"},
            {"modify", "nmcli connection modify uuid u-1 " + arg + " jane"}, {"down", "nmcli connection down uuid u-1"},
            {"up", "nmcli --wait 90 connection up uuid u-1" +
                       (arg.empty() ? "" : " passwd-file 600 " + arg + ":s3cret")}};
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

// korv finds the provider beside itself: started by a relative path (it has
// changed into its directory by then) with the test provider, and through PATH
// (its first argument names no directory) with the NetworkManager one.
TEST(DialUp, StatesAndFailures) {
    const char *fake = FAKE_RASAPI_PATH, *partial = FAKE_RASAPI_PARTIAL_PATH, *nm = NM_RASAPI_PATH;
    const char* dialled = "active show modify:gsm.username up:gsm.password down";
    const std::string path = std::getenv("PATH");
    TempDir bin, runtime;  // bin: korv, the NetworkManager provider and the fake nmcli; runtime: for secrets files
    std::filesystem::copy_file(KORV_PATH, bin / "korv");
    ASSERT_EQ(symlink(nm, (bin / "librasapi32.so").c_str()), 0);
    setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
    struct {
        const char* library;
        std::string state;  // the test provider's state file or nmcli's settings; "-": no dial entry at all
        std::vector<std::string> args;
        const char *steps, *calls;
        std::string fatal = "";  // the message a failed run ends with, on the console and in the log
    } rows[] = {
        {fake, "connection 7 0x2001 Office\ndial_handle 42", {"/send", "/hangup"}, "DUMH",
         "enum status:7 dial:7 hangup:42"},
        {fake, "connection 3 0x2000 Other\nconnection 9 0x2000 Office\nenum_size 1300", {"/send", "/hangup"}, "MH",
         "enum enum:1300 status:9 hangup:9"},
        {fake, "", {"/hangup"}, "C", "enum"},
        {"", "-", {"/send", "/hangup"}, "MN", ""},
        {"", "", {"/send"}, "", "", "Could't find Remote Access Service (RASAPI32.DLL)"},
        {fake, "enum_error 610", {"/send"}, "", "enum", "Remote Access Service Failure 610"},
        {fake, "connection 1 0x2000 A\nenum_size 4294967295", {"/send"}, "", "enum", "Remote Access Service Failure 8"},
        {fake, "connection 7 0x2000 Office\nstatus_error 6", {"/send"}, "", "enum status:7",
         "Remote Access Service Failure 9501"},
        {partial, "", {"/send"}, "D", "enum", "Remote Access Service Failure 9502"},
        {nm, "type=gsm", {"/send", "/hangup"}, "DUMH", dialled},
        {nm, "type=vpn", {"/send"}, "DUM", "active show modify:vpn.user-name up:vpn.secrets.password"},
        {nm, "type=gsm nouser=1", {"/send"}, "DUM", "active show up:gsm.password"},
        // Of two profiles of the name the first is dialled, and ethernet takes no user name or password.
        {nm, "type='802-3-ethernet\\n\\nconnection.uuid:u-2\\nconnection.type:gsm'", {"/send"}, "DUM",
         "active show up"},
        {nm, "active='A\\\\:B:u-9:gsm::activated\\nOff\\\\ice:u-1:gsm::activated\\n'", {"/send"}, "M",
         "active active active"},
        {nm, "active='Office:u-1:gsm::activating\\n'", {"/send", "/hangup"}, "M", "active active"},
        {nm, "", {"/send"}, "D", "active show", "Connection error: Office - no such connection profile"},
        {nm, "status=8 err='Error: NetworkManager is not running.'", {"/send"}, "D", "active show",
         "Connection error: NetworkManager is not running"},
        {nm, "type=gsm status=4 err='Error: Connection activation failed:\\r\\nPPP failed\\r\\nHint: see the journal.'",
         {"/send"}, "D", dialled, "Connection error: Connection activation failed: PPP failed"},
        {nm, "type=gsm status=3", {"/send"}, "D", dialled, "Connection error: The connection did not come up in time"},
        {nm, "type=gsm status=42", {"/send"}, "D", dialled,
         "Connection error: NetworkManager's command-line client failed with status 42"},
        {nm, "type=gsm gone=1", {"/send"}, "D", "active show",
         "Connection error: NetworkManager's command-line client nmcli is not installed"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.state);
        KorvSandbox box;
        box.config.dialEntry.assign(row.state == "-" ? "" : "Office");
        box.config.dialUser.assign(row.state.find("nouser") == std::string::npos ? "jane" : "");
        box.config.dialPassword.assign("s3cret");
        box.writeConfig();
        bool beside = *row.library && row.library != nm;
        if (beside) { ASSERT_EQ(symlink(row.library, box.path("librasapi32.so").c_str()), 0); }
        WriteFile(box.path("fake_ras_state"), row.state);
        WriteFile(bin / "nmcli", "#!/bin/sh\n" + row.state + kNmcli);
        chmod((bin / "nmcli").c_str(), 0755);
        setenv("PATH", bin.path().c_str(), 1);  // the machine's nmcli is no stand-in when the fake is gone
        std::string parent = box.dir().substr(0, box.dir().rfind('/')), console, log;
        ProgramResult r = row.library == nm ? RunProgram(bin / "korv", row.args, box.dir(), "", 60, "korv")
                                            : RunProgram(box.path("korv"), row.args, parent, "", 60,
                                                         box.dir().substr(parent.size() + 1) + "/korv");
        setenv("PATH", path.c_str(), 1);
        for (char step : std::string(row.steps)) console += kSteps.at(step).first, log += L(kSteps.at(step).second);
        std::string fatal = row.fatal.empty() ? "" : row.fatal + ".\n";
        EXPECT_EQ(r.status, fatal.empty() ? 0 : 1);
        EXPECT_EQ(r.out, Banner() + console + fatal);
        std::string mode = row.args[0] == "/send" ? "SEND\n" : "\n";
        EXPECT_EQ(MaskLog(box.log()), "\n----------  DAY DD MON YY, Quorvexia 2.12; " + mode + log +
                                          L(fatal.empty() ? "" : "! " + row.fatal));
        EXPECT_EQ(FileExists(box.path("fake_ras_calls")) ? ReadFile(box.path("fake_ras_calls")) : "", Calls(row.calls));
        EXPECT_TRUE(std::filesystem::is_empty(runtime.path())) << "a secrets file outlives the run";
    }
}

// korv reads only the names and handles of the active connections, and always
// passes a place for the handle it dials; the rest of each record, and the
// refusal of a dial with no such place, are the provider's own, checked here directly.
TEST(NmProvider, ActiveConnectionsCarryTheirDeviceTypeAndNameAndADialNeedsAHandle) {
    void* library = dlopen(NM_RASAPI_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    auto* enumerate = reinterpret_cast<ras::RasEnumConnectionsA_t*>(dlsym(library, "RasEnumConnectionsA"));
    auto* dial = reinterpret_cast<ras::RasDialA_t*>(dlsym(library, "RasDialA"));
    ASSERT_TRUE(enumerate && dial);
    TempDir bin;
    const std::string name(300, 'O');  // longer than its field: cut to the field, which keeps its terminator
    WriteFile(bin / "nmcli", "#!/bin/sh\nactive='" + name + ":u-1:gsm:ttyUSB0:activated\\n'" + std::string(kNmcli));
    chmod((bin / "nmcli").c_str(), 0755);
    const std::string path = std::getenv("PATH"), cwd = std::filesystem::current_path();
    setenv("PATH", bin.path().c_str(), 1);
    std::filesystem::current_path(bin.path());  // where the fake notes its calls
    // Under the fake nmcli, so that a provider that dialled anyway reaches no real connection.
    ras::RASDIALPARAMSA params{};
    params.dwSize = sizeof params;
    EXPECT_EQ(dial(nullptr, nullptr, &params, 0, nullptr, nullptr), 87u) << "no place for the handle: nothing dialled";
    ras::RASCONNA records[2]{};
    records[0].dwSize = sizeof(ras::RASCONNA);
    ras::DWORD size = sizeof records, count = 0;
    ras::DWORD result = enumerate(records, &size, &count);
    setenv("PATH", path.c_str(), 1);
    std::filesystem::current_path(cwd);
    dlclose(library);
    EXPECT_EQ(std::to_string(result) + " " + std::to_string(count) + " " + records[0].szEntryName + " " +
                  records[0].szDeviceType + " " + records[0].szDeviceName,
              "0 1 " + name.substr(0, 256) + " gsm ttyUSB0");
}

}  // namespace
}  // namespace quorvexia::test
