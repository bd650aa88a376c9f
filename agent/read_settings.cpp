// Read settings (0x10): password flag, the 16 stored keys, date and time, in one reply of
// 258 bytes on every path.
#include "agent/read_settings.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "agent/agent.h"
#include "common/paths.h"
#include "common/util.h"
#include "config/cfg.h"
#include "config/keys.h"

namespace {

namespace st = proto::settings;

struct KeyRead {
    const char *key;
    int status;
    const char *message;
};

constexpr KeyRead kKeys[] = {
    {keys::kVersion, proto::kStGetVersion, " CMD 0x10, get version fail"},
    {keys::kDefaultServerName, proto::kStGetDefaultName, " CMD 0x10, get default name fail"},
    {keys::kDiskServerName, proto::kStGetServerName, " CMD 0x10, get server name fail"},
    {keys::kDiskServerComment, proto::kStGetDescription, " CMD 0x10, get description fail"},
    {keys::kBootproto, proto::kStGetBootproto, " CMD 0x10, get ip status fail"},
    {keys::kIpAddr, proto::kStGetIpAddr, " CMD 0x10, ip address fail"},
    {keys::kNetmask, proto::kStGetNetmask, " CMD 0x10, get netmask fail"},
    {keys::kGateway, proto::kStGetGateway, " CMD 0x10, get gateway fail"},
    {keys::kDhcpServer, proto::kStGetDhcpServer, " CMD 0x10, get dhcp server fail"},
    {keys::kDhcpStartIp, proto::kStGetDhcpStart, " CMD 0x10, get dhcp server start ip fail"},
    {keys::kDhcpEndIp, proto::kStGetDhcpEnd, " CMD 0x10, get dhcp server end ip fail"},
    {keys::kWorkgroup, proto::kStGetWorkgroup, " CMD 0x10, get domain name fail"},
    {keys::kZoneName, proto::kStGetZone, " CMD 0x10, get zone name fail"},
    {keys::kTimeZone, proto::kStGetTimeZone, " CMD 0x10, get time zone fail"},
    {keys::kWinsEnable, proto::kStGetDhcpServer, " CMD 0x10, get Wins Enable fail"},
    {keys::kWinsServer, proto::kStGetWinsServer, " CMD 0x10, get wins server ip address fail"},
};

struct Field {
    char *text;
    int size;
};

// Copies a text into a zeroed field, leaving room for its terminating zero.
void CopyText(std::uint8_t *field, std::size_t width, const char *text) {
    std::size_t n = strnlen(text, width - 1);
    std::memcpy(field, text, n);
}

int PackAddress(std::uint8_t *field, const char *text, const char *fail_message,
                const char **message) {
    if (tran_DOTString_IPArea(field, text) != 0) {
        std::memset(field, 0, 4);
        *message = fail_message;
        return proto::kStTextToAddress;
    }
    return 0;
}

}  // namespace

int ReadStoredSettings(StoredSettings &s, const char **message) {
    const Field fields[] = {
        {s.version, sizeof s.version},
        {s.default_name, sizeof s.default_name},
        {s.server_name, sizeof s.server_name},
        {s.description, sizeof s.description},
        {s.bootproto, sizeof s.bootproto},
        {s.ip_addr, sizeof s.ip_addr},
        {s.netmask, sizeof s.netmask},
        {s.gateway, sizeof s.gateway},
        {s.dhcp_server, sizeof s.dhcp_server},
        {s.dhcp_start_ip, sizeof s.dhcp_start_ip},
        {s.dhcp_end_ip, sizeof s.dhcp_end_ip},
        {s.workgroup, sizeof s.workgroup},
        {s.zone, sizeof s.zone},
        {s.time_zone, sizeof s.time_zone},
        {s.wins_enable, sizeof s.wins_enable},
        {s.wins_server, sizeof s.wins_server},
    };
    static_assert(sizeof fields / sizeof fields[0] == sizeof kKeys / sizeof kKeys[0]);
    std::memset(&s, 0, sizeof s);
    for (std::size_t i = 0; i < sizeof kKeys / sizeof kKeys[0]; ++i) {
        if (ReadCFGData(paths::kConfigFile, paths::kConfigSection, kKeys[i].key, fields[i].text,
                        fields[i].size) != kCfgOk) {
            fields[i].text[fields[i].size - 1] = '\0';
            *message = kKeys[i].message;
            return kKeys[i].status;
        }
        fields[i].text[fields[i].size - 1] = '\0';
    }
    return 0;
}

std::uint16_t PackVersion(const char *version) {
    char digits[16] = {};
    std::size_t used = 0;
    int pieces = 0;
    const char *p = version;
    while (*p != '\0' && pieces < 3) {
        if (*p == '.') {
            ++p;
            continue;
        }
        while (*p != '\0' && *p != '.') {
            if (used < sizeof digits - 1) {
                digits[used++] = *p;
            }
            ++p;
        }
        ++pieces;
    }
    return static_cast<std::uint16_t>(std::strtoul(digits, nullptr, 16) & 0xFFFFU);
}

void PackSettingsNames(std::uint8_t *reply, const StoredSettings &s, const std::uint8_t *mac) {
    proto::PutU16(reply + st::kOffVersion, PackVersion(s.version));
    CopyText(reply + st::kOffDefaultName, st::kDefaultNameWidth, s.default_name);
    std::memcpy(reply + st::kOffMac, mac, proto::kMacSize);
    CopyText(reply + st::kOffServerName, st::kServerNameWidth, s.server_name);
    CopyText(reply + st::kOffDescription, st::kDescriptionWidth, s.description);
}

