// dssetup: requests and replies of the setup protocol.
#include "client/wire.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

namespace dssetup {

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

Bytes Header(std::uint16_t command, std::uint16_t sequence, std::uint16_t length,
             std::size_t size) {
    Bytes b(size, 0);
    proto::PutHeader(b.data(), proto::SetupHeader{command, 0, sequence, length});
    return b;
}

// Text of a fixed field: up to the first zero or the field's end, as UTF-8.
std::string FieldText(const std::uint8_t *field, std::size_t width) {
    std::size_t n = 0;
    while (n < width && field[n] != 0) {
        ++n;
    }
    return Latin1ToUtf8(std::string_view(reinterpret_cast<const char *>(field), n));
}

// The code point of the UTF-8 sequence at text[at] and its length; 0 for a byte that starts
// no well-formed sequence (stray continuation bytes, overlong forms, surrogates, > U+10FFFF).
std::size_t DecodeUtf8(std::string_view text, std::size_t at, std::uint32_t *point) {
    const auto byte = [&text](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
    const std::uint8_t b = byte(at);
    std::size_t n = 0;
    std::uint32_t p = 0;
    std::uint32_t least = 0;
    if (b < 0x80) {
        *point = b;
        return 1;
    } else if ((b & 0xE0) == 0xC0) {
        n = 2, p = b & 0x1Fu, least = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
        n = 3, p = b & 0x0Fu, least = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
        n = 4, p = b & 0x07u, least = 0x10000;
    } else {
        return 0;
    }
    if (at + n > text.size()) {
        return 0;
    }
    for (std::size_t i = 1; i < n; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) {
            return 0;
        }
        p = (p << 6) | (byte(at + i) & 0x3Fu);
    }
    if (p < least || p > 0x10FFFF || (p >= 0xD800 && p <= 0xDFFF)) {
        return 0;
    }
    *point = p;
    return n;
}

}  // namespace

bool ParseMac(std::string_view text, Mac *mac) {
    if (text.size() != 17) {
        return false;
    }
    const char sep = text[2];
    if (sep != ':' && sep != '-') {
        return false;
    }
    for (std::size_t i = 0; i < 6; ++i) {
        const int hi = HexValue(text[i * 3]);
        const int lo = HexValue(text[i * 3 + 1]);
        if (hi < 0 || lo < 0 || (i < 5 && text[i * 3 + 2] != sep)) {
            return false;
        }
        (*mac)[i] = static_cast<std::uint8_t>(hi * 16 + lo);
    }
    return true;
}

std::string FormatMac(const std::uint8_t *mac) {
    char text[18];
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2],
                  mac[3], mac[4], mac[5]);
    return text;
}

bool ParseIpv4(std::string_view text, in_addr *addr) {
    unsigned parts[4] = {};
    std::size_t part = 0;
    std::size_t digits = 0;
    for (char c : text) {
        if (c == '.') {
            if (digits == 0 || ++part > 3)
                return false;
            digits = 0;
        } else if (c >= '0' && c <= '9') {
            parts[part] = parts[part] * 10 + static_cast<unsigned>(c - '0');
            if (++digits > 3 || parts[part] > 255)
                return false;
        } else {
            return false;
        }
    }
    if (part != 3 || digits == 0) {
        return false;
    }
    addr->s_addr = htonl(parts[0] << 24 | parts[1] << 16 | parts[2] << 8 | parts[3]);
    return true;
}

std::string FormatIpv4(const std::uint8_t *area) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", area[0], area[1], area[2], area[3]);
    return text;
}

Bytes BuildIdentify(std::uint16_t sequence) {
    return Header(proto::kCmdIdentify, sequence, 0, proto::kHeaderSize);
}

Bytes BuildReadSettings(std::uint16_t sequence) {
    return Header(proto::kCmdReadSettings, sequence, 0, proto::kHeaderSize);
}

Bytes BuildPassword(std::uint16_t command, std::uint16_t sequence, const Mac &target,
                    std::string_view password) {
    namespace pw = proto::password;
    Bytes b = Header(command, sequence, pw::kRequestSize - proto::kHeaderSize, pw::kRequestSize);
    std::memcpy(b.data() + pw::kOffMac, target.data(), target.size());
    const std::size_t n = password.size() < pw::kMaxPassword ? password.size() : pw::kMaxPassword;
    std::memcpy(b.data() + pw::kOffPassword, password.data(), n);
    return b;
}

