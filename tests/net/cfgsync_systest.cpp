// cfgsync as shipped, run in the simulated appliance on a seeded configuration file.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "tests/net/net_sim.h"

namespace {

using testutil::FileExists;
using testutil::ReadFile;
using testutil::WriteFile;

constexpr char kConf[] = "/etc/CGI_ds.conf";

// Every key the run fills in when it is missing, in the order the run leaves them in the file.
constexpr char kSharingDefaults[] =
    "printer_client=laserwriter\nmac_printer_type=LaserWriter\nzone_name=*\napple_enable=yes\n"
    "code_page=437\nw_d_name=workgroup\nmsn_enable=yes\n";

// A complete, usable section; the tests change single lines of it.
std::string Complete(const std::string &tcpip, const std::string &names,
                     const std::string &telnet = "telnet_enable=no\n") {
    return "[network]\n" + tcpip + "hw_addr=00:C0:02:1A:2B:3C\n" + names + "dhcp_server=no\n" +
           telnet +
           "msn_enable=no\nw_d_name=HOME\ncode_page=850\napple_enable=no\nzone_name=Z\n"
           "mac_printer_type=T\nprinter_client=c\n";
}

constexpr char kGoodTcpip[] =
    "ip_addr=192.168.0.5\nnetmask=255.255.255.0\ngateway=192.168.0.1\nbootproto=static\n"
    "dns_server1=10.0.0.1\ndns_server2=\ndns_server3=\n";
constexpr char kFallbackTcpip[] =
    "ip_addr=192.168.0.2\nnetmask=255.255.255.0\ngateway=\nbootproto=static\n"
    "dns_server1=\ndns_server2=\ndns_server3=\n";
constexpr char kCurrentNames[] =
    "default_server_name=JX1A2B3C\ndisk_server_name=JX1A2B3C\nprinter_name=JX1A2B3C_p1\n";

int RunCfgsync() {
    std::string out;
    return testutil::Run("/usr/sbin/cfgsync ignored arguments 2>/dev/null", &out);
}

TEST(Cfgsync, UnusableAddressingFallsBackToFixedDefaults) {
    SKIP_OUTSIDE_SIM();
    std::string bad_ip =
        "ip_addr=0.0.0.0\nnetmask=255.255.255.0\ngateway=192.168.0.1\nbootproto=static\n"
        "dns_server1=10.0.0.1\ndns_server2=10.0.0.2\ndns_server3=10.0.0.3\n";
    WriteFile(kConf, Complete(bad_ip, kCurrentNames));
    ASSERT_EQ(RunCfgsync(), 0);
    EXPECT_EQ(ReadFile(kConf), Complete(kFallbackTcpip, kCurrentNames));
    EXPECT_TRUE(sim::WaitForSyslog("[SYSTEM]::<<Set Configure File Data Finish>>"));

    // "DHCP" in capitals is no boot protocol either; "dhcp" is kept as it is.
    std::string caps =
        "ip_addr=10.1.1.1\nnetmask=255.0.0.0\ngateway=\nbootproto=DHCP\n"
        "dns_server1=10.0.0.1\ndns_server2=\ndns_server3=\n";
    WriteFile(kConf, Complete(caps, kCurrentNames));
    ASSERT_EQ(RunCfgsync(), 0);
    EXPECT_EQ(ReadFile(kConf), Complete(kFallbackTcpip, kCurrentNames));
    std::string dhcp =
        "ip_addr=10.1.1.1\nnetmask=255.0.0.0\ngateway=\nbootproto=dhcp\n"
        "dns_server1=10.0.0.1\ndns_server2=\ndns_server3=\n";
    WriteFile(kConf, Complete(dhcp, kCurrentNames));
    ASSERT_EQ(RunCfgsync(), 0);
    EXPECT_EQ(ReadFile(kConf), Complete(dhcp, kCurrentNames));
}

TEST(Cfgsync, NamesFollowTheDefaultUntilTheUserChoseOthers) {
    SKIP_OUTSIDE_SIM();
    WriteFile(kConf, Complete(kGoodTcpip,
                              "default_server_name=JX000001\ndisk_server_name=JX000001\n"
                              "printer_name=JX000001_p1\n",
                              "telnet_enable=yes\n"));
    ASSERT_EQ(RunCfgsync(), 0);
    EXPECT_EQ(ReadFile(kConf), Complete(kGoodTcpip, kCurrentNames));

    std::string chosen =
        "default_server_name=JX000001\ndisk_server_name=STORE1\nprinter_name=LASER\n";
    WriteFile(kConf, Complete(kGoodTcpip, chosen));
    ASSERT_EQ(RunCfgsync(), 0);
    EXPECT_EQ(ReadFile(kConf), Complete(kGoodTcpip,
                                        "default_server_name=JX1A2B3C\ndisk_server_name=STORE1\n"
                                        "printer_name=LASER\n"));

    // Empty names take the default; the hardware address is the live one.
    WriteFile(kConf, "[network]\nhw_addr=old\ndisk_server_name=\nprinter_name=\n");
    ASSERT_EQ(RunCfgsync(), 0);
    std::string text = ReadFile(kConf);
    EXPECT_NE(text.find("\nhw_addr=00:C0:02:1A:2B:3C\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\ndisk_server_name=JX1A2B3C\nprinter_name=JX1A2B3C_p1\n"),
              std::string::npos)
        << text;
}

TEST(Cfgsync, SharingDefaultsInsertedAfterTheHeaderAndOverlongValuesKept) {
    SKIP_OUTSIDE_SIM();
    WriteFile(kConf, std::string("[network]\n") + kGoodTcpip + kCurrentNames +
                         "hw_addr=00:C0:02:1A:2B:3C\n[other]\nx=1\n");
    ASSERT_EQ(RunCfgsync(), 0);
    EXPECT_EQ(ReadFile(kConf), std::string("[network]\n") + kSharingDefaults +
                                   "telnet_enable=no\ndhcp_server=no\n" + kGoodTcpip +
                                   kCurrentNames + "hw_addr=00:C0:02:1A:2B:3C\n[other]\nx=1\n");

    // A workgroup of 16 characters does not fit its buffer: traced, and left as it is.
    std::string conf = Complete(kGoodTcpip, kCurrentNames);
    std::string longer = "w_d_name=ABCDEFGHIJKLMNOP\n";
    conf.replace(conf.find("w_d_name=HOME\n"), 14, longer);
    ASSERT_TRUE(sim::WaitForSyslog("Set Configure File Data Finish"));  // the first run's, all in
    WriteFile(kConf, conf);
    sim::ClearLogs();
    ASSERT_EQ(RunCfgsync(), 0);
    EXPECT_EQ(ReadFile(kConf), conf);
    EXPECT_TRUE(sim::WaitForSyslog("[BOOT]::<<Read SMB Workgroup from DS.CONF fail>>"));
    ASSERT_TRUE(sim::WaitForSyslog("Set Configure File Data Finish"));
    EXPECT_EQ(sim::Syslog().find("Write SMB"), std::string::npos);
}

// A factory-fresh appliance: boot goes on, nothing is created.
TEST(Cfgsync, MissingFileIsTracedNotCreatedAndNoFailure) {
    SKIP_OUTSIDE_SIM();
    ASSERT_FALSE(FileExists(kConf));
    EXPECT_EQ(RunCfgsync(), 0);
    EXPECT_FALSE(FileExists(kConf));
    ASSERT_TRUE(sim::WaitForSyslog("[SYSTEM]::<<No configuration file, nothing written>>"));
    std::string log = sim::Syslog();
    EXPECT_NE(log.find("[BOOT]::<<Write Netatalk printer name to DS.CONF fail>>"),
              std::string::npos);
    EXPECT_NE(log.find("[BOOT]::<<Read tcpip/ip address from DS.CONF fail>>"), std::string::npos);
    EXPECT_NE(log.find("[SYSTEM]::<<Read tcpip/bootproto from DS.CONF fail>>"), std::string::npos);
    EXPECT_LT(log.find("Read tcpip/bootproto"), log.find("Write tcpip/ip address"))
        << "the traces come in the order of the steps";
    EXPECT_EQ(log.find("Set Configure File Data Finish"), std::string::npos);
}

// The counts of the calls that change files under /etc in one run of cfgsync, through the
// file-call shim (tests/support/io_shim).
struct EtcWrites {
    int writes = -1, truncates = -1, syncs = -1, unlinks = -1;
};

EtcWrites CountedRun(int *status) {
    const std::string report = "/tmp/cfgsync-io";
    unlink(report.c_str());
    *status = testutil::Run(testutil::Cat({"env LD_PRELOAD=", sim::TargetBuilt(IO_SHIM_PATH)}) +
                            " ASAN_OPTIONS=verify_asan_link_order=0 IO_SHIM_WATCH=/etc"
                            " IO_SHIM_REPORT=" +
                            report + " /usr/sbin/cfgsync 2>/dev/null");
    EtcWrites n;
    std::sscanf(ReadFile(report).c_str(), "writes %d truncates %d syncs %d unlinks %d", &n.writes,
                &n.truncates, &n.syncs, &n.unlinks);
    return n;
}

TEST(Cfgsync, FileThatNeedsNoChangeIsNotWrittenAtAll) {
    SKIP_OUTSIDE_SIM();
    WriteFile(kConf, Complete(kGoodTcpip, kCurrentNames, "telnet_enable=yes\n"));
    int status = -1;
    const EtcWrites first = CountedRun(&status);
    EXPECT_EQ(status, 0);
    EXPECT_GT(first.writes, 0) << "telnet switched off: one change";
    EXPECT_GT(first.syncs, 0);
    const std::string after = ReadFile(kConf);
    EXPECT_EQ(after, Complete(kGoodTcpip, kCurrentNames));

    struct stat before {};
    ASSERT_EQ(stat(kConf, &before), 0);
    const EtcWrites second = CountedRun(&status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(second.writes, 0);
    EXPECT_EQ(second.truncates, 0);
    EXPECT_EQ(second.syncs, 0);
    EXPECT_EQ(second.unlinks, 0);
    struct stat now {};
    ASSERT_EQ(stat(kConf, &now), 0);
    EXPECT_EQ(now.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(now.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(ReadFile(kConf), after);
    EXPECT_TRUE(sim::WaitForSyslog("Set Configure File Data Finish"));
}

// A full disk (a small tmpfs over /etc): the failed writes are traced, "Finish" is not, the
// exit status is 1 and the file keeps every key; with room again the run completes.
TEST(Cfgsync, FullDiskIsReportedAndTheFileKept) {
    SKIP_OUTSIDE_SIM();
    ASSERT_TRUE(sim::MountSmallTmpfs("/etc", 64));
    WriteFile(kConf, Complete(kGoodTcpip, kCurrentNames));
    ASSERT_EQ(RunCfgsync(), 0);  // the temporary file and its mark exist from here on
    // That run's traces reach the system log after it ends: all in before the logs are cleared.
    ASSERT_TRUE(sim::WaitForSyslog("Set Configure File Data Finish"));
    const std::string needs_change = Complete(kGoodTcpip, kCurrentNames, "telnet_enable=yes\n");
    WriteFile(kConf, needs_change);
    ASSERT_TRUE(sim::FillDisk("/etc"));
    sim::ClearLogs();

    EXPECT_EQ(RunCfgsync(), 1);
    EXPECT_EQ(ReadFile(kConf), needs_change);
    ASSERT_TRUE(sim::WaitForSyslog("[BOOT]::<<Write Telnet Server Flag from DS.CONF fail>>"));
    EXPECT_EQ(sim::Syslog().find("Set Configure File Data Finish"), std::string::npos)
        << sim::Syslog();

    ASSERT_EQ(unlink("/etc/filler"), 0);
    sim::ClearLogs();
    EXPECT_EQ(RunCfgsync(), 0);
    EXPECT_EQ(ReadFile(kConf), Complete(kGoodTcpip, kCurrentNames));
    EXPECT_TRUE(sim::WaitForSyslog("[SYSTEM]::<<Set Configure File Data Finish>>"));
}

}  // namespace
