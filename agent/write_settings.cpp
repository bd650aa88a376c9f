// Write settings (0x11): compare the request with the stored settings and write what changed,
// set the time zone, the date and the time, then apply the settings to the running system.
// The configuration lock is held while the keys are compared and written, released around the
// time-zone script (which may store the zone itself), and held again to the end. A request in
// DHCP mode is answered before the network is touched; a later failure gets a second reply.
//
// Decided beyond the protocol:
// - Text of the request that would be written (it differs from the stored value) is checked
//   before the first key is written: a control character (TAB included), a value the settings
//   file cannot hold, or a text that its system files would change (see NETServerNameIsValid,
//   SMBWorkgroupIsSafe, APPLEZoneIsSafe) refuses the request with that field's write status.
//   Unchanged text is neither written nor applied by name; the file writers cut what they must.
// - An all-zero address keeps the stored value, and the records carry that stored value
//   (an empty stored IP address or netmask as "0.0.0.0", which the TCP/IP step refuses).
// - With WINS off the Samba step gets no WINS server (the request's address is still stored).
// - When setting the date or the time fails, the scheduler is started again before the reply.
// - After a DHCP switch, addresses or name servers that cannot be read are not written back:
//   the stored values stay.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "agent/agent.h"
#include "common/paths.h"
#include "common/shell_quote.h"
#include "common/util.h"
#include "config/cfg.h"
#include "config/keys.h"
#include "net/net.h"
#include "share/share.h"

