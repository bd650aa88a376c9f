// cfgsync: repairs and completes the network section of the configuration file at boot.
// Fallback addressing when the stored one is unusable, the interface's hardware address, the
// default server name and the names that follow it, telnet off, sharing defaults. It changes
// only the configuration file.
//
// The run reads every key it needs in one pass over the file, decides the steps in their
// order, and makes all its writes as one change of the file (WriteCFGDataSet): after a crash
// the file holds all of them or none, and a file that needs no change is not written at all.
// The traces come out in the order of the steps. Beyond the text: a write that fails (disk
// full, I/O error) is traced and the run goes on, but it does not trace "Set Configure File
// Data Finish" and exits with 1; otherwise it exits with 0. Without a settings file (a
// factory-fresh appliance) every step is traced as failed, nothing is written or created, and
// the run exits with 0: the boot goes on with the programs' own defaults.
#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/paths.h"
#include "common/system_file.h"
#include "common/util.h"
#include "config/cfg.h"
#include "config/keys.h"
#include "net/net.h"
#include "protocol/default_address.h"

namespace {

constexpr char kBoot[] = "BOOT";
constexpr char kSystem[] = "SYSTEM";

constexpr const char *kFallbackIp = proto::kDefaultIp;
constexpr const char *kFallbackNetmask = proto::kDefaultNetmask;
constexpr char kPrinterSuffixFormat[] = "%s_p1";

constexpr int kMaxWrites = 24;
constexpr int kMaxTraces = 64;

// A trace of the run, in step order: always traced (write < 0), or only when that write
// failed.
struct Trace {
    const char *tag;
    const char *message;
    int write;
};

// What the run has decided so far.
struct Plan {
    std::array<CfgWrite, kMaxWrites> writes;
    int write_count;
    std::array<Trace, kMaxTraces> traces;
    int trace_count;
};

Plan plan{};

void Note(const char *tag, const char *message, int write = -1) {
    if (plan.trace_count < kMaxTraces) {
        plan.traces[static_cast<std::size_t>(plan.trace_count++)] = Trace{tag, message, write};
    }
}

// A write of the change; `value` must live until the change is made.
void Write(const char *key, const char *value, const char *fail_message) {
    if (plan.write_count >= kMaxWrites) {
        return;
    }
    plan.writes[static_cast<std::size_t>(plan.write_count)] = CfgWrite{key, value, kCfgOk};
    Note(kBoot, fail_message, plan.write_count++);
}

// The stored values the steps look at, each read into a zeroed buffer of the size it is read
// with; a failed read (a cut value included) is traced when its step looks at it.
struct Stored {
    char ip[16], netmask[16], gateway[16], bootproto[7];
    char old_default[9], server_name[15], printer[13];
    char dhcp[8], msn[8], workgroup[16], code_page[6];
    char apple[8], zone[33], printer_type[33], printer_client[33];
};

Stored stored{};

enum ReadIndex {
    kReadIp,
    kReadNetmask,
    kReadGateway,
    kReadBootproto,
    kReadOldDefault,
    kReadServerName,
    kReadPrinter,
    kReadDhcp,
    kReadMsn,
    kReadWorkgroup,
    kReadCodePage,
    kReadApple,
    kReadZone,
    kReadPrinterType,
    kReadPrinterClient,
    kReadCount
};

std::array<CfgRead, kReadCount> reads{{
    {keys::kIpAddr, stored.ip, sizeof stored.ip, 0},
    {keys::kNetmask, stored.netmask, sizeof stored.netmask, 0},
    {keys::kGateway, stored.gateway, sizeof stored.gateway, 0},
    {keys::kBootproto, stored.bootproto, sizeof stored.bootproto, 0},
    {keys::kDefaultServerName, stored.old_default, sizeof stored.old_default, 0},
    {keys::kDiskServerName, stored.server_name, sizeof stored.server_name, 0},
    {keys::kPrinterName, stored.printer, sizeof stored.printer, 0},
    {keys::kDhcpServer, stored.dhcp, sizeof stored.dhcp, 0},
    {keys::kMsnEnable, stored.msn, sizeof stored.msn, 0},
    {keys::kWorkgroup, stored.workgroup, sizeof stored.workgroup, 0},
    {keys::kCodePage, stored.code_page, sizeof stored.code_page, 0},
    {keys::kAppleEnable, stored.apple, sizeof stored.apple, 0},
    {keys::kZoneName, stored.zone, sizeof stored.zone, 0},
    {keys::kMacPrinterType, stored.printer_type, sizeof stored.printer_type, 0},
    {keys::kPrinterClient, stored.printer_client, sizeof stored.printer_client, 0},
}};

// The value read for `index`, with its failure noted.
const char *Read(ReadIndex index, const char *fail_message, const char *tag = kBoot) {
    const CfgRead &r = reads[index];
    if (r.result != kCfgOk) {
        Note(tag, fail_message);
    }
    return r.out;
}

// Values written that are not constants.
NetInfo current{};
std::array<char, 9> new_default{};
std::array<char, 13> new_printer{};

bool IsUnset(const char *address) {
    return address[0] == '\0' || std::strcmp(address, "0.0.0.0") == 0;
}

bool IsYesNo(const char *value) {
    return std::strcmp(value, "yes") == 0 || std::strcmp(value, "no") == 0;
}

void CheckTcpip() {
    const char *ip = Read(kReadIp, "Read tcpip/ip address from DS.CONF fail");
    const char *netmask = Read(kReadNetmask, "Read tcpip/netmask from DS.CONF fail");
    (void)Read(kReadGateway, "Read tcpip/gateway from DS.CONF fail");
    const char *proto = Read(kReadBootproto, "Read tcpip/bootproto from DS.CONF fail", kSystem);
    const bool usable = !IsUnset(ip) && !IsUnset(netmask) &&
                        (std::strcmp(proto, "dhcp") == 0 || std::strcmp(proto, "static") == 0);
    if (usable) {
        return;
    }
    Write(keys::kIpAddr, kFallbackIp, "Write tcpip/ip address to DS.CONF fail");
    Write(keys::kNetmask, kFallbackNetmask, "Write tcpip/netmask to DS.CONF fail");
    Write(keys::kGateway, "", "Clear tcpip/gateway to DS.CONF fail");
    Write(keys::kBootproto, "static", "Write tcpip/bootproto to DS.CONF fail");
    Write(keys::kDnsServer1, "", "Write tcpip/dns1 to DS.CONF fail");
    Write(keys::kDnsServer2, "", "Write tcpip/dns2 to DS.CONF fail");
    Write(keys::kDnsServer3, "", "Write tcpip/dns3 to DS.CONF fail");
}

void SyncHardwareAddress() {
    if (NETReadCurrentNetworkData(&current) != 0) {
        Note(kBoot, "Read current tcpip data fail");
    }
    if (current.hwaddr[0] == '\0') {
        Note(kBoot, "Read current H/W ADDR fail");
        return;
    }
    Write(keys::kHwAddr, current.hwaddr, "Write H/W ADDR to DS.CONF fail");
}

// Default name, and the server and printer names while they still follow the old default.
void SyncNames() {
    const char *old_default = Read(kReadOldDefault, "Read default name from DS.CONF fail");
    if (NETReadDefaultHostname(new_default.data()) != 0 || new_default[0] == '\0') {
        // Without the MAC address there is no default name: the stored names stay as they
        // are rather than being set to an empty name.
        Note(kBoot, "Read default server name fail");
        return;
    }
    Write(keys::kDefaultServerName, new_default.data(), "Write default name to DS.CONF fail");

    const char *server_name = Read(kReadServerName, "Read hostname from DS.CONF fail");
    if (server_name[0] == '\0' || std::strcmp(server_name, old_default) == 0) {
        Write(keys::kDiskServerName, new_default.data(), "Write hostname to DS.CONF fail");
    }

    std::array<char, 13> old_printer{};
    std::snprintf(old_printer.data(), old_printer.size(), kPrinterSuffixFormat, old_default);
    const char *printer = Read(kReadPrinter, "Read printer name from DS.CONF fail");
    if (printer[0] == '\0' || std::strcmp(printer, old_printer.data()) == 0) {
        std::snprintf(new_printer.data(), new_printer.size(), kPrinterSuffixFormat,
                      new_default.data());
        Write(keys::kPrinterName, new_printer.data(), "Write default printer name to DS.CONF fail");
    }
}

// Sets a yes/no flag to `fallback` unless it holds "yes" or "no".
void SyncFlag(ReadIndex index, const char *fallback, const char *read_fail,
              const char *write_fail) {
    if (!IsYesNo(Read(index, read_fail))) {
        Write(reads[index].key, fallback, write_fail);
    }
}

// Sets a text to `fallback` when it is empty.
void SyncText(ReadIndex index, const char *fallback, const char *read_fail,
              const char *write_fail) {
    if (Read(index, read_fail)[0] == '\0') {
        Write(reads[index].key, fallback, write_fail);
    }
}

// The traces of the run in step order; true when every write was made.
bool TraceRun() {
    bool all_written = true;
    for (int i = 0; i < plan.trace_count; ++i) {
        const Trace &t = plan.traces[static_cast<std::size_t>(i)];
        const bool failed =
            t.write < 0 || plan.writes[static_cast<std::size_t>(t.write)].result != kCfgOk;
        if (failed) {
            NETDebugMsg(t.tag, t.message);
        }
        all_written = all_written && (t.write < 0 || !failed);
    }
    return all_written;
}

}  // namespace

