// The configuration store on the real /etc/CGI_ds.conf inside the simulated appliance: the
// locks between processes, and WriteCFGData with its fixed temporary file.
// Every LockFile runs in a child process (the lock descriptor is process-wide and never closed).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "common/paths.h"
#include "config/cfg.h"
#include "config/cfg_internal.h"
#include "tests/config/process_helpers.h"
#include "tests/support/sim_env.h"
#include "tests/support/test_util.h"

namespace {

using cfgtest::CanFlock;
using cfgtest::Child;
using cfgtest::Report;
using cfgtest::Signal;

constexpr char kConf[] = "/etc/CGI_ds.conf";
constexpr char kSeed[] =
    "[network]\n"
    "version=1.2.3\n"
    "disk_server_name=STORAGE\n"
    "ip_addr=192.168.0.2\n"
    "netmask=255.255.255.0\n";

class ConfigSysTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!sim::Inside()) {
            GTEST_SKIP() << "needs the simulated appliance (sim/appliance run)";
        }
        testutil::WriteFile(kConf, kSeed, 0644);
    }
};

// The one slow test: an exclusive lock held by another process makes LockFile(2), LockFile(3)
// and LockFileByHandle give up with -5 after about two seconds (all three run at once).
TEST_F(ConfigSysTest, LockHeldByAnotherProcessGivesMinusFiveAfterTwoSeconds) {
    const int holder = open(kConf, O_RDONLY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);

    Child shared([] { return cfgtest::Timed([] { return LockFile(kLockShared); }); });
    Child exclusive([] { return cfgtest::Timed([] { return LockFile(kLockExclusive); }); });
    Child by_handle([] {
        const int fd = open(kConf, O_RDONLY | O_CLOEXEC);
        return cfgtest::Timed([fd] { return LockFileByHandle(fd); });
    });
    const Report rs = shared.Wait();
    const Report rx = exclusive.Wait();
    const Report rh = by_handle.Wait();
    close(holder);

    EXPECT_EQ(rs.rc, kCfgLockFail);
    EXPECT_EQ(rx.rc, kCfgLockFail);
    EXPECT_EQ(rh.rc, kCfgLockFail);
    for (const Report &r : {rs, rx, rh}) {
        EXPECT_GE(r.ms, 1800) << "three tries one second apart";
        EXPECT_LT(r.ms, 3500);
    }
}

TEST_F(ConfigSysTest, TwoProcessesHoldTheSharedLock) {
    Signal first_locked, second_done;
    Child first([&] {
        Report r;
        r.rc = LockFile(kLockShared);
        first_locked.Send();
        second_done.Await();
        return r;
    });
    ASSERT_TRUE(first_locked.Await());
    Child second([] { return cfgtest::Timed([] { return LockFile(kLockShared); }); });
    const Report s = second.Wait();
    const bool exclusive_possible = CanFlock(kConf, LOCK_EX);
    second_done.Send();
    EXPECT_EQ(first.Wait().rc, 0);
    EXPECT_EQ(s.rc, 0);
    EXPECT_LT(s.ms, 500);
    EXPECT_FALSE(exclusive_possible) << "the first process still holds its shared lock";
}

TEST_F(ConfigSysTest, MissingFileGivesMinusOneAndALaterCallOpensAgain) {
    ASSERT_EQ(unlink(kConf), 0);
    Child child([] {
        Report r;
        const int first = LockFile(kLockShared);
        testutil::WriteFile(kConf, kSeed, 0644);
        const int second = LockFile(kLockShared);
        r.rc = first == kCfgOpenFail && second == 0 ? 0 : 100 + first * 10 + second;
        return r;
    });
    EXPECT_EQ(child.Wait().rc, 0);
}

TEST_F(ConfigSysTest, UnlockThenLockReusesTheDescriptor) {
    Signal unlocked, checked;
    Child child([&] {
        Report r;
        r.rc = UnLockFile();  // before any LockFile: acts on descriptor 0, returns 0
        r.rc += LockFile(kLockExclusive);
        const int fd = cfg::LockDescriptor();
        r.rc += UnLockFile();
        unlocked.Send();
        checked.Await();
        r.rc += LockFile(kLockShared);
        r.ms = cfg::LockDescriptor() == fd && fd > 2 ? 0 : -1;
        return r;
    });
    ASSERT_TRUE(unlocked.Await());
    const bool free_after_unlock = CanFlock(kConf, LOCK_EX);
    checked.Send();
    const Report r = child.Wait();
    EXPECT_TRUE(free_after_unlock);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.ms, 0);
}