namespace {

namespace wr = proto::write;

constexpr char kYes[] = "yes";
constexpr char kNo[] = "no";
constexpr char kEnable[] = "enable";
constexpr char kDisable[] = "disable";
constexpr char kDhcp[] = "dhcp";
constexpr char kStatic[] = "static";
constexpr char kNoAddress[] = "0.0.0.0";
constexpr char kLedGetIpFail[] = "-getipfail";
constexpr char kSetConfArguments[] = "global = modify 'server string'";
constexpr char kClockSetDateMode[] = "1";
constexpr char kClockSetTimeMode[] = "2";
constexpr char kLockOpenMessage[] = " CMD 0x11 LockFile() fail";
constexpr char kLockBusyMessage[] = " CMD 0x11, LockFile() fail";
constexpr std::size_t kFlagBufferSize = 200;  // msn_enable, apple_enable

// The request's fields; every text ends at the zero the agent forces into its last byte.
struct Request {
    const char *name;
    const char *description;
    const char *date;
    const char *time;
    bool dhcp_mode;
    const std::uint8_t *ip;
    const std::uint8_t *netmask;
    const std::uint8_t *gateway;
    bool dhcp_server_on;
    const std::uint8_t *dhcp_start;
    const std::uint8_t *dhcp_end;
    const char *workgroup;
    const char *zone;
    std::int32_t time_zone;
    bool wins_on;
    const std::uint8_t *wins_server;
};

// The 14 stored values compared with the request.
struct Stored {
    char server_name[15];
    char description[49];
    char bootproto[7];
    char ip_addr[16];
    char netmask[16];
    char gateway[16];
    char dhcp_server[4];
    char dhcp_start_ip[16];
    char dhcp_end_ip[16];
    char workgroup[16];
    char zone[33];
    char time_zone[5];
    char wins_enable[4];
    char wins_server[16];
};

// What the apply steps get: the records, the change flags and the new name.
struct Apply {
    NetInfo net;
    DnsInfo dns;
    DhcpServerInfo dhcp;
    SambaInfo samba;
    AtalkInfo atalk;
    bool network_changed;
    bool name_changed;
    bool dhcp_changed;
    bool dns_read;
    char name[15];
};

const char *TextAt(std::uint8_t *receive, std::size_t offset, std::size_t width) {
    receive[offset + width - 1] = 0;
    return reinterpret_cast<const char *>(receive + offset);
}

Request ParseRequest(std::uint8_t *r) {
    Request q{};
    q.name = TextAt(r, wr::kOffServerName, wr::kServerNameWidth);
    q.description = TextAt(r, wr::kOffDescription, wr::kDescriptionWidth);
    q.date = TextAt(r, wr::kOffDate, wr::kDateWidth);
    q.time = TextAt(r, wr::kOffTime, wr::kTimeWidth);
    q.dhcp_mode = r[wr::kOffAddressMode] == 0;
    q.ip = r + wr::kOffIp;
    q.netmask = r + wr::kOffNetmask;
    q.gateway = r + wr::kOffGateway;
    q.dhcp_server_on = r[wr::kOffDhcpServer] == 0;
    q.dhcp_start = r + wr::kOffDhcpStart;
    q.dhcp_end = r + wr::kOffDhcpEnd;
    q.workgroup = TextAt(r, wr::kOffWorkgroup, wr::kWorkgroupWidth);
    q.zone = TextAt(r, wr::kOffZone, wr::kZoneWidth);
    q.time_zone = proto::GetI32(r + wr::kOffTimeZone);
    q.wins_on = r[wr::kOffWinsEnable] == 1;
    q.wins_server = r + wr::kOffWinsServer;
    return q;
}

template <std::size_t N>
void SetText(char (&field)[N], const char *text) {
    std::snprintf(field, N, "%s", text);
}

bool IsNoAddressText(const char *text) {
    return text[0] == '\0' || std::strcmp(text, kNoAddress) == 0;
}

bool IsZero(const std::uint8_t *address) {
    return address[0] == 0 && address[1] == 0 && address[2] == 0 && address[3] == 0;
}

bool Differs(const char *request, const char *stored) {
    return std::strcmp(request, stored) != 0;
}

// Logs the message (when there is one) and gives the status back.
int Fail(int status, const char *message) {
    if (message != nullptr) {
        AgentLog(message);
    }
    return status;
}

int Load(const char *key, char *buffer, int size, int status, const char *message) {
    const int rc = ReadCFGData(paths::kConfigFile, paths::kConfigSection, key, buffer, size);
    buffer[size - 1] = '\0';
    return rc == kCfgOk ? 0 : Fail(status, message);
}

int Store(const char *key, const char *value, int status, const char *message) {
    const int rc = WriteCFGData(paths::kConfigFile, paths::kConfigSection, key, value);
    return rc == kCfgOk ? 0 : Fail(status, message);
}

int TakeLock() {
    const int status = TakeConfigLock(kLockExclusive);
    if (status == proto::kStLockOpen) {
        return Fail(status, kLockOpenMessage);
    }
    if (status == proto::kStLockBusy) {
        return Fail(status, kLockBusyMessage);
    }
    return status;
}

int ReadStored(Stored &s) {
    struct KeyRead {
        const char *key;
        char *buffer;
        int size;
        int status;
        const char *message;
    };
    const KeyRead reads[] = {
        {keys::kDiskServerName, s.server_name, sizeof s.server_name, proto::kStGetServerName,
         " Get disk_server_name fail"},
        {keys::kDiskServerComment, s.description, sizeof s.description, proto::kStGetComment,
         " Get disk_server_comment fail"},
        {keys::kBootproto, s.bootproto, sizeof s.bootproto, proto::kStGetBootproto,
         " Get ip status fail"},
        {keys::kIpAddr, s.ip_addr, sizeof s.ip_addr, proto::kStGetIpAddr, " Get ip address fail"},
        {keys::kNetmask, s.netmask, sizeof s.netmask, proto::kStGetNetmask, " Get netmask fail"},
        {keys::kGateway, s.gateway, sizeof s.gateway, proto::kStGetGateway, " Get gateway fail"},
        {keys::kDhcpServer, s.dhcp_server, sizeof s.dhcp_server, proto::kStGetDhcpServer,
         " Get dhcp server fail"},
        {keys::kDhcpStartIp, s.dhcp_start_ip, sizeof s.dhcp_start_ip, proto::kStGetDhcpStart,
         " Get dhcp start ip fail"},
        {keys::kDhcpEndIp, s.dhcp_end_ip, sizeof s.dhcp_end_ip, proto::kStGetDhcpEnd,
         " Get dhcp end ip fail"},
        {keys::kWorkgroup, s.workgroup, sizeof s.workgroup, proto::kStGetWorkgroup,
         " Get domain name fail"},
        {keys::kZoneName, s.zone, sizeof s.zone, proto::kStGetZone, " Get zone name fail"},
        {keys::kTimeZone, s.time_zone, sizeof s.time_zone, proto::kStGetTimeZone,
         " Get time zone fail"},
        {keys::kWinsEnable, s.wins_enable, sizeof s.wins_enable, proto::kStGetWinsEnable,
         " Get Wins Enable fail"},
        {keys::kWinsServer, s.wins_server, sizeof s.wins_server, proto::kStGetWinsServer,
         " CMD 0x11, get wins server ip address fail"},
    };
    std::memset(&s, 0, sizeof s);
    for (const KeyRead &k : reads) {
        const int status = Load(k.key, k.buffer, k.size, k.status, k.message);
        if (status != 0) {
            return status;
        }
    }
    return 0;
}

bool HasControl(const char *text) {
    for (const char *p = text; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c == 0x7f) {
            return true;
        }
    }
    return false;
}