Bytes BuildPrinterData(std::uint16_t sequence, const std::uint8_t *data, std::size_t count) {
    if (count > kPrinterChunk) {
        count = kPrinterChunk;
    }
    const std::size_t size = proto::printer::kOffData + count;
    Bytes b = Header(proto::kCmdPrinterData, sequence, static_cast<std::uint16_t>(count + 1), size);
    if (count > 0) {
        std::memcpy(b.data() + proto::printer::kOffData, data, count);
    }
    return b;
}

Bytes BuildPrinterAck(std::uint16_t sequence) {
    return Header(proto::kCmdPrinterAck, sequence, 0, proto::kHeaderSize);
}

bool IsReplyTo(const std::uint8_t *data, std::size_t size, std::uint16_t command,
               std::uint16_t sequence) {
    if (size < proto::kHeaderSize) {
        return false;
    }
    const proto::SetupHeader h = proto::GetHeader(data);
    return h.command == command && h.sequence == sequence && size >= proto::kHeaderSize + h.length;
}

int ReplyStatus(const std::uint8_t *data) {
    return proto::GetI16(data + proto::kOffStatus);
}

bool DecodeIdentify(const std::uint8_t *data, std::size_t size, IdentifyInfo *info) {
    namespace id = proto::identify;
    if (size < proto::kHeaderSize + id::kPayload) {
        return false;
    }
    info->status = ReplyStatus(data);
    std::memcpy(info->mac.data(), data + id::kOffMac, proto::kMacSize);
    info->hostname = FieldText(data + id::kOffHostname, id::kHostnameWidth);
    info->password_set = data[id::kOffPasswordFlag] != 0;
    return true;
}

bool DecodeSettings(const std::uint8_t *data, std::size_t size, SettingsInfo *info) {
    namespace st = proto::settings;
    if (size < st::kDatagram) {
        return false;
    }
    info->status = ReplyStatus(data);
    info->password_set = data[st::kOffPasswordFlag] != 0;
    info->version = proto::GetU16(data + st::kOffVersion);
    info->default_name = FieldText(data + st::kOffDefaultName, st::kDefaultNameWidth);
    std::memcpy(info->mac.data(), data + st::kOffMac, proto::kMacSize);
    info->server_name = FieldText(data + st::kOffServerName, st::kServerNameWidth);
    info->description = FieldText(data + st::kOffDescription, st::kDescriptionWidth);
    std::string date = FieldText(data + st::kOffDate, st::kDateWidth);
    if (!date.empty() && date.back() == '\n') {
        date.pop_back();
    }
    info->date = date;
    info->time = FieldText(data + st::kOffTime, st::kTimeWidth);
    info->dhcp_client = data[st::kOffAddressMode] == 0;
    info->ip = FormatIpv4(data + st::kOffIp);
    info->netmask = FormatIpv4(data + st::kOffNetmask);
    info->gateway = FormatIpv4(data + st::kOffGateway);
    info->dhcp_server = data[st::kOffDhcpServer] == 0;
    info->dhcp_start = FormatIpv4(data + st::kOffDhcpStart);
    info->dhcp_end = FormatIpv4(data + st::kOffDhcpEnd);
    info->workgroup = FieldText(data + st::kOffWorkgroup, st::kWorkgroupWidth);
    info->zone = FieldText(data + st::kOffZone, st::kZoneWidth);
    info->time_zone = proto::GetI32(data + st::kOffTimeZone);
    info->wins = data[st::kOffWinsEnable] == 1;
    info->wins_server = FormatIpv4(data + st::kOffWinsServer);
    return true;
}

std::string FormatVersion(std::uint16_t version) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "%X", version);
    std::string out;
    for (const char *p = hex; *p != '\0'; ++p) {
        if (!out.empty()) {
            out += '.';
        }
        out += *p;
    }
    return out;
}

std::string StatusWords(int status) {
    std::string_view meaning = proto::StatusMeaning(status);
    std::string out = std::to_string(status) + " (";
    out += meaning.empty() ? std::string_view("unknown status") : meaning;
    out += ")";
    return out;
}

