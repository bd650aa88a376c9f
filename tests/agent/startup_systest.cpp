// The agent's start-up, single instance, daemon and SIGTERM, as installed in the appliance.
#include <sys/stat.h>

#include "tests/agent/agent_sim.h"

#ifndef NO_CLOSE_RANGE_SHIM
#error "NO_CLOSE_RANGE_SHIM (the path of the library without close_range) must be defined"
#endif

namespace agentsim {
namespace {

class StartupTest : public AgentSimTest {};

TEST_F(StartupTest, SingleInstanceWithALiveAgent) {
    ASSERT_EQ(StartAgent(), 0);
    ASSERT_GT(pid_, 0);
    EXPECT_EQ(testutil::ReadFile(kLock), std::to_string(pid_) + "\n");
    struct stat st {};
    ASSERT_EQ(stat(kLock, &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);

    // A second start ends at once with -1 and leaves the first one and its file alone.
    EXPECT_EQ(testutil::Run(kAgent), 255);
    EXPECT_EQ(LockPid(), pid_);
    EXPECT_EQ(kill(pid_, 0), 0);
    EXPECT_EQ(testutil::CountLines(EventLog()), 1);
    EXPECT_NE(EventLog().find("confagent: Start up !"), std::string::npos);
}

TEST_F(StartupTest, StaleEmptyAndGarbageLockFilesDoNotStopTheStart) {
    for (const char *content : {"999999\n", "", "garbage\n", "0\n", "-1\n"}) {
        SCOPED_TRACE(content);
        testutil::WriteFile(kLock, content, 0600);
        ASSERT_EQ(StartAgent(), 0);
        ASSERT_TRUE(WaitFor([this] { return PortBound(); }));
        EXPECT_GT(pid_, 1);
        EXPECT_EQ(testutil::ReadFile(kLock), std::to_string(pid_) + "\n");
        const int status = StopAgent();
        EXPECT_TRUE(WIFEXITED(status));
        EXPECT_TRUE(WaitFor([] { return !PortBound(); }));
    }
}

TEST_F(StartupTest, SigtermRemovesTheLockFileLogsAndExits15) {
    ASSERT_EQ(StartAgent(), 0);
    const int status = StopAgent();
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 15);
    EXPECT_FALSE(testutil::FileExists(kLock));
    const std::string log = EventLog();
    EXPECT_NE(log.find(" confagent: Stop !\n"), std::string::npos) << log;
    // Newest first: the stop above the start.
    EXPECT_LT(log.find("Stop !"), log.find("Start up !"));
}

TEST_F(StartupTest, DaemonKeepsStandardDescriptorsOnDevNullAndNothingElseInherited) {
    // A descriptor the starter leaves open must not reach the daemon.
    testutil::WriteFile("/tmp/inherited", "x");
    ASSERT_EQ(testutil::Run(std::string(kAgent) + " 7</tmp/inherited"), 0);
    ASSERT_TRUE(WaitFor([] { return PortBound() && LockPid() > 0; }));
    pid_ = LockPid();
    ASSERT_GT(pid_, 1);
    const std::string fd = "/proc/" + std::to_string(pid_) + "/fd/";
    for (int i = 0; i < 3; ++i) {
        char target[256] = {};
        ASSERT_GT(readlink((fd + std::to_string(i)).c_str(), target, sizeof target - 1), 0);
        EXPECT_STREQ(target, "/dev/null") << i;
    }
    ASSERT_TRUE(WaitFor([] { return EventLog().find("Start up !") != std::string::npos; }));
    for (int i = 3; i < 64; ++i) {
        char target[256] = {};
        if (readlink((fd + std::to_string(i)).c_str(), target, sizeof target - 1) > 0) {
            EXPECT_STRNE(target, "/tmp/inherited") << i;
        }
    }
    char cwd[256] = {};
    ASSERT_GT(readlink(("/proc/" + std::to_string(pid_) + "/cwd").c_str(), cwd, sizeof cwd - 1), 0);
    EXPECT_STREQ(cwd, "/");
}

// Kernels before 5.9 have no close_range: the daemon and its children close by the list of
// open descriptors instead.
TEST_F(StartupTest, NothingIsInheritedWhereCloseRangeIsMissing) {
    testutil::WriteFile("/tmp/inherited", "x");
    // The password check of identify runs this in place of the script: which descriptors does
    // a child of the daemon have?
    testutil::WriteFile(kPasswordScript, "#!/bin/sh\nls /proc/self/fd > /tmp/child-fds\n", 0755);
    ASSERT_EQ(testutil::Run(testutil::Cat({"LD_PRELOAD=", sim::TargetBuilt(NO_CLOSE_RANGE_SHIM),
                                           " ", kAgent}) +
                            " 7</tmp/inherited 9</tmp/inherited </dev/null >/dev/null 2>&1"),
              0);
    ASSERT_TRUE(WaitFor([] { return PortBound() && LockPid() > 0; }));
    pid_ = LockPid();
    ASSERT_TRUE(WaitFor([] { return EventLog().find("Start up !") != std::string::npos; }));
    ASSERT_NE(testutil::ReadFile("/proc/" + std::to_string(pid_) + "/maps").find("no_close_range"),
              std::string::npos);
    const std::string fd = "/proc/" + std::to_string(pid_) + "/fd/";
    for (int i = 3; i < 64; ++i) {
        char target[256] = {};
        if (readlink((fd + std::to_string(i)).c_str(), target, sizeof target - 1) > 0) {
            EXPECT_STRNE(target, "/tmp/inherited") << i;
        }
    }
    Pc pc;
    ASSERT_EQ(pc.Ask(Request(0x00, 1)).size(), 32u);
    // 0-2 and the one ls reads the folder with; not the socket, not 7 or 9.
    std::string fds = testutil::ReadFile("/tmp/child-fds");
    EXPECT_EQ(fds, "0\n1\n2\n3\n");
}

TEST_F(StartupTest, LockFileSymlinkIsNotFollowed) {
    ASSERT_EQ(symlink("/etc/victim", kLock), 0);
    ASSERT_EQ(testutil::Run(kAgent), 0);  // the parents exit 0; the daemon gives up
    ASSERT_TRUE(
        WaitFor([] { return EventLog().find("Cannot open lock file") != std::string::npos; }));
    EXPECT_FALSE(testutil::FileExists("/etc/victim"));
    EXPECT_FALSE(PortBound());
}

TEST_F(StartupTest, BindFailureIsLoggedAndCleansUp) {
    const int blocker = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(915);
    ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(testutil::Run(kAgent), 0);
    ASSERT_TRUE(WaitFor([] { return EventLog().find("Bind() fail") != std::string::npos; }));
    // The number is the appliance's CPU's own (125 on MIPS).
    EXPECT_NE(
        EventLog().find(" Bind() fail, errno[dec]=" + std::to_string(sim::TargetErrno(EADDRINUSE))),
        std::string::npos)
        << EventLog();
    EXPECT_TRUE(WaitFor([] { return !testutil::FileExists(kLock); }));
    close(blocker);
}

}  // namespace
}  // namespace agentsim
