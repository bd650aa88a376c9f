// The lock logic on a temporary file through cfg::LockFileAt, which is LockFile with
// the path named (LockFile itself is tested on /etc/CGI_ds.conf in locks_systest.cpp). Every
// LockFileAt runs in a child process: the lock descriptor is process-wide and never closed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <string>

#include "config/cfg.h"
#include "config/cfg_internal.h"
#include "tests/config/process_helpers.h"
#include "tests/support/test_util.h"

namespace {

using cfgtest::CanFlock;
using cfgtest::Child;
using cfgtest::Report;
using cfgtest::Signal;

class LocksTest : public ::testing::Test {
  protected:
    void SetUp() override { testutil::WriteFile(path_, "[network]\nip_addr=1.2.3.4\n"); }

    testutil::TempDir dir_;
    std::string path_ = dir_.file("CGI_ds.conf");
};

TEST_F(LocksTest, TwoProcessesHoldTheSharedLockTogether) {
    Signal first_locked, second_done;
    const char *p = path_.c_str();
    Child first([&] {
        Report r;
        r.rc = cfg::LockFileAt(p, kLockShared);
        first_locked.Send();
        second_done.Await();  // hold it while the second one locks
        return r;
    });
    ASSERT_TRUE(first_locked.Await());
    Child second([&] {
        Report r = cfgtest::Timed([&] { return cfg::LockFileAt(p, kLockShared); });
        // Both hold it now: an exclusive lock is out of reach for a third process.
        r.ms = CanFlock(p, LOCK_EX) ? -2 : r.ms;
        return r;
    });
    const Report s = second.Wait();
    second_done.Send();
    const Report f = first.Wait();
    EXPECT_EQ(f.rc, 0);
    EXPECT_EQ(s.rc, 0);
    EXPECT_GE(s.ms, 0) << "a third process got LOCK_EX while both held LOCK_SH";
    EXPECT_LT(s.ms, 500) << "no waiting";
}

TEST_F(LocksTest, ExclusiveLockIsObtainedWhenReleasedDuringTheRetries) {
    const int holder = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    const char *p = path_.c_str();
    Child locker(
        [&] { return cfgtest::Timed([&] { return cfg::LockFileAt(p, kLockExclusive); }); });
    usleep(300 * 1000);
    flock(holder, LOCK_UN);
    const Report r = locker.Wait();
    close(holder);
    EXPECT_EQ(r.rc, 0);
    EXPECT_GE(r.ms, 900) << "the second try comes one second after the first";
    EXPECT_LT(r.ms, 1900);
}

TEST_F(LocksTest, MissingFileFailsThenALaterCallOpensAgain) {
    const std::string missing = dir_.file("absent.conf");
    Child child([&] {
        Report r;
        const int first = cfg::LockFileAt(missing.c_str(), kLockShared);
        const int fd_after_failure = cfg::LockDescriptor();
        testutil::WriteFile(missing, "[network]\n");
        const int second = cfg::LockFileAt(missing.c_str(), kLockShared);
        r.rc = first == kCfgOpenFail && fd_after_failure <= 0 && second == 0 &&
                       cfg::LockDescriptor() > 2
                   ? 0
                   : 100 + first * 10 + second;
        return r;
    });
    EXPECT_EQ(child.Wait().rc, 0);
}

TEST_F(LocksTest, UnlockThenLockReusesTheDescriptor) {
    const char *p = path_.c_str();
    Signal unlocked, checked, relocked, done;
    Child child([&] {
        Report r;
        r.rc = cfg::LockFileAt(p, kLockExclusive);
        const int fd = cfg::LockDescriptor();
        r.rc += UnLockFile();
        unlocked.Send();
        checked.Await();
        // Not opened again: it even works after the file's name is gone.
        unlink(p);
        r.rc += cfg::LockFileAt(p, kLockShared);
        r.ms = cfg::LockDescriptor() == fd ? 0 : -1;
        relocked.Send();
        done.Await();
        return r;
    });
    ASSERT_TRUE(unlocked.Await());
    const bool free_after_unlock = CanFlock(p, LOCK_EX);
    checked.Send();
    ASSERT_TRUE(relocked.Await());
    done.Send();
    const Report r = child.Wait();
    EXPECT_TRUE(free_after_unlock) << "UnLockFile releases the lock";
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.ms, 0) << "the same descriptor is used again";
}

TEST_F(LocksTest, SharedLockConvertsToExclusive) {
    const char *p = path_.c_str();
    Child child([&] {
        Report r;
        r.rc = cfg::LockFileAt(p, kLockShared);
        r.rc += cfg::LockFileAt(p, kLockExclusive);
        r.ms = CanFlock(p, LOCK_SH) ? -1 : 0;
        return r;
    });
    const Report r = child.Wait();
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.ms, 0) << "the lock became exclusive";
}

TEST_F(LocksTest, AnyOtherModeIsExclusive) {
    const char *p = path_.c_str();
    Child child([&] {
        Report r;
        r.rc = cfg::LockFileAt(p, 7);
        r.ms = CanFlock(p, LOCK_SH) ? -1 : 0;
        return r;
    });
    const Report r = child.Wait();
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.ms, 0);
}

TEST_F(LocksTest, DescriptorIsCloseOnExec) {
    const char *p = path_.c_str();
    Child child([&] {
        Report r;
        r.rc = cfg::LockFileAt(p, kLockShared);
        const int fd = cfg::LockDescriptor();
        const int flags = fcntl(fd, F_GETFD);
        r.ms = (flags >= 0 && (flags & FD_CLOEXEC) != 0) ? 0 : -1;
        // And an executed program really does not have it.
        const std::string cmd = "test ! -e /proc/$$/fd/" + std::to_string(fd);
        if (r.ms == 0 && testutil::Run(cmd) != 0) {
            r.ms = -2;
        }
        return r;
    });
    const Report r = child.Wait();
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.ms, 0);
}

TEST_F(LocksTest, LockStaysOnTheFileAcrossWrites) {
    const char *p = path_.c_str();
    const std::string temp = dir_.file("tmp");
    Signal written, done;
    Child child([&] {
        Report r;
        r.rc = cfg::LockFileAt(p, kLockExclusive);
        r.rc += cfg::WriteCFGDataWithTemp(p, temp.c_str(), "network", "ip_addr", "10.0.0.5");
        r.rc += cfg::WriteCFGDataWithTemp(p, temp.c_str(), "network", "gateway", "10.0.0.1");
        written.Send();
        done.Await();
        return r;
    });
    ASSERT_TRUE(written.Await());
    const bool blocked = !CanFlock(p, LOCK_SH);
    done.Send();
    EXPECT_EQ(child.Wait().rc, 0);
    EXPECT_TRUE(blocked) << "the exclusive lock still holds the rewritten file";
    EXPECT_EQ(testutil::ReadFile(path_), "[network]\ngateway=10.0.0.1\nip_addr=10.0.0.5\n");
}

TEST_F(LocksTest, UnlockByHandleAndLockByHandleWhenFree) {
    const int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(LockFileByHandle(fd), 0);
    EXPECT_FALSE(CanFlock(path_.c_str(), LOCK_SH));
    EXPECT_EQ(UnLockFileByHandle(fd), 0);
    EXPECT_TRUE(CanFlock(path_.c_str(), LOCK_EX));
    close(fd);
}

}  // namespace
