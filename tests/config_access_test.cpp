// The one way in and out of korv.cfg: the locks beside it (surviving the
// rename, shared by two names of one file), korv's counter-only rewrite, and
// the counter the setup tools keep. Waiting for a holder and a killed holder
// are shown with real korv processes in shared_config_test.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "config/config_access.h"
#include "config/config_file.h"
#include "support/temp_dir.h"

namespace quorvexia {
namespace {

using namespace std::chrono_literals;
using test::ConfigBytes;
using test::FileExists;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

MailConfig Record(std::uint32_t counter) {
    MailConfig c = test::DefaultConfig();
    c.smtpServer.assign("smtp.example.org");
    c.messageCounter.set(counter);
    return c;
}

TEST(ConfigLockTest, EachKindExcludesItselfOnlyAndIsFreeAgainOnRelease) {
    TempDir dir;
    std::string cfg = dir / "korv.cfg";
    ConfigLock sending = ConfigLock::Acquire(cfg, ConfigLockKind::Sending, 0ms);
    ASSERT_TRUE(sending.held()) << sending.error();

    int waits = 0;
    auto start = std::chrono::steady_clock::now();
    ConfigLock second = ConfigLock::Acquire(cfg, ConfigLockKind::Sending, 300ms, [&] { ++waits; });
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(second.status(), ConfigLock::Status::Busy);
    EXPECT_EQ(waits, 1) << "the wait is announced once";
    EXPECT_GE(waited, 300ms);
    EXPECT_LT(waited, 3s);

    // The other kinds are independent of a running send phase.
    EXPECT_TRUE(ConfigLock::Acquire(cfg, ConfigLockKind::Receiving, 0ms).held());
    EXPECT_TRUE(ConfigLock::Acquire(cfg, ConfigLockKind::Config, 0ms).held());

    sending.release();
    EXPECT_TRUE(ConfigLock::Acquire(cfg, ConfigLockKind::Sending, 0ms).held());
    EXPECT_EQ(test::ListDir(dir.path()), ".korv.cfg.lock") << "korv.cfg itself is not created";
}

TEST(ConfigLockTest, LockSurvivesTheReplacementAndIsSharedByALinkToTheFile) {
    TempDir dir;
    test::MakeDir(dir / "real");
    test::WriteConfig(dir / "real/korv.cfg", Record(1));
    ASSERT_EQ(symlink("real/korv.cfg", (dir / "korv.cfg").c_str()), 0);
    EXPECT_EQ(LockFilePathFor(dir / "korv.cfg"), dir / "real/.korv.cfg.lock");

    ConfigLock lock = ConfigLock::Acquire(dir / "real/korv.cfg", ConfigLockKind::Config, 0ms);
    ASSERT_TRUE(lock.held());
    std::string next = ConfigBytes(Record(2));
    ASSERT_TRUE(ReplaceFileAtomically(dir / "korv.cfg", next.data(), next.size()));
    EXPECT_EQ(ConfigLock::Acquire(dir / "korv.cfg", ConfigLockKind::Config, 0ms).status(),
              ConfigLock::Status::Busy);
    EXPECT_EQ(ConfigLock::Acquire(dir / "real/korv.cfg", ConfigLockKind::Config, 0ms).status(),
              ConfigLock::Status::Busy);
}

TEST(ConfigLockTest, ALockFileThatCannotBeMadeIsAFailureWithItsReason) {
    TempDir dir;
    ConfigLock lock = ConfigLock::Acquire(dir / "missing/korv.cfg", ConfigLockKind::Config, 0ms);
    EXPECT_EQ(lock.status(), ConfigLock::Status::Failed);
    EXPECT_EQ(lock.error(), std::strerror(ENOENT));
}

struct CounterCase {
    const char* name;
    std::string before;   // korv.cfg as korv finds it at the rewrite ("" with exists false: none)
    bool exists;
    CounterSaveResult result;
    std::string after;
};

TEST(SaveMessageCounterTest, ChangesOnlyTheCounterOfTheFileAsItIsNow) {
    // Another program saved a new server since korv read the file; the tail is not korv's.
    std::string edited = ConfigBytes(Record(7)) + "tail bytes";
    std::string expected = ConfigBytes(Record(42)) + "tail bytes";
    MailConfig upper = Record(7);
    SetSignature(upper.signature, "QUORVEXIA 20 CFG");
    MailConfig upperAfter = upper;
    upperAfter.messageCounter.set(42);
    std::string shortFile = ConfigBytes(Record(7)).substr(0, 700);
    std::string shortAfter = ConfigBytes(Record(42)).substr(0, 700) + std::string(kMailConfigSize - 700, '\0');
    std::string legacy = ConfigBytes(Record(7));
    legacy.replace(0, 16, "Bexolind 1.0 CFG");
    const std::vector<CounterCase> cases = {
        {"edited meanwhile, with bytes beyond the record", edited, true, CounterSaveResult::Saved, expected},
        {"signature in capitals, as korv accepts it", ConfigBytes(upper), true, CounterSaveResult::Saved, ConfigBytes(upperAfter)},
        {"short, filled up as korv read it", shortFile, true, CounterSaveResult::Saved, shortAfter},
        {"cut before the counter", ConfigBytes(Record(7)).substr(0, 643), true, CounterSaveResult::NotARecord,
         ConfigBytes(Record(7)).substr(0, 643)},
        {"another record", legacy, true, CounterSaveResult::NotARecord, legacy},
        {"empty", "", true, CounterSaveResult::NotARecord, ""},
        {"removed", "", false, CounterSaveResult::NotARecord, ""},
    };
    for (const CounterCase& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        std::string cfg = dir / "korv.cfg";
        if (c.exists) {
            WriteFile(cfg, c.before);
            ASSERT_EQ(chmod(cfg.c_str(), 0640), 0);
        }
        EXPECT_EQ(SaveMessageCounter(cfg, 42), c.result);
        EXPECT_EQ(FileExists(cfg), c.exists) << "a missing file is not made anew";
        if (!c.exists) continue;
        EXPECT_EQ(ReadFile(cfg), c.after);
        struct stat st;
        ASSERT_EQ(stat(cfg.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0640u);
    }
}

TEST(SaveMessageCounterTest, WaitsForASaveInProgressAndFailsWhenItNeverEnds) {
    TempDir dir;
    std::string cfg = dir / "korv.cfg";
    test::WriteConfig(cfg, Record(1));
    ConfigLock saving = ConfigLock::Acquire(cfg, ConfigLockKind::Config, 0ms);
    std::string reason;
    auto result = UpdateConfigFile(cfg, [](std::string&, bool) { return true; }, reason, 200ms);
    EXPECT_EQ(result, ConfigUpdateResult::LockBusy);
    EXPECT_EQ(ReadFile(cfg), ConfigBytes(Record(1)));
}

TEST(UpdateConfigFileTest, SeesTheFileAsItIsAndWritesOnlyWhatTheChangeKeeps) {
    TempDir dir;
    std::string cfg = dir / "korv.cfg";
    std::string reason;
    bool sawFile = true;
    EXPECT_EQ(UpdateConfigFile(cfg, [&](std::string& b, bool exists) {
                  sawFile = exists;
                  b = "new";
                  return true;
              }, reason),
              ConfigUpdateResult::Replaced);
    EXPECT_FALSE(sawFile);
    struct stat st;
    ASSERT_EQ(stat(cfg.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "a new korv.cfg will hold passwords";

    EXPECT_EQ(UpdateConfigFile(cfg, [&](std::string& b, bool) {
                  EXPECT_EQ(b, "new");
                  b = "declined";
                  return false;
              }, reason),
              ConfigUpdateResult::Unchanged);
    EXPECT_EQ(ReadFile(cfg), "new");

    // A korv.cfg that is there but cannot be read is not taken for a missing one.
    test::MakeDir(dir / "other");
    test::MakeDir(dir / "other/korv.cfg");
    bool called = false;
    EXPECT_EQ(UpdateConfigFile(dir / "other/korv.cfg", [&](std::string&, bool) { return called = true; }, reason),
              ConfigUpdateResult::ReadFailed);
    EXPECT_FALSE(called);
}

TEST(ReadConfigBytesTest, NeverWaitsAtANamedPipe) {
    TempDir dir;
    ASSERT_EQ(mkfifo((dir / "korv.cfg").c_str(), 0600), 0);
    std::string bytes;
    EXPECT_FALSE(ReadConfigBytes(dir / "korv.cfg", bytes));
    EXPECT_EQ(errno, EINVAL);
}

TEST(TakeCurrentCounterTest, OnlyASoundRecordGivesItsCounter) {
    const struct {
        const char* name;
        std::string file;
        std::uint32_t expected;
    } cases[] = {
        {"sound", ConfigBytes(Record(99)), 99},
        {"sound with a tail", ConfigBytes(Record(98)) + "x", 98},
        {"one byte short", ConfigBytes(Record(97)).substr(0, kMailConfigSize - 1), 5},
        {"signature in capitals", "QUORVEXIA 20 CFG" + ConfigBytes(Record(96)).substr(16), 5},
        {"none", "", 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MailConfig image = Record(5);
        TakeCurrentCounter(c.file, image);
        EXPECT_EQ(image.messageCounter.get(), c.expected);
        image.messageCounter.set(5);
        EXPECT_EQ(ConfigBytes(image), ConfigBytes(Record(5))) << "nothing else is taken";
    }
}

}  // namespace
}  // namespace quorvexia
