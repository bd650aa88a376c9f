// Start-up decisions: the lock file's verdict and the bind failure messages.
#include <errno.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "agent/agent.h"

namespace {

TEST(LockFileTest, OnlyAPositiveLiveProcessIdCountsAsARunningAgent) {
    const std::string self = std::to_string(getpid());
    EXPECT_TRUE(LockLineNamesLiveAgent((self + "\n").c_str()));
    EXPECT_TRUE(LockLineNamesLiveAgent(self.c_str()));

    EXPECT_FALSE(LockLineNamesLiveAgent(""));
    EXPECT_FALSE(LockLineNamesLiveAgent("\n"));
    EXPECT_FALSE(LockLineNamesLiveAgent("0\n"));  // would probe our own process group
    EXPECT_FALSE(LockLineNamesLiveAgent("-1\n"));
    EXPECT_FALSE(LockLineNamesLiveAgent("garbage\n"));
    EXPECT_FALSE(LockLineNamesLiveAgent((self + "abc\n").c_str()));
    EXPECT_FALSE(LockLineNamesLiveAgent(" 12\n"));
    EXPECT_FALSE(LockLineNamesLiveAgent("99999999999999999999\n"));

    // A process that has ended.
    const pid_t child = fork();
    if (child == 0)
        _exit(0);
    waitpid(child, nullptr, 0);
    EXPECT_FALSE(LockLineNamesLiveAgent((std::to_string(child) + "\n").c_str()));
}

TEST(BindMessageTest, TextByErrorNumber) {
    char m[64];
    BindFailMessage(EACCES, m, sizeof m);
    EXPECT_STREQ(m, " Bind() fail, errno=EACCES");
    BindFailMessage(EINVAL, m, sizeof m);
    EXPECT_STREQ(m, " Bind() fail, errno=EINVAL ");
    BindFailMessage(ENOTSOCK, m, sizeof m);
    EXPECT_STREQ(m, " Bind() fail, errno=ENOTSOCK");
    BindFailMessage(EADDRINUSE, m, sizeof m);
    EXPECT_EQ(std::string(m), " Bind() fail, errno[dec]=" + std::to_string(EADDRINUSE));
}

}  // namespace
