// The built-in DHCP server: its configuration and lease files, switch on and off, and the
// check that a running server still fits the interface's subnet.
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
#include "common/switch_word.h"
#include "common/util.h"
#include "common/work_buffers.h"
#include "net/line_scanner.h"
#include "net/net.h"
#include "net/net_internal.h"

namespace {

constexpr char kTag[] = "TCPIP";
constexpr char kKillDhcpd[] = "killall dhcpd";
constexpr std::string_view kSubnetWord = "subnet";
constexpr std::string_view kNetmaskWord = "netmask";

int RunDhcpdScript(const char *action) {
    std::memset(systembuffer, 0, kSystemBufferSize);
    std::snprintf(systembuffer, kSystemBufferSize, "%s %s", paths::kDhcpdInit, action);
    return run_system(systembuffer) == -1 ? -1 : 0;
}

int StopDaemon() {
    return RunDhcpdScript("stop");
}

// Dotted text of a network-order address into a 16-byte array.
std::array<char, 16> Dotted(in_addr_t value) {
    in_addr a{};
    a.s_addr = value;
    std::array<char, 16> text{};
    std::snprintf(text.data(), text.size(), "%s", inet_ntoa(a));
    return text;
}

void SkipBlanks(std::string_view *text) {
    while (!text->empty() && (text->front() == ' ' || text->front() == '\t')) {
        text->remove_prefix(1);
    }
}

// The text up to the next space (or the line end), cut to 15 characters.
std::string_view TakeWord(std::string_view *text) {
    std::size_t n = text->find(' ');
    if (n == std::string_view::npos) {
        n = text->size();
    }
    std::string_view word = TextHead(*text, n);
    text->remove_prefix(n);
    return TextHead(word, 15);
}

int SwitchOff() {
    bool have_conf = false;
    {
        UniqueFd conf(::open(paths::kDhcpdConf, O_RDONLY | O_CLOEXEC));
        have_conf = conf.valid();
    }
    if (have_conf) {
        int rc = 0;
        if (StopDaemon() != 0) {
            NETDebugMsg(kTag, "Stop dhcpd fail");
            rc = -1;
        }
        if (::unlink(paths::kDhcpdConf) != 0) {
            NETDebugMsg(kTag, "Remove dhcpd.conf fail");
            rc = -1;
        }
        return rc;
    }
    std::memset(systembuffer, 0, kSystemBufferSize);
    std::snprintf(systembuffer, kSystemBufferSize, "%s", kKillDhcpd);
    if (run_system(systembuffer) == -1) {
        NETDebugMsg(kTag, "Killall dhcpd fail");
        return -1;
    }
    return 0;
}

}  // namespace

int NETComposeDHCPServerConf(const NetInfo *info, const DnsInfo *dns, const DhcpServerInfo *dhcp,
                             char *out, std::size_t size) {
    in_addr_t ip = inet_addr(info->ipaddr);
    in_addr_t mask = inet_addr(info->netmask);
    in_addr_t network = ip & mask;
    if ((inet_addr(dhcp->start_ip) & mask) != network ||
        (inet_addr(dhcp->end_ip) & mask) != network) {
        return -1;
    }
    std::array<char, 16> network_text = Dotted(network);
    std::array<char, 16> broadcast_text = Dotted(ip | ~mask);

    // Name servers joined by ", ", composed in linebuffer.
    std::memset(linebuffer, 0, kLineBufferSize);
    const char *servers[] = {dns->nameserver1, dns->nameserver2, dns->nameserver3};
    for (const char *server : servers) {
        int len = static_cast<int>(address_text_length(server));
        if (IsNoAddress(server) || len == 0) {
            continue;
        }
        std::size_t used = std::strlen(linebuffer);
        std::snprintf(linebuffer + used, kLineBufferSize - used, used == 0 ? "%.*s" : ", %.*s", len,
                      server);
    }

    std::memset(out, 0, size);
    std::size_t used = 0;
    bool fits = true;
    auto append = [&](int n) {
        if (n < 0 || static_cast<std::size_t>(n) >= size - used) {
            fits = false;
            out[used] = '\0';
            return;
        }
        used += static_cast<std::size_t>(n);
    };
    // Every value of this file is an address: only its address part goes in, so no text can
    // end a statement (";") or add one.
    auto len = [](const char *text) { return static_cast<int>(address_text_length(text)); };
    append(std::snprintf(out, size, "subnet %s netmask %.*s {\n", network_text.data(),
                         len(info->netmask), info->netmask));
    if (fits) {
        append(std::snprintf(
            out + used, size - used,
            "\trange %.*s %.*s;\n\toption subnet-mask %.*s;\n\toption broadcast-address %s;\n",
            len(dhcp->start_ip), dhcp->start_ip, len(dhcp->end_ip), dhcp->end_ip,
            len(info->netmask), info->netmask, broadcast_text.data()));
    }
    if (fits && !IsNoAddress(info->gateway)) {
        append(std::snprintf(out + used, size - used, "\toption routers %.*s;\n",
                             len(info->gateway), info->gateway));
    }
    if (fits && linebuffer[0] != '\0') {
        append(std::snprintf(out + used, size - used, "\toption domain-name-servers %s;\n",
                             linebuffer));
    }
    if (fits) {
        append(std::snprintf(out + used, size - used, "}\n"));
    }
    return fits ? 0 : -1;
}

