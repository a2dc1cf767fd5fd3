// Dial-up: the NetworkManager provider, loaded as korv loads it, against a fake
// nmcli first on PATH that notes every call in "calls" (a passwd-file as its
// mode and text) and answers with the script r.<n> for call n; and korv's
// dial-up control as a program with the test provider beside it.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "platform/ras.h"
#include "support/program.h"

namespace quorvexia::test {
namespace {

using namespace ras;

const char* kFakeNmcli = R"sh(#!/bin/sh
d=$(dirname "$0"); l=nmcli; echo >> "$d/n"; n=$(wc -l < "$d/n")
for a; do [ "$p" = passwd-file ] && a="$(stat -c %a "$a") $(cat "$a")"; l="$l $a"; p=$a; done
echo "$l" >> "$d/calls"; [ ! -f "$d/r.$n" ] || . "$d/r.$n")sh";

// A record of the provider's API with its size set.
template <typename T>
T Sized(DWORD size = sizeof(T)) { T t{}; t.dwSize = size; return t; }

class NmProvider : public ::testing::Test {
protected:
    TempDir bin, runtime;  // runtime: where the secrets file is made
    std::string path = std::getenv("PATH");
    void* library = dlopen(NM_RASAPI_PATH, RTLD_NOW | RTLD_LOCAL);