TEST_F(ConfigSysTest, ProgramsStartedByTheLockHolderDoNotInheritTheDescriptor) {
    Child child([] {
        Report r;
        r.rc = LockFile(kLockShared);
        const std::string cmd = "test ! -e /proc/$$/fd/" + std::to_string(cfg::LockDescriptor());
        r.ms = testutil::Run(cmd);
        return r;
    });
    const Report r = child.Wait();
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.ms, 0);
}

TEST_F(ConfigSysTest, OpenYieldingDescriptorZeroFailsOnceThenWorks) {
    Child child([] {
        close(0);
        Report r;
        const int first = LockFile(kLockShared);  // the open yields descriptor 0
        const int second = LockFile(kLockShared);
        r.rc = first == kCfgOpenFail && second == 0 && cfg::LockDescriptor() > 0
                   ? 0
                   : 100 + first * 10 + second;
        return r;
    });
    EXPECT_EQ(child.Wait().rc, 0);
}

TEST_F(ConfigSysTest, WriteUnderTheExclusiveLockKeepsFileAndLock) {
    ASSERT_EQ(chmod(kConf, 0640), 0);
    const long inode = cfgtest::Inode(kConf);
    Signal written, done;
    Child writer([&] {
        Report r;
        r.rc = LockFile(kLockExclusive);
        r.rc += WriteCFGData(paths::kConfigFile, paths::kConfigSection, "ip_addr", "10.0.0.5");
        r.rc += WriteCFGData(paths::kConfigFile, paths::kConfigSection, "gateway", "10.0.0.1");
        r.rc += WriteCFGData(paths::kConfigFile, "other", "a", "1");
        written.Send();
        done.Await();
        r.rc += UnLockFile();
        return r;
    });
    ASSERT_TRUE(written.Await());
    const bool locked = !CanFlock(kConf, LOCK_SH);
    done.Send();
    EXPECT_EQ(writer.Wait().rc, 0);
    EXPECT_TRUE(locked) << "the lock descriptor stays attached to the rewritten file";

    const std::string expected =
        "[network]\n"
        "gateway=10.0.0.1\n"
        "version=1.2.3\n"
        "disk_server_name=STORAGE\n"
        "ip_addr=10.0.0.5\n"
        "netmask=255.255.255.0\n"
        "[other]\n"
        "a=1\n";
    EXPECT_EQ(testutil::ReadFile(kConf), expected);
    EXPECT_EQ(cfgtest::Inode(kConf), inode);
    struct stat st {};
    ASSERT_EQ(stat(kConf, &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    // The fixed temporary file holds the copy of the last rewrite, private to root.
    ASSERT_EQ(stat(paths::kConfigTemp, &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(testutil::ReadFile(paths::kConfigTemp), expected.substr(0, expected.find("[other]")));
}

TEST_F(ConfigSysTest, ReadUnderTheSharedLock) {
    Child reader([] {
        Report r;
        char out[256];
        r.rc = LockFile(kLockShared);
        r.rc += ReadCFGData(paths::kConfigFile, paths::kConfigSection, "disk_server_name", out,
                            sizeof out);
        r.ms = std::string(out) == "STORAGE" ? 0 : -1;
        r.rc += UnLockFile();
        return r;
    });
    const Report r = reader.Wait();
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.ms, 0);
}

TEST_F(ConfigSysTest, WriteRefusesALinkAtTheTemporaryPath) {
    testutil::WriteFile("/tmp/precious", "precious\n", 0644);
    unlink(paths::kConfigTemp);
    ASSERT_EQ(symlink("/tmp/precious", paths::kConfigTemp), 0);
    EXPECT_EQ(WriteCFGData(paths::kConfigFile, paths::kConfigSection, "ip_addr", "10.0.0.9"),
              kCfgOpenFail);
    EXPECT_EQ(testutil::ReadFile("/tmp/precious"), "precious\n");
    EXPECT_EQ(testutil::ReadFile(kConf), kSeed);
    unlink(paths::kConfigTemp);
}

}  // namespace
