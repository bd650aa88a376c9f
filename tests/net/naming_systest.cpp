// Live interface data, default server name and the files that carry the server name, in the
// simulated appliance (real eth0, real kernel host name, real files and recorded calls).
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "net/net.h"
#include "tests/net/net_sim.h"

namespace {

using nettest::CallsOf;
using nettest::Inode;
using nettest::Mode;
using nettest::Sh;
using testutil::FileExists;
using testutil::ReadFile;
using testutil::WriteFile;

constexpr char kLocalhost[] = "127.0.0.1\tlocalhost\tlocalhost.localdomain\n";

NetInfo Current() {
    NetInfo info{};
    std::strcpy(info.bootproto, "static");
    EXPECT_EQ(NETReadCurrentNetworkData(&info), 0);
    return info;
}

TEST(CurrentNetwork, AddressMaskMacAndGatewayOfTheLiveInterface) {
    SKIP_OUTSIDE_SIM();
    NetInfo info = Current();
    EXPECT_STREQ(info.ifname, "eth0");
    EXPECT_STREQ(info.hwaddr, "00:C0:02:1A:2B:3C");
    EXPECT_STREQ(info.ipaddr, "192.168.0.2");
    EXPECT_STREQ(info.netmask, "255.255.255.0");
    EXPECT_STREQ(info.gateway, "0.0.0.0");  // only the direct route
    EXPECT_STREQ(info.bootproto, "static");

    Sh("ip route add default via 192.168.0.1 dev eth0");
    EXPECT_STREQ(Current().gateway, "192.168.0.1");

    // A gateway route on another interface is not the appliance's gateway.
    Sh("ip route del default; ip link add v0 type veth peer name v1; ip addr add 10.9.0.1/24 dev "
       "v0;"
       "ip link set v1 up; ip link set v0 up; ip route add default via 10.9.0.254 dev v0");
    ASSERT_NE(ReadFile("/proc/net/route").find("v0\t00000000\tFE00090A\t0003"), std::string::npos);
    EXPECT_STREQ(Current().gateway, "0.0.0.0");

    // No address, and a routing table of the heading alone.
    Sh("ip link del v0; ip addr flush dev eth0");
    ASSERT_EQ(testutil::CountLines(ReadFile("/proc/net/route")), 1);
    info = Current();
    EXPECT_STREQ(info.ipaddr, "0.0.0.0");
    EXPECT_STREQ(info.netmask, "0.0.0.0");
    EXPECT_STREQ(info.gateway, "0.0.0.0");
    EXPECT_STREQ(info.hwaddr, "00:C0:02:1A:2B:3C");
}

TEST(DefaultName, FromTheMacAndTheKernelHostName) {
    SKIP_OUTSIDE_SIM();
    char name[15];
    ASSERT_EQ(NETReadDefaultHostname(name), 0);
    EXPECT_STREQ(name, "JX1A2B3C");
    ASSERT_EQ(NETReadCurrentHostname(name), 0);
    EXPECT_STREQ(name, "JX1A2B3C");
    WriteFile("/proc/sys/kernel/hostname", "ABCDEFGHIJKLMNOPQRS");
    ASSERT_EQ(NETReadCurrentHostname(name), 0);
    EXPECT_STREQ(name, "ABCDEFGHIJKLMN");
    char id[18];
    EXPECT_EQ(NETReadHardwareID(id), 0);
    EXPECT_NE(std::strchr(id, '-'), nullptr);
}

TEST(DefaultNameFile, CreatedAndKeptInStepWithAMacChange) {
    SKIP_OUTSIDE_SIM();
    const std::string file = "/var/log/DEFHOSTNAME";
    ASSERT_FALSE(FileExists(file));
    ASSERT_EQ(NETWriteDefaultHostnameData(), 0);
    EXPECT_EQ(ReadFile(file), "JX1A2B3C\nJX1A2B3C\n");
    EXPECT_EQ(Mode(file), 0744u);
    EXPECT_TRUE(sim::WaitForSyslog("[TCPIP]::<<Create New Default Server Name file>>"));

    // The unit gets another MAC address: a name that followed the default follows it on, a
    // chosen one stays. Comments and leading spaces are ignored and gone afterwards.
    Sh("ip link set eth0 address 00:c0:02:aa:bb:cc");
    WriteFile(file, "JX1A2B3C\nJX1A2B3C\n");
    ASSERT_EQ(NETWriteDefaultHostnameData(), 0);
    EXPECT_EQ(ReadFile(file), "JXAABBCC\nJXAABBCC\n");
    WriteFile(file, "# names\n  JX000001\n#chosen\n   STORE1\nthird\n");
    ASSERT_EQ(NETWriteDefaultHostnameData(), 0);
    EXPECT_EQ(ReadFile(file), "JXAABBCC\nSTORE1\n");
    // Fewer than two lines: the missing ones read as empty and the file has two afterwards.
    WriteFile(file, "");
    ASSERT_EQ(NETWriteDefaultHostnameData(), 0);
    EXPECT_EQ(ReadFile(file), "JXAABBCC\nJXAABBCC\n");
}

TEST(SetHostname, TheNameReachesEveryFileTheKernelAndTheFileServer) {
    SKIP_OUTSIDE_SIM();
    WriteFile("/var/log/DEFHOSTNAME", "JX1A2B3C\nJX1A2B3C\n", 0744);
    WriteFile("/etc/hosts",
              std::string("# hosts\n") + kLocalhost +
                  "  192.168.0.2\tOLD\t192.168.0.2\n10.0.0.1\tother\n",
              0644);
    WriteFile("/etc/sysconfig/network", "NETWORKING=yes\n# c\n  HOSTNAME=OLD\nGATEWAY=\n", 0755);
    ino_t hosts_inode = Inode("/etc/hosts");
    sim::ClearLogs();

    char name[15] = "STORE1";
    ASSERT_EQ(NETSetHostname(name), 0);
    EXPECT_EQ(ReadFile("/var/log/DEFHOSTNAME"), "JX1A2B3C\nSTORE1\n");
    EXPECT_EQ(ReadFile("/etc/HOSTNAME"), "STORE1\n");
    EXPECT_EQ(Mode("/etc/HOSTNAME"), 0744u);
    EXPECT_EQ(ReadFile("/etc/hosts"),
              std::string(kLocalhost) + "192.168.0.2\tSTORE1\t192.168.0.2\n");
    EXPECT_EQ(Inode("/etc/hosts"), hosts_inode);
    EXPECT_EQ(Mode("/etc/hosts"), 0644u);
    // The resolver finds the appliance by its name and its address.
    EXPECT_EQ(Sh("getent hosts STORE1"), "192.168.0.2     STORE1 192.168.0.2\n");
    EXPECT_EQ(Sh("getent hosts 192.168.0.2"), "192.168.0.2     STORE1 192.168.0.2\n");
    EXPECT_EQ(ReadFile("/etc/sysconfig/network"), "NETWORKING=yes\nHOSTNAME=STORE1\nGATEWAY=\n");
    EXPECT_EQ(ReadFile("/etc/atalk/afpd.conf"), "STORE1 -guestname guest\n");
    EXPECT_EQ(ReadFile("/proc/sys/kernel/hostname"), "STORE1\n");
    EXPECT_EQ(sim::Calls(), "/bin/hostname STORE1\n/usr/bin/killall afpd\n/usr/sbin/afpd\n");
    EXPECT_EQ(Sh("ls /tmp | grep -c '^Ed' || true"), "0\n");  // temporary files removed
}

TEST(SetHostname, EmptyNameMeansTheDefaultAndAMissingDefaultFileIsCreated) {
    SKIP_OUTSIDE_SIM();
    WriteFile("/etc/sysconfig/network", "NETWORKING=yes\nHOSTNAME=OLD", 0755);  // unterminated
    char name[15] = {};
    ASSERT_EQ(NETSetHostname(name), 0);
    EXPECT_STREQ(name, "JX1A2B3C");
    EXPECT_EQ(ReadFile("/var/log/DEFHOSTNAME"), "JX1A2B3C\nJX1A2B3C\n");
    EXPECT_EQ(ReadFile("/etc/sysconfig/network"), "NETWORKING=yes\nHOSTNAME=JX1A2B3C\n");
    EXPECT_EQ(CallsOf("/bin/hostname"), std::vector<std::string>{"/bin/hostname JX1A2B3C"});
    EXPECT_TRUE(sim::WaitForSyslog("Open Default Server Name file fail - 1"));
}

// A name outside the server-name rule is refused whole: it is neither cut nor replaced, and
// no file, kernel name or program changes. An empty name, or a line feed first, stands for
// the default.
TEST(SetHostname, ANameOutsideTheRuleIsRefusedWholeAndChangesNothing) {
    SKIP_OUTSIDE_SIM();
    const std::string hosts = std::string(kLocalhost) + "192.168.0.2\tOLD\t192.168.0.2\n";
    WriteFile("/etc/hosts", hosts);
    WriteFile("/etc/HOSTNAME", "OLD\n", 0744);
    sim::ClearLogs();
    for (const char *bad : {"x;touch /tmp/p", "DISK ONE", "AB\n1.2.3.4\tCD", "-F/etc/shadow",
                            "12345", "NAS_2", "ab-"}) {
        char name[15] = {};
        std::snprintf(name, sizeof name, "%s", bad);
        EXPECT_EQ(NETSetHostname(name), -1) << bad;
        EXPECT_EQ(std::string(name), std::string(bad).substr(0, 14)) << "never replaced";
        EXPECT_FALSE(NETServerNameIsValid(bad)) << bad;
    }
    EXPECT_EQ(ReadFile("/etc/hosts"), hosts);
    EXPECT_EQ(ReadFile("/etc/HOSTNAME"), "OLD\n");
    EXPECT_FALSE(FileExists("/tmp/p"));
    EXPECT_EQ(sim::Calls(), "");
    EXPECT_TRUE(sim::WaitForSyslog("[TCPIP]::<<Input server name invalid, not applied>>"));

    char lf[15] = "\nEVIL";
    ASSERT_EQ(NETSetHostname(lf), 0);
    EXPECT_STREQ(lf, "JX1A2B3C");
    EXPECT_EQ(ReadFile("/proc/sys/kernel/hostname"), "JX1A2B3C\n");
    EXPECT_TRUE(NETServerNameIsValid(""));
    EXPECT_TRUE(NETServerNameIsValid("NAS-2"));
}

// A line of 256 or more characters is skipped whole: its tail is not taken for a line.
TEST(SetHostname, ALongLineOfTheHostsTableIsSkippedWhole) {
    SKIP_OUTSIDE_SIM();
    const std::string tail = "10.9.9.9\tTAIL\t10.9.9.9";
    WriteFile("/etc/hosts", std::string(300 - tail.size(), 'x') + tail + "\n" + kLocalhost +
                                "192.168.0.2\tOLD\t192.168.0.2\n");
    char name[15] = "NEW";
    ASSERT_EQ(NETSetHostname(name), 0);
    EXPECT_EQ(ReadFile("/etc/hosts"), std::string(kLocalhost) + "192.168.0.2\tNEW\t192.168.0.2\n");
}

TEST(HostsFile, ApplianceLineAddedAndNoAddressRefused) {
    SKIP_OUTSIDE_SIM();
    WriteFile("/var/log/DEFHOSTNAME", "JX1A2B3C\n", 0744);  // one line: completed
    WriteFile("/etc/hosts", kLocalhost);
    char name[15] = "NAS";
    ASSERT_EQ(NETWriteHostnameData(name), 0);
    EXPECT_EQ(ReadFile("/var/log/DEFHOSTNAME"), "JX1A2B3C\nNAS\n");
    EXPECT_EQ(ReadFile("/etc/hosts"), std::string(kLocalhost) + "192.168.0.2\tNAS\t192.168.0.2\n");

    // Last line without its line feed: kept, and line 2 replaced.
    WriteFile("/var/log/DEFHOSTNAME", "JX1A2B3C\nNAS");
    char other[15] = "NAS2";
    ASSERT_EQ(NETWriteHostnameData(other), 0);
    EXPECT_EQ(ReadFile("/var/log/DEFHOSTNAME"), "JX1A2B3C\nNAS2\n");

    Sh("ip addr flush dev eth0");
    WriteFile("/etc/hosts", kLocalhost);
    char third[15] = "NAS3";
    EXPECT_EQ(NETWriteHostnameData(third), -1);
    EXPECT_TRUE(sim::WaitForSyslog("Read Current TCP/IP null data"));
    EXPECT_EQ(ReadFile("/etc/HOSTNAME"), "NAS3\n");  // earlier steps stay done
    EXPECT_EQ(ReadFile("/etc/hosts"), kLocalhost);

    // Regenerated from the live data: always two lines, even without an address.
    ASSERT_EQ(NETUpdateNetworkHostsFile(), 0);
    EXPECT_EQ(ReadFile("/etc/hosts"), std::string(kLocalhost) + "0.0.0.0\tJX1A2B3C\t0.0.0.0\n");

    // A host name that an earlier firmware allowed keeps working: the table carries it whole.
    Sh("echo NAS_2.lan > /proc/sys/kernel/hostname; ip addr add 192.168.0.2/24 dev eth0");
    ASSERT_EQ(NETUpdateNetworkHostsFile(), 0);
    EXPECT_EQ(Sh("getent hosts NAS_2.lan"), "192.168.0.2     NAS_2.lan 192.168.0.2\n");
}

}  // namespace