// A text of the request that is to be written: no control character (it would add a line or
// a field anywhere), a value the settings file takes, and what the field's own files take.
bool Writable(const char *text, bool (*fits_files)(const char *)) {
    return !HasControl(text) && CFGValueIsStorable(text) &&
           (fits_files == nullptr || fits_files(text));
}

// Every text of the request that would be written is checked before the first write.
int CheckTexts(const Request &q, const Stored &s) {
    struct TextCheck {
        const char *request;
        const char *stored;
        bool (*fits_files)(const char *);
        int status;
        const char *message;
    };
    const TextCheck checks[] = {
        {q.name, s.server_name, NETServerNameIsValid, proto::kStWriteServerName,
         " CMD 0x11, write server name fail"},
        {q.description, s.description, nullptr, proto::kStWriteComment,
         " CMD 0x11, write description fail"},
        {q.workgroup, s.workgroup, SMBWorkgroupIsSafe, proto::kStWriteWorkgroup,
         " CMD 0x11, write domain name fail"},
        {q.zone, s.zone, APPLEZoneIsSafe, proto::kStWriteZone, " CMD 0x11, write zone name fail"},
    };
    for (const TextCheck &c : checks) {
        if (Differs(c.request, c.stored) && !Writable(c.request, c.fits_files)) {
            return Fail(c.status, c.message);
        }
    }
    return 0;
}

// The description into smb.conf through the web administration's editing script, as one
// quoted word whatever it holds. Its exit status is not looked at.
void RunSetConf(const char *description) {
    char command[512];
    std::snprintf(command, sizeof command, "%s %s %s ", paths::kSetConfScript, paths::kSmbConf,
                  kSetConfArguments);
    if (shell_quote_append(command, sizeof command, description) == 0) {
        RunShell(command);
    }
}

struct AddressStep {
    const std::uint8_t *request;
    const char *stored;
    const char *key;
    char *field;  // 16 bytes of the record
    bool *changed;
    int write_status;
    const char *convert_message;
    const char *write_message;
};

// A non-zero address of the request: converted, written when it differs, into the record.
// All zero: the stored value stays and goes into the record (`zero_text` when it is none).
int CompareAddress(const AddressStep &a, const char *zero_text) {
    if (IsZero(a.request)) {
        std::snprintf(a.field, 16, "%s",
                      zero_text != nullptr && IsNoAddressText(a.stored) ? zero_text : a.stored);
        return 0;
    }
    char text[16] = {};
    if (tran_IPArea_DOTString(a.request, text) != 0) {
        return Fail(proto::kStAddressToText, a.convert_message);
    }
    if (Differs(text, a.stored)) {
        if (a.changed != nullptr) {
            *a.changed = true;
        }
        const int status = Store(a.key, text, a.write_status, a.write_message);
        if (status != 0) {
            return status;
        }
    }
    std::snprintf(a.field, 16, "%s", text);
    return 0;
}

