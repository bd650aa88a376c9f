// Resolver file reading, name-server merging and the written text.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "net/net.h"
#include "net/net_internal.h"
#include "tests/support/test_util.h"

namespace {

DnsInfo Read(const std::string &content) {
    testutil::TempDir dir;
    std::string path = dir.file("resolv.conf");
    testutil::WriteFile(path, content);
    DnsInfo dns;
    std::memset(&dns, 'x', sizeof dns);
    EXPECT_EQ(NETReadDNSDataFrom(path.c_str(), &dns), 0);
    return dns;
}

DnsInfo Servers(const char *a, const char *b, const char *c) {
    DnsInfo dns{};
    std::strcpy(dns.nameserver1, a);
    std::strcpy(dns.nameserver2, b);
    std::strcpy(dns.nameserver3, c);
    return dns;
}

std::string Compose(const DnsInfo &dns, int boottype) {
    char out[1024];
    EXPECT_EQ(NETComposeDNSData(&dns, boottype, out, sizeof out), 0);
    return out;
}

TEST(ResolverRead, DomainFirstThreeServersIndentedAndCommentedLines) {
    DnsInfo dns = Read(
        "domain old.lan\nsearch example.lan\ndomain \t example.lan\n"
        "nameserver 10.0.0.1\n   nameserver\t10.0.0.2\n#nameserver 10.0.0.99\n"
        "nameserver 10.0.0.3\nnameserver 10.0.0.4\n");
    EXPECT_STREQ(dns.domain, "example.lan");
    EXPECT_STREQ(dns.nameserver1, "10.0.0.1");
    EXPECT_STREQ(dns.nameserver2, "10.0.0.2");
    EXPECT_STREQ(dns.nameserver3, "10.0.0.3");
}

TEST(ResolverRead, ValueIsTheRestOfTheLineCutAndUnterminatedLastLineRead) {
    DnsInfo dns = Read("nameserver 192.168.100.100 # mine\nnameserver 10.0.0.2");
    EXPECT_STREQ(dns.nameserver1, "192.168.100.100");  // cut to 15 characters
    EXPECT_STREQ(dns.nameserver2, "10.0.0.2");
    EXPECT_STREQ(dns.nameserver3, "");
    EXPECT_STREQ(Read("domain " + std::string(100, 'd') + "\n").domain,
                 std::string(80, 'd').c_str());

    DnsInfo missing;
    std::memset(&missing, 'x', sizeof missing);
    EXPECT_EQ(NETReadDNSDataFrom("/nonexistent/resolv.conf", &missing), 0);
    EXPECT_STREQ(missing.domain, "");
    EXPECT_STREQ(missing.nameserver1, "");
}

TEST(ResolverMerge, UserServersGoBehindTheSuppliedOnesWithoutDuplicates) {
    DnsInfo cur = Servers("10.0.0.1", "10.0.0.2", "");
    DnsInfo user = Servers("10.0.0.2", "0.0.0.0", "10.0.0.9");
    EXPECT_EQ(NETArrangeNetworkDNSData(&cur, &user), 0);
    EXPECT_STREQ(cur.nameserver1, "10.0.0.1");
    EXPECT_STREQ(cur.nameserver2, "10.0.0.2");
    EXPECT_STREQ(cur.nameserver3, "10.0.0.9");

    cur = Servers("", "", "");
    user = Servers("10.0.0.5", "10.0.0.5", "10.0.0.6");
    NETArrangeNetworkDNSData(&cur, &user);
    EXPECT_STREQ(cur.nameserver1, "10.0.0.5");
    EXPECT_STREQ(cur.nameserver2, "10.0.0.6");
    EXPECT_STREQ(cur.nameserver3, "");

    cur = Servers("1.1.1.1", "2.2.2.2", "3.3.3.3");
    user = Servers("4.4.4.4", "", "");
    NETArrangeNetworkDNSData(&cur, &user);
    EXPECT_STREQ(cur.nameserver3, "3.3.3.3");

    // First slot unset but the third set: counting starts at 0, so the third may be overwritten.
    cur = Servers("", "", "3.3.3.3");
    user = Servers("4.4.4.4", "5.5.5.5", "6.6.6.6");
    NETArrangeNetworkDNSData(&cur, &user);
    EXPECT_STREQ(cur.nameserver1, "4.4.4.4");
    EXPECT_STREQ(cur.nameserver2, "5.5.5.5");
    EXPECT_STREQ(cur.nameserver3, "6.6.6.6");
}

TEST(ResolverMerge, PutRefusesFullUnsetAndDuplicateServers) {
    DnsInfo dns = Servers("10.0.0.1", "", "");
    EXPECT_EQ(NETPutNetworkDNSData(&dns, "10.0.0.2", 3), -1);
    EXPECT_EQ(NETPutNetworkDNSData(&dns, "", 1), -1);
    EXPECT_EQ(NETPutNetworkDNSData(&dns, "0.0.0.0", 1), -1);
    EXPECT_EQ(NETPutNetworkDNSData(&dns, "10.0.0.1", 1), -1);
    EXPECT_EQ(NETPutNetworkDNSData(&dns, "10.0.0.2", 7), 0);
    EXPECT_STREQ(dns.nameserver2, "");
    EXPECT_EQ(NETPutNetworkDNSData(&dns, "10.0.0.2", 1), 0);
    EXPECT_STREQ(dns.nameserver2, "10.0.0.2");
}

TEST(ResolverWrite, DomainOnlyForDhcpValidServersOnlyAndNoControlCharacters) {
    DnsInfo dns = Servers("10.0.0.1", "0.0.0.0", "10.0.0.3");
    std::strcpy(dns.domain, "example.lan");
    EXPECT_EQ(Compose(dns, 1), "nameserver 10.0.0.1\nnameserver 10.0.0.3\n");
    EXPECT_EQ(Compose(dns, 2), "domain example.lan\nnameserver 10.0.0.1\nnameserver 10.0.0.3\n");
    dns.domain[0] = '\0';
    EXPECT_EQ(Compose(dns, 2), "nameserver 10.0.0.1\nnameserver 10.0.0.3\n");
    EXPECT_EQ(Compose(Servers("", "", ""), 1), "");

    // A line feed from outside never starts a line of its own.
    DnsInfo evil = Servers("10.0.0.1\nnamese", "\r", "");
    std::strcpy(evil.domain, "a.lan\nnameserver 6.6.6.6");
    EXPECT_EQ(Compose(evil, 2), "domain a.lan\nnameserver 10.0.0.1\n");

    char out[64];
    EXPECT_EQ(NETComposeDNSData(&dns, 3, out, sizeof out), -10);
    EXPECT_EQ(NETWriteNetworkDNSData(&dns, 0), -10);
}

}  // namespace
