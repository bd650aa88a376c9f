// Keys of section "network" of the configuration file.
#pragma once

namespace keys {
inline constexpr char kVersion[] = "version";
inline constexpr char kDefaultServerName[] = "default_server_name";
inline constexpr char kDiskServerName[] = "disk_server_name";
inline constexpr char kDiskServerComment[] = "disk_server_comment";
inline constexpr char kHwAddr[] = "hw_addr";
inline constexpr char kBootproto[] = "bootproto";
inline constexpr char kIpAddr[] = "ip_addr";
inline constexpr char kNetmask[] = "netmask";
inline constexpr char kGateway[] = "gateway";
inline constexpr char kDnsServer1[] = "dns_server1";
inline constexpr char kDnsServer2[] = "dns_server2";
inline constexpr char kDnsServer3[] = "dns_server3";
inline constexpr char kDhcpServer[] = "dhcp_server";
inline constexpr char kDhcpStartIp[] = "dhcp_start_ip";
inline constexpr char kDhcpEndIp[] = "dhcp_end_ip";
inline constexpr char kTelnetEnable[] = "telnet_enable";
inline constexpr char kMsnEnable[] = "msn_enable";
inline constexpr char kWorkgroup[] = "w_d_name";
inline constexpr char kCodePage[] = "code_page";
inline constexpr char kPrinterName[] = "printer_name";
inline constexpr char kPrinterComment[] = "printer_comment";
inline constexpr char kWinsEnable[] = "wins_enable";
inline constexpr char kWinsServer[] = "wins_server";
inline constexpr char kAppleEnable[] = "apple_enable";
inline constexpr char kZoneName[] = "zone_name";
inline constexpr char kMacPrinterType[] = "mac_printer_type";
inline constexpr char kPrinterClient[] = "printer_client";
inline constexpr char kTimeZone[] = "time_zone";
}  // namespace keys
