// korv's dial-up control as a program, with the test provider beside it:
// every start state with and without a transfer and /hangup, every failure,
// and what korv handed the provider.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "support/program.h"

namespace quorvexia::test {
namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

std::string LogHeader(const std::string& mode) {
    return "\n----------  DAY DD MON YY, Quorvexia 2.12; " + mode + "\n";
}

// The dial korv makes for the entry "Office" with user "jane" and password "s3cret".
std::string DialCall(const std::string& handleIn) {
    return "RasDialA\textensions=null\tphonebook=null\tdwSize=1052\tentry=Office\tphone=\tcallback="
           "\tuser=jane\tpassword=s3cret\tdomain=*\tnotifierType=0\tnotifier=null\thandle=" +
           handleIn;
}

const std::string kEnum = "RasEnumConnectionsA\tdwSize=412\tcb=412";
const std::string kStatus7 = "RasGetConnectStatusA\thrasconn=7\tdwSize=160";

class DialUp : public ::testing::Test {
protected:
    KorvSandbox box;

    void SetUp() override {
        box.config.dialEntry.assign("Office");
        box.config.dialUser.assign("jane");
        box.config.dialPassword.assign("s3cret");
    }
    void useProvider(const char* library = FAKE_RASAPI_PATH) {
        ASSERT_EQ(symlink(library, box.path("librasapi32.so").c_str()), 0);
    }
    void state(const std::string& text) { WriteFile(box.path("fake_ras_state"), text); }
    std::vector<std::string> calls() const {
        std::string path = box.path("fake_ras_calls");
        return FileExists(path) ? Lines(ReadFile(path)) : std::vector<std::string>{};
    }
    std::string log() const { return MaskLog(box.log()); }
};

struct StateRow {
    const char* name;
    const char* entry;          // dialEntry
    const char* providerState;  // the test provider's state file
    std::vector<std::string> args;
    std::string console;        // after the banner
    std::string logMode;        // the log header's SEND/RECEIVE part
    std::string events;         // log lines after the header
    std::vector<std::string> calls;
};

void PrintTo(const StateRow& row, std::ostream* os) { *os << row.name; }

const std::string kNoMail = "No messages for delivery.\n";
const std::string kNoMailLog = "+ HH:MM:SS  No messages for delivery\n";
const std::string kConnectingLog = "+ HH:MM:SS  Connecting to Office\n";
const std::string kDisconnectedLog = "+ HH:MM:SS  Disconnected from Office\n";

class DialUpStates : public DialUp, public ::testing::WithParamInterface<StateRow> {};

TEST_P(DialUpStates, ConsoleLogAndProviderCalls) {
    const StateRow& row = GetParam();
    box.config.dialEntry.assign(row.entry);
    useProvider();
    state(row.providerState);
    ProgramResult result = box.run(row.args);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, Banner() + row.console);
    EXPECT_EQ(log(), LogHeader(row.logMode) + row.events);
    EXPECT_EQ(calls(), row.calls);
}