int CompareAddressing(const Request &q, const Stored &s, Apply &a) {
    const char *mode = q.dhcp_mode ? kDhcp : kStatic;
    if (Differs(mode, s.bootproto)) {
        a.network_changed = true;
        const int status = Store(keys::kBootproto, mode, proto::kStWriteBootproto,
                                 " CMD 0x11, set ip status fail");
        if (status != 0) {
            return status;
        }
    }
    SetText(a.net.bootproto, mode);
    if (q.dhcp_mode) {
        return 0;  // the addresses of the request are not used
    }
    const AddressStep ip = {q.ip,
                            s.ip_addr,
                            keys::kIpAddr,
                            a.net.ipaddr,
                            &a.network_changed,
                            proto::kStWriteIpAddr,
                            " CMD 0x11, tran_IPArea_DOTString(ip) fail",
                            " CMD 0x11, set ip address fail"};
    int status = CompareAddress(ip, kNoAddress);
    if (status != 0) {
        return status;
    }
    const AddressStep mask = {q.netmask,
                              s.netmask,
                              keys::kNetmask,
                              a.net.netmask,
                              &a.network_changed,
                              proto::kStWriteNetmask,
                              " CMD 0x11, tran_IPArea_DOTString(netmask) fail",
                              " CMD 0x11, set netmask fail"};
    status = CompareAddress(mask, kNoAddress);
    if (status != 0) {
        return status;
    }
    if (IsZero(q.gateway)) {
        // No gateway.
        a.net.gateway[0] = '\0';
        if (s.gateway[0] != '\0') {
            a.network_changed = true;
            return Store(keys::kGateway, "", proto::kStWriteGateway, " CMD 0x11, set gateway fail");
        }
        return 0;
    }
    const AddressStep gateway = {q.gateway,
                                 s.gateway,
                                 keys::kGateway,
                                 a.net.gateway,
                                 &a.network_changed,
                                 proto::kStWriteGateway,
                                 " CMD 0x11, tran_IPArea_DOTString(gateway) fail",
                                 " CMD 0x11, set gateway fail"};
    return CompareAddress(gateway, nullptr);
}

int StoreDhcpSwitch(const char *word, const Stored &s, Apply &a, const char *message) {
    if (Differs(word, s.dhcp_server)) {
        a.dhcp_changed = true;
        return Store(keys::kDhcpServer, word, proto::kStWriteDhcpServer, message);
    }
    return 0;
}

int CompareDhcpServer(const Request &q, const Stored &s, Apply &a) {
    SetText(a.dhcp.start_ip, s.dhcp_start_ip);
    SetText(a.dhcp.end_ip, s.dhcp_end_ip);
    if (q.dhcp_mode || !q.dhcp_server_on) {
        // A DHCP client serves no addresses; the range of the request is not used.
        SetText(a.dhcp.state, kDisable);
        return StoreDhcpSwitch(kNo, s, a,
                               q.dhcp_mode ? " CMD 0x11, set dhcp enable? fail"
                                           : " CMD 0x11, write dhcp enable? fail");
    }
    SetText(a.dhcp.state, kEnable);
    int status = StoreDhcpSwitch(kYes, s, a, " CMD 0x11, set dhcp enable? fail");
    if (status != 0) {
        return status;
    }
    const AddressStep start = {q.dhcp_start,
                               s.dhcp_start_ip,
                               keys::kDhcpStartIp,
                               a.dhcp.start_ip,
                               &a.dhcp_changed,
                               proto::kStWriteDhcpStart,
                               " CMD 0x11, tran_IPArea_DOTString(dhcp_start_ip) fail",
                               " CMD 0x11, set dhcp_start_ip fail"};
    status = CompareAddress(start, nullptr);
    if (status != 0) {
        return status;
    }
    const AddressStep end = {q.dhcp_end,
                             s.dhcp_end_ip,
                             keys::kDhcpEndIp,
                             a.dhcp.end_ip,
                             &a.dhcp_changed,
                             proto::kStWriteDhcpEnd,
                             " CMD 0x11, tran_IPArea_DOTString(dhcp_end_ip) fail",
                             " CMD 0x11, set dhcp_end_ip fail"};
    return CompareAddress(end, nullptr);
}

