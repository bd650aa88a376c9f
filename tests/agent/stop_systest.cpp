// SIGTERM stops the agent within a second whatever it is waiting for, and the stop runs in
// full: socket closed, lock file gone, " Stop !" as the newest whole entry, exit status 15.
#include <sys/file.h>

#include "tests/agent/agent_sim.h"

namespace agentsim {
namespace {

using Clock = std::chrono::steady_clock;

class StopTest : public RunningAgentTest {
  protected:
    void SetUp() override {
        RunningAgentTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        ASSERT_TRUE(WaitFor([] { return EventLog().find("Start up !") != std::string::npos; }));
    }

    // SIGTERM now; checks the whole stop and that it came within a second (with room for a
    // loaded machine: without the safe stop these cases take tens of seconds or never end).
    void ExpectStopWithinASecond() {
        const pid_t pid = pid_;
        pid_ = 0;
        ASSERT_GT(pid, 1);
        const auto start = Clock::now();
        ASSERT_EQ(kill(pid, SIGTERM), 0);
        int status = -1;
        bool ended = false;
        while (!ended && Clock::now() - start < std::chrono::seconds(10)) {
            ended = waitpid(pid, &status, WNOHANG) == pid;
            if (!ended)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        const auto took = Clock::now() - start;
        ASSERT_TRUE(ended) << "the agent did not stop";
        EXPECT_LT(took, std::chrono::milliseconds(1500));
        ASSERT_TRUE(WIFEXITED(status)) << status;
        EXPECT_EQ(WEXITSTATUS(status), 15);
        EXPECT_FALSE(testutil::FileExists(kLock));
        EXPECT_FALSE(PortBound());
        const std::string log = EventLog();
        EXPECT_EQ(log.substr(20, 18), "confagent: Stop !\n") << log;
        for (std::size_t at = 0, next; at < log.size(); at = next + 1) {
            next = log.find('\n', at);
            ASSERT_NE(next, std::string::npos) << "a cut entry";
            EXPECT_EQ(log.compare(at + 20, 10, "confagent:"), 0) << log.substr(at, next - at);
        }
    }
};

TEST_F(StopTest, WhileWaitingForADatagram) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ExpectStopWithinASecond();
}

TEST_F(StopTest, WhileAScriptSleeps) {
    testutil::WriteFile(kPasswordScript, "#!/bin/sh\n: > /tmp/script-started\nexec sleep 30\n",
                        0755);
    Pc pc;
    pc.Send(Request(0x00, 1));  // identify asks the password script
    ASSERT_TRUE(WaitFor([] { return testutil::FileExists("/tmp/script-started"); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ExpectStopWithinASecond();
    EXPECT_TRUE(pc.Receive(200).empty()) << "stopped before answering";
}

TEST_F(StopTest, WhileWaitingForTheSettingsLock) {
    const int fd = open(kConfig, O_RDONLY);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    Pc pc;
    pc.Send(Request(0x10, 1));  // read settings: up to nine seconds of lock retries
    ASSERT_TRUE(WaitFor([] { return CountCalls("CGI_chk_save_pass.pl") == 1; })) << sim::Calls();
    // Inside the pauses of LockFile itself, which the agent does not control.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    ExpectStopWithinASecond();
    close(fd);
}

TEST_F(StopTest, WhileThePrinterTakesNoData) {
    PrinterPort port;  // nobody reads it: once its buffer is full, writes block
    ASSERT_TRUE(port.ok());
    ASSERT_GE(port.Shrink(4096), 4096);
    Pc pc;
    Bytes data = Request(0x20, 0, 512);
    proto::PutU16(data.data() + 6, 504);
    bool blocked = false;
    for (std::uint16_t seq = 1; seq < 40 && !blocked; ++seq) {
        proto::PutU16(data.data() + 4, seq);
        blocked = pc.Ask(data, 500).empty();
    }
    ASSERT_TRUE(blocked) << "the printer port never filled up";
    ExpectStopWithinASecond();
}

}  // namespace
}  // namespace agentsim
