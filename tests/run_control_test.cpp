// korv's switches and its directory rules, as units.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "run_control.h"
#include "run_options.h"

namespace quorvexia {
namespace {

struct SwitchCase {
    std::vector<const char*> args;
    bool send, receive, hangup, debug;
    std::int32_t tries;
    std::uint32_t daemonSeconds;
};

RunOptions Parse(std::vector<const char*> args) {
    args.insert(args.begin(), "korv");
    return ParseSwitches(static_cast<int>(args.size()), args.data());
}

std::string Describe(const std::vector<const char*>& args) {
    std::string s;
    for (const char* a : args) s += std::string(" [") + a + "]";
    return s.empty() ? " (none)" : s;
}

TEST(ParseSwitchesTest, PrefixesCaseAndNumbers) {
    const std::vector<SwitchCase> cases = {
        {{}, false, false, false, false, 1, 0},
        // Sending: any argument that begins with "/s", in any case.
        {{"/SEND"}, true, false, false, false, 1, 0},
        {{"/Send"}, true, false, false, false, 1, 0},
        {{"/sendnow"}, true, false, false, false, 1, 0},
        {{"/s"}, true, false, false, false, 1, 0},
        {{"/SENDALL"}, true, false, false, false, 1, 0},
        {{"/receive"}, false, true, false, false, 1, 0},
        {{"/R"}, false, true, false, false, 1, 0},
        {{"/hangup"}, false, false, true, false, 1, 0},
        {{"/HANG"}, false, false, true, false, 1, 0},
        {{"/debug"}, false, false, false, true, 1, 0},
        {{"/DE"}, false, false, false, true, 1, 0},
        // What matches nothing is ignored without a trace.
        {{"/d"}, false, false, false, false, 1, 0},
        {{"/dx"}, false, false, false, false, 1, 0},
        {{"send"}, false, false, false, false, 1, 0},
        {{"-send"}, false, false, false, false, 1, 0},
        {{"\\send"}, false, false, false, false, 1, 0},
        {{""}, false, false, false, false, 1, 0},
        {{"/"}, false, false, false, false, 1, 0},
        {{"/x", "/SEND", "/receive", "/h"}, true, true, true, false, 1, 0},
        // Tries: only a number above 0 after the first colon is taken.
        {{"/tries:5"}, false, false, false, false, 5, 0},
        {{"/T:3"}, false, false, false, false, 3, 0},
        {{"/tries:0"}, false, false, false, false, 1, 0},
        {{"/tries:x"}, false, false, false, false, 1, 0},
        {{"/tries"}, false, false, false, false, 1, 0},
        {{"/tries5"}, false, false, false, false, 1, 0},
        {{"/tries:-2"}, false, false, false, false, 1, 0},
        {{"/tries:"}, false, false, false, false, 1, 0},
        {{"/tries: 4"}, false, false, false, false, 4, 0},
        {{"/tries:+6"}, false, false, false, false, 6, 0},
        {{"/tries:7x"}, false, false, false, false, 7, 0},
        {{"/tries:a:3"}, false, false, false, false, 1, 0},
        {{"/tries:99999999999"}, false, false, false, false, 1, 0},
        {{"/tries:2147483647"}, false, false, false, false, 2147483647, 0},
        // A later valid value overrides; an invalid one keeps the earlier value.
        {{"/tries:5", "/tries:2"}, false, false, false, false, 2, 0},
        {{"/tries:5", "/tries:0"}, false, false, false, false, 5, 0},
        {{"/tries:5", "/tries:x"}, false, false, false, false, 5, 0},
        {{"/tries:5", "/tries:-2"}, false, false, false, false, 5, 0},
        {{"/tries:5", "/tries"}, false, false, false, false, 5, 0},
        // Daemon: minutes times 60; without a colon one pass.
        {{"/daemon:10"}, false, false, false, false, 1, 600},
        {{"/DA:1"}, false, false, false, false, 1, 60},
        {{"/daemon"}, false, false, false, false, 1, 0},
        {{"/daemon:0"}, false, false, false, false, 1, 0},
        {{"/daemon:-5"}, false, false, false, false, 1, 0},
        {{"/daemon:10", "/daemon:2"}, false, false, false, false, 1, 120},
        {{"/daemon:10", "/daemon:x"}, false, false, false, false, 1, 600},
        // "/de" is tested before "/da" and "/t": /debug:5 is debug only.
        {{"/debug:5"}, false, false, false, true, 1, 0},
        {{"/send", "/tries:3", "/daemon:1", "/debug"}, true, false, false, true, 3, 60},
    };
    for (const auto& c : cases) {
        RunOptions o = Parse(c.args);
        SCOPED_TRACE(Describe(c.args));
        EXPECT_EQ(o.sendRequested, c.send);
        EXPECT_EQ(o.receiveRequested, c.receive);
        EXPECT_EQ(o.hangupRequested, c.hangup);
        EXPECT_EQ(o.debugMode, c.debug);
        EXPECT_EQ(o.tries, c.tries);
        EXPECT_EQ(o.daemonSeconds, c.daemonSeconds);
        EXPECT_EQ(HasAction(o), c.send || c.receive || c.hangup);
    }
}

TEST(ParseSwitchesTest, HugeDaemonIntervalNeitherWrapsNorVanishes) {
    // 99999999 minutes do not fit 32 bits of seconds; the pause must stay long,
    // not wrap round to a short one or to "one pass".
    for (const char* arg : {"/daemon:99999999", "/daemon:71582789", "/daemon:9999999999999"}) {
        RunOptions o = Parse({arg});
        SCOPED_TRACE(arg);
        EXPECT_GE(o.daemonSeconds, 71582788u * 60);
        EXPECT_EQ(o.daemonSeconds % 60, 0u);
    }
    EXPECT_EQ(Parse({"/daemon:71582788"}).daemonSeconds, 71582788u * 60);
}

TEST(NormaliseDirectoryTest, EmptyAndTrailingSeparator) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "."},          {"in/", "in"},         {"/", "/"},         {"//", "/"},
        {"a//", "a/"},      {"/var/mail/", "/var/mail"}, {"dir", "dir"}, {"C:", "C:"},
        {"C:\\", "C:\\"},   {".", "."},            {"./", "."},
    };
    for (const auto& [in, out] : cases) {
        TextField<80> field;
        field.assign(in);
        NormaliseDirectory(field);
        EXPECT_EQ(field.text(), out) << "from \"" << in << "\"";
    }
}

TEST(NormaliseDirectoryTest, TouchesOnlyWhatItChanges) {
    // Bytes behind the terminator carry no meaning and are kept as they were.
    TextField<80> field;
    field.bytes.fill('z');
    field.bytes[0] = '\0';
    NormaliseDirectory(field);
    EXPECT_EQ(field.text(), ".");
    EXPECT_EQ(field.bytes[2], 'z');

    // A field that fills its whole width without a terminator keeps all 80
    // characters: it names that directory, not a 79-character one.
    TextField<80> full;
    full.bytes.fill('d');
    NormaliseDirectory(full);
    EXPECT_EQ(full.text(), std::string(80, 'd'));

    full.bytes[79] = '/';
    NormaliseDirectory(full);
    EXPECT_EQ(full.text(), std::string(79, 'd'));
}

}  // namespace
}  // namespace quorvexia