int CompareSharing(const Request &q, const Stored &s, Apply &a) {
    if (Differs(q.workgroup, s.workgroup)) {
        const int status = Store(keys::kWorkgroup, q.workgroup, proto::kStWriteWorkgroup,
                                 " CMD 0x11, write domain name fail");
        if (status != 0) {
            return status;
        }
    }
    SetText(a.samba.workgroup, q.workgroup);
    if (Differs(q.zone, s.zone)) {
        const int status =
            Store(keys::kZoneName, q.zone, proto::kStWriteZone, " CMD 0x11, write zone name fail");
        if (status != 0) {
            return status;
        }
    }
    SetText(a.atalk.zone, q.zone);
    const char *wins = q.wins_on ? kYes : kNo;
    if (Differs(wins, s.wins_enable)) {
        const int status = Store(keys::kWinsEnable, wins, proto::kStWriteWinsEnable,
                                 " CMD 0x11, set Wins Enable fail");
        if (status != 0) {
            return status;
        }
    }
    char wins_server[16] = {};
    const AddressStep server = {q.wins_server,
                                s.wins_server,
                                keys::kWinsServer,
                                wins_server,
                                nullptr,
                                proto::kStWriteIpAddr,
                                " CMD 0x11, tran_IPArea_DOTString(wins server) fail",
                                " CMD 0x11, set wins server ip address fail"};
    const int status = CompareAddress(server, nullptr);
    if (status != 0) {
        return status;
    }
    // Samba gets no WINS lines that the user switched off.
    SetText(a.samba.wins_server, q.wins_on ? wins_server : "");
    return 0;
}

// Reads, checks, compares and writes, under the lock.
int CompareAndStore(const Request &q, Stored &s, Apply &a) {
    int status = ReadStored(s);
    if (status == 0) {
        status = CheckTexts(q, s);
    }
    if (status != 0) {
        return status;
    }
    if (Differs(q.name, s.server_name)) {
        a.name_changed = true;
        status = Store(keys::kDiskServerName, q.name, proto::kStWriteServerName,
                       " CMD 0x11, write server name fail");
        if (status != 0) {
            return status;
        }
    }
    SetText(a.name, q.name);
    if (Differs(q.description, s.description)) {
        status = Store(keys::kDiskServerComment, q.description, proto::kStWriteComment,
                       " CMD 0x11, write description fail");
        if (status != 0) {
            return status;
        }
        RunSetConf(q.description);
    }
    status = CompareAddressing(q, s, a);
    if (status == 0) {
        status = CompareDhcpServer(q, s, a);
    }
    if (status == 0) {
        status = CompareSharing(q, s, a);
    }
    return status;
}

// The time-zone script, when the request's zone differs from the stored one.
int SetTimeZone(const Request &q, const char *stored) {
    if (q.time_zone == static_cast<std::int32_t>(std::strtol(stored, nullptr, 10))) {
        return 0;
    }
    char command[160];
    std::snprintf(command, sizeof command, "%s %d", paths::kTimeZoneScript,
                  static_cast<int>(q.time_zone));
    const int rc = mySystem(command, kScriptSeconds);
    if (rc == kRunnerTimeout) {
        return Fail(proto::kStScriptTimeout, " CMD 0x11, mySystem(set_timezone) timeout");
    }
    if (rc != 0) {
        return Fail(proto::kStTimeZoneScript, " CMD 0x11, mySystem(set_timezone) timeout");
    }
    return 0;
}

// clockset with one quoted word (the date or the time) and the mode digit.
int RunClockSet(const char *text, const char *mode, int status, const char *message) {
    char command[160];
    std::snprintf(command, sizeof command, "%s ", paths::kClockSet);
    if (shell_quote_append(command, sizeof command, text) != 0) {
        return Fail(status, message);
    }
    const std::size_t used = std::strlen(command);
    std::snprintf(command + used, sizeof command - used, " %s", mode);
    return mySystem(command, kScriptSeconds) == 0 ? 0 : Fail(status, message);
}

// Date and time, with the scheduler stopped around them; it is started again also when
// setting the date or the time failed.
int SetClock(const Request &q) {
    RunProgram(paths::kCrondInit, "stop");
    int status =
        RunClockSet(q.date, kClockSetDateMode, proto::kStSetDate, " CMD 0x11, set date fail");
    if (status == 0) {
        status =
            RunClockSet(q.time, kClockSetTimeMode, proto::kStSetTime, " CMD 0x11, set time fail");
    }
    RunProgram(paths::kCrondInit, "start");
    return status;
}

