// Network configuration and server naming: live interface data, TCP/IP files, resolver,
// DHCP server, telnet switch, default and applied server names.
#pragma once

#include <sys/socket.h>

#include <cstddef>

// One interface's data; every field NUL-terminated within its width.
struct NetInfo {
    char ifname[17];
    char hwaddr[18];
    char ipaddr[16];
    char netmask[16];
    char gateway[16];
    char bootproto[7];
};

// Resolver settings.
struct DnsInfo {
    char domain[81];
    char nameserver1[16];
    char nameserver2[16];
    char nameserver3[16];
};

// The built-in DHCP server's settings.
struct DhcpServerInfo {
    char state[8];
    char start_ip[16];
    char end_ip[16];
};

// Scratch record of one interface query.
struct IfRecord {
    char name[16];
    sockaddr addr;
    sockaddr netmask;
    unsigned char hwaddr[32];  // first 6 bytes: the MAC address
};

extern NetInfo NETnetinfo;

// Current network information.
int NETReadCurrentNetworkData(NetInfo *info);
int NETGetInetInfo();
int NETFetchNetworkData(const char *ifname, IfRecord *rec, int sock);
int NETGetNetworkRoute(const char *ifname);
// An address column of the kernel's routing table (8 hexadecimal digits, either case, the
// address as a number in the CPU's byte order) to dotted text in dst (16 bytes); an empty
// column gives the empty text. 0, or -1 for anything else (dst untouched).
int BCDcnvt(char *dst, const char *src, int len);
// The value of the hexadecimal digit (either case) at *digit, or -1.
int convert(const char *digit);

// TCP/IP interface configuration.
int NETSetTCPIPNetwork(NetInfo *info, DnsInfo *dns);
int NETSetFixIPNetwork(NetInfo *info, DnsInfo *dns);
int NETSetDHCPIPNetwork(NetInfo *info, DnsInfo *dns);
int NETWriteNetworkTCPIPData(NetInfo *info);
int NETRestartNetwork();
int NETSetNetworkGateway(NetInfo *info);

// Resolver.
int NETReadCurrentDNSData(DnsInfo *dns);
int NETPutNetworkDNSData(DnsInfo *dns, const char *server, int slot);
int NETArrangeNetworkDNSData(DnsInfo *current, const DnsInfo *user);
int NETWriteNetworkDNSData(const DnsInfo *dns, int boottype);

// DHCP server.
int NETSetDHCPServer(const NetInfo *info, const DnsInfo *dns, const DhcpServerInfo *dhcp);
int NETCheckDHCPServer(const NetInfo *info);
int NETRestartDHCPServer();
int NETCreateDHCPServerLeaseData();

// Telnet.
int NETSetInetService(const char *state);
int NETRestartInetService();

// Naming.
int NETReadDefaultHostname(char *name);
int NETReadCurrentHostname(char *name);
int NETReadHardwareID(char *id);
int NETWriteDefaultHostnameData();
// A name the agent may set as the server name: the rule of protocol/server_name.h, or empty
// (the default name).
bool NETServerNameIsValid(const char *name);
// A host name taken from the kernel is written into the hosts table as one plain word: a
// letter or digit first, then letters, digits, '-', '_' and '.' (names that earlier firmware
// allowed). The length of the longest such start of `name`.
std::size_t NETServerNameSafeLength(const char *name);
// Sets the name into the kernel, the name files and afpd. An empty name, or one that begins
// with a line feed, stands for the default name, which is put into the caller's buffer; any
// other name outside the server-name rule is refused (-1, traced) and nothing is changed.
int NETSetHostname(char *name);
int NETWriteHostnameData(char *name);
int NETUpdateNetworkHostsFile();
