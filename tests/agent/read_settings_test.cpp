// Packing of the read-settings reply from stored values.
#include "agent/read_settings.h"

#include <gtest/gtest.h>

#include <cstring>

#include "agent/agent.h"

namespace {

namespace st = proto::settings;

StoredSettings Sample() {
    StoredSettings s = {};
    std::snprintf(s.version, sizeof s.version, "1.2.3");
    std::snprintf(s.default_name, sizeof s.default_name, "JX1A2B3C");
    std::snprintf(s.server_name, sizeof s.server_name, "STORAGE14CHARS");
    std::snprintf(s.description, sizeof s.description, "%s", std::string(48, 'd').c_str());
    std::snprintf(s.bootproto, sizeof s.bootproto, "static");
    std::snprintf(s.ip_addr, sizeof s.ip_addr, "192.168.1.2");
    std::snprintf(s.netmask, sizeof s.netmask, "255.255.255.0");
    std::snprintf(s.gateway, sizeof s.gateway, "%s", "");
    std::snprintf(s.dhcp_server, sizeof s.dhcp_server, "yes");
    std::snprintf(s.dhcp_start_ip, sizeof s.dhcp_start_ip, "192.168.1.100");
    std::snprintf(s.dhcp_end_ip, sizeof s.dhcp_end_ip, "192.168.1.200");
    std::snprintf(s.workgroup, sizeof s.workgroup, "WORKGROUP");
    std::snprintf(s.zone, sizeof s.zone, "*");
    std::snprintf(s.time_zone, sizeof s.time_zone, "-5");
    std::snprintf(s.wins_enable, sizeof s.wins_enable, "yes");
    std::snprintf(s.wins_server, sizeof s.wins_server, "10.0.0.1");
    return s;
}

TEST(PackVersionTest, JoinsThreePiecesAsHex) {
    EXPECT_EQ(PackVersion("1.2.3"), 0x0123);
    EXPECT_EQ(PackVersion("1.2.3.4"), 0x0123);  // further pieces dropped
    EXPECT_EQ(PackVersion(""), 0);
    EXPECT_EQ(PackVersion("1..2.3"), 0x0123);  // empty pieces skipped
    EXPECT_EQ(PackVersion(".1.2."), 0x12);
    EXPECT_EQ(PackVersion("2.10.1"), 0x2101);
    EXPECT_EQ(PackVersion("12.34.56"), 0x3456);  // low 16 bits of 0x123456
    EXPECT_EQ(PackVersion("1.a.f"), 0x1AF);
}

TEST(PackSettingsTest, NamesVersionAndMac) {
    std::uint8_t reply[proto::kBufferSize] = {};
    const std::uint8_t mac[6] = {0x00, 0xC0, 0x02, 0x1A, 0x2B, 0x3C};
    const StoredSettings s = Sample();
    PackSettingsNames(reply, s, mac);
    EXPECT_EQ(reply[st::kOffVersion], 0x23);
    EXPECT_EQ(reply[st::kOffVersion + 1], 0x01);
    EXPECT_STREQ(reinterpret_cast<char *>(reply + st::kOffDefaultName), "JX1A2B3C");
    EXPECT_EQ(0, memcmp(reply + st::kOffMac, mac, 6));
    EXPECT_EQ(0, memcmp(reply + st::kOffServerName, "STORAGE14CHARS", 15));  // zero at 48
    EXPECT_EQ(reply[st::kOffDescription + 47], 'd');
    EXPECT_EQ(reply[st::kOffDescription + 48], 0);
    EXPECT_EQ(reply[st::kOffDate], 0);  // untouched
}

TEST(PackSettingsTest, DateKeepsLineFeedTimeGetsZero) {
    std::uint8_t reply[proto::kBufferSize];
    memset(reply, 0, sizeof reply);
    PackDateTime(reply, "12/07/2026\n", "08:05:09");
    EXPECT_EQ(0, memcmp(reply + 98, "12/07/2026\n", 11));
    EXPECT_EQ(0, memcmp(reply + 109, "08:05:09", 9));  // zero at 117
    EXPECT_EQ(reply[118], 0);

    // A time line with its own line feed, or overlong lines, never spill past their fields.
    memset(reply, 0xAA, sizeof reply);
    memset(reply + 98, 0, 20);
    PackDateTime(reply, "12/07/2026 and more\n", "08:05:09\n");
    EXPECT_EQ(0, memcmp(reply + 98, "12/07/2026 ", 11));
    EXPECT_EQ(reply[117], 0);
    EXPECT_EQ(reply[118], 0xAA);
}

TEST(PackSettingsTest, AddressesFlagsAndTimeZone) {
    std::uint8_t reply[proto::kBufferSize] = {};
    const StoredSettings s = Sample();
    const char *message = nullptr;
    ASSERT_EQ(PackSettingsAddresses(reply, s, &message), 0);
    EXPECT_EQ(reply[st::kOffAddressMode], 1);  // static
    const std::uint8_t ip[4] = {192, 168, 1, 2};
    EXPECT_EQ(0, memcmp(reply + st::kOffIp, ip, 4));
    const std::uint8_t zero[4] = {};
    EXPECT_EQ(0, memcmp(reply + st::kOffGateway, zero, 4));  // empty address
    EXPECT_EQ(reply[st::kOffDhcpServer], 0);                 // "yes" is 0
    EXPECT_EQ(reply[st::kOffDhcpEnd + 3], 200);
    EXPECT_STREQ(reinterpret_cast<char *>(reply + st::kOffWorkgroup), "WORKGROUP");
    EXPECT_STREQ(reinterpret_cast<char *>(reply + st::kOffZone), "*");
    const std::uint8_t tz[4] = {0xFB, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(0, memcmp(reply + st::kOffTimeZone, tz, 4));
    EXPECT_EQ(reply[st::kOffWinsEnable], 1);  // "yes" is 1
    EXPECT_EQ(reply[st::kOffWinsServer], 10);

    StoredSettings d = Sample();
    std::snprintf(d.bootproto, sizeof d.bootproto, "dhcp");
    std::snprintf(d.dhcp_server, sizeof d.dhcp_server, "no");
    std::snprintf(d.wins_enable, sizeof d.wins_enable, "no");
    std::uint8_t r2[proto::kBufferSize] = {};
    ASSERT_EQ(PackSettingsAddresses(r2, d, &message), 0);
    EXPECT_EQ(r2[st::kOffAddressMode], 0);
    EXPECT_EQ(r2[st::kOffDhcpServer], 1);
    EXPECT_EQ(r2[st::kOffWinsEnable], 0);
}

TEST(PackSettingsTest, BadAddressStopsWithItsMessage) {
    StoredSettings s = Sample();
    std::snprintf(s.netmask, sizeof s.netmask, "10.0.0.300");
    std::uint8_t reply[proto::kBufferSize] = {};
    const char *message = nullptr;
    EXPECT_EQ(PackSettingsAddresses(reply, s, &message), proto::kStTextToAddress);
    ASSERT_NE(message, nullptr);
    EXPECT_STREQ(message, " CMD 0x10, tran_DOTString_IPArea(netmask) fail");
    EXPECT_EQ(reply[st::kOffIp], 192);        // filled before
    EXPECT_EQ(reply[st::kOffNetmask], 0);     // the bad one stays zero
    EXPECT_EQ(reply[st::kOffDhcpServer], 0);  // not reached
    EXPECT_EQ(reply[st::kOffWorkgroup], 0);

    StoredSettings w = Sample();
    std::snprintf(w.wins_server, sizeof w.wins_server, "wins");
    std::uint8_t r2[proto::kBufferSize] = {};
    EXPECT_EQ(PackSettingsAddresses(r2, w, &message), proto::kStTextToAddress);
    EXPECT_STREQ(message, " CMD 0x10, tran_DOTString_IPArea(wins server ip) fail");
    EXPECT_EQ(r2[st::kOffWinsEnable], 1);
}

TEST(PrinterCountTest, CutToWhatTheDatagramHolds) {
    EXPECT_EQ(PrinterDataCount(0, 9), 0u);
    EXPECT_EQ(PrinterDataCount(1, 9), 0u);
    EXPECT_EQ(PrinterDataCount(5, 13), 4u);
    EXPECT_EQ(PrinterDataCount(100, 13), 4u);  // claims more than arrived
    EXPECT_EQ(PrinterDataCount(65535, 512), 503u);
    EXPECT_EQ(PrinterDataCount(3, 4), 0u);  // shorter than a header
}

}  // namespace
