// Fixed and DHCP addressing applied to the simulated appliance: files, the real interface and
// routes, the resolver, the LED and the calls, with a real DHCP server on the PC side.
#include <chrono>
#include <csignal>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "net/net.h"
#include "tests/net/net_sim.h"

namespace {

using nettest::CallsOf;
using nettest::Dns;
using nettest::Inode;
using nettest::Led;
using nettest::Net;
using nettest::Sh;
using testutil::FileExists;
using testutil::ReadFile;
using testutil::WriteFile;

constexpr char kIfcfg[] = "/etc/sysconfig/network-scripts/ifcfg-eth0";
constexpr char kNetwork[] = "/etc/sysconfig/network";
constexpr char kRestart[] = "/etc/rc.d/init.d/network restart";

bool Has(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

TEST(FixedAddress, FilesInterfaceRoutesResolverHostsAndLed) {
    SKIP_OUTSIDE_SIM();
    WriteFile(kNetwork,
              "# network settings\nNETWORKING=yes\n   HOSTNAME=JX1A2B3C\nGATEWAY=10.0.0.1\n"
              "\tKEEP=tab\nGATEWAYDEV=eth1\nGATEWAY=10.0.0.2\nLAST=unterminated",
              0755);
    ino_t network_inode = Inode(kNetwork);
    sim::ClearLogs();

    NetInfo info = Net("192.168.0.20", "255.255.255.0", "192.168.0.1", "static");
    DnsInfo dns = Dns("10.0.0.1", "", "10.0.0.3");
    std::strcpy(dns.domain, "ignored.lan");
    ASSERT_EQ(NETSetTCPIPNetwork(&info, &dns), 0);
    EXPECT_STREQ(info.bootproto, "none");

    EXPECT_EQ(ReadFile(kIfcfg),
              "DEVICE=eth0\nIPADDR=192.168.0.20\nNETMASK=255.255.255.0\nNETWORK=192.168.0.0\n"
              "BROADCAST=192.168.0.255\nONBOOT=yes\nBOOTPROTO=none\n");
    EXPECT_EQ(ReadFile(kNetwork),
              "NETWORKING=yes\nHOSTNAME=JX1A2B3C\nGATEWAY=192.168.0.1\n\tKEEP=tab\n"
              "GATEWAYDEV=eth0\nGATEWAY=192.168.0.1\nLAST=unterminated\n");
    EXPECT_EQ(Inode(kNetwork), network_inode);
    // The distribution's scripts source both files with a POSIX shell.
    EXPECT_EQ(Sh("sh -euc '. " + std::string(kIfcfg) + "; . " + kNetwork +
                 "; echo \"$DEVICE $IPADDR/$NETMASK $BOOTPROTO $ONBOOT $HOSTNAME $GATEWAY "
                 "$GATEWAYDEV $KEEP\"' 2>&1"),
              "eth0 192.168.0.20/255.255.255.0 none yes JX1A2B3C 192.168.0.1 eth0 tab\n");

    // The restarted network script applied it to the real interface.
    EXPECT_TRUE(Has(Sh("ip -4 addr show dev eth0"), "inet 192.168.0.20/24"));
    EXPECT_TRUE(Has(ReadFile("/proc/net/route"), "eth0\t00000000\t0100A8C0\t0003"));
    EXPECT_EQ(ReadFile("/etc/resolv.conf"), "nameserver 10.0.0.1\nnameserver 10.0.0.3\n");
    EXPECT_EQ(
        ReadFile("/etc/hosts"),
        "127.0.0.1\tlocalhost\tlocalhost.localdomain\n192.168.0.20\tJX1A2B3C\t192.168.0.20\n");
    EXPECT_EQ(Led(), "-fixip\n");
    EXPECT_EQ(sim::Calls(),
              std::string(kRestart) + "\n/usr/share/stowbox/public/PUB_set_led -fixip\n");
    EXPECT_TRUE(sim::WaitForSyslog("Check dhcpd.conf, file doesn't exist"));
}

TEST(FixedAddress, NoGatewayAppendsLinesAndRoutesThroughTheDevice) {
    SKIP_OUTSIDE_SIM();
    WriteFile(kNetwork, "NETWORKING=yes\nHOSTNAME=JX1A2B3C\n", 0755);
    NetInfo info = Net("192.168.0.7", "255.255.255.0", "0.0.0.0", "static");
    DnsInfo dns = Dns("", "", "");
    ASSERT_EQ(NETSetTCPIPNetwork(&info, &dns), 0);
    EXPECT_EQ(ReadFile(kNetwork), "NETWORKING=yes\nHOSTNAME=JX1A2B3C\nGATEWAY=\nGATEWAYDEV=eth0\n");
    EXPECT_EQ(CallsOf("/sbin/route"), std::vector<std::string>{"/sbin/route add default eth0"});
    EXPECT_TRUE(Has(ReadFile("/proc/net/route"), "eth0\t00000000\t00000000\t0001"));
    EXPECT_EQ(ReadFile("/etc/resolv.conf"), "");
}

TEST(FixedAddress, InvalidInputIsRefusedAndLeavesTheLedAlone) {
    SKIP_OUTSIDE_SIM();
    DnsInfo dns = Dns("", "", "");
    NetInfo info = Net("192.168.0.7", "255.255.255.0", "", "Static");
    EXPECT_EQ(NETSetTCPIPNetwork(&info, &dns), -1);
    info = Net("192.168.0.7", "255.255.255.0", "", "DHCP");
    EXPECT_EQ(NETSetTCPIPNetwork(&info, &dns), -1);
    EXPECT_TRUE(sim::WaitForSyslog("[TCPIP]::<<Input BootProto Invalid>>"));
    info = Net("0.0.0.0", "255.255.255.0", "", "static");
    EXPECT_EQ(NETSetTCPIPNetwork(&info, &dns), -8);
    info = Net("192.168.0.7", "0.0.0.0", "", "static");
    EXPECT_EQ(NETSetTCPIPNetwork(&info, &dns), -9);
    EXPECT_FALSE(FileExists("/var/lib/sim/led"));
    EXPECT_EQ(sim::Calls(), "");
    EXPECT_TRUE(Has(Sh("ip -4 addr show dev eth0"), "inet 192.168.0.2/24"));
}

TEST(DhcpAddress, LeaseFromThePcsServerWithItsResolverData) {
    SKIP_OUTSIDE_SIM();
    nettest::PcDhcpServer server;
    ASSERT_TRUE(server.running());
    NetInfo info = Net("192.168.0.2", "255.255.255.0", "", "dhcp");
    DnsInfo dns = Dns("10.0.0.9", "192.168.0.10", "");
    ASSERT_EQ(NETSetTCPIPNetwork(&info, &dns), 0);

    EXPECT_EQ(ReadFile(kIfcfg), "DEVICE=eth0\nONBOOT=yes\nBOOTPROTO=dhcp\n");
    std::string ip = info.ipaddr;
    EXPECT_EQ(ip.rfind("192.168.0.", 0), 0u) << ip;
    int last = std::atoi(ip.c_str() + std::strlen("192.168.0."));
    EXPECT_GE(last, 50);
    EXPECT_LE(last, 60);
    EXPECT_STREQ(info.gateway, "192.168.0.10");
    EXPECT_TRUE(Has(Sh("ip -4 addr show dev eth0"), "inet " + ip + "/24"));
    // Supplied server first, the user's behind it, the duplicate dropped, the domain kept.
    EXPECT_EQ(ReadFile("/etc/resolv.conf"),
              "domain sim.lan\nnameserver 192.168.0.10\nnameserver 10.0.0.9\n");
    EXPECT_EQ(CallsOf(kRestart).size(), 1u);
    EXPECT_EQ(CallsOf("/usr/share/stowbox/network/NET_SetHostname").size(), 1u);
    EXPECT_TRUE(CallsOf("/usr/share/stowbox/network/NET_RunTCPIPDefault").empty());
    EXPECT_EQ(Led(), "-nofixip\n");
    EXPECT_FALSE(Has(sim::Syslog(), "Get IP Address Fail"));
    EXPECT_TRUE(Has(ReadFile("/etc/hosts"), ip + "\tJX1A2B3C\t" + ip + "\n"));
}

TEST(DhcpAddress, NoServerAtEitherTryFallsBackToTheDefaults) {
    SKIP_OUTSIDE_SIM();
    NetInfo info = Net("192.168.0.2", "255.255.255.0", "", "dhcp");
    DnsInfo dns = Dns("10.0.0.9", "", "");
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(NETSetTCPIPNetwork(&info, &dns), 0);
    auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start)
            .count();
    EXPECT_GE(seconds, 10);

    ASSERT_TRUE(sim::WaitForSyslog("Get IP from DHCP server fail"));
    std::string log = sim::Syslog();
    size_t one = log.find("Get IP Address Fail - 1");
    size_t two = log.find("Get IP Address Fail - 2");
    size_t fallback = log.find("Get IP from DHCP server fail");
    ASSERT_NE(one, std::string::npos);
    ASSERT_NE(two, std::string::npos);
    ASSERT_NE(fallback, std::string::npos);
    EXPECT_LT(one, two);
    EXPECT_LT(two, fallback);
    EXPECT_EQ(sim::Calls(), std::string(kRestart) + "\n" + kRestart +
                                "\n/usr/share/stowbox/network/NET_RunTCPIPDefault\n"
                                "/usr/share/stowbox/network/NET_SetHostname\n"
                                "/usr/share/stowbox/public/PUB_set_led -getipfail\n");
    EXPECT_STREQ(info.ipaddr, "192.168.0.2");
    EXPECT_STREQ(info.netmask, "255.255.255.0");
    EXPECT_STREQ(dns.nameserver1, "");
    EXPECT_EQ(Led(), "-getipfail\n");
}

}  // namespace
