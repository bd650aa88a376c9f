// The telnet switch on the simulated appliance's internet super-server configuration.
#include <string>

#include <gtest/gtest.h>

#include "net/net.h"
#include "tests/net/net_sim.h"

namespace {

using nettest::CallsOf;
using nettest::Inode;
using nettest::Mode;
using testutil::ReadFile;
using testutil::WriteFile;

constexpr char kInetd[] = "/etc/inetd.conf";
constexpr char kTelnetLine[] = "telnet\tstream\ttcp\tnowait\troot\t/usr/sbin/tcpd\tin.telnetd\n";

TEST(Telnet, SwitchedOnTheComposedLineStandsAtTheEnd) {
    SKIP_OUTSIDE_SIM();
    WriteFile(kInetd,
              "# super-server\n#telnet\tstream\ttcp\tnowait\troot\t/usr/sbin/tcpd\tin.telnetd\n"
              "ftp\tstream\ttcp\tnowait\troot\t/usr/sbin/tcpd\tin.ftpd\n",
              0640);
    ino_t inode = Inode(kInetd);
    ASSERT_EQ(NETSetInetService("enable"), 0);
    std::string want =
        std::string("ftp\tstream\ttcp\tnowait\troot\t/usr/sbin/tcpd\tin.ftpd\n") + kTelnetLine;
    EXPECT_EQ(ReadFile(kInetd), want);
    EXPECT_EQ(Inode(kInetd), inode);
    EXPECT_EQ(Mode(kInetd), 0640u);
    ASSERT_EQ(NETSetInetService("enable"), 0);
    EXPECT_EQ(ReadFile(kInetd), want);  // still a single telnet line
    EXPECT_EQ(CallsOf("/etc/rc.d/init.d/inet").size(), 2u);

    // An active line in the middle moves to the end in the composed form.
    WriteFile(kInetd, "ftp x\ntelnet stream tcp wait root /bin/x\n  shell y\nlast z");
    ASSERT_EQ(NETSetInetService("enable"), 0);
    EXPECT_EQ(ReadFile(kInetd), std::string("ftp x\nshell y\nlast z\n") + kTelnetLine);
}

TEST(Telnet, SwitchedOffEveryTelnetLineGoesAndBadWordsChangeNothing) {
    SKIP_OUTSIDE_SIM();
    std::string content = std::string("ftp x\n") + kTelnetLine + "telnets y\n   telnet z\nsh q\n";
    WriteFile(kInetd, content);
    EXPECT_EQ(NETSetInetService("Enable"), -1);
    EXPECT_EQ(NETSetInetService(""), -1);
    EXPECT_EQ(ReadFile(kInetd), content);
    EXPECT_TRUE(CallsOf("/etc/rc.d/init.d/inet").empty());
    EXPECT_TRUE(sim::WaitForSyslog("Input Inet Service Invalid"));

    ASSERT_EQ(NETSetInetService("disable"), 0);
    EXPECT_EQ(ReadFile(kInetd), "ftp x\nsh q\n");
    EXPECT_EQ(CallsOf("/etc/rc.d/init.d/inet"),
              std::vector<std::string>{"/etc/rc.d/init.d/inet restart"});

    testutil::Run("rm -f /etc/inetd.conf");
    EXPECT_EQ(NETSetInetService("enable"), -2);
    EXPECT_FALSE(testutil::FileExists(kInetd));
}

}  // namespace
