// Live data of the interface: MAC address, address and netmask from interface queries, the
// default gateway from the kernel routing table.
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/paths.h"
#include "common/scoped.h"
#include "common/util.h"
#include "net/net.h"
#include "net/net_internal.h"

NetInfo NETnetinfo;

namespace {

constexpr char kTag[] = "TCPIP";

// Copies at most `max` characters of `src` into the cleared field `dst` of `width` bytes.
template <std::size_t N>
void SetField(char (&dst)[N], const char *src, std::size_t max) {
    std::memset(dst, 0, N);
    std::size_t n = std::strlen(src);
    if (n > max) {
        n = max;
    }
    if (n > N - 1) {
        n = N - 1;
    }
    std::memcpy(dst, src, n);
}

void AddressText(const sockaddr &addr, char (&field)[16]) {
    sockaddr_in in{};
    std::memcpy(&in, &addr, sizeof in);
    SetField(field, inet_ntoa(in.sin_addr), 15);
}

// One row of the routing table; cleared once per read, so a column a line lacks keeps the
// value of the line before.
struct RouteRow {
    char iface[16];
    char destination[16];
    char gateway[16];
    unsigned long flags;
    unsigned long refcnt;
    unsigned long use;
    unsigned long metric;
    char mask[16];
    unsigned long mtu;
    unsigned long window;
    unsigned long irtt;
};

void StoreColumn(RouteRow *row, int column, const char *text, std::size_t len) {
    std::array<char, 256> value{};
    std::memcpy(value.data(), text, len < value.size() ? len : value.size() - 1);
    int n = static_cast<int>(std::strlen(value.data()));
    switch (column) {
        case 0:
            SetField(row->iface, value.data(), 15);
            break;
        case 1:
            BCDcnvt(row->destination, value.data(), n);
            break;
        case 2:
            BCDcnvt(row->gateway, value.data(), n);
            break;
        case 7:
            BCDcnvt(row->mask, value.data(), n);
            break;
        default: {
            unsigned long v = std::strtoul(value.data(), nullptr, 10);
            unsigned long *slots[] = {nullptr,      nullptr,      nullptr,      &row->flags,
                                      &row->refcnt, &row->use,    &row->metric, nullptr,
                                      &row->mtu,    &row->window, &row->irtt};
            if (column < 11 && slots[column] != nullptr) {
                *slots[column] = v;
            }
            break;
        }
    }
}

}  // namespace

int NETReadCurrentNetworkData(NetInfo *info) {
    int rc = NETGetInetInfo();
    if (rc != 0) {
        return rc;
    }
    std::memset(info->ifname, 0, sizeof info->ifname);
    std::memset(info->hwaddr, 0, sizeof info->hwaddr);
    std::memset(info->ipaddr, 0, sizeof info->ipaddr);
    std::memset(info->netmask, 0, sizeof info->netmask);
    std::memset(info->gateway, 0, sizeof info->gateway);
    SetField(info->ifname, paths::kInterface, 16);
    SetField(info->hwaddr, NETnetinfo.hwaddr, 17);
    SetField(info->ipaddr, NETnetinfo.ipaddr, 15);
    SetField(info->netmask, NETnetinfo.netmask, 15);
    SetField(info->gateway, NETnetinfo.gateway, 15);
    return 0;
}

int NETGetInetInfo() {
    UniqueFd sock(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!sock.valid()) {
        NETDebugMsg(kTag, "Open socket fail");
        return -11;
    }
    IfRecord rec;
    int rc = NETFetchNetworkData(paths::kInterface, &rec, sock.get());
    if (rc != 0) {
        return rc;
    }
    return NETGetNetworkRoute(paths::kInterface);
}

