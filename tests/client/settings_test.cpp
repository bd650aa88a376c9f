// dssetup settings: keys, the rules of a new set of settings, the request, the JSON round trip.
#include "client/settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "client/kept_settings.h"
#include "client/settings_json.h"

namespace {

using namespace dssetup;

// The appliance as it is: fixed 192.168.0.2/24, no gateway, DHCP server .100-.200, WINS on.
Settings Current() {
    Settings s;
    s.name = "STORAGE";
    s.description = "Office disk";
    s.date = "12/07/2026";
    s.time = "08:05:09";
    s.dhcp_client = false;
    s.ip = "192.168.0.2";
    s.netmask = "255.255.255.0";
    s.gateway = "0.0.0.0";
    s.dhcp_server = true;
    s.dhcp_start = "192.168.0.100";
    s.dhcp_end = "192.168.0.200";
    s.workgroup = "WORKGROUP";
    s.zone = "Office Zone";
    s.time_zone = -5;
    s.wins = true;
    s.wins_server = "192.168.0.5";
    return s;
}

// The problems of the current settings with the given KEY=VALUE words (after the implied
// changes), as "field: message" lines; "" when the settings can be sent.
std::string ProblemsWith(const std::vector<std::string> &words, Settings current = Current()) {
    std::vector<Change> changes;
    for (const std::string &w : words) {
        Change c;
        Problem p;
        if (!ParseAssignment(w, &c, &p)) {
            return "unparsed " + w;
        }
        changes.push_back(c);
    }
    Settings wanted = current;
    std::vector<Problem> problems;
    ApplyChanges(changes, current, &wanted, &problems);
    ApplyImplied(changes, current, &wanted);
    for (const Problem &p : Validate(current, wanted)) {
        problems.push_back(p);
    }
    std::string out;
    for (const Problem &p : problems) {
        out += p.field + ": " + p.message + "\n";
    }
    return out;
}

// The field names of the problems only.
std::string Fields(const std::vector<std::string> &words, Settings current = Current()) {
    std::string text = ProblemsWith(words, current);
    std::string out;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = text.find('\n', at);
        const std::string line = text.substr(at, end - at);
        // Appended piecewise: g++ 12 at -O3 warns falsely of overlapping copies otherwise.
        if (!out.empty())
            out += ' ';
        out += line.substr(0, line.find(':'));
        at = end + 1;
    }
    return out;
}