int NETSetDHCPServer(const NetInfo *info, const DnsInfo *dns, const DhcpServerInfo *dhcp) {
    bool on = false;
    if (!ParseSwitchWord(dhcp->state, &on)) {
        NETDebugMsg(kTag, "Input DHCP Server Invalid");
        return -1;
    }
    if (std::strcmp(info->bootproto, "dhcp") == 0) {
        on = false;  // a DHCP client serves no addresses
    }
    if (!on) {
        return SwitchOff();
    }

    in_addr_t mask = inet_addr(info->netmask);
    in_addr_t network = inet_addr(info->ipaddr) & mask;
    if ((inet_addr(dhcp->start_ip) & mask) != network ||
        (inet_addr(dhcp->end_ip) & mask) != network) {
        NETDebugMsg(kTag, "Set DHCP Server in different network");
        return -1;
    }
    {
        UniqueFd fd(::open(paths::kDhcpdConf, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0755));
        if (!fd.valid()) {
            NETDebugMsg(kTag, "Open dhcpd.conf fail");
            return -2;
        }
        NETComposeDHCPServerConf(info, dns, dhcp, filebuffer, kFileBufferSize);
        std::size_t n = std::strlen(filebuffer);
        if (::write(fd.get(), filebuffer, n) != static_cast<ssize_t>(n)) {
            NETDebugMsg(kTag, "Write dhcpd.conf fail");
            return -4;
        }
    }
    int rc = NETCreateDHCPServerLeaseData();
    if (rc != 0) {
        return rc;
    }
    NETRestartDHCPServer();
    return 0;
}

int NETReadDHCPServerSubnet(const char *path, char *subnet, char *netmask) {
    std::memset(subnet, 0, 16);
    std::memset(netmask, 0, 16);
    UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        return -1;
    }
    LineScanner scanner(fd.get(), ScanMode::kReader);
    ScannedLine line{};
    while (scanner.Next(&line) > 0) {
        if (!line.text.starts_with(kSubnetWord)) {
            continue;
        }
        std::memset(subnet, 0, 16);
        std::memset(netmask, 0, 16);
        std::string_view rest = TextFrom(line.text, kSubnetWord.size());
        SkipBlanks(&rest);
        std::string_view word = TakeWord(&rest);
        std::memcpy(subnet, word.data(), word.size());
        if (rest.size() > 1 && rest.front() == ' ' && TextFrom(rest, 1).starts_with(kNetmaskWord)) {
            rest.remove_prefix(1 + kNetmaskWord.size());
            SkipBlanks(&rest);
            word = TakeWord(&rest);
            std::memcpy(netmask, word.data(), word.size());
        }
    }
    return 0;
}

int NETCheckDHCPServer(const NetInfo *info) {
    if (std::strcmp(info->bootproto, "dhcp") == 0) {
        return StopDaemon();
    }
    if (std::strcmp(info->bootproto, "none") != 0 && std::strcmp(info->bootproto, "static") != 0) {
        return 0;
    }
    std::array<char, 16> subnet{};
    std::array<char, 16> netmask{};
    if (NETReadDHCPServerSubnet(paths::kDhcpdConf, subnet.data(), netmask.data()) != 0) {
        NETDebugMsg(kTag, "Check dhcpd.conf, file doesn't exist");
        return 0;
    }
    if (subnet[0] == '\0' || netmask[0] == '\0') {
        NETDebugMsg(kTag, "Get dhcpd's data fail");
        return -1;
    }
    if (std::strcmp(info->netmask, netmask.data()) != 0) {
        NETDebugMsg(kTag, "Compare dhcpd's netmask mismatch");
        return StopDaemon();
    }
    std::array<char, 16> network = Dotted(inet_addr(info->ipaddr) & inet_addr(info->netmask));
    if (std::strcmp(network.data(), subnet.data()) != 0) {
        NETDebugMsg(kTag, "Compare dhcpd's network mismatch");
        return StopDaemon();
    }
    return 0;
}

int NETRestartDHCPServer() {
    return RunDhcpdScript("restart");
}

int NETCreateDHCPServerLeaseData() {
    {
        UniqueFd existing(::open(paths::kDhcpdLeases, O_RDONLY | O_CLOEXEC));
        if (existing.valid()) {
            return 0;  // leases are never cleared
        }
    }
    UniqueFd created(::open(paths::kDhcpdLeases, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0755));
    if (!created.valid()) {
        NETDebugMsg(kTag, "Create dhcpd.leases fail");
        return -2;
    }
    return 0;
}