void PackDateTime(std::uint8_t *reply, const char *date_line, const char *time_line) {
    // The date keeps its line feed and fills its field; the time keeps a terminating zero.
    std::memcpy(reply + st::kOffDate, date_line, strnlen(date_line, st::kDateWidth));
    std::size_t n = std::strcspn(time_line, "\r\n");
    if (n > st::kTimeWidth - 1) {
        n = st::kTimeWidth - 1;
    }
    std::memcpy(reply + st::kOffTime, time_line, n);
}

int PackSettingsAddresses(std::uint8_t *reply, const StoredSettings &s, const char **message) {
    reply[st::kOffAddressMode] = std::strstr(s.bootproto, "dhcp") != nullptr ? 0 : 1;
    int rc = PackAddress(reply + st::kOffIp, s.ip_addr, " CMD 0x10, tran_DOTString_IPArea(ip) fail",
                         message);
    if (rc == 0) {
        rc = PackAddress(reply + st::kOffNetmask, s.netmask,
                         " CMD 0x10, tran_DOTString_IPArea(netmask) fail", message);
    }
    if (rc == 0) {
        rc = PackAddress(reply + st::kOffGateway, s.gateway,
                         " CMD 0x10, tran_DOTString_IPArea(gateway) fail", message);
    }
    if (rc != 0) {
        return rc;
    }
    reply[st::kOffDhcpServer] = std::strstr(s.dhcp_server, "yes") != nullptr ? 0 : 1;
    rc = PackAddress(reply + st::kOffDhcpStart, s.dhcp_start_ip,
                     " CMD 0x10, tran_DOTString_IPArea(dhcp_start_ip) fail", message);
    if (rc == 0) {
        rc = PackAddress(reply + st::kOffDhcpEnd, s.dhcp_end_ip,
                         " CMD 0x10, tran_DOTString_IPArea(dhcp_end_ip) fail", message);
    }
    if (rc != 0) {
        return rc;
    }
    reply[st::kOffReserved] = 0;
    CopyText(reply + st::kOffWorkgroup, st::kWorkgroupWidth, s.workgroup);
    CopyText(reply + st::kOffZone, st::kZoneWidth, s.zone);
    proto::PutI32(reply + st::kOffTimeZone,
                  static_cast<std::int32_t>(std::strtol(s.time_zone, nullptr, 10)));
    reply[st::kOffWinsEnable] = std::strstr(s.wins_enable, "yes") != nullptr ? 1 : 0;
    return PackAddress(reply + st::kOffWinsServer, s.wins_server,
                       " CMD 0x10, tran_DOTString_IPArea(wins server ip) fail", message);
}

namespace {

// Runs the clock program and reads its two lines. 0, or -208 with the message. The date file
// is made afresh for each read: an old one (perhaps not ours) is removed first, and the clock
// program creates the new one exclusively.
int ReadClock(char *date_line, char *time_line, std::size_t size, const char **message) {
    RemoveDateFile(paths::kDateFile);
    char command[128];
    std::snprintf(command, sizeof command, "%s %s", paths::kClockShow, paths::kDateFile);
    if (RunShell(command) != 0) {
        *message = " CMD 0x10, run clockshow fail";
        return proto::kStClockShow;
    }
    switch (ReadDateFile(paths::kDateFile, date_line, time_line, size)) {
        case kDateFileOk:
            break;
        case kDateFileNoDate:
            *message = " CMD 0x10, read date in DATE_FILE fail";
            return proto::kStClockShow;
        case kDateFileNoTime:
            *message = " CMD 0x10, read time in DATE_FILE fail";
            return proto::kStClockShow;
        default:
            *message = " CMD 0x10, opne DATE_FILE fail";
            return proto::kStClockShow;
    }
    return 0;
}

int ReadSettingsInto(AgentState &state) {
    std::uint8_t *reply = state.reply;
    const int rc = CheckEmptyPassword(state);
    if (rc == kRunnerTimeout) {
        AgentLog(" CMD 0x10, mySystem(CS_PASSWORD) timeout");
        return proto::kStNotVerified;
    }
    reply[st::kOffPasswordFlag] = rc == 0 ? 0 : 1;

    int status = TakeConfigLock(kLockShared);
    if (status != 0) {
        AgentLog(" CMD 0x10, Lock file fail");
        return status;
    }
    StoredSettings settings;
    const char *message = nullptr;
    status = ReadStoredSettings(settings, &message);
    ReleaseConfigLock();
    if (status != 0) {
        AgentLog(message);
        return status;
    }

    PackSettingsNames(reply, settings, state.mac);

    char date_line[200] = {};
    char time_line[200] = {};
    status = ReadClock(date_line, time_line, sizeof date_line, &message);
    if (status != 0) {
        AgentLog(message);
        return status;
    }
    PackDateTime(reply, date_line, time_line);

    status = PackSettingsAddresses(reply, settings, &message);
    if (status != 0) {
        AgentLog(message);
    }
    return status;
}

}  // namespace

void HandleReadSettings(AgentState &state) {
    const int status = ReadSettingsInto(state);
    SetReplyStatus(state, status, st::kPayload);
    SendReply(state);
}
