// dssetup: building requests and decoding replies of the setup protocol.
#pragma once

#include <netinet/in.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/protocol.h"

namespace dssetup {

using Mac = std::array<std::uint8_t, proto::kMacSize>;
using Bytes = std::vector<std::uint8_t>;

// "00:C0:02:1A:2B:3C" (colons or dashes, either case).
bool ParseMac(std::string_view text, Mac *mac);
std::string FormatMac(const std::uint8_t *mac);
// Dotted IPv4 text (four decimal octets only). Network-order result in *addr.
bool ParseIpv4(std::string_view text, in_addr *addr);
std::string FormatIpv4(const std::uint8_t *area);

// Requests. Password requests cut the password to the 14 characters the agent takes.
Bytes BuildIdentify(std::uint16_t sequence);
Bytes BuildReadSettings(std::uint16_t sequence);
Bytes BuildPassword(std::uint16_t command, std::uint16_t sequence, const Mac &target,
                    std::string_view password);
inline constexpr std::size_t kPrinterChunk = 502;  // data bytes per printer request
Bytes BuildPrinterData(std::uint16_t sequence, const std::uint8_t *data, std::size_t count);
Bytes BuildPrinterAck(std::uint16_t sequence);

// Whether a datagram is the reply to a request with this command and sequence number: a whole
// header whose length field matches what arrived.
bool IsReplyTo(const std::uint8_t *data, std::size_t size, std::uint16_t command,
               std::uint16_t sequence);
int ReplyStatus(const std::uint8_t *data);

// Decoded texts are UTF-8 (see Latin1ToUtf8).
struct IdentifyInfo {
    int status = 0;
    Mac mac{};
    std::string hostname;
    bool password_set = false;
    std::string address;  // where the reply came from
};
bool DecodeIdentify(const std::uint8_t *data, std::size_t size, IdentifyInfo *info);

struct SettingsInfo {
    int status = 0;
    bool password_set = false;
    std::uint16_t version = 0;
    std::string default_name;
    Mac mac{};
    std::string server_name;
    std::string description;
    std::string date;
    std::string time;
    bool dhcp_client = false;  // address from a DHCP server
    std::string ip, netmask, gateway;
    bool dhcp_server = false;  // the appliance's own DHCP server on
    std::string dhcp_start, dhcp_end;
    std::string workgroup;
    std::string zone;
    std::int32_t time_zone = 0;
    bool wins = false;
    std::string wins_server;
};
bool DecodeSettings(const std::uint8_t *data, std::size_t size, SettingsInfo *info);

// 0x0123 → "1.2.3": the hexadecimal digits of the packed version, dot-separated.
std::string FormatVersion(std::uint16_t version);
// "-309 (the settings file is locked by another program)".
std::string StatusWords(int status);

// The appliance keeps its texts as 8-bit bytes in ISO 8859-1 (Latin-1), the code page of its
// settings file and Samba; on the PC side texts are UTF-8. Decoding turns every byte into its
// character, so nothing is lost and what is shown is valid UTF-8; encoding turns it back.
std::string Latin1ToUtf8(std::string_view bytes);
// false when `text` is not UTF-8, or holds a character outside ISO 8859-1; *bad then names
// the character (as UTF-8) or says the text is not UTF-8.
bool Utf8ToLatin1(std::string_view text, std::string *bytes, std::string *bad);
// Characters of a UTF-8 text (its length on the appliance when it converts).
std::size_t CharacterCount(std::string_view text);
// A control character: below U+0020, U+007F, or U+0080 to U+009F (given as its first byte
// and, for U+0080 and above, the byte after it).
bool IsControlAt(std::string_view text, std::size_t at);

// Output for people: every control character shown as '?'.
std::string Printable(std::string_view text);
std::string FormatDiscoverTable(const std::vector<IdentifyInfo> &found);
std::string FormatSettingsText(const SettingsInfo &info);

}  // namespace dssetup