int NETFetchNetworkData(const char *ifname, IfRecord *rec, int sock) {
    std::memset(rec, 0, sizeof *rec);
    SetField(rec->name, ifname, 15);

    ifreq req{};
    std::memcpy(req.ifr_name, rec->name, sizeof req.ifr_name - 1);
    if (sock >= 0 && ::ioctl(sock, SIOCGIFHWADDR, &req) == 0) {
        std::memcpy(rec->hwaddr, req.ifr_hwaddr.sa_data, 8);
    } else {
        std::memset(rec->hwaddr, 0, sizeof rec->hwaddr);
    }
    std::array<char, 18> mac{};
    std::snprintf(mac.data(), mac.size(), "%02X:%02X:%02X:%02X:%02X:%02X", rec->hwaddr[0],
                  rec->hwaddr[1], rec->hwaddr[2], rec->hwaddr[3], rec->hwaddr[4], rec->hwaddr[5]);
    SetField(NETnetinfo.hwaddr, mac.data(), 17);

    req = ifreq{};
    std::memcpy(req.ifr_name, rec->name, sizeof req.ifr_name - 1);
    if (sock >= 0 && ::ioctl(sock, SIOCGIFNETMASK, &req) == 0) {
        rec->netmask = req.ifr_netmask;
    } else {
        std::memset(&rec->netmask, 0, sizeof rec->netmask);
    }
    AddressText(rec->netmask, NETnetinfo.netmask);

    req = ifreq{};
    std::memcpy(req.ifr_name, rec->name, sizeof req.ifr_name - 1);
    if (sock >= 0 && ::ioctl(sock, SIOCGIFADDR, &req) == 0) {
        rec->addr = req.ifr_addr;
    } else {
        std::memset(&rec->addr, 0, sizeof rec->addr);
    }
    AddressText(rec->addr, NETnetinfo.ipaddr);
    return 0;
}

int NETGetNetworkRoute(const char *ifname) {
    return NETGetNetworkRouteFrom(paths::kProcRoute, ifname);
}

int NETGetNetworkRouteFrom(const char *path, const char *ifname) {
    RouteRow row{};
    UniqueFile file(ifname != nullptr ? std::fopen(path, "re") : nullptr);
    if (file) {
        std::array<char, 256> line{};
        bool heading = true;
        bool found = false;
        while (!found && std::fgets(line.data(), static_cast<int>(line.size()), file.get())) {
            if (heading) {
                heading = false;
                continue;
            }
            const char *p = line.data();
            for (int column = 0; !found; ++column) {
                std::size_t len = std::strcspn(p, "\t\n");
                StoreColumn(&row, column, p, len);
                if (column == 9 && std::strcmp(row.iface, paths::kInterface) == 0 &&
                    row.flags > 1) {
                    found = true;
                }
                if (p[len] != '\t') {
                    break;
                }
                p += len + 1;
            }
        }
    }
    std::memset(NETnetinfo.gateway, 0, sizeof NETnetinfo.gateway);
    SetField(NETnetinfo.gateway, row.gateway[0] == '\0' ? "0.0.0.0" : row.gateway, 15);
    return 0;
}

int convert(const char *digit) {
    const char c = *digit;
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    return -1;
}

// The kernel prints each address of the routing table as the 32-bit number that holds it, in
// the CPU's own byte order ("0100A8C0" on a little-endian CPU, "C0A80001" on a big-endian one,
// for 192.168.0.1). So the number's bytes in memory order are the address's octets, on any
// CPU.
int BCDcnvt(char *dst, const char *src, int len) {
    constexpr int kDigits = 2 * sizeof(std::uint32_t);
    if (len == 0) {
        dst[0] = '\0';
        return 0;
    }
    if (len != kDigits) {
        return -1;
    }
    std::uint32_t number = 0;
    for (int i = 0; i < kDigits; ++i) {
        const int digit = convert(&src[i]);
        if (digit < 0) {
            return -1;
        }
        number = number << 4 | static_cast<std::uint32_t>(digit);
    }
    std::array<unsigned char, sizeof number> octets{};
    std::memcpy(octets.data(), &number, sizeof number);
    std::array<char, 16> text{};
    std::snprintf(text.data(), text.size(), "%u.%u.%u.%u", octets[0], octets[1], octets[2],
                  octets[3]);
    std::memcpy(dst, text.data(), std::strlen(text.data()) + 1);
    return 0;
}
