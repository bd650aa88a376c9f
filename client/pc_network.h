// dssetup: this PC's side of the network: its interfaces and routes, the way to an address,
// whether an appliance would still be reached at new fixed addressing, and who answers at an
// address on the LAN. Nothing here needs root: the interface list (getifaddrs), the kernel's
// routing table (/proc/net/route) and its neighbour table (/proc/net/arp).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "client/result.h"
#include "client/wire.h"

namespace dssetup {

// Addresses are host-order numbers here (192.168.0.2 is 0xC0A80002).
struct PcInterface {
    std::string name;
    unsigned index = 0;
    std::uint32_t address = 0;
    std::uint32_t netmask = 0;
    bool up = false;
    bool loopback = false;
    bool broadcast = false;  // the interface can broadcast
};

struct PcRoute {
    std::string interface;
    std::uint32_t destination = 0;
    std::uint32_t mask = 0;
    std::uint32_t gateway = 0;  // 0: the destination is on the interface's own link
    int metric = 0;
};

struct PcNetwork {
    std::vector<PcInterface> interfaces;  // IPv4 addresses, one entry each
    std::vector<PcRoute> routes;
};

// This PC's IPv4 interfaces and its main routing table, as they are now.
PcNetwork ReadPcNetwork();
// The routes of /proc/net/route's text (the kernel writes addresses as hexadecimal numbers in
// network byte order); only those that are up.
std::vector<PcRoute> ParseRoutes(std::string_view text);

// How this PC reaches an address: the route the kernel would take.
struct PcPath {
    bool found = false;
    std::string interface;
    bool loopback = false;
    std::uint32_t gateway = 0;  // 0: on the link of `interface`
    std::uint32_t source = 0;   // this PC's address on that interface
    std::uint32_t source_mask = 0;
};
PcPath PathTo(const PcNetwork &pc, std::uint32_t address);

// Why an appliance that this PC reaches by `now` (the path to where it answers, or the link it
// is on) would not answer it at the fixed address `ip`/`mask` with `gateway` (0: none): one
// problem per reason, about the key concerned. Empty when nothing speaks against it. The
// appliance stays where it is on the network; only its addressing changes.
std::vector<Problem> ReachProblems(const PcNetwork &pc, const PcPath &now, std::uint32_t ip,
                                   std::uint32_t mask, std::uint32_t gateway);
// The path of an appliance on the link of `link` (this PC's interface).
PcPath OnLink(const PcInterface &link);

// The MAC address the neighbour table holds for `address` on `interface` (complete entries
// only); false when it holds none.
bool ParseNeighbour(std::string_view proc_net_arp, std::uint32_t address,
                    std::string_view interface, Mac *mac);
// Who answers at `address` on the link of `interface`: a datagram to it makes the kernel ask
// the LAN (ARP), and the neighbour table then holds the answer. false when no host answered
// within `wait` seconds.
bool NeighbourAt(std::uint32_t address, const std::string &interface, double wait, Mac *mac);

// The interfaces a datagram for an appliance wherever it is goes out of: the named one, else
// every interface that is up and can broadcast.
std::vector<PcInterface> BroadcastLinks(const PcNetwork &pc, const std::string &named);

// The host-order number of dotted text; 0 when it is no address.
std::uint32_t HostAddress(const std::string &dotted);
// "192.168.0.2" of a host-order number; "192.168.0.0/24" of a subnet.
std::string DottedAddress(std::uint32_t address);
std::string SubnetText(std::uint32_t address, std::uint32_t mask);

}  // namespace dssetup
