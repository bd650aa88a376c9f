// dssetup from the PC side against the real agent.
#include "tests/agent/agent_sim.h"

namespace agentsim {
namespace {

class DssetupTest : public AgentSimTest {
  protected:
    void SetUp() override {
        AgentSimTest::SetUp();
        if (IsSkipped())
            return;
        ASSERT_EQ(StartAgent(), 0);
    }
    static int Pc(const std::string &args, std::string *out) {
        return sim::RunOnPc("dssetup " + args + " 2>&1", out);
    }
};

TEST_F(DssetupTest, DiscoverAndShow) {
    std::string out;
    ASSERT_EQ(Pc("discover --timeout 0.5", &out), 0) << out;
    EXPECT_NE(out.find("00:C0:02:1A:2B:3C  192.168.0.2      JX1A2B3C        not set"),
              std::string::npos)
        << out;
    ASSERT_EQ(Pc("discover --timeout 0.5 --interface pc0 --json", &out), 0) << out;
    EXPECT_NE(out.find("\"hostname\": \"JX1A2B3C\""), std::string::npos) << out;

    ASSERT_EQ(Pc("show 00:c0:02:1a:2b:3c", &out), 0) << out;
    for (const char *text : {"Server name:         STORAGE", "Firmware version:    1.2.3",
                             "Gateway:             0.0.0.0", "DHCP server:         on",
                             "AppleTalk zone:      Office Zone", "Time zone:           -5",
                             "WINS:                on", "Date:                "}) {
        EXPECT_NE(out.find(text), std::string::npos) << text << "\n" << out;
    }
    ASSERT_EQ(Pc("show 192.168.0.2 --json", &out), 0) << out;
    EXPECT_NE(out.find("\"ip_addr\": \"192.168.0.2\""), std::string::npos) << out;

    // A MAC that no appliance has: no answer, non-zero exit.
    EXPECT_NE(Pc("show 00:C0:02:00:00:01 --timeout 0.2 --tries 2", &out), 0);
    EXPECT_NE(out.find("no reply"), std::string::npos) << out;
}

// A read that fails before the reply carries the MAC address is still reported as the
// appliance's answer when the appliance is named by its MAC address, not as silence.
TEST_F(DssetupTest, AFailedShowReportsTheStatusInWords) {
    ASSERT_EQ(unlink("/etc/CGI_ds.conf"), 0);
    std::string out;
    EXPECT_EQ(Pc("show 00:C0:02:1A:2B:3C --timeout 0.5", &out), 1);
    EXPECT_NE(out.find("-308 (the settings file cannot be opened)"), std::string::npos) << out;
    EXPECT_EQ(out.find("DHCP server:"), std::string::npos) << "zeros shown as settings:\n" << out;
    EXPECT_EQ(Pc("show 192.168.0.2 --json", &out), 1);
    EXPECT_NE(out.find("-308"), std::string::npos) << out;
}

TEST_F(DssetupTest, PasswordsAndStatusWords) {
    std::string out;
    ASSERT_EQ(sim::RunOnPc("printf 'top secret\\n' | dssetup passwd 00:C0:02:1A:2B:3C 2>&1", &out),
              0)
        << out;
    EXPECT_EQ(sim::RunOnPc("printf 'top secret\\n' | dssetup verify 192.168.0.2 2>&1", &out), 0)
        << out;
    EXPECT_EQ(sim::RunOnPc("printf 'wrong\\n' | dssetup verify 192.168.0.2 2>&1", &out), 1);
    EXPECT_NE(out.find("-305 (the password is wrong"), std::string::npos) << out;
    EXPECT_EQ(sim::RunOnPc("printf 'wrong\\n' | dssetup verify 192.168.0.2 --json", &out), 1);
    EXPECT_NE(out.find("\"ok\": false"), std::string::npos) << out;
    ASSERT_EQ(Pc("discover --timeout 0.3", &out), 0);
    EXPECT_NE(out.find("JX1A2B3C        set"), std::string::npos) << out;
    // Too long for the appliance: refused before anything is sent.
    EXPECT_EQ(sim::RunOnPc("printf '123456789012345\\n' | dssetup passwd 192.168.0.2 2>&1", &out),
              2);
}

TEST_F(DssetupTest, PrintAFile) {
    PrinterPort port;
    ASSERT_TRUE(port.ok());
    std::string data;
    for (int i = 0; i < 3000; ++i) data += static_cast<char>('a' + i % 26);
    testutil::WriteFile("/tmp/job.txt", data);
    std::string out;
    ASSERT_EQ(Pc("print 00:C0:02:1A:2B:3C /tmp/job.txt", &out), 0) << out;
    EXPECT_EQ(port.Take(), data);
    unlink(PrinterPort::kPath);
    EXPECT_EQ(Pc("print 192.168.0.2 /tmp/job.txt", &out), 1);
    EXPECT_NE(out.find("writing to the printer failed"), std::string::npos) << out;
}

}  // namespace
}  // namespace agentsim