    void SetUp() override {
        ASSERT_NE(library, nullptr) << dlerror();
        install("nmcli", kFakeNmcli);
        setenv("PATH", (bin.path() + ":" + path).c_str(), 1);
        setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
    }
    void TearDown() override { setenv("PATH", path.c_str(), 1); }
    void install(const char* name, const char* script) {
        WriteFile(bin / name, script);
        chmod((bin / name).c_str(), 0755);
    }
    template <typename Fn>
    Fn* fn(const char* name) { return reinterpret_cast<Fn*>(dlsym(library, name)); }
    void reply(int n, const std::string& out, const std::string& err = "", int status = 0) {
        WriteFile(bin / ("r." + std::to_string(n)),
                  "printf %s '" + out + "'; printf %s '" + err + "' >&2; exit " + std::to_string(status));
    }
    std::string text(DWORD code, DWORD size = 256) {
        char t[256] = "";
        DWORD result = fn<RasGetErrorStringA_t>("RasGetErrorStringA")(code, t, size);
        return result == 0 ? t : "(code " + std::to_string(result) + ")";
    }
};

TEST_F(NmProvider, ListsConnectionsAndTheirStates) {
    auto* list = fn<RasEnumConnectionsA_t>("RasEnumConnectionsA");
    auto* status = fn<RasGetConnectStatusA_t>("RasGetConnectStatusA");
    reply(1, "Office\\:2:u-1:gsm:ttyUSB0:activated\nLab\\\\net:u-2:vpn::activating\n");
    reply(2, "Office\\:2:u-1:gsm:ttyUSB0:activated\nLab\\\\net:u-2:vpn::activating\n");
    RASCONNA c[2] = {Sized<RASCONNA>()};
    DWORD size = sizeof(RASCONNA), count = 0;
    EXPECT_EQ(list(c, &size, &count), ERROR_BUFFER_TOO_SMALL);  // and asks for two records
    EXPECT_EQ(list(c, &size, &count), 0u);
    EXPECT_EQ(std::string(c[0].szEntryName) + "|" + c[0].szDeviceType + "|" + c[0].szDeviceName + "|" +
                  c[1].szEntryName + "|" + c[1].szDeviceName + "|" + std::to_string(count * sizeof c[0] - size),
              "Office:2|gsm|ttyUSB0|Lab\\net||0");
    c[0].dwSize = 400;
    EXPECT_EQ(list(c, &size, &count), 632u);
    struct { const char* line; DWORD state; } rows[] = {{"Office:u-1:gsm::activated", RASCS_Connected},
        {"Office:u-1:gsm::deactivated", RASCS_Disconnected}, {"Office:u-1:gsm::activating", 0},
        {"Other:u-9:gsm::activated", RASCS_Disconnected}, {"", 7008}};  // no longer listed; NetworkManager down
    auto s = Sized<RASCONNSTATUSA>();
    for (int n = 3; const auto& row : rows) {
        reply(n++, row.line, *row.line ? "" : "Error: NetworkManager is not running.\n", *row.line ? 0 : 8);
        s.rasconnstate = 99;
        DWORD result = status(c[0].hrasconn, &s);
        EXPECT_EQ(*row.line ? s.rasconnstate : result, row.state) << row.line;
    }
    EXPECT_EQ(text(7008), "NetworkManager is not running.");
    EXPECT_EQ(status(c[0].hrasconn + 100, &s), 6u);
    std::string calls;
    for (int n = 0; n < 7; ++n) calls += "nmcli -t -f NAME,UUID,TYPE,DEVICE,STATE connection show --active\n";
    EXPECT_EQ(ReadFile(bin / "calls"), calls);
}

TEST_F(NmProvider, DialsWithSecretsInAPrivateFileHangsUpAndSaysWhyNot) {
    auto dial = [&](const char* entry, const char* user, const char* password, DWORD want, DWORD dwSize = 1052) {
        auto p = Sized<RASDIALPARAMSA>(dwSize);
        std::snprintf(p.szEntryName, sizeof p.szEntryName, "%s", entry);
        std::snprintf(p.szUserName, sizeof p.szUserName, "%s", user);
        std::snprintf(p.szPassword, sizeof p.szPassword, "%s", password);
        HRASCONN handle = 0;
        EXPECT_EQ(fn<RasDialA_t>("RasDialA")(nullptr, nullptr, &p, 0, nullptr, &handle), want) << entry;
        return handle;
    };
    auto* hangUp = fn<RasHangUpA_t>("RasHangUpA");
    reply(1, "connection.uuid:u-1\nconnection.type:gsm\n");
    HRASCONN office = dial("Office:2", "jane", "pa:ss\\word", 0);
    EXPECT_TRUE(std::filesystem::is_empty(runtime.path())) << "the secrets file is removed after the dial";
    reply(4, "Office\\:2:u-1:gsm:ttyUSB0:activated\n");
    auto c = Sized<RASCONNA>();
    DWORD size = sizeof c, count = 0;
    EXPECT_EQ(fn<RasEnumConnectionsA_t>("RasEnumConnectionsA")(&c, &size, &count), 0u);
    EXPECT_EQ(c.hrasconn, office);
    EXPECT_EQ(hangUp(office), 0u);
    EXPECT_EQ(hangUp(office + 7), 6u);
    reply(6, "connection.uuid:u-1\nconnection.type:gsm\n");
    dial("Office", "", "", 0);
    reply(8, "connection.uuid:u-2\nconnection.type:vpn\n");
    dial("Tunnel", "joe", "pw", 0);
    // Of the profiles sharing a name the first is dialled; an ethernet one takes no secrets.
    reply(11, "connection.uuid:u-1\nconnection.type:802-3-ethernet\n\nconnection.uuid:u-2\nconnection.type:gsm\n");
    dial("Twin", "jane", "pw", 0);
    reply(13, "", "Error: Office - no such connection profile.\n", 10);
    EXPECT_EQ(dial("Office", "", "pw", 7010), 0u);
    EXPECT_EQ(text(7010), "Office - no such connection profile.");
    reply(14, "connection.uuid:u-1\nconnection.type:gsm\n");
    reply(15, "", "Error: Connection activation failed:\r\nPPP failed\r\nHint: use journalctl -xe for more.\n", 4);
    EXPECT_NE(dial("Office", "", "", 7004), 0u) << "a half-made connection has a handle to hang up";
    dial("Office", "", "", 632, 1040);
    const std::string show = "nmcli -t -f connection.uuid,connection.type connection show id ";
    const std::string up = "nmcli --wait 90 connection up uuid ";
    EXPECT_EQ(ReadFile(bin / "calls"),
              show + "Office:2\nnmcli connection modify uuid u-1 gsm.username jane\n" + up +
                  "u-1 passwd-file 600 gsm.password:pa:ss\\word\n"
                  "nmcli -t -f NAME,UUID,TYPE,DEVICE,STATE connection show --active\n"
                  "nmcli connection down uuid u-1\n" + show + "Office\n" + up + "u-1\n" + show +
                  "Tunnel\nnmcli connection modify uuid u-2 vpn.user-name joe\n" + up +
                  "u-2 passwd-file 600 vpn.secrets.password:pw\n" + show + "Twin\n" + up + "u-1\n" + show + "Office\n" +
                  show + "Office\n" + up + "u-1\n");
    struct { DWORD code, size; const char* text; } texts[] = {{7004, 256, "Connection activation failed: PPP failed"},
        {7003, 256, "The connection did not come up in time."}, {7003, 8, "The con"},
        {7042, 256, "NetworkManager's command-line client failed with status 42."}, {12345, 256, "(code 87)"}};
    for (const auto& t : texts) EXPECT_EQ(text(t.code, t.size), t.text);
}

TEST_F(NmProvider, PhonebookEntriesTheEditorAndNoNmcli) {
    auto* entries = fn<RasEnumEntriesA_t>("RasEnumEntriesA");
    reply(1, "Office:\nHome\\\\dsl\nVPN\\: work\n");
    reply(2, "Office:\nHome\\\\dsl\nVPN\\: work\n");
    RASENTRYNAMEA e[3] = {Sized<RASENTRYNAMEA>()};
    DWORD size = sizeof e[0], count = 0;
    EXPECT_EQ(entries(nullptr, nullptr, e, &size, &count), ERROR_BUFFER_TOO_SMALL);
    EXPECT_EQ(entries(nullptr, nullptr, e, &size, &count), 0u);
    EXPECT_EQ(std::string(e[0].szEntryName) + "|" + e[1].szEntryName + "|" + e[2].szEntryName, "Office|Home\\dsl|VPN: work");
    EXPECT_EQ(fn<RasCreatePhonebookEntryA_t>("RasCreatePhonebookEntryA")(nullptr, nullptr), 7303u);
    install("nm-connection-editor", "#!/bin/sh\necho \"editor $*\" >> \"$(dirname \"$0\")/calls\"\n");
    EXPECT_EQ(fn<RasCreatePhonebookEntryA_t>("RasCreatePhonebookEntryA")(nullptr, nullptr), 0u);
    reply(3, "connection.uuid:u-5\nconnection.type:pppoe\n");
    EXPECT_EQ(fn<RasEditPhonebookEntryA_t>("RasEditPhonebookEntryA")(nullptr, nullptr, "DSL:home"), 0u);
    EXPECT_EQ(ReadFile(bin / "calls"), "nmcli -t -f NAME connection show\nnmcli -t -f NAME connection show\neditor --create\n"
                  "nmcli -t -f connection.uuid,connection.type connection show id DSL:home\neditor --edit=u-5\n");
    setenv("PATH", "/nonexistent", 1);
    EXPECT_EQ(entries(nullptr, nullptr, e, &size, &count), 7300u);
    EXPECT_EQ(text(7300), "NetworkManager's command-line client nmcli is not installed.");
}

// A log line as masked: "+ text" becomes "+ HH:MM:SS  text".
std::string L(std::string line) { return line.insert(1, " HH:MM:SS ") + "\n"; }
std::string Status(const char* h) { return "RasGetConnectStatusA\thrasconn=" + std::string(h) + "\tdwSize=160\n"; }
std::string HangUp(const char* h) { return "RasHangUpA\thrasconn=" + std::string(h) + "\n"; }
std::string Dial(const char* h) {
    return "RasDialA\textensions=null\tphonebook=null\tdwSize=1052\tentry=Office\tphone=\tcallback=\tuser=jane"
           "\tpassword=s3cret\tdomain=*\tnotifierType=0\tnotifier=null\thandle=" + std::string(h) + "\n";
}
const std::string kEnum = "RasEnumConnectionsA\tdwSize=412\tcb=412\n", kNoMail = "No messages for delivery.\n",
                  kDown = "\nDisconnecting from 'Office'...", kDialing = "Connecting to 'Office'...\n";

struct Row {
    const char* name;
    const char* library;  // beside korv: the test provider, the one without dial and hang-up, or none
    std::string state;    // the test provider's state file; "-" for no dial entry at all
    std::vector<std::string> args;
    std::string console, log, calls;
    std::string fatal = "";  // the message a failed run ends with, on the console and in the log
};
void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

class DialUp : public ::testing::TestWithParam<Row> {};

TEST_P(DialUp, ConsoleLogAndProviderCalls) {
    const Row& row = GetParam();
    KorvSandbox box;
    box.config.dialEntry.assign(row.state == "-" ? "" : "Office");
    box.config.dialUser.assign("jane");
    box.config.dialPassword.assign("s3cret");
    if (*row.library) { ASSERT_EQ(symlink(row.library, box.path("librasapi32.so").c_str()), 0); }
    WriteFile(box.path("fake_ras_state"), row.state);
    ProgramResult result = box.run(row.args);
    std::string fatal = row.fatal.empty() ? "" : row.fatal + ".\n";
    EXPECT_EQ(result.status, fatal.empty() ? 0 : 1);
    EXPECT_EQ(result.out, Banner() + row.console + fatal);
    EXPECT_EQ(MaskLog(box.log()), "\n----------  DAY DD MON YY, Quorvexia 2.12; " +
                  std::string(row.args[0] == "/send" ? "SEND" : "") + "\n" + row.log + (fatal.empty() ? "" : L("! " + row.fatal)));
    EXPECT_EQ(FileExists(box.path("fake_ras_calls")) ? ReadFile(box.path("fake_ras_calls")) : "", row.calls);
}

const char* kFake = FAKE_RASAPI_PATH;
INSTANTIATE_TEST_SUITE_P(Table, DialUp, ::testing::Values(
    Row{"DialAndHangUp", kFake, "connection 7 0x2001 Office\ndial_handle 42\n", {"/send", "/hangup"},
        kDialing + "\n" + kNoMail + kDown, L("+ Connecting to Office") + L("+ No messages for delivery") +
        L("+ Disconnected from Office"), kEnum + Status("7") + Dial("7") + HangUp("42")},
    Row{"ConnectedIsLeftUp", kFake, "connection 7 0x2000 Office\n", {"/send"}, kNoMail,
        L("+ No messages for delivery"), kEnum + Status("7")},
    Row{"LongerListFetchedAgain", kFake, "connection 3 0x2000 Other\nconnection 9 0x2000 Office\nenum_size 1300\n",
        {"/send", "/hangup"}, kNoMail + kDown, L("+ No messages for delivery") + L("+ Disconnected from Office"),
        kEnum + "RasEnumConnectionsA\tdwSize=412\tcb=1300\n" + Status("9") + HangUp("9")},
    Row{"DialInProgressElsewhere", kFake, "connection 7 5 Office\n", {"/send", "/hangup"}, kNoMail,
        L("+ No messages for delivery"), kEnum + Status("7")},
    Row{"HangupAloneWhenClosed", kFake, "", {"/hangup"}, "Connection is already closed.\n",
        L("! Connection is already closed"), kEnum},
    Row{"NoEntry", "", "-", {"/send", "/hangup"}, kNoMail + "Hangup not allowed with network connection.\n",
        L("+ No messages for delivery") + L("? Hangup not allowed with network connection"), ""},
    Row{"NoProvider", "", "", {"/send"}, "", "", "", "Could't find Remote Access Service (RASAPI32.DLL)"},
    Row{"ListFails", kFake, "enum_error 610\n", {"/send"}, "", "", kEnum, "Remote Access Service Failure 610"},
    Row{"ListTooLong", kFake, "connection 1 0x2000 A\nconnection 2 0x2000 B\nenum_size 4294967295\n", {"/send"},
        "", "", kEnum, "Remote Access Service Failure 8"},
    Row{"StatusFails", kFake, "connection 7 0x2000 Office\nstatus_error 6\n", {"/send"}, "", "",
        kEnum + Status("7"), "Remote Access Service Failure 9501"},
    Row{"DialFails", kFake, "dial_error 678\ndial_handle 12\nerror_text 678 There was no answer.\n", {"/send"},
        kDialing, L("+ Connecting to Office"),
        kEnum + Dial("0") + "RasGetErrorStringA\tcode=678\tsize=1000\n" + HangUp("12"),
        "Connection error: There was no answer"},
    Row{"DialMissing", FAKE_RASAPI_PARTIAL_PATH, "", {"/send"}, kDialing, L("+ Connecting to Office"), kEnum,
        "Remote Access Service Failure 9502"}),
    [](const ::testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });

// korv finds the provider beside itself, started by a relative path (it has
// changed into its directory before it loads it) or through PATH.
TEST(DialUpStart, ProviderBesideKorvHoweverStarted) {
    KorvSandbox box;
    TempDir bin;
    box.config.dialEntry.assign("Office");
    box.writeConfig();
    std::filesystem::copy_file(KORV_PATH, bin / "korv");
    for (const std::string& dir : {box.dir(), bin.path()})
        ASSERT_EQ(symlink(FAKE_RASAPI_PATH, (dir + "/librasapi32.so").c_str()), 0);
    WriteFile(box.path("fake_ras_state"), "connection 7 0x2000 Office\n");
    std::string parent = box.dir().substr(0, box.dir().rfind('/'));
    for (const ProgramResult& r : {RunProgram(box.path("korv"), {"/send"}, parent, "", 60, box.dir().substr(parent.size() + 1) + "/korv"),
                                   RunProgram(bin / "korv", {"/send"}, box.dir(), "", 60, "korv")})
        EXPECT_EQ(r.out, Banner() + kNoMail);
}

}  // namespace
}  // namespace quorvexia::test