int ReadDns(Apply &a) {
    a.dns_read = true;
    int status = Load(keys::kDnsServer1, a.dns.nameserver1, sizeof a.dns.nameserver1,
                      proto::kStGetDns1, " Get dns server 1 fail");
    if (status == 0) {
        status = Load(keys::kDnsServer2, a.dns.nameserver2, sizeof a.dns.nameserver2,
                      proto::kStGetDns2, " Get dns server 2 fail");
    }
    if (status == 0) {
        status = Load(keys::kDnsServer3, a.dns.nameserver3, sizeof a.dns.nameserver3,
                      proto::kStGetDns3, " Get dns server 3 fail");
    }
    return status;
}

void RunShellCommand(const char *program, const char *argument) {
    char command[160];
    std::snprintf(command, sizeof command, "%s%s%s", program, argument[0] != '\0' ? " " : "",
                  argument);
    RunShell(command);
}

int ApplyNetwork(bool dhcp_mode, Apply &a) {
    int status = ReadDns(a);
    if (status != 0) {
        return status;
    }
    if (NETSetTCPIPNetwork(&a.net, &a.dns) == 0) {
        return 0;
    }
    if (dhcp_mode) {
        if (NETReadCurrentNetworkData(&a.net) != 0) {
            return proto::kStNoCurrentAddress;
        }
        if (IsNoAddressText(a.net.ipaddr)) {
            RunShellCommand(paths::kDefaultAddressScript, "");
            RunShellCommand(paths::kLedScript, kLedGetIpFail);
        }
    }
    return proto::kStApplyTcpip;
}

// "enable" when the stored switch begins with "yes".
void SwitchState(char (&state)[8], const char *flag) {
    SetText(state, std::strncmp(flag, kYes, 3) == 0 ? kEnable : kDisable);
}

int ApplySamba(Apply &a) {
    char flag[kFlagBufferSize] = {};
    SambaInfo &samba = a.samba;
    int status = Load(keys::kMsnEnable, flag, sizeof flag, proto::kStGetMsnEnable,
                      " Get msn_enable field fail");
    if (status == 0) {
        status = Load(keys::kCodePage, samba.code_page, sizeof samba.code_page,
                      proto::kStGetCodePage, " Get code_page field fail");
    }
    if (status == 0) {
        status = Load(keys::kPrinterName, samba.printer_name, sizeof samba.printer_name,
                      proto::kStGetPrinterName, " Get printer_name field fail");
    }
    if (status == 0) {
        status = Load(keys::kPrinterComment, samba.printer_comment, sizeof samba.printer_comment,
                      proto::kStGetPrinterComment, " Get printer_comment field fail");
    }
    if (status != 0) {
        return status;
    }
    SwitchState(samba.state, flag);
    return SMBSetSamba(&samba) == 0 ? 0 : Fail(proto::kStApplySamba, " Call SMBSetSamba() fail");
}

int ApplyAppleTalk(Apply &a) {
    char flag[kFlagBufferSize] = {};
    AtalkInfo &atalk = a.atalk;
    int status = Load(keys::kAppleEnable, flag, sizeof flag, proto::kStGetAppleEnable,
                      " Get apple_enable field fail");
    if (status == 0) {
        status = Load(keys::kPrinterName, atalk.printer_name, sizeof atalk.printer_name,
                      proto::kStGetPrinterName, " Get printer_name field fail");
    }
    if (status == 0) {
        status = Load(keys::kMacPrinterType, atalk.printer_type, sizeof atalk.printer_type,
                      proto::kStGetMacPrinterType, " Get mac_printer_type field fail");
    }
    if (status == 0) {
        status = Load(keys::kPrinterClient, atalk.printer_client, sizeof atalk.printer_client,
                      proto::kStGetPrinterClient, " Get printer_client field fail");
    }
    if (status != 0) {
        return status;
    }
    SwitchState(atalk.state, flag);
    return APPLESetNetatalk(&atalk) == 0
               ? 0
               : Fail(proto::kStApplyAppleTalk, " Call APPLESetNetatalk() fail");
}

