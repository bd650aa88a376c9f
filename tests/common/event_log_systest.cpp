// The event log at its fixed place, as the agent writes it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "common/event_log.h"
#include "common/paths.h"
#include "tests/support/sim_env.h"
#include "tests/support/test_util.h"

namespace {

// The first line of a text, without its line feed.
std::string FirstLine(const std::string &text) {
    return text.substr(0, text.find('\n'));
}

class EventLogSystem : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!sim::Inside()) {
            GTEST_SKIP() << "runs in the simulated appliance";
        }
        unlink(paths::kEventLog);
        unlink(paths::kEventLogTemp);
    }
    static std::string Log() { return testutil::ReadFile(paths::kEventLog); }
};

TEST_F(EventLogSystem, MissingLogIsCreatedWithMode0644) {
    const mode_t old = umask(027);
    const int result = SetLogMsg("confagent", " Start up !");
    umask(old);
    ASSERT_EQ(result, 0);
    struct stat st {};
    ASSERT_EQ(stat(paths::kEventLog, &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    const std::string log = Log();
    EXPECT_EQ(testutil::CountLines(log), 1);
    ASSERT_GE(log.size(), 20u);
    EXPECT_EQ(log.substr(20), "confagent: Start up !\n");
    EXPECT_TRUE(testutil::FileExists(paths::kEventLogTemp));  // left in place
}

TEST_F(EventLogSystem, TimeOfTheEntryAlsoGoesToTheSystemLog) {
    ASSERT_EQ(SetLogMsg("confagent", " x"), 0);
    const std::string time_text = Log().substr(11, 8);
    EXPECT_TRUE(sim::WaitForSyslog(time_text)) << sim::Syslog();
}

TEST_F(EventLogSystem, NewestEntryFirst) {
    ASSERT_EQ(SetLogMsg("confagent", " one"), 0);
    ASSERT_EQ(SetLogMsg("confagent", " two"), 0);
    const std::string log = Log();
    ASSERT_EQ(testutil::CountLines(log), 2);
    EXPECT_EQ(FirstLine(log).substr(20), "confagent: two");
    EXPECT_NE(log.find("confagent: one\n"), std::string::npos);
    EXPECT_LT(log.find("confagent: two"), log.find("confagent: one"));
}

TEST_F(EventLogSystem, FullLogDropsTheOldestLine) {
    std::string old;
    for (int i = 1; i <= 1000; ++i) {
        old += "old " + std::to_string(i) + "\n";
    }
    testutil::WriteFile(paths::kEventLog, old);
    ASSERT_EQ(SetLogMsg("confagent", " new"), 0);
    const std::string log = Log();
    EXPECT_EQ(testutil::CountLines(log), 1000);
    EXPECT_EQ(FirstLine(log).substr(20), "confagent: new");
    const std::string rest = log.substr(log.find('\n') + 1);
    EXPECT_EQ(rest, old.substr(0, old.find("old 1000\n")));
}

TEST_F(EventLogSystem, LimitsOfSourceAndMessage) {
    const std::string source16(16, 's');
    const std::string message80(80, 'm');
    ASSERT_EQ(SetLogMsg(source16.c_str(), message80.c_str()), 0);
    const std::string before = Log();
    EXPECT_EQ(FirstLine(before).substr(20), source16 + ":" + message80);

    EXPECT_EQ(SetLogMsg((source16 + "s").c_str(), "m"), 1);
    EXPECT_EQ(SetLogMsg("confagent", (message80 + "m").c_str()), 1);
    EXPECT_EQ(Log(), before);
}

TEST_F(EventLogSystem, EmptyMessage) {
    ASSERT_EQ(SetLogMsg("confagent", ""), 0);
    EXPECT_EQ(Log().substr(20), "confagent:\n");
}

// The one slow case: another process holds the lock for longer than the three tries.
TEST_F(EventLogSystem, LockHeldElsewhereGivesUpAfterThreeSeconds) {
    testutil::WriteFile(paths::kEventLog, "kept line\n");
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t holder = fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        int fd = open(paths::kEventLog, O_RDONLY);
        if (fd < 0 || flock(fd, LOCK_EX) != 0) {
            _exit(1);
        }
        if (write(ready[1], "x", 1) != 1) {
            _exit(1);
        }
        sleep(30);  // until killed
        _exit(0);
    }
    close(ready[1]);
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    close(ready[0]);

    const auto start = std::chrono::steady_clock::now();
    const int result = SetLogMsg("confagent", " blocked");
    const auto waited = std::chrono::steady_clock::now() - start;
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);

    EXPECT_EQ(result, -5);
    EXPECT_GE(waited, std::chrono::milliseconds(2900));
    EXPECT_LT(waited, std::chrono::seconds(10));
    EXPECT_EQ(Log(), "kept line\n");
    // With the lock free again, logging works.
    EXPECT_EQ(SetLogMsg("confagent", " free"), 0);
}

}  // namespace
