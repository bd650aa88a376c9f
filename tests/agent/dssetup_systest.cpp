// dssetup from the PC side against the real agent.
#include <sys/file.h>

#include "tests/agent/agent_sim.h"
#include "tests/support/result_schema.h"

namespace agentsim {
namespace {

class DssetupTest : public RunningAgentTest {
  protected:
    // A shell command line on the PC side; *out is what it printed.
    static int Sh(const std::string &command, std::string *out) {
        out->clear();
        return sim::RunOnPc(command, out);
    }
    static int Pc(const std::string &args, std::string *out) {
        return Sh("dssetup " + args + " 2>&1", out);
    }
    // Standard output alone, for --json.
    static int PcJson(const std::string &args, std::string *out) {
        return Sh("dssetup " + args + " --json 2>/dev/null", out);
    }
    static double SecondsOf(const std::function<void()> &run) {
        const auto start = std::chrono::steady_clock::now();
        run();
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
};

TEST_F(DssetupTest, DiscoverAndShow) {
    std::string out;
    ASSERT_EQ(Pc("discover --timeout 0.5", &out), 0) << out;
    EXPECT_NE(out.find("00:C0:02:1A:2B:3C  192.168.0.2      JX1A2B3C        not set"),
              std::string::npos)
        << out;
    // The time-out is an upper bound: discover ends a quiet interval after the last answer.
    const double took = SecondsOf([&] { EXPECT_EQ(Pc("discover --timeout 30", &out), 0); });
    EXPECT_LT(took, 10.0) << out;

    ASSERT_EQ(PcJson("discover --timeout 0.5 --interface pc0", &out), 0) << out;
    auto j = testutil::ParsedResult(out);
    EXPECT_EQ(j["ok"], true);
    ASSERT_EQ(j["appliances"].size(), 1u) << out;
    EXPECT_EQ(j["appliances"][0]["hostname"], "JX1A2B3C");
    EXPECT_EQ(j["appliances"][0]["mac"], "00:C0:02:1A:2B:3C");
    EXPECT_EQ(j["appliances"][0]["password_set"], false);

    ASSERT_EQ(Pc("show 00:c0:02:1a:2b:3c", &out), 0) << out;
    for (const char *text : {"Server name:         STORAGE", "Firmware version:    1.2.3",
                             "Gateway:             0.0.0.0", "DHCP server:         on",
                             "AppleTalk zone:      Office Zone", "Time zone:           -5",
                             "WINS:                on", "Date:                "}) {
        EXPECT_NE(out.find(text), std::string::npos) << text << "\n" << out;
    }
    ASSERT_EQ(PcJson("show 192.168.0.2", &out), 0) << out;
    j = testutil::ParsedResult(out);
    EXPECT_EQ(j["status"], 0);
    EXPECT_EQ(j["ip_addr"], "192.168.0.2");
}

// Texts of the appliance are ISO 8859-1 bytes: shown as UTF-8, and set back unchanged.
TEST_F(DssetupTest, EightBitTextsAreShownAsUtf8) {
    std::string config = kKnownConfig;
    const std::string from = "disk_server_comment=Office disk";
    config.replace(config.find(from), from.size(), "disk_server_comment=B\xFCro \xA7 2");
    testutil::WriteFile(kConfig, config);
    std::string out;
    ASSERT_EQ(PcJson("show 192.168.0.2", &out), 0) << out;
    EXPECT_EQ(testutil::ParsedResult(out)["description"], "B\xC3\xBCro \xC2\xA7 2");
    ASSERT_EQ(Pc("show 192.168.0.2", &out), 0) << out;
    EXPECT_NE(out.find("Description:         B\xC3\xBCro \xC2\xA7 2\n"), std::string::npos) << out;
}

// A read that fails before the reply carries the MAC address is still reported as the
// appliance's answer when the appliance is named by its MAC address, not as silence.
TEST_F(DssetupTest, AFailedShowReportsTheStatusInWords) {
    ASSERT_EQ(unlink("/etc/CGI_ds.conf"), 0);
    std::string out;
    EXPECT_EQ(Pc("show 00:C0:02:1A:2B:3C --timeout 0.5", &out), 3);
    EXPECT_NE(out.find("dssetup show: the settings cannot be read: the appliance reported -308 "
                       "(the settings file cannot be opened)\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("DHCP server:"), std::string::npos) << "zeros shown as settings:\n" << out;
    EXPECT_EQ(PcJson("show 192.168.0.2", &out), 3);
    const auto j = testutil::ParsedResult(out);
    EXPECT_EQ(j["status"], -308);
    EXPECT_FALSE(j.contains("ip_addr")) << out;
}

// The agent waits about 9 s for a locked settings file before it says so; dssetup's default
// waits outlast that, sending the same request again meanwhile.
TEST_F(DssetupTest, ALockedSettingsFileIsReportedWithDefaultOptions) {
    const int fd = open(kConfig, O_RDONLY);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    std::string out;
    const int rc = Pc("show 192.168.0.2", &out);
    close(fd);
    EXPECT_EQ(rc, 3) << out;
    EXPECT_NE(out.find("-309 (the settings file is locked by another program)"), std::string::npos)
        << out;
}

TEST_F(DssetupTest, WhatTheNetworkKnowsIsSaidAtOnce) {
    std::string out;
    // No route: the send fails, said without waiting for any try.
    double took = SecondsOf([&] { EXPECT_EQ(Pc("show 10.1.2.3", &out), 1); });
    EXPECT_NE(out.find("dssetup show: 10.1.2.3 cannot be reached: no route to its network"),
              std::string::npos)
        << out;
    EXPECT_LT(took, 5.0);
    // The appliance's address, but nothing listening on that port: its "port unreachable".
    took = SecondsOf([&] { EXPECT_EQ(Pc("show 192.168.0.2 --port 916", &out), 1); });
    EXPECT_NE(out.find("nothing answers on UDP port 916 of 192.168.0.2"), std::string::npos) << out;
    EXPECT_LT(took, 5.0);
    EXPECT_EQ(PcJson("show 10.1.2.3", &out), 1);
    EXPECT_TRUE(testutil::ParsedResult(out)["status"].is_null());

    // A MAC address no appliance has: said as such, with the appliances that did answer.
    EXPECT_EQ(Pc("show 00:C0:02:00:00:01 --timeout 0.2 --tries 2", &out), 1);
    EXPECT_NE(out.find("dssetup show: no appliance with the MAC address 00:C0:02:00:00:01 "
                       "answered within 0.4 s; 1 other appliance did, dssetup discover lists "
                       "them"),
              std::string::npos)
        << out;
}

TEST_F(DssetupTest, PasswordsAndStatusWords) {
    std::string out;
    ASSERT_EQ(Sh("printf 'top secret\\n' | dssetup passwd 00:C0:02:1A:2B:3C 2>&1", &out), 0) << out;
    EXPECT_EQ(out, "Password set.\n");
    EXPECT_EQ(Sh("printf 'top secret\\n' | dssetup verify 192.168.0.2 2>&1", &out), 0) << out;
    EXPECT_EQ(out, "The password is right.\n");
    EXPECT_EQ(Sh("printf 'wrong\\n' | dssetup verify 192.168.0.2 2>&1", &out), 3);
    EXPECT_NE(out.find("dssetup verify: the appliance did not accept the password: it is wrong, "
                       "or its check did not finish in time (status -305)"),
              std::string::npos)
        << out;
    EXPECT_EQ(Sh("printf 'wrong\\n' | dssetup verify 192.168.0.2 --json", &out), 3);
    EXPECT_EQ(testutil::ParsedResult(out)["status"], -305);
    ASSERT_EQ(Pc("discover --timeout 0.3", &out), 0);
    EXPECT_NE(out.find("JX1A2B3C        set"), std::string::npos) << out;
    // Too long for the appliance: refused before anything is sent.
    EXPECT_EQ(Sh("printf '123456789012345\\n' | dssetup passwd 192.168.0.2 2>&1", &out), 2);
    // An empty password removes it, and is said so.
    ASSERT_EQ(Sh("printf '\\n' | dssetup passwd 192.168.0.2 2>&1", &out), 0) << out;
    EXPECT_EQ(out, "Password removed: the appliance has no password now.\n");
    ASSERT_EQ(Pc("discover --timeout 0.3", &out), 0);
    EXPECT_NE(out.find("JX1A2B3C        not set"), std::string::npos) << out;
    // The appliance is found before the password is asked for: a wrong target is said first.
    EXPECT_EQ(Pc("passwd 00:C0:02:00:00:01 --timeout 0.2 --tries 1 < /dev/null", &out), 1);
    EXPECT_NE(out.find("no appliance with the MAC address"), std::string::npos) << out;
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
    ASSERT_EQ(PcJson("print 192.168.0.2 /tmp/job.txt", &out), 0) << out;
    EXPECT_EQ(testutil::ParsedResult(out)["bytes"], 3000);
    EXPECT_EQ(port.Take(), data);
    unlink(PrinterPort::kPath);
    EXPECT_EQ(Pc("print 192.168.0.2 /tmp/job.txt", &out), 3);
    EXPECT_NE(out.find("printing stopped after 0 bytes: the appliance reported -307 (writing to "
                       "the printer failed)"),
              std::string::npos)
        << out;
    EXPECT_EQ(PcJson("print 192.168.0.2 /tmp/job.txt", &out), 3);
    EXPECT_EQ(testutil::ParsedResult(out)["status"], -307);
}

}  // namespace
}  // namespace agentsim
