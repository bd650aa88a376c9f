// Fixed or DHCP addressing of the interface: interface and network files, network restart,
// default route, resolver, hosts file, DHCP server check and the front-panel LED.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "common/paths.h"
#include "common/process.h"
#include "common/scoped.h"
#include "common/system_file.h"
#include "common/util.h"
#include "common/work_buffers.h"
#include "net/line_scanner.h"
#include "net/net.h"
#include "net/net_internal.h"

namespace {

constexpr char kTag[] = "TCPIP";
constexpr char kTempTemplate[] = "/tmp/Eda.qXXXXXX";
constexpr unsigned kDhcpWaitSeconds = 5;

constexpr char kLedFixIp[] = "-fixip";
constexpr char kLedNoFixIp[] = "-nofixip";
constexpr char kLedGetIpFail[] = "-getipfail";

constexpr std::string_view kGatewayKey = "GATEWAY=";
constexpr std::string_view kGatewayDevKey = "GATEWAYDEV=";

// Runs the command composed in systembuffer. -1 when the shell could not be run, else 0.
int RunSystemBuffer() {
    return run_system(systembuffer) == -1 ? -1 : 0;
}

int RunLed(const char *state) {
    std::memset(systembuffer, 0, kSystemBufferSize);
    std::snprintf(systembuffer, kSystemBufferSize, "%s %s", paths::kLedScript, state);
    return RunSystemBuffer();
}

int RunScript(const char *script) {
    std::memset(systembuffer, 0, kSystemBufferSize);
    std::snprintf(systembuffer, kSystemBufferSize, "%s", script);
    return RunSystemBuffer();
}

template <std::size_t N>
void SetText(char (&field)[N], const char *text) {
    std::memset(field, 0, N);
    std::snprintf(field, N, "%s", text);
}

// "GATEWAY=<gateway>\n", or "GATEWAY=\n" when there is no gateway, in linebuffer.
std::string_view GatewayLine(const NetInfo *info) {
    std::memset(linebuffer, 0, kLineBufferSize);
    if (IsNoAddress(info->gateway)) {
        std::snprintf(linebuffer, kLineBufferSize, "GATEWAY=\n");
    } else {
        // The file is read by shell scripts: only the address part of the text goes in.
        std::snprintf(linebuffer, kLineBufferSize, "GATEWAY=%.*s\n",
                      static_cast<int>(address_text_length(info->gateway)), info->gateway);
    }
    return linebuffer;
}

std::string_view GatewayDevLine() {
    std::memset(linebuffer, 0, kLineBufferSize);
    std::snprintf(linebuffer, kLineBufferSize, "GATEWAYDEV=%s\n", paths::kInterface);
    return linebuffer;
}

// GATEWAY and GATEWAYDEV of the network settings file, replaced where they stand or appended.
int RewriteNetworkGateway(const NetInfo *info) {
    FileRewrite rw(paths::kNetworkFile, kTempTemplate);
    int rc = rw.Open(kTag, "Open network fail", "Open network tempfile fail");
    if (rc != 0) {
        return rc;
    }
    LineScanner scanner(rw.source(), ScanMode::kRewriter);
    ScannedLine line{};
    bool have_gateway = false;
    bool have_gateway_dev = false;
    int got;
    while ((got = scanner.Next(&line)) > 0) {
        int wrote;
        if (line.text.starts_with(kGatewayKey)) {
            have_gateway = true;
            wrote = rw.Write(GatewayLine(info));
        } else if (line.text.starts_with(kGatewayDevKey)) {
            have_gateway_dev = true;
            wrote = rw.Write(GatewayDevLine());
        } else {
            wrote = rw.WriteLine(line);
        }
        if (wrote != 0) {
            NETDebugMsg(kTag, "Write network tempfile fail");
            return -4;
        }
    }
    if (got < 0) {
        NETDebugMsg(kTag, "Open network fail");
        return -2;
    }
    if ((!have_gateway && rw.Write(GatewayLine(info)) != 0) ||
        (!have_gateway_dev && rw.Write(GatewayDevLine()) != 0)) {
        NETDebugMsg(kTag, "Write network tempfile fail");
        return -4;
    }
    return rw.Commit(kTag, 0755, "Seek network tempfile fail", "Write network file back fail",
                     "Write network file back fail");
}

}  // namespace

int NETComposeTCPIPData(const NetInfo *info, char *out, std::size_t size) {
    std::memset(out, 0, size);
    std::size_t used = 0;
    auto append = [&](int n) {
        if (n < 0 || static_cast<std::size_t>(n) >= size - used) {
            return false;
        }
        used += static_cast<std::size_t>(n);
        return true;
    };
    if (!append(std::snprintf(out, size, "DEVICE=%s\n", paths::kInterface))) {
        return -1;
    }
    if (std::strcmp(info->bootproto, "dhcp") != 0) {
        // The interface file is read by shell scripts: of each address text only its address
        // part (digits and dots) goes in, whatever else the text holds.
        in_addr ip{};
        in_addr mask{};
        ip.s_addr = inet_addr(info->ipaddr);
        mask.s_addr = inet_addr(info->netmask);
        in_addr net{};
        in_addr bcast{};
        net.s_addr = ip.s_addr & mask.s_addr;
        bcast.s_addr = ip.s_addr | ~mask.s_addr;
        std::array<char, 16> net_text{};
        std::snprintf(net_text.data(), net_text.size(), "%s", inet_ntoa(net));
        std::array<char, 16> bcast_text{};
        std::snprintf(bcast_text.data(), bcast_text.size(), "%s", inet_ntoa(bcast));
        if (!append(std::snprintf(out + used, size - used,
                                  "IPADDR=%.*s\nNETMASK=%.*s\nNETWORK=%s\nBROADCAST=%s\n",
                                  static_cast<int>(address_text_length(info->ipaddr)), info->ipaddr,
                                  static_cast<int>(address_text_length(info->netmask)),
                                  info->netmask, net_text.data(), bcast_text.data()))) {
            return -1;
        }
    }
    if (!append(std::snprintf(out + used, size - used, "ONBOOT=yes\nBOOTPROTO=%.*s\n",
                              static_cast<int>(PrintableLength(info->bootproto)),
                              info->bootproto))) {
        return -1;
    }
    return 0;
}