TEST(SettingsKeysTest, AssignmentsAndValueForms) {
    Change c;
    Problem p;
    ASSERT_TRUE(ParseAssignment("description=a=b c", &c, &p));
    EXPECT_EQ(c.key, Key::kDescription);
    EXPECT_EQ(c.value, "a=b c");
    ASSERT_TRUE(ParseAssignment("gateway=", &c, &p));
    EXPECT_EQ(c.value, "");
    EXPECT_FALSE(ParseAssignment("name", &c, &p));
    EXPECT_NE(p.message.find("KEY=VALUE"), std::string::npos);
    EXPECT_FALSE(ParseAssignment("hostname=x", &c, &p));
    EXPECT_EQ(p.field, "hostname");
    EXPECT_NE(p.message.find("wins-server"), std::string::npos) << "lists the keys: " << p.message;
    for (const KeyInfo &k : kKeys) {
        ASSERT_EQ(FindKey(k.name), &k);
        EXPECT_EQ(InfoOf(k.key).name, k.name);
    }

    Settings s = Current();
    ASSERT_TRUE(ParseValue(&s, Key::kIp, "010.001.000.002", &p));
    EXPECT_EQ(s.ip, "10.1.0.2");  // canonical, so equal addresses compare equal
    ASSERT_TRUE(ParseValue(&s, Key::kGateway, "", &p));
    EXPECT_EQ(s.gateway, "0.0.0.0");
    EXPECT_FALSE(ParseValue(&s, Key::kIp, "", &p));
    EXPECT_FALSE(ParseValue(&s, Key::kNetmask, "255.255.255", &p));
    EXPECT_FALSE(ParseValue(&s, Key::kWinsServer, "192.168.0.256", &p));
    ASSERT_TRUE(ParseValue(&s, Key::kMode, "dhcp", &p));
    EXPECT_TRUE(s.dhcp_client);
    EXPECT_FALSE(ParseValue(&s, Key::kMode, "DHCP", &p));
    EXPECT_FALSE(ParseValue(&s, Key::kMode, "fixed", &p));
    ASSERT_TRUE(ParseValue(&s, Key::kWins, "off", &p));
    EXPECT_FALSE(s.wins);
    EXPECT_FALSE(ParseValue(&s, Key::kDhcpServer, "yes", &p));
    EXPECT_EQ(p.field, "dhcp-server");
    ASSERT_TRUE(ParseValue(&s, Key::kTimeZone, "+8", &p));
    EXPECT_EQ(s.time_zone, 8);
    ASSERT_TRUE(ParseValue(&s, Key::kTimeZone, "-12", &p));
    EXPECT_EQ(ValueText(s, Key::kTimeZone), "-12");
    for (const char *bad : {"", "-", "5x", "1.5", "9999999999"}) {
        EXPECT_FALSE(ParseValue(&s, Key::kTimeZone, bad, &p)) << bad;
    }
    for (const char *bad : {"7/3/2026", "2026-07-03", "07/03/26", "13/01/2026", "02/30/2026"}) {
        EXPECT_FALSE(ParseValue(&s, Key::kDate, bad, &p)) << bad;
    }
    for (const char *bad : {"8:05:09", "08:05", "24:00:00", "08:60:00", "08:05:60"}) {
        EXPECT_FALSE(ParseValue(&s, Key::kTime, bad, &p)) << bad;
    }
}

