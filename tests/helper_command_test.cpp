// Password and token helpers: what korv takes from them and when it gives up.
#include <gtest/gtest.h>

#include <chrono>

#include "platform/process.h"

namespace quorvexia::platform {
namespace {

using Words = std::vector<std::string>;

Words Shell(const std::string& script) { return {"sh", "-c", script}; }

TEST(Helper, TakesStdoutWithOneNewlineOff) {
    struct {
        std::string script;
        std::string answer;
    } cases[] = {
        {"echo secret", "secret"},
        {"printf 'secret'", "secret"},
        {"printf 'secret\\r\\n'", "secret"},
        {"printf 'a b\\n\\n'", "a b\n"},
        {"printf ''", ""},
        {"echo on stderr >&2; echo tok", "tok"},  // stderr is the console's, never the answer
        {"read x; echo \"read:$x:$?\"", "read::1"},  // stdin is empty
    };
    for (const auto& c : cases) {
        std::string answer, error;
        EXPECT_TRUE(RunHelper(Shell(c.script), answer, error, 10)) << c.script << ": " << error;
        EXPECT_EQ(answer, c.answer) << c.script;
    }
}

TEST(Helper, PassesLongTokensWholeUpToTheLimit) {
    for (std::size_t size : {std::size_t{2500}, kHelperOutputMax}) {
        std::string answer, error;
        std::string script = "head -c " + std::to_string(size) + " /dev/zero | tr '\\0' 'x'";
        ASSERT_TRUE(RunHelper(Shell(script), answer, error, 10)) << error;
        EXPECT_EQ(answer, std::string(size, 'x'));
    }
    // One byte more is a failure, not a token cut short.
    std::string answer, error;
    std::string script = "head -c " + std::to_string(kHelperOutputMax + 1) + " /dev/zero | tr '\\0' 'x'";
    EXPECT_FALSE(RunHelper(Shell(script), answer, error, 10));
    EXPECT_EQ(error, "helper 'sh' printed more than 16384 bytes");
    EXPECT_EQ(answer, "");
    // A helper that never stops printing is stopped too.
    EXPECT_FALSE(RunHelper({"yes"}, answer, error, 10));
    EXPECT_EQ(error, "helper 'yes' printed more than 16384 bytes");
}

TEST(Helper, FailuresAreSentences) {
    struct {
        Words words;
        const char* error;
    } cases[] = {
        {Shell("echo partial; exit 3"), "helper 'sh' failed with exit status 3"},
        {Shell("kill -9 $$"), "helper 'sh' was ended by a signal"},
        {{"/nonexistent/token-helper", "--x"}, "helper '/nonexistent/token-helper' cannot be run: No such file or directory"},
        {{}, "the helper command is empty"},
    };
    for (const auto& c : cases) {
        std::string answer = "stale", error;
        EXPECT_FALSE(RunHelper(c.words, answer, error, 10));
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(answer, "");
    }
}

TEST(Helper, StoppedAtItsTimeLimit) {
    std::string answer, error;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(RunHelper({"sleep", "30"}, answer, error, 1));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(error, "helper 'sleep' gave no answer within 1 second");
}

}  // namespace
}  // namespace quorvexia::platform
