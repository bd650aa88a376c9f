// dssetup: this PC's interfaces and routes, and what they say about reaching an appliance.
#include "client/pc_network.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <net/route.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace dssetup {

namespace {

constexpr char kRouteFile[] = "/proc/net/route";
constexpr char kArpFile[] = "/proc/net/arp";
constexpr unsigned kArpComplete = 0x2;  // ATF_COM: the entry holds an answer
// The datagram that makes the kernel look for a host goes to the discard port.
constexpr unsigned short kDiscardPort = 9;
constexpr int kNeighbourPollMs = 20;

std::string ReadText(const char *path) {
    std::string text;
    std::FILE *f = std::fopen(path, "re");
    if (f == nullptr) {
        return text;
    }
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) {
        text.append(buffer, n);
    }
    std::fclose(f);
    return text;
}

// Splits a line at blanks and tabs.
std::vector<std::string_view> Fields(std::string_view line) {
    std::vector<std::string_view> out;
    std::size_t at = 0;
    while (at < line.size()) {
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) {
            ++at;
        }
        std::size_t end = at;
        while (end < line.size() && line[end] != ' ' && line[end] != '\t') {
            ++end;
        }
        if (end > at) {
            out.push_back(line.substr(at, end - at));
        }
        at = end;
    }
    return out;
}

bool HexNumber(std::string_view text, unsigned long *value) {
    if (text.empty() || text.size() > 8) {
        return false;
    }
    const std::string s(text);
    char *end = nullptr;
    *value = std::strtoul(s.c_str(), &end, 16);
    return end != nullptr && *end == '\0';
}

template <typename F>
void ForEachLine(std::string_view text, F f) {
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        f(text.substr(at, end - at));
        at = end + 1;
    }
}

bool Contains(std::uint32_t net, std::uint32_t mask, std::uint32_t address) {
    return (address & mask) == (net & mask);
}

int PrefixOf(std::uint32_t mask) {
    int n = 0;
    for (std::uint32_t m = mask; (m & 0x80000000u) != 0; m <<= 1) {
        ++n;
    }
    return n;
}

}  // namespace

std::uint32_t HostAddress(const std::string &dotted) {
    in_addr a{};
    return ParseIpv4(dotted, &a) ? ntohl(a.s_addr) : 0;
}

std::string DottedAddress(std::uint32_t a) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", a >> 24, (a >> 16) & 255u, (a >> 8) & 255u,
                  a & 255u);
    return text;
}

std::string SubnetText(std::uint32_t address, std::uint32_t mask) {
    return DottedAddress(address & mask) + "/" + std::to_string(PrefixOf(mask));
}

std::vector<PcRoute> ParseRoutes(std::string_view text) {
    std::vector<PcRoute> routes;
    bool header = true;
    ForEachLine(text, [&](std::string_view line) {
        if (header) {
            header = false;
            return;
        }
        const std::vector<std::string_view> f = Fields(line);
        unsigned long destination = 0, gateway = 0, flags = 0, mask = 0;
        if (f.size() < 8 || !HexNumber(f[1], &destination) || !HexNumber(f[2], &gateway) ||
            !HexNumber(f[3], &flags) || !HexNumber(f[7], &mask) || (flags & RTF_UP) == 0) {
            return;
        }
        PcRoute r;
        r.interface = std::string(f[0]);
        // The kernel prints the bytes of each address as they lie in memory.
        r.destination = ntohl(static_cast<std::uint32_t>(destination));
        r.mask = ntohl(static_cast<std::uint32_t>(mask));
        r.gateway = (flags & RTF_GATEWAY) != 0 ? ntohl(static_cast<std::uint32_t>(gateway)) : 0;
        r.metric = std::atoi(std::string(f[6]).c_str());
        routes.push_back(r);
    });
    return routes;
}

PcNetwork ReadPcNetwork() {
    PcNetwork pc;
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) == 0) {
        for (const ifaddrs *i = list; i != nullptr; i = i->ifa_next) {
            if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET ||
                i->ifa_netmask == nullptr) {
                continue;
            }
            PcInterface p;
            p.name = i->ifa_name;
            p.index = if_nametoindex(i->ifa_name);
            sockaddr_in a{}, m{};
            std::memcpy(&a, i->ifa_addr, sizeof a);
            std::memcpy(&m, i->ifa_netmask, sizeof m);
            p.address = ntohl(a.sin_addr.s_addr);
            p.netmask = ntohl(m.sin_addr.s_addr);
            p.up = (i->ifa_flags & IFF_UP) != 0;
            p.loopback = (i->ifa_flags & IFF_LOOPBACK) != 0;
            p.broadcast = (i->ifa_flags & IFF_BROADCAST) != 0;
            pc.interfaces.push_back(p);
        }
        freeifaddrs(list);
    }
    pc.routes = ParseRoutes(ReadText(kRouteFile));
    return pc;
}