TEST(SettingsRulesTest, TextLengthsAsTheApplianceKeepsThem) {
    EXPECT_EQ(ProblemsWith({"name=ABCDEFGHIJKLMN"}), "");  // 14
    EXPECT_EQ(Fields({"name=ABCDEFGHIJKLMNO"}), "name");   // 15
    EXPECT_NE(ProblemsWith({"name=ABCDEFGHIJKLMNO"}).find("at most 14"), std::string::npos);
    EXPECT_EQ(Fields({"name="}), "name");
    EXPECT_EQ(ProblemsWith({"name=nas-2"}), "");
    EXPECT_EQ(ProblemsWith({"name=1nas"}), "");
    // The rule the agent applies too: an all-digit name would be read as an address.
    for (const char *bad : {"name=my nas", "name=nas_2", "name=-nas", "name=nas-", "name=a;b",
                            "name=12345", "name=nas.lan"}) {
        EXPECT_EQ(Fields({bad}), "name") << bad;
    }
    EXPECT_NE(ProblemsWith({"name=12345"}).find("all digits"), std::string::npos);
    EXPECT_EQ(ProblemsWith({"description=" + std::string(48, 'd')}), "");
    EXPECT_EQ(Fields({"description=" + std::string(49, 'd')}), "description");
    EXPECT_EQ(ProblemsWith({"description="}), "");
    EXPECT_EQ(ProblemsWith({"description=Bob's \"disk\" 100%"}), "");
    EXPECT_EQ(ProblemsWith({"workgroup=" + std::string(15, 'W')}), "");
    EXPECT_EQ(Fields({"workgroup=" + std::string(16, 'W')}), "workgroup");
    EXPECT_EQ(Fields({"workgroup="}), "workgroup");
    EXPECT_EQ(Fields({"workgroup=A|B"}), "workgroup");
    EXPECT_EQ(ProblemsWith({"zone=" + std::string(32, 'z')}), "");
    EXPECT_EQ(Fields({"zone=" + std::string(33, 'z')}), "zone");
    EXPECT_EQ(ProblemsWith({"zone="}), "");
    EXPECT_EQ(Fields({"zone=Office\" -phase 1"}), "zone");
    // Control characters would add lines to the files these texts land in.
    for (const char *key : {"name=", "description=", "workgroup=", "zone="}) {
        for (const char *c : {"\n", "\r", "\t", "\x7f"}) {
            EXPECT_EQ(Fields({std::string(key) + "A" + c + "B"}),
                      std::string(key).substr(0, std::strlen(key) - 1))
                << key << int(c[0]);
        }
    }
    // What the appliance itself refuses, refused here first: a backslash at the end of any text
    // (its settings file would continue the value on the next line), a backslash in the zone
    // (it would escape the zone's closing quote in atalkd.conf), C1 control characters.
    EXPECT_EQ(Fields({"description=C:\\"}), "description");
    EXPECT_EQ(Fields({"description=C:\\  "}), "description");
    EXPECT_EQ(ProblemsWith({"description=C:\\share"}), "");
    EXPECT_EQ(Fields({"zone=Lab\\x"}), "zone");
    EXPECT_EQ(Fields({"description=A\xC2\x85"
                      "B"}),
              "description");
    // Lengths count the characters the appliance keeps (ISO 8859-1: one byte each), not
    // UTF-8 bytes; a character outside ISO 8859-1 or a text that is not UTF-8 is refused.
    std::string umlauts;
    for (int i = 0; i < 48; ++i) umlauts += "\xC3\xBC";
    EXPECT_EQ(ProblemsWith({"description=" + umlauts}), "");
    EXPECT_EQ(Fields({"description=" + umlauts + "u"}), "description");
    EXPECT_NE(ProblemsWith({"zone=Caf\xE2\x82\xAC"}).find("ISO 8859-1"), std::string::npos);
    EXPECT_NE(ProblemsWith({"workgroup=B\xFCro"}).find("not UTF-8"), std::string::npos);
    // The table of text rules covers every text key.
    for (Key k : {Key::kName, Key::kDescription, Key::kWorkgroup, Key::kZone}) {
        EXPECT_FALSE(TextProblem(k, std::string(1, '\x01')).empty()) << InfoOf(k).name;
    }
    EXPECT_EQ(ProblemsWith({"time-zone=-999"}), "");
    EXPECT_EQ(ProblemsWith({"time-zone=9999"}), "");
    EXPECT_EQ(Fields({"time-zone=-1000"}), "time-zone");
    EXPECT_EQ(Fields({"time-zone=10000"}), "time-zone");
}

TEST(SettingsRulesTest, DatesAndTimesTheClockTakes) {
    EXPECT_EQ(ProblemsWith({"date=02/29/2024", "time=23:59:59"}), "");
    EXPECT_EQ(ProblemsWith({"date=01/01/1970", "time=00:00:00"}), "");
    EXPECT_EQ(ProblemsWith({"date=12/31/2037"}), "");
    EXPECT_NE(ProblemsWith({"date=02/29/2023"}), "");
    EXPECT_NE(ProblemsWith({"date=02/29/2100"}), "");  // not a leap year
    EXPECT_NE(ProblemsWith({"date=01/01/2038"}), "");
    EXPECT_NE(ProblemsWith({"date=12/31/1969"}), "");
    EXPECT_NE(ProblemsWith({"date=04/31/2026"}), "");
    EXPECT_NE(ProblemsWith({"date=00/10/2026"}), "");

    std::tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 6;
    t.tm_mday = 3;
    t.tm_hour = 8;
    t.tm_min = 5;
    t.tm_sec = 9;
    std::string date, time;
    ClockTexts(t, &date, &time);
    EXPECT_EQ(date, "07/03/2026");
    EXPECT_EQ(time, "08:05:09");

    // The appliance's clock moved on by the time passed: across a year's end and a leap day,
    // never past what its clock counts to.
    Settings s = Current();
    s.date = "12/31/2026";
    s.time = "23:59:50";
    ASSERT_TRUE(AdvanceClock(&s, 15));
    EXPECT_EQ(s.date + " " + s.time, "01/01/2027 00:00:05");
    s.date = "02/28/2028";
    s.time = "23:59:59";
    ASSERT_TRUE(AdvanceClock(&s, 1));
    EXPECT_EQ(s.date + " " + s.time, "02/29/2028 00:00:00");
    s.date = "12/31/2037";
    EXPECT_FALSE(AdvanceClock(&s, 86400));
    EXPECT_EQ(s.date, "12/31/2037") << "unchanged";
    s.date = "";
    EXPECT_FALSE(AdvanceClock(&s, 1));
}

