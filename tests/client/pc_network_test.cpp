// This PC's routes and interfaces, and what they say about an appliance's new addressing.
#include "client/pc_network.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace dssetup;

std::uint32_t A(const char *dotted) {
    return HostAddress(dotted);
}

// A PC at 192.168.0.10/24 on eth0, with loopback; a default route through 192.168.0.1 when
// `routed`.
PcNetwork Pc(bool routed) {
    PcNetwork pc;
    pc.interfaces.push_back({"lo", 1, A("127.0.0.1"), A("255.0.0.0"), true, true, false});
    pc.interfaces.push_back({"eth0", 2, A("192.168.0.10"), A("255.255.255.0"), true, false, true});
    // As /proc/net/route has it: addresses in the bytes of memory, a down route, the header.
    std::string text =
        "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
        "eth0\t0000A8C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n"
        "eth0\t00000A0A\t0100A8C0\t0002\t0\t0\t0\t00FFFFFF\t0\t0\t0\n";
    if (routed) {
        text += "eth0\t00000000\t0100A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n";
    }
    pc.routes = ParseRoutes(text);
    return pc;
}

std::string Problems(const PcNetwork &pc, const char *now, const char *ip, const char *mask,
                     const char *gateway = "0.0.0.0") {
    std::string out;
    for (const Problem &p : ReachProblems(pc, PathTo(pc, A(now)), A(ip), A(mask), A(gateway))) {
        out += p.field + ": " + p.message + "\n";
    }
    return out;
}

TEST(PcNetworkTest, RoutesAndThePathToAnAddress) {
    const PcNetwork pc = Pc(true);
    ASSERT_EQ(pc.routes.size(), 2u) << "the route that is not up is left out";
    EXPECT_EQ(pc.routes[0].destination, A("192.168.0.0"));
    EXPECT_EQ(pc.routes[0].mask, A("255.255.255.0"));
    EXPECT_EQ(pc.routes[0].gateway, 0u);
    EXPECT_EQ(pc.routes[1].gateway, A("192.168.0.1"));
    EXPECT_EQ(pc.routes[1].metric, 100);

    PcPath p = PathTo(pc, A("192.168.0.2"));
    EXPECT_TRUE(p.found && p.gateway == 0 && p.interface == "eth0" && !p.loopback);
    EXPECT_EQ(p.source, A("192.168.0.10"));
    p = PathTo(pc, A("10.20.30.40"));
    EXPECT_TRUE(p.found && p.gateway == A("192.168.0.1") && p.interface == "eth0");
    EXPECT_EQ(p.source, A("192.168.0.10"));
    EXPECT_TRUE(PathTo(pc, A("127.0.0.1")).loopback);
    EXPECT_TRUE(PathTo(pc, A("192.168.0.10")).loopback) << "this PC itself";
    EXPECT_FALSE(PathTo(Pc(false), A("10.20.30.40")).found);
}

TEST(PcNetworkTest, NewAddressingThisPcWouldNotReach) {
    const PcNetwork alone = Pc(false), routed = Pc(true);
    // On the PC's LAN: a new address in its subnet, or a smaller subnet with a gateway, is fine.
    EXPECT_EQ(Problems(alone, "192.168.0.2", "192.168.0.20", "255.255.255.0"), "");
    EXPECT_EQ(Problems(alone, "192.168.0.2", "192.168.0.40", "255.255.255.240", "192.168.0.33"),
              "");
    EXPECT_EQ(Problems(alone, "192.168.0.2", "10.20.30.40", "255.255.255.0"),
              "ip: this PC has no route to 10.20.30.40: it could not reach the appliance there\n");
    EXPECT_EQ(Problems(routed, "192.168.0.2", "10.20.30.40", "255.255.255.0"),
              "ip: 10.20.30.40 is outside 192.168.0.0/24, the network of this PC's interface "
              "eth0 where the appliance is: this PC would not reach it there\n");
    EXPECT_EQ(Problems(alone, "192.168.0.2", "192.168.0.40", "255.255.255.240"),
              "netmask: this PC's address 192.168.0.10 would be outside the appliance's new "
              "subnet 192.168.0.32/28, which has no gateway: the appliance could not answer "
              "this PC\n");
    EXPECT_EQ(Problems(alone, "192.168.0.2", "192.168.0.10", "255.255.255.0"),
              "ip: 192.168.0.10 is this PC's own address (eth0)\n");
    // Behind a router: it needs a gateway to answer.
    EXPECT_EQ(Problems(routed, "10.10.0.5", "10.10.0.6", "255.255.255.0"),
              "gateway: the appliance is reached through the router 192.168.0.1; without a "
              "gateway it could not answer this PC (192.168.0.10)\n");
    EXPECT_EQ(Problems(routed, "10.10.0.5", "10.10.0.6", "255.255.255.0", "10.10.0.1"), "");
    // Reached through this PC's loopback (a relay): nothing to judge.
    EXPECT_EQ(Problems(alone, "127.0.0.1", "10.20.30.40", "255.255.255.0"), "");
}

TEST(PcNetworkTest, TheNeighbourTableTellsWhoAnswers) {
    const std::string arp =
        "IP address       HW type     Flags       HW address            Mask     Device\n"
        "192.168.0.20     0x1         0x2         52:54:00:12:34:56     *        eth0\n"
        "192.168.0.21     0x1         0x0         00:00:00:00:00:00     *        eth0\n"
        "192.168.0.22     0x1         0x2         52:54:00:aa:bb:cc     *        wlan0\n";
    Mac mac{};
    ASSERT_TRUE(ParseNeighbour(arp, A("192.168.0.20"), "eth0", &mac));
    EXPECT_EQ(FormatMac(mac.data()), "52:54:00:12:34:56");
    EXPECT_FALSE(ParseNeighbour(arp, A("192.168.0.21"), "eth0", &mac)) << "no answer (yet)";
    EXPECT_FALSE(ParseNeighbour(arp, A("192.168.0.22"), "eth0", &mac)) << "another link";
    EXPECT_FALSE(ParseNeighbour(arp, A("192.168.0.2"), "eth0", &mac));
}

}  // namespace