std::string Latin1ToUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() * 2);
    for (char c : bytes) {
        const auto u = static_cast<std::uint8_t>(c);
        if (u < 0x80) {
            out += c;
        } else {
            out += static_cast<char>(0xC0 | (u >> 6));
            out += static_cast<char>(0x80 | (u & 0x3F));
        }
    }
    return out;
}

bool Utf8ToLatin1(std::string_view text, std::string *bytes, std::string *bad) {
    bytes->clear();
    for (std::size_t at = 0; at < text.size();) {
        std::uint32_t point = 0;
        const std::size_t n = DecodeUtf8(text, at, &point);
        if (n == 0) {
            *bad = "is not UTF-8 text";
            return false;
        }
        if (point > 0xFF) {
            *bad = "has \"" + std::string(text.substr(at, n)) +
                   "\", a character the appliance cannot keep (its texts are ISO 8859-1, Latin-1)";
            return false;
        }
        *bytes += static_cast<char>(point);
        at += n;
    }
    return true;
}

std::size_t CharacterCount(std::string_view text) {
    std::size_t count = 0;
    for (char c : text) {
        count += (static_cast<std::uint8_t>(c) & 0xC0) != 0x80 ? 1 : 0;
    }
    return count;
}

bool IsControlAt(std::string_view text, std::size_t at) {
    const auto u = static_cast<std::uint8_t>(text[at]);
    if (u < 0x20 || u == 0x7F) {
        return true;
    }
    // U+0080 to U+009F: C2 80 to C2 9F.
    return u == 0xC2 && at + 1 < text.size() && static_cast<std::uint8_t>(text[at + 1]) >= 0x80 &&
           static_cast<std::uint8_t>(text[at + 1]) <= 0x9F;
}

std::string Printable(std::string_view text) {
    std::string out;
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (IsControlAt(text, at)) {
            out += '?';
            at += static_cast<std::uint8_t>(text[at]) == 0xC2 ? 1u : 0u;
        } else {
            out += text[at];
        }
    }
    return out;
}

std::string FormatDiscoverTable(const std::vector<IdentifyInfo> &found) {
    std::string out;
    char line[160];
    std::snprintf(line, sizeof line, "%-17s  %-15s  %-14s  %s\n", "MAC", "ADDRESS", "HOST NAME",
                  "PASSWORD");
    out += line;
    for (const IdentifyInfo &i : found) {
        std::string name = i.status == 0 ? Printable(i.hostname) : "?";
        std::snprintf(line, sizeof line, "%-17s  %-15s  %-14s  %s\n",
                      FormatMac(i.mac.data()).c_str(), i.address.c_str(), name.c_str(),
                      i.password_set ? "set" : "not set");
        out += line;
        if (i.status != 0) {
            out += "  status " + StatusWords(i.status) + "\n";
        }
    }
    return out;
}

std::string FormatSettingsText(const SettingsInfo &s) {
    std::string out;
    auto row = [&out](const char *label, const std::string &value) {
        char line[256];
        std::snprintf(line, sizeof line, "%-20s %s\n", label, value.c_str());
        out += line;
    };
    if (s.status != 0) {
        row("Status:", StatusWords(s.status));
    }
    row("MAC address:", FormatMac(s.mac.data()));
    row("Server name:", Printable(s.server_name));
    row("Default name:", Printable(s.default_name));
    row("Description:", Printable(s.description));
    char version[32];
    std::snprintf(version, sizeof version, "%s (0x%04X)", FormatVersion(s.version).c_str(),
                  s.version);
    row("Firmware version:", version);
    row("Password:", s.password_set ? "set" : "not set");
    row("Date:", Printable(s.date));
    row("Time:", Printable(s.time));
    row("Address mode:", s.dhcp_client ? "DHCP" : "fixed");
    row("IP address:", s.ip);
    row("Netmask:", s.netmask);
    row("Gateway:", s.gateway);
    row("DHCP server:", s.dhcp_server ? "on" : "off");
    row("DHCP range:", s.dhcp_start + " - " + s.dhcp_end);
    row("Workgroup:", Printable(s.workgroup));
    row("AppleTalk zone:", Printable(s.zone));
    row("Time zone:", std::to_string(s.time_zone));
    row("WINS:", s.wins ? "on" : "off");
    row("WINS server:", s.wins_server);
    return out;
}

}  // namespace dssetup