TEST(SettingsRulesTest, FixedAddressAndNetmask) {
    EXPECT_EQ(ProblemsWith({"ip=192.168.0.3"}), "");
    EXPECT_EQ(Fields({"ip=0.0.0.0"}), "ip");  // would silently keep the stored address
    for (const char *bad : {"ip=192.168.0.0", "ip=192.168.0.255", "ip=127.0.0.1", "ip=224.0.0.1",
                            "ip=240.0.0.1", "ip=0.1.2.3"}) {
        EXPECT_EQ(Fields({bad}), "ip") << bad;
    }
    EXPECT_EQ(ProblemsWith({"netmask=255.255.255.252", "dhcp-server=off"}), "");           // /30
    EXPECT_EQ(ProblemsWith({"ip=10.1.2.3", "netmask=255.0.0.0", "dhcp-server=off"}), "");  // /8
    for (const char *bad : {"netmask=255.255.255.254", "netmask=254.0.0.0", "netmask=255.0.255.0",
                            "netmask=0.0.0.0"}) {
        EXPECT_EQ(Fields({bad, "dhcp-server=off"}), "netmask") << bad;
    }
    // Switching to a fixed address from DHCP needs the address itself.
    Settings dhcp = Current();
    dhcp.dhcp_client = true;
    dhcp.dhcp_server = false;
    dhcp.ip = "0.0.0.0";
    EXPECT_EQ(Fields({"mode=static", "dhcp-server=off"}, dhcp), "ip");
    EXPECT_EQ(ProblemsWith({"mode=static", "ip=192.168.0.7", "dhcp-server=off"}, dhcp), "");
}

TEST(SettingsRulesTest, GatewayInsideTheSubnet) {
    EXPECT_EQ(ProblemsWith({"gateway=192.168.0.1"}), "");
    EXPECT_EQ(ProblemsWith({"gateway=0.0.0.0"}), "");
    EXPECT_EQ(ProblemsWith({"gateway="}), "");
    EXPECT_EQ(Fields({"gateway=10.0.0.1"}), "gateway");
    EXPECT_EQ(Fields({"gateway=192.168.0.2"}), "gateway");    // the appliance itself
    EXPECT_EQ(Fields({"gateway=192.168.0.255"}), "gateway");  // broadcast
    // A new address in another subnet takes the stored gateway with it into the rule.
    Settings routed = Current();
    routed.gateway = "192.168.0.1";
    routed.dhcp_server = false;
    EXPECT_EQ(Fields({"ip=10.0.0.2", "netmask=255.255.255.0"}, routed), "gateway");
    EXPECT_EQ(ProblemsWith({"ip=10.0.0.2", "gateway=10.0.0.1"}, routed), "");
}

