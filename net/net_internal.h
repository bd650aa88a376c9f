// Internals of the network and naming functions, open to their tests: the same logic as the
// public functions with the file taken as an argument, and the composers of file texts.
#pragma once

#include <cstddef>

#include "net/net.h"

// The gateway search of NETGetNetworkRoute on a routing table in the kernel's layout.
int NETGetNetworkRouteFrom(const char *path, const char *ifname);

// The resolver reader of NETReadCurrentDNSData on the given file.
int NETReadDNSDataFrom(const char *path, DnsInfo *dns);

// Text of the interface file for `info` (as NETWriteNetworkTCPIPData writes it) into `out`.
// 0, or -1 when it does not fit.
int NETComposeTCPIPData(const NetInfo *info, char *out, std::size_t size);

// Text of the resolver file (as NETWriteNetworkDNSData writes it) into `out`. 0, -10 for an
// unknown boot type, -1 when it does not fit.
int NETComposeDNSData(const DnsInfo *dns, int boottype, char *out, std::size_t size);

// Text of the DHCP server configuration (as NETSetDHCPServer writes it) into `out`. 0, or -1
// when the range lies outside the interface's network (nothing composed) or the text does not
// fit.
int NETComposeDHCPServerConf(const NetInfo *info, const DnsInfo *dns, const DhcpServerInfo *dhcp,
                             char *out, std::size_t size);

// Subnet and netmask of the last "subnet" line of a DHCP server configuration (15 characters
// each, empty when absent), as NETCheckDHCPServer reads them. 0, or -1 when it cannot be opened.
int NETReadDHCPServerSubnet(const char *path, char *subnet, char *netmask);

// The hardware ID of NETReadHardwareID from the given kernel command line file.
int NETReadHardwareIDFrom(const char *path, char *id);