INSTANTIATE_TEST_SUITE_P(
    Table, DialUpStates,
    ::testing::Values(
        // No entry: the provider is never touched.
        StateRow{"NoEntry", "", "", {"/send"}, kNoMail, "SEND", kNoMailLog, {}},
        StateRow{"NoEntryHangup", "", "", {"/send", "/hangup"},
                 kNoMail + "Hangup not allowed with network connection.\n", "SEND",
                 kNoMailLog + "? HH:MM:SS  Hangup not allowed with network connection\n", {}},
        StateRow{"NoEntryHangupAlone", "", "", {"/hangup"},
                 "Hangup not allowed with network connection.\n", "",
                 "? HH:MM:SS  Hangup not allowed with network connection\n", {}},
        // Not active: dial, and the connection stays up.
        StateRow{"NotActiveDial", "Office", "", {"/send"},
                 "Connecting to 'Office'...\n\n" + kNoMail, "SEND", kConnectingLog + kNoMailLog,
                 {kEnum, DialCall("0")}},
        // Listed as disconnected: dial with the listed handle.
        StateRow{"ListedDisconnectedDial", "Office", "connection 7 0x2001 Office\n", {"/send"},
                 "Connecting to 'Office'...\n\n" + kNoMail, "SEND", kConnectingLog + kNoMailLog,
                 {kEnum, kStatus7, DialCall("7")}},
        // Letter case counts: "office" is another entry.
        StateRow{"OtherCaseIsNoMatch", "Office", "connection 7 0x2000 office\n", {"/send"},
                 "Connecting to 'Office'...\n\n" + kNoMail, "SEND", kConnectingLog + kNoMailLog,
                 {kEnum, DialCall("0")}},
        // Dial, transfer, hang up at the very end without a line feed.
        StateRow{"NotActiveDialAndHangup", "Office", "dial_handle 42\n", {"/send", "/hangup"},
                 "Connecting to 'Office'...\n\n" + kNoMail + "\nDisconnecting from 'Office'...", "SEND",
                 kConnectingLog + kNoMailLog + kDisconnectedLog,
                 {kEnum, DialCall("0"), "RasHangUpA\thrasconn=42"}},
        StateRow{"NotActiveHangupAlone", "Office", "", {"/hangup"}, "Connection is already closed.\n", "",
                 "! HH:MM:SS  Connection is already closed\n", {kEnum}},
        StateRow{"ListedDisconnectedHangupAlone", "Office", "connection 7 0x2001 Office\n", {"/hangup"},
                 "Connection is already closed.\n", "", "! HH:MM:SS  Connection is already closed\n",
                 {kEnum, kStatus7}},
        // Connected elsewhere: no dial; dropped only on /hangup.
        StateRow{"ConnectedNoDial", "Office", "connection 3 0x2000 Other\nconnection 7 0x2000 Office\n",
                 {"/send"}, kNoMail, "SEND", kNoMailLog, {kEnum + "", "RasEnumConnectionsA\tdwSize=412\tcb=824",
                 kStatus7}},
        StateRow{"ConnectedHangupAlone", "Office", "connection 7 0x2000 Office\n", {"/hangup"},
                 "\nDisconnecting from 'Office'...", "", kDisconnectedLog,
                 {kEnum, kStatus7, "RasHangUpA\thrasconn=7"}},
        StateRow{"ConnectedSendAndHangup", "Office", "connection 7 0x2000 Office\n", {"/send", "/hangup"},
                 kNoMail + "\nDisconnecting from 'Office'...", "SEND", kNoMailLog + kDisconnectedLog,
                 {kEnum, kStatus7, "RasHangUpA\thrasconn=7"}},
        // Another state (a dial in progress elsewhere): hands off, silently.
        StateRow{"OtherStateSendAndHangup", "Office", "connection 7 5 Office\n", {"/send", "/hangup"}, kNoMail,
                 "SEND", kNoMailLog, {kEnum, kStatus7}},
        StateRow{"OtherStateHangupAlone", "Office", "connection 7 0x2002 Office\n", {"/hangup"}, "", "", "",
                 {kEnum, kStatus7}}),
    [](const ::testing::TestParamInfo<StateRow>& info) { return std::string(info.param.name); });