TEST(SettingsRulesTest, DhcpRangeInsideTheSubnet) {
    EXPECT_EQ(ProblemsWith({"dhcp-start=192.168.0.3", "dhcp-end=192.168.0.254"}), "");
    EXPECT_EQ(ProblemsWith({"dhcp-start=192.168.0.150", "dhcp-end=192.168.0.150"}), "");
    EXPECT_EQ(Fields({"dhcp-end=192.168.0.255"}), "dhcp-end");
    EXPECT_EQ(Fields({"dhcp-start=192.168.1.10"}), "dhcp-start");
    EXPECT_EQ(Fields({"dhcp-start=192.168.0.201"}), "dhcp-end");  // ends before it starts
    EXPECT_EQ(Fields({"dhcp-start=192.168.0.1"}), "dhcp-start");  // holds the appliance's .2
    EXPECT_EQ(Fields({"gateway=192.168.0.150"}), "dhcp-start");   // holds the gateway
    EXPECT_EQ(Fields({"dhcp-start=0.0.0.0"}), "dhcp-start");
    // Moving the appliance to another subnet drags the stored range into the rule.
    EXPECT_EQ(Fields({"ip=10.0.0.2"}), "dhcp-start dhcp-end");
    EXPECT_NE(ProblemsWith({"ip=10.0.0.2"}).find("10.0.0.0/24"), std::string::npos)
        << ProblemsWith({"ip=10.0.0.2"});
    EXPECT_EQ(ProblemsWith({"ip=10.0.0.2", "dhcp-start=10.0.0.100", "dhcp-end=10.0.0.200"}), "");
    EXPECT_EQ(Fields({"netmask=255.255.255.128"}), "dhcp-end");  // .0-.127 holds .100 only
    // Switching the server on checks the stored range too.
    Settings off = Current();
    off.dhcp_server = false;
    off.dhcp_start = "10.9.9.9";
    EXPECT_EQ(Fields({"dhcp-server=on"}, off), "dhcp-start");
    // With the server off the range is only stored: any address, but not 0.0.0.0.
    EXPECT_EQ(ProblemsWith({"dhcp-start=10.9.9.9"}, off), "");
    EXPECT_EQ(Fields({"dhcp-end=0.0.0.0"}, off), "dhcp-end");
}

TEST(SettingsRulesTest, DhcpModeAndWins) {
    // DHCP mode turns the appliance's own DHCP server off; asked for, it is refused.
    Settings current = Current();
    Settings wanted = current;
    wanted.dhcp_client = true;
    const std::vector<std::string> notes = ApplyImplied({}, current, &wanted);
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_FALSE(wanted.dhcp_server);
    EXPECT_EQ(ProblemsWith({"mode=dhcp"}), "");
    EXPECT_EQ(Fields({"mode=dhcp", "dhcp-server=on"}), "dhcp-server");  // asked, even if on now
    // A JSON object says what the server is now; only a new value there is asked for.
    wanted = current;
    wanted.dhcp_client = true;
    ApplyImplied({{Key::kDhcpServer, "on", true}}, current, &wanted);
    EXPECT_FALSE(wanted.dhcp_server);
    Settings off = Current();
    off.dhcp_server = false;
    wanted = off;
    wanted.dhcp_client = true;
    wanted.dhcp_server = true;
    ApplyImplied({{Key::kDhcpServer, "on", true}}, off, &wanted);
    EXPECT_TRUE(wanted.dhcp_server);
    EXPECT_FALSE(Validate(off, wanted).empty());
    // Fixed addressing has no meaning in DHCP mode.
    EXPECT_EQ(Fields({"mode=dhcp", "ip=192.168.0.9"}), "ip");
    EXPECT_EQ(Fields({"mode=dhcp", "dhcp-start=192.168.0.9"}), "dhcp-start");

    EXPECT_EQ(ProblemsWith({"wins=off"}), "");
    EXPECT_EQ(ProblemsWith({"wins-server=10.0.0.5"}), "");  // may be routed
    EXPECT_EQ(Fields({"wins-server=0.0.0.0"}), "wins-server");
    EXPECT_EQ(Fields({"wins-server=127.0.0.1"}), "wins-server");
    Settings none = Current();
    none.wins = false;
    none.wins_server = "0.0.0.0";
    EXPECT_EQ(Fields({"wins=on"}, none), "wins-server");
    EXPECT_EQ(ProblemsWith({"wins=on", "wins-server=192.168.0.5"}, none), "");
}

TEST(SettingsRulesTest, UnchangedFieldsAreNotJudged) {
    // What the appliance already has is sent back as it is, even where a new value of that
    // form would be refused.
    Settings odd = Current();
    odd.name = "my_nas";
    odd.zone = "A\"B";
    odd.dhcp_start = "10.0.0.1";
    EXPECT_EQ(ProblemsWith({"workgroup=HOME"}, odd), "");
    EXPECT_EQ(Fields({"dhcp-end=192.168.0.201"}, odd), "dhcp-start");
}

