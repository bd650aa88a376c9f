// dssetup: requests as the agent reads them, replies as the agent builds them.
#include "client/wire.h"

#include "client/settings_json.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using namespace dssetup;

TEST(WireTest, MacAndAddressText) {
    Mac mac{};
    ASSERT_TRUE(ParseMac("00:c0:02:1A:2B:3C", &mac));
    EXPECT_EQ(mac[1], 0xC0);
    EXPECT_EQ(mac[5], 0x3C);
    EXPECT_EQ(FormatMac(mac.data()), "00:C0:02:1A:2B:3C");
    EXPECT_TRUE(ParseMac("00-C0-02-1A-2B-3C", &mac));
    EXPECT_FALSE(ParseMac("00:C0:02:1A:2B", &mac));
    EXPECT_FALSE(ParseMac("00:C0-02:1A:2B:3C", &mac));
    EXPECT_FALSE(ParseMac("00:C0:02:1A:2B:3G", &mac));

    in_addr a{};
    EXPECT_TRUE(ParseIpv4("192.168.0.2", &a));
    EXPECT_EQ(ntohl(a.s_addr), 0xC0A80002u);
    EXPECT_FALSE(ParseIpv4("192.168.0", &a));
    EXPECT_FALSE(ParseIpv4("192.168.0.256", &a));
    EXPECT_FALSE(ParseIpv4("192.168..2", &a));
    EXPECT_FALSE(ParseIpv4("00:C0:02:1A:2B:3C", &a));
}

TEST(WireTest, PasswordRequestLayoutCutsAt14) {
    Mac mac{};
    ParseMac("00:C0:02:1A:2B:3C", &mac);
    const Bytes b = BuildPassword(proto::kCmdVerifyPassword, 0x1234, mac, "abcdefghijklmnopq");
    ASSERT_EQ(b.size(), 29u);
    EXPECT_EQ(proto::GetU16(b.data()), 0x13);
    EXPECT_EQ(proto::GetU16(b.data() + 4), 0x1234);
    EXPECT_EQ(0, memcmp(b.data() + 8, mac.data(), 6));
    EXPECT_EQ(0, memcmp(b.data() + 14, "abcdefghijklmn", 14));
    EXPECT_EQ(b[28], 0);
}

TEST(WireTest, PrinterChunksAsTheAgentReadsThem) {
    std::uint8_t data[600];
    for (int i = 0; i < 600; ++i) data[i] = static_cast<std::uint8_t>(i);
    const Bytes b = BuildPrinterData(5, data, 600);
    ASSERT_EQ(b.size(), 9u + 502u);
    EXPECT_EQ(proto::GetU16(b.data()), 0x20);
    EXPECT_EQ(proto::GetU16(b.data() + 6), 503);  // n = data bytes + 1
    EXPECT_EQ(0, memcmp(b.data() + 9, data, 502));
    const Bytes one = BuildPrinterData(6, data, 1);
    EXPECT_EQ(one.size(), 10u);
    EXPECT_EQ(proto::GetU16(one.data() + 6), 2);
}

TEST(WireTest, ReplyMatching) {
    Bytes r(10, 0);
    proto::PutHeader(r.data(), proto::SetupHeader{0x20, 0, 77, 2});
    EXPECT_TRUE(IsReplyTo(r.data(), r.size(), 0x20, 77));
    EXPECT_FALSE(IsReplyTo(r.data(), r.size(), 0x20, 78));
    EXPECT_FALSE(IsReplyTo(r.data(), r.size(), 0x21, 77));
    EXPECT_FALSE(IsReplyTo(r.data(), 9, 0x20, 77));  // shorter than its length field
    EXPECT_FALSE(IsReplyTo(r.data(), 4, 0x20, 77));
}

Bytes SettingsReply() {
    namespace st = proto::settings;
    Bytes r(st::kDatagram, 0);
    proto::PutHeader(r.data(), proto::SetupHeader{0x10, 0, 1, st::kPayload});
    r[st::kOffPasswordFlag] = 1;
    proto::PutU16(r.data() + st::kOffVersion, 0x0123);
    memcpy(r.data() + st::kOffDefaultName, "JX1A2B3C", 8);
    const std::uint8_t mac[6] = {0x00, 0xC0, 0x02, 0x1A, 0x2B, 0x3C};
    memcpy(r.data() + st::kOffMac, mac, 6);
    memcpy(r.data() + st::kOffServerName, "FULLNAME14CHAR", 14);
    memcpy(r.data() + st::kOffDescription, "Office \"disk\"\n", 14);
    memcpy(r.data() + st::kOffDate, "12/07/2026\n", 11);
    memcpy(r.data() + st::kOffTime, "08:05:09", 8);
    r[st::kOffAddressMode] = 1;
    const std::uint8_t ip[4] = {192, 168, 0, 2};
    memcpy(r.data() + st::kOffIp, ip, 4);
    r[st::kOffDhcpServer] = 0;
    memcpy(r.data() + st::kOffWorkgroup, "WORKGROUP", 9);
    memset(r.data() + st::kOffZone, 'z', 32);
    proto::PutI32(r.data() + st::kOffTimeZone, -5);
    r[st::kOffWinsEnable] = 0;
    return r;
}