PcPath PathTo(const PcNetwork &pc, std::uint32_t address) {
    PcPath path;
    int best = -1;
    int best_metric = 0;
    bool best_link = false;
    for (const PcInterface &i : pc.interfaces) {
        if (!i.up) {
            continue;
        }
        if (i.address == address) {  // this PC itself
            path = PcPath{true, i.name, true, 0, address, i.netmask};
            return path;
        }
        const int prefix = PrefixOf(i.netmask);
        if (Contains(i.address, i.netmask, address) && prefix > best) {
            best = prefix;
            best_link = true;
            path = PcPath{true, i.name, i.loopback, 0, i.address, i.netmask};
        }
    }
    for (const PcRoute &r : pc.routes) {
        const int prefix = PrefixOf(r.mask);
        if (!Contains(r.destination, r.mask, address)) {
            continue;
        }
        // A longer prefix wins; among equals the interface's own subnet, then the lower metric.
        if (prefix < best || (prefix == best && (best_link || r.metric >= best_metric))) {
            continue;
        }
        best = prefix;
        best_metric = r.metric;
        best_link = false;
        path = PcPath{true, r.interface, false, r.gateway, 0, 0};
        for (const PcInterface &i : pc.interfaces) {
            if (i.name != r.interface || !i.up) {
                continue;
            }
            path.loopback = i.loopback;
            const bool on_link =
                Contains(i.address, i.netmask, r.gateway != 0 ? r.gateway : address);
            if (path.source == 0 || on_link) {
                path.source = i.address;
                path.source_mask = i.netmask;
            }
            if (on_link) {
                break;
            }
        }
    }
    return path;
}

PcPath OnLink(const PcInterface &link) {
    return PcPath{true, link.name, link.loopback, 0, link.address, link.netmask};
}

std::vector<Problem> ReachProblems(const PcNetwork &pc, const PcPath &to_now, std::uint32_t ip,
                                   std::uint32_t mask, std::uint32_t gateway) {
    std::vector<Problem> problems;
    if (to_now.found && to_now.loopback) {
        return problems;  // reached through this PC itself (a relay): nothing to judge
    }
    const std::string at = DottedAddress(ip);
    for (const PcInterface &i : pc.interfaces) {
        if (i.address == ip) {
            problems.push_back({"ip", at + " is this PC's own address (" + i.name + ")"});
            return problems;
        }
    }
    const PcPath to_new = PathTo(pc, ip);
    if (!to_new.found) {
        problems.push_back(
            {"ip", "this PC has no route to " + at + ": it could not reach the appliance there"});
        return problems;
    }
    if (!to_now.found) {
        return problems;  // nothing known of where it is
    }
    const std::string pc_address = DottedAddress(to_now.source);
    const bool pc_in_new_subnet = Contains(ip, mask, to_now.source);
    if (to_now.gateway == 0) {
        // On this PC's link: it must stay there, in a subnet this PC is part of.
        if (to_new.gateway != 0 || to_new.interface != to_now.interface) {
            problems.push_back(
                {"ip", at + " is outside " + SubnetText(to_now.source, to_now.source_mask) +
                           ", the network of this PC's interface " + to_now.interface +
                           " where the appliance is: this PC would not reach it "
                           "there"});
        } else if (!pc_in_new_subnet && gateway == 0) {
            problems.push_back({Contains(to_now.source, to_now.source_mask, ip) ? "netmask" : "ip",
                                "this PC's address " + pc_address +
                                    " would be outside the appliance's new subnet " +
                                    SubnetText(ip, mask) +
                                    ", which has no gateway: the appliance could not answer "
                                    "this PC"});
        }
    } else if (!pc_in_new_subnet && gateway == 0) {
        problems.push_back({"gateway", "the appliance is reached through the router " +
                                           DottedAddress(to_now.gateway) +
                                           "; without a gateway it could not answer this PC (" +
                                           pc_address + ")"});
    }
    return problems;
}

bool ParseNeighbour(std::string_view text, std::uint32_t address, std::string_view interface,
                    Mac *mac) {
    const std::string wanted = DottedAddress(address);
    bool found = false;
    bool header = true;
    ForEachLine(text, [&](std::string_view line) {
        if (header || found) {
            header = false;
            return;
        }
        const std::vector<std::string_view> f = Fields(line);
        unsigned long flags = 0;
        const std::string_view hex_flags =
            f.size() > 2 && f[2].substr(0, 2) == "0x" ? f[2].substr(2) : std::string_view();
        if (f.size() < 6 || f[0] != wanted || f[5] != interface || !HexNumber(hex_flags, &flags) ||
            (flags & kArpComplete) == 0) {
            return;
        }
        found = ParseMac(f[3], mac);
    });
    return found;
}

bool NeighbourAt(std::uint32_t address, const std::string &interface, double wait, Mac *mac) {
    if (ParseNeighbour(ReadText(kArpFile), address, interface, mac)) {
        return true;
    }
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0) {
        return false;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(address);
    to.sin_port = htons(kDiscardPort);
    const std::uint8_t nothing = 0;
    const bool sent = sendto(fd, &nothing, 1, 0, reinterpret_cast<sockaddr *>(&to), sizeof to) >= 0;
    close(fd);
    if (!sent) {
        return false;
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(wait);
    while (std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kNeighbourPollMs));
        if (ParseNeighbour(ReadText(kArpFile), address, interface, mac)) {
            return true;
        }
    }
    return false;
}

std::vector<PcInterface> BroadcastLinks(const PcNetwork &pc, const std::string &named) {
    std::vector<PcInterface> links;
    for (const PcInterface &i : pc.interfaces) {
        const bool wanted = named.empty() ? i.up && i.broadcast && !i.loopback : i.name == named;
        bool listed = false;
        for (const PcInterface &l : links) {
            listed = listed || l.name == i.name;
        }
        if (wanted && !listed && i.index != 0) {
            links.push_back(i);
        }
    }
    return links;
}

}  // namespace dssetup
