// Every fixed path, port and name of the appliance, defined once.
#pragma once

namespace paths {

// Configuration store.
inline constexpr char kConfigFile[] = "/etc/CGI_ds.conf";
inline constexpr char kConfigTemp[] = "/etc/CGI_ds.conf.tmp";
// The mark of a temporary file is its name followed by ".mark" (common/inplace_rewrite.h).
inline constexpr char kConfigMark[] = "/etc/CGI_ds.conf.tmp.mark";
inline constexpr char kConfigSection[] = "network";

// The system files the programs write (common/system_file.h) are all rewritten through one
// temporary file and its mark.
inline constexpr char kSystemFileTemp[] = "/etc/CGI_sysfile.tmp";
inline constexpr char kSystemFileMark[] = "/etc/CGI_sysfile.tmp.mark";

// Event log.
inline constexpr char kEventLog[] = "/var/log/DS_log";
inline constexpr char kEventLogTemp[] = "/var/log/DS_log.tmp";
inline constexpr char kEventLogMark[] = "/var/log/DS_log.tmp.mark";

// Agent.
inline constexpr char kAgentLock[] = "/var/lock/confagent";
inline constexpr char kAgentName[] = "confagent";
inline constexpr char kInterface[] = "eth0";
inline constexpr unsigned short kAgentPort = 915;
inline constexpr char kScanMarker[] = "/tmp/Scanning";
inline constexpr char kPrinterDevice[] = "/dev/lp1";

// Clock programs and their date file.
inline constexpr char kClockSet[] = "/usr/share/stowbox/Tcfg/C_File/clockset";
inline constexpr char kClockShow[] = "/usr/share/stowbox/Tcfg/C_File/clockshow";
inline constexpr char kDateFile[] = "/tmp/date_tmep";
inline constexpr char kHardwareClock[] = "/sbin/clock";

// Scripts of the web administration and the appliance.
inline constexpr char kPasswordScript[] = "/usr/share/stowbox/http/CGI_main/CGI_chk_save_pass.pl";
inline constexpr char kSetConfScript[] = "/usr/share/stowbox/http/CGI_main/CGI_set_conf.pl";
inline constexpr char kTimeZoneScript[] =
    "/usr/share/stowbox/http/CGI_main/CGI_system/Set_TimeZone.pl";
inline constexpr char kLedScript[] = "/usr/share/stowbox/public/PUB_set_led";
inline constexpr char kHostnameScript[] = "/usr/share/stowbox/network/NET_SetHostname";
inline constexpr char kDefaultAddressScript[] = "/usr/share/stowbox/network/NET_RunTCPIPDefault";

// Distribution services and programs.
inline constexpr char kNetworkInit[] = "/etc/rc.d/init.d/network";
inline constexpr char kDhcpdInit[] = "/etc/rc.d/init.d/dhcpd";
inline constexpr char kInetInit[] = "/etc/rc.d/init.d/inet";
inline constexpr char kSmbInit[] = "/etc/rc.d/init.d/smb";
inline constexpr char kAtalkInit[] = "/etc/rc.d/init.d/atalk";
inline constexpr char kCrondInit[] = "/etc/rc.d/init.d/crond";
inline constexpr char kRoute[] = "/sbin/route";
inline constexpr char kHostnameProgram[] = "/bin/hostname";
inline constexpr char kAfpd[] = "/usr/sbin/afpd";

// System files.
inline constexpr char kIfcfgEth0[] = "/etc/sysconfig/network-scripts/ifcfg-eth0";
inline constexpr char kNetworkFile[] = "/etc/sysconfig/network";
inline constexpr char kResolvConf[] = "/etc/resolv.conf";
inline constexpr char kDhcpcResolvConf[] = "/etc/dhcpc/resolv.conf";
inline constexpr char kDhcpdConf[] = "/etc/dhcpd.conf";
inline constexpr char kDhcpdLeases[] = "/etc/dhcpd.leases";
inline constexpr char kInetdConf[] = "/etc/inetd.conf";
inline constexpr char kProcRoute[] = "/proc/net/route";
inline constexpr char kProcHostname[] = "/proc/sys/kernel/hostname";
inline constexpr char kProcCmdline[] = "/proc/cmdline";
inline constexpr char kDefaultNameFile[] = "/var/log/DEFHOSTNAME";
inline constexpr char kHostnameFile[] = "/etc/HOSTNAME";
inline constexpr char kHostsFile[] = "/etc/hosts";
inline constexpr char kAfpdConf[] = "/etc/atalk/afpd.conf";
inline constexpr char kSmbConf[] = "/etc/smb.conf";
inline constexpr char kPrintcap[] = "/etc/printcap";
inline constexpr char kAtalkdConf[] = "/etc/atalk/atalkd.conf";
inline constexpr char kPapdConf[] = "/etc/atalk/papd.conf";

}  // namespace paths
