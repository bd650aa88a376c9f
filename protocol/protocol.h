// The setup protocol on UDP port 915: the one definition of the wire format, shared by the
// agent and the PC setup tool. All numbers are little-endian; offsets count from the start of
// the datagram; IPv4 addresses are 4 bytes, first octet first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace proto {

// Buffers and header.
inline constexpr std::size_t kBufferSize = 512;  // largest datagram, request or reply
inline constexpr std::size_t kHeaderSize = 8;
inline constexpr std::size_t kMaxPayload = kBufferSize - kHeaderSize;  // 504

inline constexpr std::size_t kOffCommand = 0;
inline constexpr std::size_t kOffStatus = 2;
inline constexpr std::size_t kOffSequence = 4;
inline constexpr std::size_t kOffLength = 6;

// Little-endian access to byte arrays.
constexpr std::uint16_t GetU16(const std::uint8_t *p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
constexpr std::int16_t GetI16(const std::uint8_t *p) {
    return static_cast<std::int16_t>(GetU16(p));
}
constexpr std::uint32_t GetU32(const std::uint8_t *p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
constexpr std::int32_t GetI32(const std::uint8_t *p) {
    return static_cast<std::int32_t>(GetU32(p));
}
constexpr void PutU16(std::uint8_t *p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v & 0xFF);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
constexpr void PutI16(std::uint8_t *p, int v) {
    PutU16(p, static_cast<std::uint16_t>(v & 0xFFFF));
}
constexpr void PutU32(std::uint8_t *p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v & 0xFF);
    p[1] = static_cast<std::uint8_t>((v >> 8) & 0xFF);
    p[2] = static_cast<std::uint8_t>((v >> 16) & 0xFF);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}
constexpr void PutI32(std::uint8_t *p, std::int32_t v) {
    PutU32(p, static_cast<std::uint32_t>(v));
}

// The 8-byte header of every request and reply.
struct SetupHeader {
    std::uint16_t command;
    std::int16_t status;  // reply only: 0 or a negative status code
    std::uint16_t sequence;
    std::uint16_t length;  // payload length; the datagram is 8 + length bytes
};

constexpr SetupHeader GetHeader(const std::uint8_t *p) {
    return SetupHeader{GetU16(p + kOffCommand), GetI16(p + kOffStatus), GetU16(p + kOffSequence),
                       GetU16(p + kOffLength)};
}
constexpr void PutHeader(std::uint8_t *p, const SetupHeader &h) {
    PutU16(p + kOffCommand, h.command);
    PutI16(p + kOffStatus, h.status);
    PutU16(p + kOffSequence, h.sequence);
    PutU16(p + kOffLength, h.length);
}

// Command codes.
inline constexpr std::uint16_t kCmdIdentify = 0x00;
inline constexpr std::uint16_t kCmdReadSettings = 0x10;
inline constexpr std::uint16_t kCmdWriteSettings = 0x11;
inline constexpr std::uint16_t kCmdSetPassword = 0x12;
inline constexpr std::uint16_t kCmdVerifyPassword = 0x13;
inline constexpr std::uint16_t kCmdPrinterData = 0x20;  // 0x21 and 0x22 are handled alike
inline constexpr std::uint16_t kCmdPrinterData2 = 0x21;
inline constexpr std::uint16_t kCmdPrinterData3 = 0x22;
inline constexpr std::uint16_t kCmdPrinterAck = 0x23;

// Status codes (reply offset 2).
inline constexpr int kStOk = 0;
inline constexpr int kStUnknownCommand = -1;
inline constexpr int kStWriteIpAddr = -101;
inline constexpr int kStWriteNetmask = -102;
inline constexpr int kStWriteGateway = -103;
inline constexpr int kStWriteServerName = -104;
inline constexpr int kStSetDate = -107;
inline constexpr int kStSetTime = -108;
inline constexpr int kStWriteDhcpServer = -109;
inline constexpr int kStWriteDhcpStart = -110;
inline constexpr int kStWriteDhcpEnd = -111;
inline constexpr int kStWriteWorkgroup = -113;
inline constexpr int kStWriteZone = -114;
inline constexpr int kStWriteBootproto = -115;
inline constexpr int kStWriteComment = -116;
inline constexpr int kStScanning = -117;
inline constexpr int kStTimeZoneScript = -120;
inline constexpr int kStWriteWinsEnable = -121;
inline constexpr int kStGetIpAddr = -202;
inline constexpr int kStGetNetmask = -203;
inline constexpr int kStGetGateway = -204;
inline constexpr int kStGetServerName = -205;  // also: host name unavailable
inline constexpr int kStGetDefaultName = -206;
inline constexpr int kStGetVersion = -207;
inline constexpr int kStClockShow = -208;
inline constexpr int kStGetDhcpServer = -210;  // also: wins_enable in read settings
inline constexpr int kStGetDhcpStart = -211;
inline constexpr int kStGetDhcpEnd = -212;
inline constexpr int kStGetWorkgroup = -214;
inline constexpr int kStGetZone = -215;
inline constexpr int kStGetBootproto = -216;
inline constexpr int kStGetDescription = -217;
inline constexpr int kStGetDns1 = -218;
inline constexpr int kStGetDns2 = -219;
inline constexpr int kStGetDns3 = -220;
inline constexpr int kStGetMsnEnable = -221;
inline constexpr int kStGetCodePage = -222;
inline constexpr int kStGetPrinterName = -223;
inline constexpr int kStGetAppleEnable = -224;
inline constexpr int kStGetMacPrinterType = -225;
inline constexpr int kStGetPrinterClient = -226;
inline constexpr int kStGetPrinterComment = -227;
inline constexpr int kStGetComment = -230;
inline constexpr int kStGetTimeZone = -231;
inline constexpr int kStGetWinsEnable = -232;
inline constexpr int kStGetWinsServer = -233;
inline constexpr int kStAddressToText = -301;
inline constexpr int kStTextToAddress = -302;
inline constexpr int kStScriptTimeout = -303;
inline constexpr int kStSetPassword = -304;
inline constexpr int kStNotVerified = -305;
inline constexpr int kStPrinter = -307;
inline constexpr int kStLockOpen = -308;
inline constexpr int kStLockBusy = -309;
inline constexpr int kStApplyTcpip = -310;
inline constexpr int kStApplyName = -311;
inline constexpr int kStApplyDhcp = -312;
inline constexpr int kStApplyAppleTalk = -313;
inline constexpr int kStApplySamba = -314;
inline constexpr int kStNoCurrentAddress = -315;

struct StatusText {
    int code;
    std::string_view text;
};

// Short meanings of the status codes, for people: plain phrases without parentheses, so that
// a front end can put them in its own sentence or after the number in parentheses.
inline constexpr StatusText kStatusTexts[] = {
    {kStOk, "success"},
    {kStUnknownCommand, "the appliance does not know this command"},
    {kStWriteIpAddr, "storing the IP address or the WINS server failed"},
    {kStWriteNetmask, "storing the netmask failed"},
    {kStWriteGateway, "storing the gateway failed"},
    {kStWriteServerName, "storing the server name failed"},
    {kStSetDate, "setting the date failed"},
    {kStSetTime, "setting the time failed"},
    {kStWriteDhcpServer, "storing the DHCP server switch failed"},
    {kStWriteDhcpStart, "storing the first DHCP address failed"},
    {kStWriteDhcpEnd, "storing the last DHCP address failed"},
    {kStWriteWorkgroup, "storing the workgroup failed"},
    {kStWriteZone, "storing the AppleTalk zone failed"},
    {kStWriteBootproto, "storing the address mode failed"},
    {kStWriteComment, "storing the server description failed"},
    {kStScanning, "a disk scan is in progress on the appliance"},
    {kStTimeZoneScript, "setting the time zone failed"},
    {kStWriteWinsEnable, "storing the WINS switch failed"},
    {kStGetIpAddr, "the stored IP address cannot be read"},
    {kStGetNetmask, "the stored netmask cannot be read"},
    {kStGetGateway, "the stored gateway cannot be read"},
    {kStGetServerName, "the server name or the host name cannot be read"},
    {kStGetDefaultName, "the default server name cannot be read"},
    {kStGetVersion, "the firmware version cannot be read"},
    {kStClockShow, "the appliance's date and time cannot be read"},
    {kStGetDhcpServer, "the stored DHCP server or WINS switch cannot be read"},
    {kStGetDhcpStart, "the stored first DHCP address cannot be read"},
    {kStGetDhcpEnd, "the stored last DHCP address cannot be read"},
    {kStGetWorkgroup, "the stored workgroup cannot be read"},
    {kStGetZone, "the stored AppleTalk zone cannot be read"},
    {kStGetBootproto, "the stored address mode cannot be read"},
    {kStGetDescription, "the stored server description cannot be read"},
    {kStGetDns1, "the first stored name server cannot be read"},
    {kStGetDns2, "the second stored name server cannot be read"},
    {kStGetDns3, "the third stored name server cannot be read"},
    {kStGetMsnEnable, "the stored Windows sharing switch cannot be read"},
    {kStGetCodePage, "the stored code page cannot be read"},
    {kStGetPrinterName, "the stored printer name cannot be read"},
    {kStGetAppleEnable, "the stored AppleTalk switch cannot be read"},
    {kStGetMacPrinterType, "the stored Macintosh printer type cannot be read"},
    {kStGetPrinterClient, "the stored Macintosh printer name cannot be read"},
    {kStGetPrinterComment, "the stored printer description cannot be read"},
    {kStGetComment, "the stored server description cannot be read"},
    {kStGetTimeZone, "the stored time zone cannot be read"},
    {kStGetWinsEnable, "the stored WINS switch cannot be read"},
    {kStGetWinsServer, "the stored WINS server cannot be read"},
    {kStAddressToText, "an address in the request is not valid"},
    {kStTextToAddress, "a stored address is not valid"},
    {kStScriptTimeout, "a script on the appliance did not finish in time"},
    {kStSetPassword, "the password could not be stored"},
    {kStNotVerified, "the password is wrong, or its check did not finish in time"},
    {kStPrinter, "writing to the printer failed"},
    {kStLockOpen, "the settings file cannot be opened"},
    {kStLockBusy, "the settings file is locked by another program"},
    {kStApplyTcpip, "applying the TCP/IP settings failed"},
    {kStApplyName, "applying the server name failed"},
    {kStApplyDhcp, "applying the DHCP server settings failed"},
    {kStApplyAppleTalk, "applying the AppleTalk settings failed"},
    {kStApplySamba, "applying the Windows sharing settings failed"},
    {kStNoCurrentAddress, "after a failed switch to DHCP the address cannot be read"},
};

// The meaning of a status code, or an empty view for a code the table does not know.
constexpr std::string_view StatusMeaning(int code) {
    for (const StatusText &s : kStatusTexts) {
        if (s.code == code) {
            return s.text;
        }
    }
    return {};
}

// Identify (0x00): request is the header only; reply payload 24 bytes.
namespace identify {
inline constexpr std::size_t kOffZero = 8;
inline constexpr std::size_t kOffMac = 10;
inline constexpr std::size_t kOffHostname = 16;
inline constexpr std::size_t kHostnameWidth = 15;
inline constexpr std::size_t kOffPasswordFlag = 31;
inline constexpr std::uint16_t kPayload = 24;
}  // namespace identify

// Read settings (0x10): request is the header only; reply payload 250 bytes.
namespace settings {
inline constexpr std::size_t kOffZero = 8;
inline constexpr std::size_t kOffPasswordFlag = 10;
inline constexpr std::size_t kOffVersion = 11;
inline constexpr std::size_t kOffDefaultName = 13;
inline constexpr std::size_t kDefaultNameWidth = 15;
inline constexpr std::size_t kOffMac = 28;
inline constexpr std::size_t kOffServerName = 34;
inline constexpr std::size_t kServerNameWidth = 15;
inline constexpr std::size_t kOffDescription = 49;
inline constexpr std::size_t kDescriptionWidth = 49;
inline constexpr std::size_t kOffDate = 98;
inline constexpr std::size_t kDateWidth = 11;  // "MM/DD/YYYY\n", no zero
inline constexpr std::size_t kOffTime = 109;
inline constexpr std::size_t kTimeWidth = 9;         // "HH:MM:SS" and a zero
inline constexpr std::size_t kOffAddressMode = 118;  // 0 dhcp, 1 fixed
inline constexpr std::size_t kOffIp = 119;
inline constexpr std::size_t kOffNetmask = 123;
inline constexpr std::size_t kOffGateway = 127;
inline constexpr std::size_t kOffDhcpServer = 131;  // 0 on, 1 off
inline constexpr std::size_t kOffDhcpStart = 132;
inline constexpr std::size_t kOffDhcpEnd = 136;
inline constexpr std::size_t kOffReserved = 140;
inline constexpr std::size_t kOffWorkgroup = 141;
inline constexpr std::size_t kWorkgroupWidth = 16;
inline constexpr std::size_t kOffZone = 157;
inline constexpr std::size_t kZoneWidth = 33;
inline constexpr std::size_t kOffTimeZone = 190;    // signed 32 bits
inline constexpr std::size_t kOffWinsEnable = 194;  // 1 on, 0 off
inline constexpr std::size_t kOffWinsServer = 195;
inline constexpr std::uint16_t kPayload = 250;
inline constexpr std::size_t kDatagram = kHeaderSize + kPayload;  // 258
}  // namespace settings

// Write settings (0x11): 179-byte request, header-only reply.
namespace write {
inline constexpr std::size_t kOffMac = 8;
inline constexpr std::size_t kOffServerName = 14;
inline constexpr std::size_t kServerNameWidth = 15;
inline constexpr std::size_t kOffDescription = 29;
inline constexpr std::size_t kDescriptionWidth = 49;
inline constexpr std::size_t kOffDate = 78;
inline constexpr std::size_t kDateWidth = 11;
inline constexpr std::size_t kOffTime = 89;
inline constexpr std::size_t kTimeWidth = 9;
inline constexpr std::size_t kOffAddressMode = 98;  // 0 dhcp, other fixed
inline constexpr std::size_t kOffIp = 99;
inline constexpr std::size_t kOffNetmask = 103;
inline constexpr std::size_t kOffGateway = 107;
inline constexpr std::size_t kOffDhcpServer = 111;  // 0 on, other off
inline constexpr std::size_t kOffDhcpStart = 112;
inline constexpr std::size_t kOffDhcpEnd = 116;
inline constexpr std::size_t kOffUnused = 120;
inline constexpr std::size_t kOffWorkgroup = 121;
inline constexpr std::size_t kWorkgroupWidth = 16;
inline constexpr std::size_t kOffZone = 137;
inline constexpr std::size_t kZoneWidth = 33;
inline constexpr std::size_t kOffTimeZone = 170;
inline constexpr std::size_t kOffWinsEnable = 174;  // 1 on, other off
inline constexpr std::size_t kOffWinsServer = 175;
inline constexpr std::size_t kRequestSize = 179;
}  // namespace write

// Set and verify password (0x12, 0x13): header-only reply.
namespace password {
inline constexpr std::size_t kOffMac = 8;
inline constexpr std::size_t kOffPassword = 14;
inline constexpr std::size_t kPasswordWidth = 15;  // the agent forces a zero into byte 28
inline constexpr std::size_t kMaxPassword = kPasswordWidth - 1;
inline constexpr std::size_t kRequestSize = kOffPassword + kPasswordWidth;  // 29
}  // namespace password

// Printer data (0x20-0x22): length field n, byte 8 unused, n - 1 data bytes from 9.
// Reply payload 2 bytes: 00 00 success, 01 01 failure.
namespace printer {
inline constexpr std::size_t kOffUnused = 8;
inline constexpr std::size_t kOffData = 9;
inline constexpr std::size_t kMaxData = kBufferSize - kOffData;  // 503
inline constexpr std::size_t kOffResult = 8;
inline constexpr std::uint16_t kReplyPayload = 2;
}  // namespace printer

// MAC address width.
inline constexpr std::size_t kMacSize = 6;

// The layouts must tile their datagrams exactly.
static_assert(identify::kOffPasswordFlag + 1 == kHeaderSize + identify::kPayload);
static_assert(settings::kOffTime + settings::kTimeWidth == settings::kOffAddressMode);
static_assert(settings::kOffWinsServer + 4 + 59 == settings::kDatagram);
static_assert(write::kOffWinsServer + 4 == write::kRequestSize);
static_assert(password::kOffPassword + password::kPasswordWidth == password::kRequestSize);

}  // namespace proto