// The first record the list asks for is the second call's buffer size, even
// when it is not a whole number of records.
TEST_F(DialUp, LongerListIsFetchedAgainWithTheSizeAskedFor) {
    useProvider();
    state("connection 1 0x2000 Home\nconnection 2 0x2000 Lab\nconnection 9 0x2000 Office\nenum_size 1300\n");
    ProgramResult result = box.run({"/hangup"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(calls(), (std::vector<std::string>{kEnum, "RasEnumConnectionsA\tdwSize=412\tcb=1300",
                                                 "RasGetConnectStatusA\thrasconn=9\tdwSize=160",
                                                 "RasHangUpA\thrasconn=9"}));
}

// One run brings the connection up, a later one drops it.
TEST_F(DialUp, DialedByOneRunHungUpByTheNext) {
    useProvider();
    state("dial_handle 55\n");
    ProgramResult first = box.run({"/send"});
    ASSERT_EQ(first.status, 0);
    ProgramResult second = box.run({"/hangup"});
    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(second.out, Banner() + "\nDisconnecting from 'Office'...");
    EXPECT_EQ(calls(), (std::vector<std::string>{kEnum, DialCall("0"), kEnum,
                                                 "RasGetConnectStatusA\thrasconn=55\tdwSize=160",
                                                 "RasHangUpA\thrasconn=55"}));
    EXPECT_EQ(ReadFile(box.path("fake_ras_state")), "dial_handle 55\n");
}

// korv started by a relative path finds the provider in its own directory,
// although it has changed into that directory before it loads the provider.
TEST_F(DialUp, RelativeProgramPathFindsProviderBesideKorv) {
    useProvider();
    state("connection 7 0x2000 Office\n");
    box.writeConfig();
    std::string dir = box.dir();
    std::string parent = dir.substr(0, dir.rfind('/'));
    std::string relative = dir.substr(dir.rfind('/') + 1) + "/korv";
    ProgramResult result = RunProgram(box.path("korv"), {"/hangup"}, parent, "", 60, relative);
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(result.out, Banner() + "\nDisconnecting from 'Office'...");
}

// korv started through PATH names no directory in its first argument: it
// reads korv.cfg in the current directory and finds the provider beside its
// own executable.
TEST_F(DialUp, StartedThroughPathFindsProviderBesideItsExecutable) {
    TempDir bin;
    std::filesystem::copy_file(KORV_PATH, bin / "korv");
    ASSERT_EQ(symlink(FAKE_RASAPI_PATH, (bin / "librasapi32.so").c_str()), 0);
    state("connection 7 0x2000 Office\n");
    box.writeConfig();
    ProgramResult result = RunProgram(bin / "korv", {"/hangup"}, box.dir(), "", 60, "korv");
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_EQ(result.out, Banner() + "\nDisconnecting from 'Office'...");
}

struct FailureRow {
    const char* name;
    const char* library;        // beside korv: the complete provider, the partial one, junk, or none
    std::string providerState;
    std::vector<std::string> args;
    std::string console;        // after the banner
    std::string events;         // log lines after the header
    std::vector<std::string> calls;
};

void PrintTo(const FailureRow& row, std::ostream* os) { *os << row.name; }

class DialUpFailures : public DialUp, public ::testing::WithParamInterface<FailureRow> {};

TEST_P(DialUpFailures, EndWithStatusOne) {
    const FailureRow& row = GetParam();
    std::string library = row.library;
    if (library == "junk") {
        WriteFile(box.path("librasapi32.so"), "not a library\n");
    } else if (!library.empty()) {
        useProvider(library.c_str());
    }
    state(row.providerState);
    ProgramResult result = box.run(row.args);
    EXPECT_EQ(result.status, 1) << result.err;
    EXPECT_EQ(result.out, Banner() + row.console);
    EXPECT_EQ(log(), LogHeader("SEND") + row.events);
    EXPECT_EQ(calls(), row.calls);
}

const std::string kTooLong(600, 'x');

INSTANTIATE_TEST_SUITE_P(
    Table, DialUpFailures,
    ::testing::Values(
        FailureRow{"NoProvider", "", "", {"/send"}, "Could't find Remote Access Service (RASAPI32.DLL).\n",
                   "! HH:MM:SS  Could't find Remote Access Service (RASAPI32.DLL)\n", {}},
        FailureRow{"ProviderNotALibrary", "junk", "", {"/send"},
                   "Could't find Remote Access Service (RASAPI32.DLL).\n",
                   "! HH:MM:SS  Could't find Remote Access Service (RASAPI32.DLL)\n", {}},
        FailureRow{"EnumerationFails", FAKE_RASAPI_PATH, "enum_error 610\n", {"/send"},
                   "Remote Access Service Failure 610.\n", "! HH:MM:SS  Remote Access Service Failure 610\n",
                   {kEnum}},
        FailureRow{"SecondEnumerationFails", FAKE_RASAPI_PATH,
                   "connection 1 0x2000 A\nconnection 2 0x2000 B\nenum_size 4294967295\n", {"/send"},
                   "Remote Access Service Failure 8.\n", "! HH:MM:SS  Remote Access Service Failure 8\n",
                   {kEnum}},
        FailureRow{"StatusQueryFails", FAKE_RASAPI_PATH, "connection 7 0x2000 Office\nstatus_error 6\n",
                   {"/send"}, "Remote Access Service Failure 9501.\n",
                   "! HH:MM:SS  Remote Access Service Failure 9501\n", {kEnum, kStatus7}},
        FailureRow{"DialFails", FAKE_RASAPI_PATH,
                   "dial_error 678\ndial_handle 12\nerror_text 678 There was no answer.\n", {"/send"},
                   "Connecting to 'Office'...\nConnection error: There was no answer.\n",
                   kConnectingLog + "! HH:MM:SS  Connection error: There was no answer\n",
                   {kEnum, DialCall("0"), "RasGetErrorStringA\tcode=678\tsize=1000", "RasHangUpA\thrasconn=12"}},
        FailureRow{"DialFailsWithoutText", FAKE_RASAPI_PATH, "dial_error 999\ndial_handle 12\n", {"/send"},
                   "Connecting to 'Office'...\nConnection error: .\n",
                   kConnectingLog + "! HH:MM:SS  Connection error: \n",
                   {kEnum, DialCall("0"), "RasGetErrorStringA\tcode=999\tsize=1000", "RasHangUpA\thrasconn=12"}},
        FailureRow{"DialFailsWithLongText", FAKE_RASAPI_PATH,
                   "dial_error 700\ndial_handle 12\nerror_text 700 " + kTooLong + "\n", {"/send"},
                   "Connecting to 'Office'...\nConnection error: " + std::string(255 - 18, 'x') + ".\n",
                   kConnectingLog + "! HH:MM:SS  Connection error: " + std::string(255 - 18, 'x') + "\n",
                   {kEnum, DialCall("0"), "RasGetErrorStringA\tcode=700\tsize=1000", "RasHangUpA\thrasconn=12"}},
        FailureRow{"DialMissing", FAKE_RASAPI_PARTIAL_PATH, "", {"/send"},
                   "Connecting to 'Office'...\nRemote Access Service Failure 9502.\n",
                   kConnectingLog + "! HH:MM:SS  Remote Access Service Failure 9502\n", {kEnum}},
        FailureRow{"HangUpMissing", FAKE_RASAPI_PARTIAL_PATH, "connection 7 0x2000 Office\n",
                   {"/send", "/hangup"},
                   kNoMail + "\nDisconnecting from 'Office'...Remote Access Service Failure 9502.\n",
                   kNoMailLog + "! HH:MM:SS  Remote Access Service Failure 9502\n", {kEnum, kStatus7}}),
    [](const ::testing::TestParamInfo<FailureRow>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quorvexia::test
