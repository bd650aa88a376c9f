// cfgsync: repairs and completes the network section of the configuration file at boot.
// Fallback addressing when the stored one is unusable, the interface's hardware address, the
// default server name and the names that follow it, telnet off, sharing defaults. It changes
// only the configuration file, traces every failure and always exits 0.
#include <array>
#include <cstdio>
#include <cstring>

#include "common/paths.h"
#include "common/util.h"
#include "config/cfg.h"
#include "config/keys.h"
#include "net/net.h"

namespace {

constexpr char kBoot[] = "BOOT";
constexpr char kSystem[] = "SYSTEM";

constexpr char kFallbackIp[] = "192.168.0.2";
constexpr char kFallbackNetmask[] = "255.255.255.0";
constexpr char kPrinterSuffixFormat[] = "%s_p1";

// Reads one key into the zeroed buffer; any failure (a cut value included) is traced, and the
// buffer then holds what the store left there (empty, or the cut value).
template <std::size_t N>
void Read(const char *key, char (&out)[N], const char *tag, const char *fail_message) {
    std::memset(out, 0, N);
    if (ReadCFGData(paths::kConfigFile, paths::kConfigSection, key, out, static_cast<int>(N)) !=
        kCfgOk) {
        NETDebugMsg(tag, fail_message);
    }
}

template <std::size_t N>
void Read(const char *key, std::array<char, N> &out, const char *fail_message) {
    out.fill('\0');
    if (ReadCFGData(paths::kConfigFile, paths::kConfigSection, key, out.data(),
                    static_cast<int>(N)) != kCfgOk) {
        NETDebugMsg(kBoot, fail_message);
    }
}

void Write(const char *key, const char *value, const char *fail_message) {
    if (WriteCFGData(paths::kConfigFile, paths::kConfigSection, key, value) != kCfgOk) {
        NETDebugMsg(kBoot, fail_message);
    }
}

bool IsUnset(const char *address) {
    return address[0] == '\0' || std::strcmp(address, "0.0.0.0") == 0;
}

bool IsYesNo(const char *value) {
    return std::strcmp(value, "yes") == 0 || std::strcmp(value, "no") == 0;
}

void CheckTcpip(NetInfo *info) {
    Read(keys::kIpAddr, info->ipaddr, kBoot, "Read tcpip/ip address from DS.CONF fail");
    Read(keys::kNetmask, info->netmask, kBoot, "Read tcpip/netmask from DS.CONF fail");
    Read(keys::kGateway, info->gateway, kBoot, "Read tcpip/gateway from DS.CONF fail");
    Read(keys::kBootproto, info->bootproto, kSystem, "Read tcpip/bootproto from DS.CONF fail");
    bool usable =
        !IsUnset(info->ipaddr) && !IsUnset(info->netmask) &&
        (std::strcmp(info->bootproto, "dhcp") == 0 || std::strcmp(info->bootproto, "static") == 0);
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

void SyncHardwareAddress(NetInfo *info) {
    std::memset(info, 0, sizeof *info);
    if (NETReadCurrentNetworkData(info) != 0) {
        NETDebugMsg(kBoot, "Read current tcpip data fail");
    }
    if (info->hwaddr[0] == '\0') {
        NETDebugMsg(kBoot, "Read current H/W ADDR fail");
        return;
    }
    Write(keys::kHwAddr, info->hwaddr, "Write H/W ADDR to DS.CONF fail");
}

// Default name, and the server and printer names while they still follow the old default.
void SyncNames() {
    std::array<char, 9> old_default{};
    Read(keys::kDefaultServerName, old_default, "Read default name from DS.CONF fail");
    std::array<char, 9> new_default{};
    if (NETReadDefaultHostname(new_default.data()) != 0 || new_default[0] == '\0') {
        // Without the MAC address there is no default name: the stored names stay as they
        // are rather than being set to an empty name.
        NETDebugMsg(kBoot, "Read default server name fail");
        return;
    }
    Write(keys::kDefaultServerName, new_default.data(), "Write default name to DS.CONF fail");

    std::array<char, 15> server_name{};
    Read(keys::kDiskServerName, server_name, "Read hostname from DS.CONF fail");
    if (server_name[0] == '\0' || std::strcmp(server_name.data(), old_default.data()) == 0) {
        Write(keys::kDiskServerName, new_default.data(), "Write hostname to DS.CONF fail");
    }

    std::array<char, 13> old_printer{};
    std::snprintf(old_printer.data(), old_printer.size(), kPrinterSuffixFormat, old_default.data());
    std::array<char, 13> printer{};
    Read(keys::kPrinterName, printer, "Read printer name from DS.CONF fail");
    if (printer[0] == '\0' || std::strcmp(printer.data(), old_printer.data()) == 0) {
        std::array<char, 13> new_printer{};
        std::snprintf(new_printer.data(), new_printer.size(), kPrinterSuffixFormat,
                      new_default.data());
        Write(keys::kPrinterName, new_printer.data(), "Write default printer name to DS.CONF fail");
    }
}

// Sets a yes/no flag to `fallback` unless it holds "yes" or "no".
void SyncFlag(const char *key, const char *fallback, const char *read_fail,
              const char *write_fail) {
    std::array<char, 8> value{};
    Read(key, value, read_fail);
    if (!IsYesNo(value.data())) {
        Write(key, fallback, write_fail);
    }
}

// Sets a text to `fallback` when it is empty.
template <std::size_t N>
void SyncText(const char *key, const char *fallback, const char *read_fail,
              const char *write_fail) {
    std::array<char, N> value{};
    Read(key, value, read_fail);
    if (value[0] == '\0') {
        Write(key, fallback, write_fail);
    }
}

}  // namespace

int main() {
    NetInfo info{};
    CheckTcpip(&info);
    SyncHardwareAddress(&info);
    SyncNames();

    SyncFlag(keys::kDhcpServer, "no", "Read DHCP Server Flag from DS.CONF fail",
             "Write DHCP Server flag to DS.CONF fail");
    Write(keys::kTelnetEnable, "no", "Write Telnet Server Flag from DS.CONF fail");

    SyncFlag(keys::kMsnEnable, "yes", "Read SMB Flag from DS.CONF fail",
             "Write SMB flag to DS.CONF fail");
    SyncText<16>(keys::kWorkgroup, "workgroup", "Read SMB Workgroup from DS.CONF fail",
                 "Write SMB Wrokgroup to DS.CONF fail");
    SyncText<6>(keys::kCodePage, "437", "Read SMB Code Page from DS.CONF fail",
                "Write SMB Code Page to DS.CONF fail");

    SyncFlag(keys::kAppleEnable, "yes", "Read Netatalk Flag from DS.CONF fail",
             "Write Netatalk flag to DS.CONF fail");
    SyncText<33>(keys::kZoneName, "*", "Read Netatalk zone name from DS.CONF fail",
                 "Write Netatalk zone name to DS.CONF fail");
    SyncText<33>(keys::kMacPrinterType, "LaserWriter",
                 "Read Netatalk printer type from DS.CONF fail",
                 "Write Netatalk printer type to DS.CONF fail");
    SyncText<33>(keys::kPrinterClient, "laserwriter",
                 "Read Netatalk printer name from DS.CONF fail",
                 "Write Netatalk printer name to DS.CONF fail");

    NETDebugMsg(kSystem, "Set Configure File Data Finish");
    return 0;
}