const std::uint8_t kTarget[6] = {0x00, 0xC0, 0x02, 0x1A, 0x2B, 0x3C};

Mac TargetMac() {
    Mac m;
    std::memcpy(m.data(), kTarget, 6);
    return m;
}

std::vector<std::uint8_t> At(const Bytes &b, std::size_t offset, std::size_t n) {
    return std::vector<std::uint8_t>(b.begin() + static_cast<long>(offset),
                                     b.begin() + static_cast<long>(offset + n));
}

TEST(WriteRequestTest, EveryFieldAtItsOffset) {
    namespace wr = proto::write;
    Settings s = Current();
    s.gateway = "192.168.0.1";
    const Bytes b = EncodeWriteSettings(0x4321, TargetMac(), s);
    ASSERT_EQ(b.size(), 179u);
    EXPECT_EQ(proto::GetU16(b.data()), 0x11);
    EXPECT_EQ(proto::GetU16(b.data() + 2), 0);
    EXPECT_EQ(proto::GetU16(b.data() + 4), 0x4321);
    EXPECT_EQ(proto::GetU16(b.data() + 6), 171);
    EXPECT_EQ(0, memcmp(b.data() + wr::kOffMac, kTarget, 6));
    EXPECT_EQ(0, memcmp(b.data() + wr::kOffServerName, "STORAGE\0", 8));
    EXPECT_EQ(0, memcmp(b.data() + wr::kOffDescription, "Office disk\0", 12));
    EXPECT_EQ(0, memcmp(b.data() + wr::kOffDate, "12/07/2026\0", 11));
    EXPECT_EQ(0, memcmp(b.data() + wr::kOffTime, "08:05:09\0", 9));
    EXPECT_EQ(b[wr::kOffAddressMode], 1);  // fixed
    EXPECT_EQ(At(b, wr::kOffIp, 4), (std::vector<std::uint8_t>{192, 168, 0, 2}));
    EXPECT_EQ(At(b, wr::kOffNetmask, 4), (std::vector<std::uint8_t>{255, 255, 255, 0}));
    EXPECT_EQ(At(b, wr::kOffGateway, 4), (std::vector<std::uint8_t>{192, 168, 0, 1}));
    EXPECT_EQ(b[wr::kOffDhcpServer], 0);  // 0 is on
    EXPECT_EQ(At(b, wr::kOffDhcpStart, 4), (std::vector<std::uint8_t>{192, 168, 0, 100}));
    EXPECT_EQ(At(b, wr::kOffDhcpEnd, 4), (std::vector<std::uint8_t>{192, 168, 0, 200}));
    EXPECT_EQ(b[wr::kOffUnused], 0);
    EXPECT_EQ(0, memcmp(b.data() + wr::kOffWorkgroup, "WORKGROUP\0", 10));
    EXPECT_EQ(0, memcmp(b.data() + wr::kOffZone, "Office Zone\0", 12));
    EXPECT_EQ(At(b, wr::kOffTimeZone, 4), (std::vector<std::uint8_t>{0xFB, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(b[wr::kOffWinsEnable], 1);  // 1 is on
    EXPECT_EQ(At(b, wr::kOffWinsServer, 4), (std::vector<std::uint8_t>{192, 168, 0, 5}));

    // Texts go in the appliance's code page, ISO 8859-1.
    Settings latin = s;
    latin.description = "B\xC3\xBCro \xC2\xA7 2";
    const Bytes l = EncodeWriteSettings(2, TargetMac(), latin);
    EXPECT_EQ(0, memcmp(l.data() + wr::kOffDescription, "B\xFCro \xA7 2\0", 10));

    s.dhcp_server = false;
    s.wins = false;
    s.gateway = "0.0.0.0";
    const Bytes off = EncodeWriteSettings(1, TargetMac(), s);
    EXPECT_EQ(off[wr::kOffDhcpServer], 1);
    EXPECT_EQ(off[wr::kOffWinsEnable], 0);
    EXPECT_EQ(At(off, wr::kOffGateway, 4), (std::vector<std::uint8_t>(4, 0)));  // no gateway
}

TEST(WriteRequestTest, ForcedZerosAndDhcpMode) {
    namespace wr = proto::write;
    Settings s = Current();
    s.name = std::string(20, 'N');
    s.description = std::string(60, 'D');
    s.date = "12/07/2026xx";
    s.time = "08:05:09xx";
    s.workgroup = std::string(20, 'W');
    s.zone = std::string(40, 'Z');
    const Bytes b = EncodeWriteSettings(1, TargetMac(), s);
    // The last byte of each text field is the zero the appliance forces there anyway.
    for (std::size_t zero : {28u, 77u, 88u, 97u, 136u, 169u}) {
        EXPECT_EQ(b[zero], 0) << zero;
    }
    EXPECT_EQ(b[27], 'N');
    EXPECT_EQ(b[76], 'D');
    EXPECT_EQ(b[135], 'W');
    EXPECT_EQ(b[168], 'Z');

    s = Current();
    s.dhcp_client = true;
    const Bytes d = EncodeWriteSettings(1, TargetMac(), s);
    EXPECT_EQ(d[wr::kOffAddressMode], 0);
    EXPECT_EQ(At(d, wr::kOffIp, 12), (std::vector<std::uint8_t>(12, 0)));
    EXPECT_EQ(d[wr::kOffDhcpServer], 1);
    EXPECT_EQ(At(d, wr::kOffDhcpStart, 9), (std::vector<std::uint8_t>(9, 0)));
    EXPECT_EQ(0, memcmp(d.data() + wr::kOffWorkgroup, "WORKGROUP\0", 10));  // the rest as ever
}

SettingsInfo ReadBack() {
    SettingsInfo r;
    const Settings s = Current();
    r.mac = TargetMac();
    r.server_name = s.name;
    r.default_name = "JX1A2B3C";
    r.description = "B\xC3\xBCro \"2\"\n";  // decoded from Latin-1; a quote, a line feed
    r.date = s.date;
    r.time = s.time;
    r.ip = s.ip;
    r.netmask = s.netmask;
    r.gateway = s.gateway;
    r.dhcp_server = s.dhcp_server;
    r.dhcp_start = s.dhcp_start;
    r.dhcp_end = s.dhcp_end;
    r.workgroup = s.workgroup;
    r.zone = s.zone;
    r.time_zone = s.time_zone;
    r.wins = s.wins;
    r.wins_server = s.wins_server;
    return r;
}

std::string Replace(std::string text, const std::string &from, const std::string &to) {
    const std::size_t at = text.find(from);
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

TEST(SettingsJsonTest, ShowJsonReadsBackUnchanged) {
    const SettingsInfo read = ReadBack();
    Result shown = Succeeded("the settings", 0);
    shown.data = SettingsJson(read);
    const std::string json = ResultJson(shown);
    for (const KeyInfo &k : kKeys) {
        std::string field = "\"";
        field += k.json;
        field += "\":";
        EXPECT_NE(json.find(field), std::string::npos) << k.json;
    }
    EXPECT_NE(json.find("B\xC3\xBCro"), std::string::npos) << json;
    std::vector<Change> changes;
    std::vector<Problem> problems;
    ASSERT_TRUE(ParseSettingsJson(json, &changes, &problems)) << problems[0].message;
    const Settings current = SettingsOf(read);
    Settings wanted = current;
    ASSERT_TRUE(ApplyChanges(changes, current, &wanted, &problems));
    EXPECT_TRUE(ChangedKeys(current, wanted).empty());
    EXPECT_EQ(wanted.description, read.description);

    // An edited field is the only change; date and time in the object are not sent back.
    std::string edited = Replace(json, "\"WORKGROUP\"", "\"HOME\"");
    edited = Replace(edited, "\"12/07/2026\"", "\"01/01/2020\"");
    edited = Replace(edited, "\"wins\":true", "\"wins\":false");
    changes.clear();
    ASSERT_TRUE(ParseSettingsJson(edited, &changes, &problems));
    wanted = current;
    ASSERT_TRUE(ApplyChanges(changes, current, &wanted, &problems));
    const std::vector<Key> changed = ChangedKeys(current, wanted);
    EXPECT_EQ(changed, (std::vector<Key>{Key::kWorkgroup, Key::kWins}));
    EXPECT_EQ(wanted.date, current.date);
}

// The settings kept for a rescue: what was read comes back, date and time included, from a
// file only its owner can read; a damaged file is said to be one.
TEST(SettingsJsonTest, KeptSettingsReadBackForARescue) {
    char dir[] = "/tmp/dssetup_kept_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string folder = std::string(dir) + "/cache/dssetup";
    const SettingsInfo read = ReadBack();
    std::string error;
    ASSERT_TRUE(KeepSettings(folder, read, "192.168.0.2", &error)) << error;
    const std::string path = KeptSettingsPath(folder, read.mac);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    KeptSettings kept;
    ASSERT_TRUE(LoadKeptSettings(folder, read.mac, &kept, &error)) << error;
    const Settings expected = SettingsOf(read);
    EXPECT_TRUE(ChangedKeys(expected, kept.settings).empty());
    EXPECT_EQ(kept.settings.description, read.description);
    EXPECT_EQ(kept.address, "192.168.0.2");
    EXPECT_LE(std::llabs(static_cast<long long>(kept.kept_at - std::time(nullptr))), 5);

    Mac other = read.mac;
    other[5] ^= 1;
    EXPECT_FALSE(LoadKeptSettings(folder, other, &kept, &error));
    EXPECT_EQ(error, "") << "none kept is no error";
    FILE *f = fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs("{\"settings\": 5}", f);
    fclose(f);
    EXPECT_FALSE(LoadKeptSettings(folder, read.mac, &kept, &error));
    EXPECT_NE(error.find("does not hold settings"), std::string::npos) << error;
    unlink(path.c_str());
    rmdir(folder.c_str());
    rmdir((std::string(dir) + "/cache").c_str());
    rmdir(dir);
}

TEST(SettingsJsonTest, WhatCannotBeUsedIsRefusedWithTheField) {
    auto problem = [](const std::string &json) {
        std::vector<Change> changes;
        std::vector<Problem> problems;
        if (ParseSettingsJson(json, &changes, &problems))
            return std::string("accepted");
        return problems[0].field + ": " + problems[0].message;
    };
    EXPECT_EQ(problem("{\"server_name\": \"NAS\", \"mac\": \"x\", \"status\": 0}"), "accepted");
    EXPECT_EQ(problem("{\"ok\": true, \"status\": 0, \"message\": \"m\", \"zone\": \"Z\"}"),
              "accepted");
    // The object of a failed command holds no settings.
    EXPECT_EQ(problem("{\"ok\": false, \"status\": null, \"message\": \"no answer\"}").substr(0, 3),
              "ok:");
    EXPECT_NE(problem("{\"server_name\": \"NAS\",}").find("line 1"), std::string::npos)
        << problem("{\"server_name\": \"NAS\",}");
    EXPECT_NE(problem("[1, 2]").find("one JSON object"), std::string::npos);
    EXPECT_EQ(problem("{\"hostname\": \"x\"}").substr(0, 9), "hostname:");
    EXPECT_EQ(problem("{\"dhcp_server\": \"on\"}").substr(0, 12), "dhcp_server:");
    EXPECT_EQ(problem("{\"time_zone\": \"-5\"}").substr(0, 10), "time_zone:");
    EXPECT_EQ(problem("{\"time_zone\": 3000000000}").substr(0, 10), "time_zone:");
    EXPECT_EQ(problem("{\"ip_addr\": 3232235522}").substr(0, 8), "ip_addr:");
    // A failed read has zeros for settings: sending it back would store them.
    EXPECT_NE(problem("{\"status\": -308, \"ip_addr\": \"0.0.0.0\"}").find("-308"),
              std::string::npos);
}

}  // namespace
