// The command runner: results, time-out, abandoned commands, no leaked descriptors.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "agent/agent.h"
#include "common/process.h"
#include "tests/support/test_util.h"

namespace {

using Clock = std::chrono::steady_clock;

TEST(CommandRunnerTest, ResultsOfTheShell) {
    EXPECT_EQ(mySystem("exit 0", 5), 0);
    const int one = mySystem("exit 1", 5);
    ASSERT_NE(one, 0);
    EXPECT_TRUE(WIFEXITED(one));
    EXPECT_EQ(WEXITSTATUS(one), 1);
    EXPECT_EQ(alarm(0), 0u) << "no alarm may stay pending";
    EXPECT_EQ(RunShell("exit 3"), 3 << 8);
    // Text with quotes and semicolons is the shell's to interpret: the runner passes it whole.
    testutil::TempDir dir;
    EXPECT_EQ(mySystem(("echo 'a;b' > " + dir.file("out")).c_str(), 5), 0);
    EXPECT_EQ(testutil::ReadFile(dir.file("out")), "a;b\n");
}

TEST(CommandRunnerTest, TimeOutLeavesTheCommandRunningAndLaterCallsWork) {
    testutil::TempDir dir;
    const std::string flag = dir.file("done");
    const auto start = Clock::now();
    const int rc = mySystem(("sleep 2; touch " + flag).c_str(), 1);
    const auto waited = Clock::now() - start;
    EXPECT_EQ(rc, kRunnerTimeout);
    EXPECT_GE(waited, std::chrono::milliseconds(900));
    EXPECT_LT(waited, std::chrono::milliseconds(1900));
    EXPECT_EQ(alarm(0), 0u);
    EXPECT_FALSE(testutil::FileExists(flag));

    // The runner is usable again at once.
    EXPECT_EQ(mySystem("exit 0", 5), 0);

    // The abandoned command finishes by itself and is then reaped: no zombie stays.
    for (int i = 0; i < 100 && !testutil::FileExists(flag); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(testutil::FileExists(flag));
    int reaped = 0;
    for (int i = 0; i < 100 && reaped == 0; ++i) {
        reaped = ReapAbandoned();
        if (reaped == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(reaped, 1);
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "no child left";
}

TEST(CommandRunnerTest, CommandsInheritNoDescriptorBeyondTheStandardOnes) {
    // A descriptor of the agent opened without close-on-exec (as a lock may be).
    const int fd = open("/dev/null", O_RDONLY);
    ASSERT_GE(fd, 3);
    const std::string probe = "test -e /proc/$$/fd/" + std::to_string(fd);
    EXPECT_NE(mySystem(probe.c_str(), 5), 0);
    EXPECT_EQ(mySystem("test -e /proc/$$/fd/1", 5), 0);
    close(fd);
}

TEST(CommandRunnerTest, ChildrenGetTheMask022WhileTheAgentKeeps0) {
    testutil::TempDir dir;
    const mode_t saved = umask(0);
    const std::string made = dir.file("made");
    EXPECT_EQ(mySystem(("umask > " + dir.file("m1") + "; : > " + made).c_str(), 5), 0);
    EXPECT_EQ(RunShell(("umask > " + dir.file("m2")).c_str()), 0);
    // The library's service commands, once the agent has put its runner behind them.
    set_system_runner(RunShell);
    EXPECT_EQ(run_system(("umask > " + dir.file("m3")).c_str()), 0);
    set_system_runner(nullptr);
    EXPECT_EQ(umask(saved), 0u) << "the agent's own mask is untouched";
    for (const char *name : {"m1", "m2", "m3"}) {
        EXPECT_EQ(testutil::ReadFile(dir.file(name)), "0022\n") << name;
    }
    struct stat st {};
    ASSERT_EQ(stat(made.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
}

}  // namespace
