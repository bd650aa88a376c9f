// Texts of the interface file and of the DHCP server configuration, and the subnet reader that
// checks a running DHCP server.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "net/net.h"
#include "net/net_internal.h"
#include "tests/support/test_util.h"

namespace {

NetInfo Net(const char *ip, const char *mask, const char *gw, const char *proto) {
    NetInfo n{};
    std::strcpy(n.ifname, "eth0");
    std::strcpy(n.ipaddr, ip);
    std::strcpy(n.netmask, mask);
    std::strcpy(n.gateway, gw);
    std::strcpy(n.bootproto, proto);
    return n;
}

DnsInfo Dns(const char *a, const char *b, const char *c) {
    DnsInfo d{};
    std::strcpy(d.nameserver1, a);
    std::strcpy(d.nameserver2, b);
    std::strcpy(d.nameserver3, c);
    return d;
}

DhcpServerInfo Range(const char *start, const char *end) {
    DhcpServerInfo d{};
    std::strcpy(d.state, "enable");
    std::strcpy(d.start_ip, start);
    std::strcpy(d.end_ip, end);
    return d;
}

std::string Ifcfg(const NetInfo &n) {
    char out[1024];
    EXPECT_EQ(NETComposeTCPIPData(&n, out, sizeof out), 0);
    return out;
}

TEST(InterfaceFile, FixedAddressWithNetworkAndBroadcast) {
    EXPECT_EQ(Ifcfg(Net("192.168.1.20", "255.255.255.0", "", "none")),
              "DEVICE=eth0\nIPADDR=192.168.1.20\nNETMASK=255.255.255.0\nNETWORK=192.168.1.0\n"
              "BROADCAST=192.168.1.255\nONBOOT=yes\nBOOTPROTO=none\n");
    EXPECT_EQ(Ifcfg(Net("10.1.2.3", "255.255.0.0", "", "none")),
              "DEVICE=eth0\nIPADDR=10.1.2.3\nNETMASK=255.255.0.0\nNETWORK=10.1.0.0\n"
              "BROADCAST=10.1.255.255\nONBOOT=yes\nBOOTPROTO=none\n");
}

TEST(InterfaceFile, DhcpHasThreeLinesAndControlCharactersNeverAddLines) {
    EXPECT_EQ(Ifcfg(Net("0.0.0.0", "0.0.0.0", "0.0.0.0", "dhcp")),
              "DEVICE=eth0\nONBOOT=yes\nBOOTPROTO=dhcp\n");
    std::string text = Ifcfg(Net("10.0.0.1\nX=1", "255.0.0.0", "", "none"));
    EXPECT_NE(text.find("IPADDR=10.0.0.1\nNETMASK="), std::string::npos);
    EXPECT_EQ(text.find("X=1"), std::string::npos);
}

// The file is read by shell scripts: of a stored address text only its address part goes in.
TEST(InterfaceFile, OnlyTheAddressPartOfAnAddressTextIsWritten) {
    std::string text = Ifcfg(Net("10.0.0.1;reboot", "255.0.0.0 $(x)", "", "none"));
    EXPECT_NE(text.find("IPADDR=10.0.0.1\nNETMASK=255.0.0.0\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("reboot"), std::string::npos);
    EXPECT_EQ(text.find("$(x)"), std::string::npos);
}

TEST(ResolverFile, OnlyTheAddressPartOfAServerIsWritten) {
    char out[1024];
    DnsInfo d = Dns("10.0.0.1 options", "x10.0.0.2", "10.0.0.3");
    ASSERT_EQ(NETComposeDNSData(&d, 1, out, sizeof out), 0);
    EXPECT_STREQ(out, "nameserver 10.0.0.1\nnameserver 10.0.0.3\n");
}

std::string Conf(const NetInfo &n, const DnsInfo &d, const DhcpServerInfo &r, int want_rc = 0) {
    char out[1024] = "untouched";
    EXPECT_EQ(NETComposeDHCPServerConf(&n, &d, &r, out, sizeof out), want_rc);
    return out;
}

TEST(DhcpServerConf, RangeOutsideTheNetworkIsRefusedAndWiderMaskAccepted) {
    NetInfo n = Net("192.168.0.10", "255.255.255.0", "192.168.0.1", "none");
    EXPECT_EQ(Conf(n, Dns("", "", ""), Range("192.168.0.100", "192.168.1.5"), -1), "untouched");
    EXPECT_EQ(Conf(n, Dns("", "", ""), Range("192.168.1.100", "192.168.0.5"), -1), "untouched");
    n = Net("192.168.0.10", "255.255.0.0", "0.0.0.0", "none");
    std::string text = Conf(n, Dns("", "", ""), Range("192.168.0.100", "192.168.1.200"));
    EXPECT_EQ(text,
              "subnet 192.168.0.0 netmask 255.255.0.0 {\n"
              "\trange 192.168.0.100 192.168.1.200;\n"
              "\toption subnet-mask 255.255.0.0;\n"
              "\toption broadcast-address 192.168.255.255;\n"
              "}\n");
}

TEST(DhcpServerConf, OptionalLinesAndServerList) {
    NetInfo n = Net("192.168.0.2", "255.255.255.0", "", "static");
    std::string text =
        Conf(n, Dns("0.0.0.0", "10.0.0.2", ""), Range("192.168.0.50", "192.168.0.60"));
    EXPECT_EQ(text.find("routers"), std::string::npos);
    EXPECT_NE(text.find("\toption domain-name-servers 10.0.0.2;\n"), std::string::npos);
    text = Conf(n, Dns("", "", ""), Range("192.168.0.50", "192.168.0.60"));
    EXPECT_EQ(text.find("domain-name-servers"), std::string::npos);
}

TEST(DhcpServerConf, NoTextEndsAStatementOrAddsOne) {
    NetInfo n = Net("192.168.0.2", "255.255.255.0", "192.168.0.1;rm", "static");
    std::string text = Conf(n, Dns("10.0.0.2; x", "", ""), Range("192.168.0.50", "192.168.0.60"));
    EXPECT_NE(text.find("\toption routers 192.168.0.1;\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\toption domain-name-servers 10.0.0.2;\n"), std::string::npos);
    EXPECT_EQ(text.find(";rm"), std::string::npos);
    EXPECT_EQ(text.find("; x"), std::string::npos);
}

TEST(DhcpServerSubnet, ReadsTheLastSubnetLineAndNeedsTheNetmaskWord) {
    testutil::TempDir dir;
    std::string path = dir.file("dhcpd.conf");
    char subnet[16];
    char mask[16];
    testutil::WriteFile(
        path,
        "# subnet 1.1.1.1 netmask 1.1.1.1 {\nsubnet 10.0.0.0 netmask 255.0.0.0 {\n"
        "\trange 10.0.0.5 10.0.0.9;\n}\n  subnet   192.168.0.0 netmask 255.255.255.0 {\n"
        "}\n");
    EXPECT_EQ(NETReadDHCPServerSubnet(path.c_str(), subnet, mask), 0);
    EXPECT_STREQ(subnet, "192.168.0.0");
    EXPECT_STREQ(mask, "255.255.255.0");

    testutil::WriteFile(path, "subnet 192.168.0.0 {\n}\n");
    EXPECT_EQ(NETReadDHCPServerSubnet(path.c_str(), subnet, mask), 0);
    EXPECT_STREQ(subnet, "192.168.0.0");
    EXPECT_STREQ(mask, "");

    // Two spaces before "netmask": not the layout that is written, so no netmask.
    testutil::WriteFile(path, "subnet 192.168.0.0  netmask 255.255.255.0 {\n");
    EXPECT_EQ(NETReadDHCPServerSubnet(path.c_str(), subnet, mask), 0);
    EXPECT_STREQ(mask, "");

    EXPECT_EQ(NETReadDHCPServerSubnet("/nonexistent/dhcpd.conf", subnet, mask), -1);
}

}  // namespace