int NETWriteNetworkTCPIPData(NetInfo *info) {
    NETComposeTCPIPData(info, filebuffer, kFileBufferSize);
    const int rc =
        WriteSystemFileTraced(paths::kIfcfgEth0, filebuffer, std::strlen(filebuffer), 0755, kTag,
                              "Open ifcfg-eth0 fail", "Write ifcfg-eth0 fail");
    return rc != 0 ? rc : RewriteNetworkGateway(info);
}

int NETRestartNetwork() {
    std::memset(systembuffer, 0, kSystemBufferSize);
    std::snprintf(systembuffer, kSystemBufferSize, "%s restart", paths::kNetworkInit);
    int rc = RunSystemBuffer();
    ::sync();
    return rc;
}

int NETSetNetworkGateway(NetInfo *info) {
    if (!IsNoAddress(info->gateway)) {
        return 0;  // the network script sets that route from the network file
    }
    std::memset(systembuffer, 0, kSystemBufferSize);
    std::snprintf(systembuffer, kSystemBufferSize, "%s add default %s", paths::kRoute,
                  paths::kInterface);
    return RunSystemBuffer();
}

int NETSetFixIPNetwork(NetInfo *info, DnsInfo *dns) {
    SetText(info->bootproto, "none");
    if (std::strcmp(info->ipaddr, "0.0.0.0") == 0) {
        return -8;
    }
    if (std::strcmp(info->netmask, "0.0.0.0") == 0) {
        return -9;
    }
    int rc = NETWriteNetworkTCPIPData(info);
    if (rc == 0) {
        rc = NETRestartNetwork();
    }
    if (rc == 0) {
        rc = NETSetNetworkGateway(info);
    }
    if (rc == 0) {
        rc = NETWriteNetworkDNSData(dns, 1);
    }
    if (rc == 0) {
        rc = NETUpdateNetworkHostsFile();
    }
    if (rc == 0) {
        rc = NETCheckDHCPServer(info);
    }
    return rc;
}

int NETSetDHCPIPNetwork(NetInfo *info, DnsInfo *dns) {
    SetText(info->bootproto, "dhcp");
    SetText(info->ipaddr, "0.0.0.0");
    SetText(info->netmask, "0.0.0.0");
    SetText(info->gateway, "0.0.0.0");
    int rc = NETWriteNetworkTCPIPData(info);
    if (rc != 0) {
        return rc;
    }
    rc = NETRestartNetwork();
    if (rc != 0) {
        return rc;
    }
    ::sleep(kDhcpWaitSeconds);
    rc = NETReadCurrentNetworkData(info);
    if (rc != 0 || std::strcmp(info->ipaddr, "0.0.0.0") == 0) {
        NETDebugMsg(kTag, "Get IP Address Fail - 1");
        rc = NETRestartNetwork();
        if (rc != 0) {
            return rc;
        }
        ::sleep(kDhcpWaitSeconds);
        rc = NETReadCurrentNetworkData(info);
        if (rc != 0 || std::strcmp(info->ipaddr, "0.0.0.0") == 0) {
            NETDebugMsg(kTag, "Get IP Address Fail - 2");
            return rc;
        }
    }
    rc = NETSetNetworkGateway(info);
    if (rc != 0) {
        return rc;
    }

    {
        UniqueFd supplied(::open(paths::kDhcpcResolvConf, O_RDONLY | O_CLOEXEC));
        if (!supplied.valid()) {
            NETDebugMsg(kTag, "DHCP Server doesn't provide DNS info");
            ::unlink(paths::kResolvConf);
        }
    }
    DnsInfo current{};
    NETReadCurrentDNSData(&current);
    NETArrangeNetworkDNSData(&current, dns);
    rc = NETWriteNetworkDNSData(&current, 2);
    if (rc != 0) {
        return rc;
    }
    rc = NETUpdateNetworkHostsFile();
    if (rc != 0) {
        return rc;
    }
    return NETCheckDHCPServer(info);
}

int NETSetTCPIPNetwork(NetInfo *info, DnsInfo *dns) {
    if (std::strcmp(info->bootproto, "static") == 0) {
        int rc = NETSetFixIPNetwork(info, dns);
        if (rc != 0) {
            return rc;
        }
        RunLed(kLedFixIp);
        return 0;
    }
    if (std::strcmp(info->bootproto, "dhcp") == 0) {
        // The outcome is judged by the interface alone, whatever the attempt reported.
        NETSetDHCPIPNetwork(info, dns);
        int rc = NETReadCurrentNetworkData(info);
        if (rc == 0 && std::strcmp(info->ipaddr, "0.0.0.0") != 0) {
            RunScript(paths::kHostnameScript);
            RunLed(kLedNoFixIp);
            return 0;
        }
        NETDebugMsg(kTag, "Get IP from DHCP server fail");
        RunScript(paths::kDefaultAddressScript);
        rc = NETReadCurrentNetworkData(info);
        std::memset(dns, 0, sizeof *dns);
        RunScript(paths::kHostnameScript);
        if (rc != 0) {
            return rc;
        }
        RunLed(kLedGetIpFail);
        return 0;
    }
    NETDebugMsg(kTag, "Input BootProto Invalid");
    return -1;
}