// The apply chain: network, name, DHCP server (each only when changed), Samba and AppleTalk.
int ApplySettings(bool dhcp_mode, Apply &a) {
    if (a.network_changed) {
        const int status = ApplyNetwork(dhcp_mode, a);
        if (status != 0) {
            return status;
        }
    }
    if (a.name_changed && NETSetHostname(a.name) != 0) {
        return Fail(proto::kStApplyName, " Call NETSetHostname() fail");
    }
    if (a.dhcp_changed) {
        if (!a.dns_read) {
            const int status = ReadDns(a);
            if (status != 0) {
                return status;
            }
        }
        if (NETSetDHCPServer(&a.net, &a.dns, &a.dhcp) != 0) {
            return Fail(proto::kStApplyDhcp, " Call NETSetDHCPServer() fail");
        }
    }
    const int status = ApplySamba(a);
    return status != 0 ? status : ApplyAppleTalk(a);
}

void WriteBack(const char *key, const char *value, const char *message) {
    if (WriteCFGData(paths::kConfigFile, paths::kConfigSection, key, value) != kCfgOk) {
        AgentLog(message);
    }
}

// After a switch to DHCP: the addresses and name servers the interface got, into the settings.
void StoreLeasedAddresses(Apply &a) {
    if (NETReadCurrentNetworkData(&a.net) != 0) {
        AgentLog(" Call NETReadCurrentNetworkData fail");
    } else {
        WriteBack(keys::kIpAddr, a.net.ipaddr, " CMD 0x11, write ip_addr fail");
        WriteBack(keys::kNetmask, a.net.netmask, " CMD 0x11, write netmask fail");
        WriteBack(keys::kGateway, a.net.gateway, " CMD 0x11, write gateway fail");
    }
    if (NETReadCurrentDNSData(&a.dns) != 0) {
        AgentLog(" Call NETReadCurrentDNSData fail");
        return;
    }
    WriteBack(keys::kDnsServer1, a.dns.nameserver1, " CMD 0x11, write dns server 1 fail");
    WriteBack(keys::kDnsServer2, a.dns.nameserver2, " CMD 0x11, write dns server 2 fail");
    WriteBack(keys::kDnsServer3, a.dns.nameserver3, " CMD 0x11, write dns server 3 fail");
}

void Reply(AgentState &state, int status) {
    SetReplyStatus(state, status, 0);
    SendReply(state);
}

// -117 when a scan is in progress, or when that cannot be told.
bool ScanInProgress() {
    struct stat st {};
    return lstat(paths::kScanMarker, &st) == 0 || errno != ENOENT;
}

// Steps after the request was found addressed to us. Returns with every reply sent and the
// lock released.
void WriteSettings(AgentState &state) {
    if (ScanInProgress()) {
        Reply(state, proto::kStScanning);
        return;
    }
    int status = TakeLock();
    if (status != 0) {
        Reply(state, status);
        return;
    }
    const Request q = ParseRequest(state.receive);
    Stored s;
    Apply a{};
    SetText(a.net.ifname, paths::kInterface);
    status = CompareAndStore(q, s, a);
    if (status != 0) {
        Reply(state, status);
        ReleaseConfigLock();
        return;
    }
    ReleaseConfigLock();
    status = SetTimeZone(q, s.time_zone);
    if (status == 0) {
        status = TakeLock();
    }
    if (status != 0) {
        Reply(state, status);  // the lock is not held
        return;
    }
    status = SetClock(q);
    if (status == 0 && q.dhcp_mode) {
        Reply(state, proto::kStOk);  // before the new address may cut the PC off
    }
    if (status == 0) {
        status = ApplySettings(q.dhcp_mode, a);
    }
    if (status != 0 || !q.dhcp_mode) {
        Reply(state, status);
    } else {
        StoreLeasedAddresses(a);
    }
    ReleaseConfigLock();
}

}  // namespace

void HandleWriteSettings(AgentState &state) {
    if (!TargetIsThisAgent(state)) {
        state.last.dropped = true;
        return;
    }
    WriteSettings(state);
}
