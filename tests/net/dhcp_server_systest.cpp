// The built-in DHCP server in the simulated appliance: the real ISC dhcpd runs the written
// configuration and serves a DHCP client on the PC side.
#include <csignal>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "net/net.h"
#include "tests/net/net_sim.h"

namespace {

using nettest::CallsOf;
using nettest::Dns;
using nettest::Net;
using nettest::Sh;
using testutil::FileExists;
using testutil::ReadFile;
using testutil::WriteFile;

constexpr char kConf[] = "/etc/dhcpd.conf";
constexpr char kLeases[] = "/etc/dhcpd.leases";
constexpr char kStop[] = "/etc/rc.d/init.d/dhcpd stop";

DhcpServerInfo Server(const char *state, const char *start, const char *end) {
    DhcpServerInfo d{};
    std::strcpy(d.state, state);
    std::strcpy(d.start_ip, start);
    std::strcpy(d.end_ip, end);
    return d;
}

bool DhcpdAccepts(const std::string &path) {
    return testutil::Run("dhcpd -t -q -cf " + path + " >/dev/null 2>&1") == 0;
}

// dhcpd's own check of a lease file (with the configuration it goes with).
bool DhcpdAcceptsLeases(const std::string &path) {
    return testutil::Run("dhcpd -T -q -cf " + std::string(kConf) + " -lf " + path +
                         " >/dev/null 2>&1") == 0;
}

bool DhcpdRunning() {
    int pid = std::atoi(ReadFile("/run/dhcpd.pid").c_str());
    return pid > 0 && kill(pid, 0) == 0;
}

bool Has(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

TEST(DhcpServer, ServesItsRangeToThePcAndKeepsTheLeases) {
    SKIP_OUTSIDE_SIM();
    NetInfo info = Net("192.168.0.2", "255.255.255.0", "192.168.0.1", "static");
    DnsInfo dns = Dns("192.168.0.1", "10.0.0.1", "");
    DhcpServerInfo on = Server("enable", "192.168.0.100", "192.168.0.110");
    ASSERT_EQ(NETSetDHCPServer(&info, &dns, &on), 0);
    EXPECT_EQ(ReadFile(kConf),
              "subnet 192.168.0.0 netmask 255.255.255.0 {\n"
              "\trange 192.168.0.100 192.168.0.110;\n"
              "\toption subnet-mask 255.255.255.0;\n"
              "\toption broadcast-address 192.168.0.255;\n"
              "\toption routers 192.168.0.1;\n"
              "\toption domain-name-servers 192.168.0.1, 10.0.0.1;\n"
              "}\n");
    EXPECT_TRUE(DhcpdAccepts(kConf));
    ASSERT_TRUE(DhcpdRunning()) << ReadFile("/var/log/sim/dhcpd.log");

    std::string out;
    ASSERT_EQ(sim::RunOnPc("ip addr flush dev pc0; busybox udhcpc -i pc0 -n -q -t 4 -T 1 "
                           "-s /bin/true 2>&1",
                           &out),
              0)
        << out;
    EXPECT_TRUE(Has(out, "lease of 192.168.0.10")) << out;  // .100 to .110
    ASSERT_TRUE(Has(ReadFile(kLeases), "lease 192.168.0.10"));

    // Switching on again restarts the daemon; the lease it handed out stays recorded.
    ASSERT_EQ(NETSetDHCPServer(&info, &dns, &on), 0);
    EXPECT_TRUE(Has(ReadFile(kLeases), "lease 192.168.0.10"));
    EXPECT_EQ(NETCreateDHCPServerLeaseData(), 0);
    EXPECT_TRUE(Has(ReadFile(kLeases), "lease 192.168.0.10"));
    EXPECT_TRUE(DhcpdAcceptsLeases(kLeases)) << ReadFile(kLeases);

    // Off: the daemon stops and the configuration goes; off again: killall.
    DhcpServerInfo off = Server("disable", "", "");
    sim::ClearLogs();
    ASSERT_EQ(NETSetDHCPServer(&info, &dns, &off), 0);
    EXPECT_FALSE(FileExists(kConf));
    EXPECT_FALSE(DhcpdRunning());
    EXPECT_EQ(sim::Calls(), std::string(kStop) + "\n");
    ASSERT_EQ(NETSetDHCPServer(&info, &dns, &off), 0);
    EXPECT_EQ(CallsOf("/usr/bin/killall"), std::vector<std::string>{"/usr/bin/killall dhcpd"});
    EXPECT_TRUE(Has(ReadFile(kLeases), "lease 192.168.0.10"));
}

TEST(DhcpServer, RefusalsAndEveryWrittenVariantPassesDhcpd) {
    SKIP_OUTSIDE_SIM();
    NetInfo info = Net("192.168.0.2", "255.255.255.0", "192.168.0.1", "static");
    DnsInfo dns = Dns("", "", "");
    DhcpServerInfo on = Server("enable", "192.168.0.100", "192.168.0.200");
    ASSERT_EQ(NETSetDHCPServer(&info, &dns, &on), 0);
    std::string before = ReadFile(kConf);
    EXPECT_TRUE(DhcpdAcceptsLeases(kLeases)) << "the lease file it made";

    DhcpServerInfo outside = Server("enable", "192.168.0.100", "192.168.1.5");
    EXPECT_EQ(NETSetDHCPServer(&info, &dns, &outside), -1);
    EXPECT_TRUE(sim::WaitForSyslog("Set DHCP Server in different network"));
    EXPECT_EQ(ReadFile(kConf), before);
    DhcpServerInfo bad = Server("Enable", "192.168.0.100", "192.168.0.200");
    EXPECT_EQ(NETSetDHCPServer(&info, &dns, &bad), -1);
    EXPECT_TRUE(sim::WaitForSyslog("Input DHCP Server Invalid"));

    struct Variant {
        NetInfo net;
        DnsInfo dns;
        DhcpServerInfo range;
    } variants[] = {
        {Net("192.168.0.2", "255.255.255.0", "0.0.0.0", "static"), Dns("", "", ""),
         Server("enable", "192.168.0.100", "192.168.0.200")},
        {Net("192.168.0.2", "255.255.0.0", "", "static"), Dns("0.0.0.0", "10.0.0.2", ""),
         Server("enable", "192.168.0.100", "192.168.1.200")},
        {Net("192.168.0.2", "255.255.255.0", "192.168.0.1", "none"),
         Dns("10.0.0.1", "10.0.0.2", "10.0.0.3"),
         Server("enable", "192.168.0.200", "192.168.0.100")},
    };
    for (Variant &v : variants) {
        ASSERT_EQ(NETSetDHCPServer(&v.net, &v.dns, &v.range), 0);
        EXPECT_TRUE(DhcpdAccepts(kConf)) << ReadFile(kConf);
    }

    // A DHCP client serves no addresses, whatever the switch says.
    sim::ClearLogs();
    NetInfo client = Net("0.0.0.0", "0.0.0.0", "", "dhcp");
    ASSERT_EQ(NETSetDHCPServer(&client, &dns, &on), 0);
    EXPECT_FALSE(FileExists(kConf));
    EXPECT_EQ(sim::Calls(), std::string(kStop) + "\n");
}

TEST(DhcpServer, CheckStopsTheDaemonWhenTheSubnetNoLongerFits) {
    SKIP_OUTSIDE_SIM();
    NetInfo info = Net("192.168.0.2", "255.255.255.0", "", "static");
    DnsInfo dns = Dns("", "", "");
    DhcpServerInfo on = Server("enable", "192.168.0.100", "192.168.0.200");
    ASSERT_EQ(NETSetDHCPServer(&info, &dns, &on), 0);
    ASSERT_TRUE(DhcpdRunning());
    sim::ClearLogs();

    NetInfo same = Net("192.168.0.9", "255.255.255.0", "", "none");
    EXPECT_EQ(NETCheckDHCPServer(&same), 0);
    EXPECT_EQ(sim::Calls(), "");
    EXPECT_TRUE(DhcpdRunning());

    NetInfo other_mask = Net("10.0.0.5", "255.0.0.0", "", "none");
    EXPECT_EQ(NETCheckDHCPServer(&other_mask), 0);
    EXPECT_TRUE(sim::WaitForSyslog("Compare dhcpd's netmask mismatch"));
    EXPECT_EQ(sim::Calls(), std::string(kStop) + "\n");
    EXPECT_FALSE(DhcpdRunning());
    EXPECT_TRUE(FileExists(kConf));  // the check never removes the file

    sim::ClearLogs();
    NetInfo other_net = Net("192.168.5.2", "255.255.255.0", "", "static");
    EXPECT_EQ(NETCheckDHCPServer(&other_net), 0);
    EXPECT_TRUE(sim::WaitForSyslog("Compare dhcpd's network mismatch"));
    EXPECT_EQ(CallsOf(kStop).size(), 1u);

    sim::ClearLogs();
    NetInfo unknown = Net("192.168.5.2", "255.255.255.0", "", "bootp");
    EXPECT_EQ(NETCheckDHCPServer(&unknown), 0);
    NetInfo client = Net("0.0.0.0", "0.0.0.0", "", "dhcp");
    EXPECT_EQ(NETCheckDHCPServer(&client), 0);
    EXPECT_EQ(sim::Calls(), std::string(kStop) + "\n");

    WriteFile(kConf, "subnet 192.168.0.0 {\n}\n");
    EXPECT_EQ(NETCheckDHCPServer(&same), -1);
    EXPECT_TRUE(sim::WaitForSyslog("Get dhcpd's data fail"));
    Sh("rm -f /etc/dhcpd.conf");
    EXPECT_EQ(NETCheckDHCPServer(&same), 0);
    EXPECT_TRUE(sim::WaitForSyslog("Check dhcpd.conf, file doesn't exist"));
}

}  // namespace
