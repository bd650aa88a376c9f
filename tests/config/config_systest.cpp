// The configuration store on the real /etc/CGI_ds.conf inside the simulated appliance: the
// locks between processes, and WriteCFGData with its fixed temporary file.
// Every LockFile runs in a child process (the lock descriptor is process-wide and never closed).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
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

    // The fixed temporary file holds the copy of the last change, with the file's mode; its
    // mark is empty again.
    ASSERT_EQ(stat(paths::kConfigTemp, &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(testutil::ReadFile(paths::kConfigTemp), expected);
    EXPECT_EQ(testutil::ReadFile(paths::kConfigMark), "");
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

// --- Crash safety at the real places ---------------------------------------------------------

// The state that a writer killed while copying leaves: the new contents in the marked
// temporary file, the file half overwritten.
constexpr char kNewContents[] =
    "[network]\n"
    "version=1.2.3\n"
    "disk_server_name=RENAMED\n"
    "ip_addr=192.168.0.2\n"
    "netmask=255.255.255.0\n";

void LeaveInterruptedChange() {
    testutil::WriteFile(kConf, std::string(kNewContents).substr(0, 30) + "\n", 0644);
    testutil::WriteFile(paths::kConfigTemp, kNewContents, 0644);
    struct stat st {};
    stat(kConf, &st);
    testutil::WriteFile(paths::kConfigMark,
                        std::to_string(std::strlen(kNewContents)) + " " +
                            std::to_string(st.st_dev) + " " + std::to_string(st.st_ino) + " " +
                            kConf + "\n",
                        0644);
}

// Every way into the store completes the change first: reads, writes, the lock, cfgsync at
// boot and the agent at its start.
TEST_F(ConfigSysTest, EveryStoreEntryCompletesAnInterruptedChange) {
    char out[64];
    LeaveInterruptedChange();
    ASSERT_EQ(ReadCFGData(kConf, "network", "disk_server_name", out, sizeof out), 0);
    EXPECT_STREQ(out, "RENAMED");
    EXPECT_EQ(testutil::ReadFile(kConf), kNewContents);
    EXPECT_EQ(testutil::ReadFile(paths::kConfigMark), "");

    LeaveInterruptedChange();
    ASSERT_EQ(WriteCFGData(kConf, "network", "version", "1.2.4"), 0);
    std::string expected = kNewContents;
    expected.replace(expected.find("1.2.3"), 5, "1.2.4");
    EXPECT_EQ(testutil::ReadFile(kConf), expected);

    LeaveInterruptedChange();
    Child locker([] {
        Report r;
        r.rc = LockFile(kLockShared);
        return r;
    });
    EXPECT_EQ(locker.Wait().rc, 0);
    EXPECT_EQ(testutil::ReadFile(kConf), kNewContents);

    LeaveInterruptedChange();
    testutil::Run("/usr/sbin/cfgsync 2>/dev/null");
    EXPECT_NE(testutil::ReadFile(kConf).find("disk_server_name=RENAMED\n"), std::string::npos)
        << testutil::ReadFile(kConf);

    LeaveInterruptedChange();
    ASSERT_EQ(testutil::Run("/usr/sbin/confagent"), 0);
    const auto started = [] {
        return testutil::ReadFile("/var/log/DS_log").find("confagent: Start up !") !=
               std::string::npos;
    };
    for (int i = 0; i < 500 && !started(); ++i) {
        usleep(10000);
    }
    EXPECT_TRUE(started());
    EXPECT_EQ(testutil::ReadFile(kConf), kNewContents) << "repaired at the agent's start";
    const pid_t agent = std::atoi(testutil::ReadFile("/var/lock/confagent").c_str());
    if (agent > 1) {
        kill(agent, SIGKILL);
    }
}

// A full disk (a small tmpfs over /etc): the write fails with -8 and every key keeps its value;
// with room again, it goes through.
TEST_F(ConfigSysTest, FullDiskFailsTheWriteAndKeepsEveryKey) {
    ASSERT_TRUE(sim::MountSmallTmpfs("/etc", 64));
    testutil::WriteFile(kConf, kSeed, 0644);
    ASSERT_EQ(WriteCFGData(kConf, "network", "version", "1.2.4"), 0);  // the copy exists
    const std::string before = testutil::ReadFile(kConf);
    ASSERT_TRUE(sim::FillDisk("/etc"));

    EXPECT_EQ(WriteCFGData(kConf, "network", "ip_addr", "10.1.2.3"), kCfgWriteFail);
    EXPECT_EQ(WriteCFGData(kConf, "network", "disk_server_comment", std::string(200, 'c').c_str()),
              kCfgWriteFail);
    EXPECT_EQ(testutil::ReadFile(kConf), before);
    const char *keys[] = {"version", "disk_server_name", "ip_addr", "netmask"};
    const char *values[] = {"1.2.4", "STORAGE", "192.168.0.2", "255.255.255.0"};
    for (int i = 0; i < 4; ++i) {
        char out[64];
        ASSERT_EQ(ReadCFGData(kConf, "network", keys[i], out, sizeof out), 0);
        EXPECT_STREQ(out, values[i]);
    }

    ASSERT_EQ(unlink("/etc/filler"), 0);
    EXPECT_EQ(WriteCFGData(kConf, "network", "ip_addr", "10.1.2.3"), 0);
    char out[64];
    ASSERT_EQ(ReadCFGData(kConf, "network", "ip_addr", out, sizeof out), 0);
    EXPECT_STREQ(out, "10.1.2.3");
}

}  // namespace