int main() {
    // Boot runs it before the services start: a rewrite of a system file that was interrupted
    // (a power cut during an apply) is completed before any service reads its file. The
    // settings file's own is completed by the first store call.
    if (RecoverSystemFiles() != kSysFileOk) {
        NETDebugMsg(kSystem, "Complete interrupted system file rewrite fail");
    }
    (void)ReadCFGDataSet(paths::kConfigFile, paths::kConfigSection, reads.data(), kReadCount);
    CheckTcpip();
    SyncHardwareAddress();
    SyncNames();

    SyncFlag(kReadDhcp, "no", "Read DHCP Server Flag from DS.CONF fail",
             "Write DHCP Server flag to DS.CONF fail");
    Write(keys::kTelnetEnable, "no", "Write Telnet Server Flag from DS.CONF fail");

    SyncFlag(kReadMsn, "yes", "Read SMB Flag from DS.CONF fail", "Write SMB flag to DS.CONF fail");
    SyncText(kReadWorkgroup, "workgroup", "Read SMB Workgroup from DS.CONF fail",
             "Write SMB Wrokgroup to DS.CONF fail");
    SyncText(kReadCodePage, "437", "Read SMB Code Page from DS.CONF fail",
             "Write SMB Code Page to DS.CONF fail");

    SyncFlag(kReadApple, "yes", "Read Netatalk Flag from DS.CONF fail",
             "Write Netatalk flag to DS.CONF fail");
    SyncText(kReadZone, "*", "Read Netatalk zone name from DS.CONF fail",
             "Write Netatalk zone name to DS.CONF fail");
    SyncText(kReadPrinterType, "LaserWriter", "Read Netatalk printer type from DS.CONF fail",
             "Write Netatalk printer type to DS.CONF fail");
    SyncText(kReadPrinterClient, "laserwriter", "Read Netatalk printer name from DS.CONF fail",
             "Write Netatalk printer name to DS.CONF fail");

    struct stat st {};
    if (::stat(paths::kConfigFile, &st) != 0 && errno == ENOENT) {
        for (int i = 0; i < plan.write_count; ++i) {
            plan.writes[static_cast<std::size_t>(i)].result = kCfgOpenFail;
        }
        (void)TraceRun();
        NETDebugMsg(kSystem, "No configuration file, nothing written");
        return 0;
    }
    (void)WriteCFGDataSet(paths::kConfigFile, paths::kConfigSection, plan.writes.data(),
                          plan.write_count);
    if (!TraceRun()) {
        return 1;
    }
    NETDebugMsg(kSystem, "Set Configure File Data Finish");
    return 0;
}