TEST(WireTest, SettingsDecodedWithTheFlagsSenses) {
    SettingsInfo s;
    const Bytes r = SettingsReply();
    ASSERT_TRUE(DecodeSettings(r.data(), r.size(), &s));
    EXPECT_EQ(s.status, 0);
    EXPECT_TRUE(s.password_set);
    EXPECT_EQ(FormatVersion(s.version), "1.2.3");
    EXPECT_EQ(s.server_name, "FULLNAME14CHAR");
    EXPECT_EQ(s.date, "12/07/2026");
    EXPECT_EQ(s.time, "08:05:09");
    EXPECT_FALSE(s.dhcp_client);
    EXPECT_EQ(s.ip, "192.168.0.2");
    EXPECT_EQ(s.gateway, "0.0.0.0");
    EXPECT_TRUE(s.dhcp_server);  // byte 0 means on
    EXPECT_FALSE(s.wins);        // byte 0 means off
    EXPECT_EQ(s.zone, std::string(32, 'z'));
    EXPECT_EQ(s.time_zone, -5);
    EXPECT_FALSE(DecodeSettings(r.data(), 257, &s));

    const std::string text = FormatSettingsText(s);
    EXPECT_NE(text.find("12/07/2026"), std::string::npos);
    EXPECT_NE(text.find("Office \"disk\"?"), std::string::npos);  // control shown as '?'
    EXPECT_NE(text.find("DHCP server:         on"), std::string::npos);
    const std::string json = SettingsJson(s).dump();
    EXPECT_NE(json.find("\"description\":\"Office \\\"disk\\\"\\n\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"time_zone\":-5"), std::string::npos);
}

// The appliance's texts are ISO 8859-1 bytes; shown and edited on the PC as UTF-8, without a
// byte lost either way, and what the appliance cannot keep is refused, not mangled.
TEST(WireTest, TextsBetweenLatin1AndUtf8) {
    std::string all;
    for (int b = 1; b < 256; ++b) all += static_cast<char>(b);
    const std::string utf8 = Latin1ToUtf8(all);
    EXPECT_EQ(Latin1ToUtf8("B\xFCro"), "B\xC3\xBCro");
    EXPECT_EQ(CharacterCount(utf8), 255u);
    std::string back, bad;
    ASSERT_TRUE(Utf8ToLatin1(utf8, &back, &bad)) << bad;
    EXPECT_EQ(back, all);

    EXPECT_FALSE(Utf8ToLatin1("\xE2\x82\xAC 5", &back, &bad));  // the euro sign
    EXPECT_NE(bad.find("\xE2\x82\xAC"), std::string::npos) << bad;
    for (const char *broken : {"\xFC", "\xC3", "\xC0\xBC", "\xED\xA0\x80", "\xF4\x90\x80\x80"}) {
        EXPECT_FALSE(Utf8ToLatin1(broken, &back, &bad)) << broken;
        EXPECT_EQ(bad, "is not UTF-8 text");
    }

    // Decoded from the wire: a Latin-1 host name and description become UTF-8.
    Bytes id(8 + proto::identify::kPayload, 0);
    proto::PutU16(id.data() + 6, proto::identify::kPayload);
    memcpy(id.data() + proto::identify::kOffHostname, "K\xD6LN", 4);
    IdentifyInfo info;
    ASSERT_TRUE(DecodeIdentify(id.data(), id.size(), &info));
    EXPECT_EQ(info.hostname, "K\xC3\x96LN");

    // Shown to people: C0 controls, DEL and C1 controls as '?', the rest as it is.
    EXPECT_EQ(Printable("a\tb\x7F" + Latin1ToUtf8("\x85\xE9")), "a?b??\xC3\xA9");
}

TEST(WireTest, StatusInWords) {
    EXPECT_EQ(StatusWords(-309), "-309 (the settings file is locked by another program)");
    EXPECT_EQ(StatusWords(-305).substr(0, 5), "-305 ");
    EXPECT_EQ(StatusWords(-999), "-999 (unknown status)");
    // One pair of parentheses: no meaning has its own.
    for (const proto::StatusText &t : proto::kStatusTexts) {
        EXPECT_EQ(t.text.find_first_of("()"), std::string_view::npos) << t.code;
    }
}

TEST(WireTest, DiscoverListing) {
    IdentifyInfo a;
    ParseMac("00:C0:02:1A:2B:3C", &a.mac);
    a.hostname = "JX1A2B3C";
    a.password_set = true;
    a.address = "192.168.0.2";
    const std::string table = FormatDiscoverTable({a});
    EXPECT_NE(table.find("00:C0:02:1A:2B:3C  192.168.0.2      JX1A2B3C        set"),
              std::string::npos)
        << table;
}

}  // namespace
