// Write settings (0x11) through the installed agent in the simulated appliance: what is stored,
// what runs, what the system files and the live interface show, and the replies the PC gets.
#include <sys/file.h>

#include <array>
#include <sstream>

#include "common/paths.h"
#include "tests/agent/agent_sim.h"
#include "tests/support/pc_dhcp_server.h"

namespace agentsim {
namespace {

using Address = std::array<std::uint8_t, 4>;

constexpr char kCrond[] = "/etc/rc.d/init.d/crond";
constexpr char kNetworkRestart[] = "/etc/rc.d/init.d/network restart";
constexpr char kTimeZoneScript[] = "/usr/share/stowbox/http/CGI_main/CGI_system/Set_TimeZone.pl";
constexpr char kSetConf[] = "/usr/share/stowbox/http/CGI_main/CGI_set_conf.pl";
constexpr char kStatusDir[] = "/var/lib/sim/status/";

// The known settings plus the sharing keys, so that Samba and AppleTalk are rewritten.
const std::string kWriteConfig = std::string(kKnownConfig) +
                                 "msn_enable=yes\n"
                                 "code_page=437\n"
                                 "printer_name=lp\n"
                                 "printer_comment=Printer on parallel port\n"
                                 "apple_enable=yes\n"
                                 "mac_printer_type=LaserWriter\n"
                                 "printer_client=LaserWriter\n";

// A request; the defaults equal the stored settings of kWriteConfig.
struct Settings {
    std::string name = "STORAGE";
    std::string description = "Office disk";
    std::string date = "12/07/2026";
    std::string time = "08:05:09";
    std::uint8_t mode = 1;  // fixed
    Address ip{192, 168, 0, 2};
    Address netmask{255, 255, 255, 0};
    Address gateway{0, 0, 0, 0};
    std::uint8_t dhcp_server = 0;  // on
    Address dhcp_start{192, 168, 0, 100};
    Address dhcp_end{192, 168, 0, 200};
    std::string workgroup = "WORKGROUP";
    std::string zone = "Office Zone";
    std::int32_t time_zone = -5;
    std::uint8_t wins = 1;
    Address wins_server{192, 168, 0, 5};
    const std::uint8_t *mac = kMac;
};

void PutText(Bytes &b, std::size_t offset, std::size_t width, const std::string &text) {
    memcpy(b.data() + offset, text.data(), std::min(width, text.size()));
}

Bytes WriteRequest(std::uint16_t sequence, const Settings &s) {
    namespace w = proto::write;
    Bytes b = Request(proto::kCmdWriteSettings, sequence, w::kRequestSize);
    memcpy(b.data() + w::kOffMac, s.mac, 6);
    PutText(b, w::kOffServerName, w::kServerNameWidth, s.name);
    PutText(b, w::kOffDescription, w::kDescriptionWidth, s.description);
    PutText(b, w::kOffDate, w::kDateWidth, s.date);
    PutText(b, w::kOffTime, w::kTimeWidth, s.time);
    b[w::kOffAddressMode] = s.mode;
    memcpy(b.data() + w::kOffIp, s.ip.data(), 4);
    memcpy(b.data() + w::kOffNetmask, s.netmask.data(), 4);
    memcpy(b.data() + w::kOffGateway, s.gateway.data(), 4);
    b[w::kOffDhcpServer] = s.dhcp_server;
    memcpy(b.data() + w::kOffDhcpStart, s.dhcp_start.data(), 4);
    memcpy(b.data() + w::kOffDhcpEnd, s.dhcp_end.data(), 4);
    PutText(b, w::kOffWorkgroup, w::kWorkgroupWidth, s.workgroup);
    PutText(b, w::kOffZone, w::kZoneWidth, s.zone);
    proto::PutI32(b.data() + w::kOffTimeZone, s.time_zone);
    b[w::kOffWinsEnable] = s.wins;
    memcpy(b.data() + w::kOffWinsServer, s.wins_server.data(), 4);
    return b;
}

bool Has(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

// The value of a key in the settings file ("<absent>" when there is none).
std::string Stored(const std::string &key) {
    std::istringstream in(testutil::ReadFile(kConfig));
    std::string value = "<absent>";
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(key + "=", 0) == 0) {
            value = line.substr(key.size() + 1);
        }
    }
    return value;
}

// Bytes and change time of the settings file: equal snapshots mean nothing was written.
struct FileSnapshot {
    std::string bytes;
    timespec mtime;
    timespec ctime;
    bool operator==(const FileSnapshot &o) const {
        return bytes == o.bytes && mtime.tv_sec == o.mtime.tv_sec &&
               mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec &&
               ctime.tv_nsec == o.ctime.tv_nsec;
    }
};

FileSnapshot Snapshot(const char *path) {
    struct stat st {};
    stat(path, &st);
    return FileSnapshot{testutil::ReadFile(path), st.st_mtim, st.st_ctim};
}

std::string Sh(const std::string &command) {
    std::string out;
    testutil::Run(command, &out);
    return out;
}

// Position of a call in the calls log (npos when it was not made).
std::size_t CallAt(const std::string &call) {
    return sim::Calls().find(call);
}

class WriteSettingsTest : public AgentSimTest {
  protected:
    void SetUp() override {
        AgentSimTest::SetUp();
        if (IsSkipped())
            return;
        testutil::WriteFile(kConfig, kWriteConfig);
        unlink(paths::kScanMarker);
        testutil::Run("rm -rf /var/lib/sim/hold /var/lib/sim/status/* /var/log/sim/clock.set");
        testutil::Run("mkdir -p /var/lib/sim/hold");
        InstallFakeClockSet();
        sim::ClearLogs();
        ASSERT_EQ(StartAgent(), 0);
        ASSERT_TRUE(pc_.ok());
    }

    // clockset runs as installed, with the fake clock: setting the clock is only recorded,
    // and fails when a test puts a status file for clockset.
    static void InstallFakeClockSet() {
        const std::string real = std::string(paths::kClockSet) + ".real";
        if (!testutil::FileExists(real)) {
            ASSERT_EQ(rename(paths::kClockSet, real.c_str()), 0);
        }
        testutil::WriteFile(
            paths::kClockSet,
            "#!/bin/sh\n"
            ". /usr/lib/sim/standin.sh\n"
            "sim_record \"$0\" \"$@\"\n"
            "fail=0; [ -f /var/lib/sim/status/clockset ] && fail=1\n"
            "exec env FAKE_CLOCK_NOW=1780000000 FAKE_CLOCK_RECORD=/var/log/sim/clock.set "
            "FAKE_CLOCK_FAIL=$fail ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}"
            "verify_asan_link_order=0\" LD_PRELOAD='" +
                sim::TargetBuilt(FAKE_CLOCK_SHIM) + "' '" + real + "' \"$@\"\n",
            0755);
    }
    static void SetStatus(const std::string &program, int status) {
        testutil::WriteFile(kStatusDir + program, std::to_string(status) + "\n");
    }

    // Sends the request and waits for one reply (empty after the time-out).
    Bytes Write(std::uint16_t sequence, const Settings &s, int timeout_ms = 60000) {
        return pc_.Ask(WriteRequest(sequence, s), timeout_ms);
    }
    // True when the agent is serving again (an identify gets an answer), i.e. the command
    // before has ended.
    bool Idle(const char *address = sim::kApplianceAddress) {
        pc_.Send(Request(proto::kCmdIdentify, ++probe_), address);
        for (;;) {
            const Bytes r = pc_.Receive(90000);
            if (r.empty())
                return false;
            if (proto::GetU16(r.data()) == proto::kCmdIdentify)
                return true;
        }
    }

    Pc pc_;
    std::uint16_t probe_ = 1000;
};

TEST_F(WriteSettingsTest, OtherMacAndScanMarkerChangeNothing) {
    const FileSnapshot before = Snapshot(kConfig);
    Settings s;
    s.name = "OTHER";
    const std::uint8_t stranger[6] = {0x00, 0xC0, 0x02, 0x99, 0x99, 0x99};
    s.mac = stranger;
    EXPECT_TRUE(Write(1, s, 1000).empty());

    testutil::WriteFile(paths::kScanMarker, "");
    s.mac = kMac;
    const Bytes r = Write(2, s);
    ASSERT_EQ(r.size(), 8u);
    EXPECT_EQ(Status(r), proto::kStScanning);
    EXPECT_EQ(proto::GetU16(r.data() + 6), 0);
    EXPECT_TRUE(Snapshot(kConfig) == before);
    EXPECT_EQ(sim::Calls(), "");
    EXPECT_EQ(EventLog().find("0x11"), std::string::npos);
}

TEST_F(WriteSettingsTest, UnchangedRequestWritesNoKeyButSetsTheClockAndSharing) {
    const FileSnapshot before = Snapshot(kConfig);
    const std::string hosts = testutil::ReadFile("/etc/hosts");
    const Bytes r = Write(1, Settings{});
    ASSERT_EQ(r.size(), 8u);
    EXPECT_EQ(Status(r), 0);
    EXPECT_TRUE(Snapshot(kConfig) == before) << testutil::ReadFile(kConfig);

    // Scheduler stopped around date and time, then Samba and AppleTalk; nothing else.
    const std::size_t stop = CallAt(std::string(kCrond) + " stop");
    const std::size_t date = CallAt(std::string(paths::kClockSet) + " 12/07/2026 1");
    const std::size_t time = CallAt(std::string(paths::kClockSet) + " 08:05:09 2");
    const std::size_t start = CallAt(std::string(kCrond) + " start");
    const std::size_t smb = CallAt("/etc/rc.d/init.d/smb restart");
    const std::size_t atalk = CallAt("/etc/rc.d/init.d/atalk restart");
    ASSERT_NE(stop, std::string::npos) << sim::Calls();
    ASSERT_NE(atalk, std::string::npos) << sim::Calls();
    EXPECT_TRUE(stop < date && date < time && time < start && start < smb && smb < atalk)
        << sim::Calls();
    EXPECT_EQ(testutil::CountLines(testutil::ReadFile("/var/log/sim/clock.set")), 2);
    for (const char *never :
         {kNetworkRestart, "bin/hostname", "dhcpd", "afpd", kTimeZoneScript, kSetConf}) {
        EXPECT_FALSE(Has(sim::Calls(), never)) << never;
    }
    EXPECT_EQ(testutil::ReadFile("/etc/hosts"), hosts);
    EXPECT_EQ(testutil::ReadFile("/var/lib/sim/crond"), "running\n");
    // The scheduler's script ran as a program of its own.
    const std::string env = testutil::ReadFile("/var/lib/sim/crond.env");
    EXPECT_TRUE(Has(env, "umask=0022 cwd=/ session_leader=yes")) << env;
    EXPECT_TRUE(Has(testutil::ReadFile("/etc/smb.conf"), "wins server = 192.168.0.5\n"));
    EXPECT_TRUE(Has(testutil::ReadFile("/etc/atalk/atalkd.conf"), "-zone \"Office Zone\""));
    EXPECT_EQ(EventLog().find("0x11"), std::string::npos) << EventLog();
}

TEST_F(WriteSettingsTest, FixedAddressChangeRunsTheWholeApplyChain) {
    Settings s;
    s.ip = {192, 168, 0, 3};
    s.gateway = {192, 168, 0, 10};
    s.dhcp_start = {192, 168, 0, 110};
    const Bytes r = Write(1, s);
    ASSERT_EQ(r.size(), 8u);
    EXPECT_EQ(Status(r), 0) << EventLog();

    EXPECT_EQ(Stored("ip_addr"), "192.168.0.3");
    EXPECT_EQ(Stored("gateway"), "192.168.0.10");
    EXPECT_EQ(Stored("dhcp_start_ip"), "192.168.0.110");
    EXPECT_EQ(Stored("bootproto"), "static");
    EXPECT_TRUE(Has(testutil::ReadFile("/etc/sysconfig/network-scripts/ifcfg-eth0"),
                    "IPADDR=192.168.0.3\nNETMASK=255.255.255.0\n"));
    EXPECT_TRUE(Has(testutil::ReadFile("/etc/sysconfig/network"), "GATEWAY=192.168.0.10\n"));
    EXPECT_TRUE(Has(Sh("ip -4 addr show dev eth0"), "inet 192.168.0.3/24"));
    EXPECT_TRUE(Has(Sh("ip -4 route show default"), "via 192.168.0.10"));
    EXPECT_EQ(testutil::ReadFile("/etc/hosts"),
              "127.0.0.1\tlocalhost\tlocalhost.localdomain\n"
              "192.168.0.3\tJX1A2B3C\t192.168.0.3\n");
    EXPECT_TRUE(Has(testutil::ReadFile("/etc/resolv.conf"), "nameserver 192.168.0.1\n"));
    EXPECT_TRUE(Has(testutil::ReadFile("/etc/dhcpd.conf"), "range 192.168.0.110 192.168.0.200;"));
    EXPECT_EQ(testutil::ReadFile("/var/lib/sim/led"), "-fixip\n");
    EXPECT_LT(CallAt(kNetworkRestart), CallAt("/etc/rc.d/init.d/dhcpd restart"));
    EXPECT_FALSE(Has(sim::Calls(), "bin/hostname"));  // the name did not change
}

// Every file that write settings and the scripts and programs it runs make or rewrite: the
// ones it creates get the modes of their kind (0755 service files, 0744 name files), nothing
// is writable by group or others.
TEST_F(WriteSettingsTest, FilesItCreatesGetTheirModesAndNoneIsWritableByOthers) {
    for (const char *path :
         {"/etc/resolv.conf", "/etc/dhcpd.conf", "/etc/HOSTNAME", "/etc/atalk/afpd.conf"}) {
        unlink(path);
    }
    unlink("/var/log/DS_log.tmp");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const timespec mark = CoarseNow();
    Settings s;
    s.name = "NEWNAME";
    s.description = "New description";
    s.ip = {192, 168, 0, 3};
    s.time_zone = 9;
    s.workgroup = "OFFICE";
    s.dhcp_start = {192, 168, 0, 110};
    const Bytes r = Write(1, s);
    ASSERT_EQ(r.size(), 8u);
    EXPECT_EQ(Status(r), 0) << EventLog();
    ASSERT_TRUE(Idle("192.168.0.3"));

    const auto changed = ChangedSince(mark);
    EXPECT_EQ(ModeIn(changed, "/etc/resolv.conf"), 0755u);
    EXPECT_EQ(ModeIn(changed, "/etc/dhcpd.conf"), 0755u);
    EXPECT_EQ(ModeIn(changed, "/etc/HOSTNAME"), 0744u);
    EXPECT_EQ(ModeIn(changed, "/etc/atalk/afpd.conf"), 0744u);
    EXPECT_GE(ExpectNothingWritableByOthers(changed), 10);
}

TEST_F(WriteSettingsTest, ZeroGatewayIsStoredEmptyAndZeroIpKeepsTheStoredOne) {
    ASSERT_EQ(testutil::Run("sed -i 's/^gateway=$/gateway=192.168.0.10/' /etc/CGI_ds.conf"), 0);
    Settings s;
    s.ip = {0, 0, 0, 0};
    const Bytes r = Write(1, s);
    ASSERT_EQ(r.size(), 8u);
    EXPECT_EQ(Status(r), 0) << EventLog();
    EXPECT_EQ(Stored("gateway"), "");
    EXPECT_EQ(Stored("ip_addr"), "192.168.0.2");
    // The network was applied with the stored address.
    EXPECT_NE(CallAt(kNetworkRestart), std::string::npos);
    EXPECT_TRUE(Has(testutil::ReadFile("/etc/sysconfig/network-scripts/ifcfg-eth0"),
                    "IPADDR=192.168.0.2\n"));
    EXPECT_TRUE(Has(testutil::ReadFile("/etc/sysconfig/network"), "GATEWAY=\n"));
    EXPECT_TRUE(Has(Sh("ip -4 addr show dev eth0"), "inet 192.168.0.2/24"));
}

TEST_F(WriteSettingsTest, NameCutTo14AndDescriptionPassedToTheEditingScript) {
    Settings s;
    s.name = "ABCDEFGHIJKLMNO";  // 15 characters
    s.description = "Disk 'two' $(touch /tmp/pwned) \"[main]\"";
    const Bytes r = Write(1, s);
    ASSERT_EQ(r.size(), 8u);
    EXPECT_EQ(Status(r), 0) << EventLog();
    EXPECT_EQ(Stored("disk_server_name"), "ABCDEFGHIJKLMN");
    EXPECT_EQ(testutil::ReadFile("/proc/sys/kernel/hostname"), "ABCDEFGHIJKLMN\n");
    EXPECT_EQ(testutil::ReadFile("/etc/HOSTNAME"), "ABCDEFGHIJKLMN\n");
    EXPECT_TRUE(Has(testutil::ReadFile("/etc/hosts"), "\tABCDEFGHIJKLMN\t"));
    EXPECT_TRUE(Has(sim::Calls(), "bin/hostname ABCDEFGHIJKLMN\n"));

    // The description, stored and handed to the editing script as one word, reaches smb.conf
    // unchanged; the Samba rewrite after it keeps it and still finds its keys.
    EXPECT_EQ(Stored("disk_server_comment"), s.description);
    EXPECT_TRUE(Has(sim::Calls(), std::string(kSetConf) +
                                      " /etc/smb.conf global = modify server string " +
                                      s.description + "\n"))
        << sim::Calls();
    const std::string smb = testutil::ReadFile("/etc/smb.conf");
    EXPECT_TRUE(Has(smb, "server string = " + s.description + "\n")) << smb;
    EXPECT_FALSE(testutil::FileExists("/tmp/pwned"));
    EXPECT_LT(CallAt(kSetConf), CallAt("/etc/rc.d/init.d/smb restart"));
}

TEST_F(WriteSettingsTest, TimeZoneScriptOnlyForAChangedZoneAndItsFailure) {
    EXPECT_EQ(Status(Write(1, Settings{})), 0);
    EXPECT_FALSE(Has(sim::Calls(), kTimeZoneScript));

    Settings s;
    s.time_zone = 8;
    EXPECT_EQ(Status(Write(2, s)), 0) << EventLog();
    EXPECT_TRUE(Has(sim::Calls(), std::string(kTimeZoneScript) + " 8\n"));
    EXPECT_EQ(Stored("time_zone"), "8");  // stored by the script, not by the agent

    sim::ClearLogs();
    s.time_zone = -11;
    SetStatus("Set_TimeZone.pl", 1);
    const Bytes r = Write(3, s);
    ASSERT_EQ(r.size(), 8u);
    EXPECT_EQ(Status(r), proto::kStTimeZoneScript);
    EXPECT_TRUE(Has(EventLog(), " CMD 0x11, mySystem(set_timezone) timeout"));
    EXPECT_FALSE(Has(sim::Calls(), kCrond));  // the command ended there
    EXPECT_EQ(Stored("time_zone"), "8");
    // The lock was given back.
    const int fd = open(kConfig, O_RDONLY);
    EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    close(fd);
}

TEST_F(WriteSettingsTest, ScriptHoldsNoLockWhileItRuns) {
    testutil::WriteFile("/var/lib/sim/hold/Set_TimeZone.pl", "");
    Settings s;
    s.time_zone = 3;
    pc_.Send(WriteRequest(1, s));
    ASSERT_TRUE(WaitFor([] { return Has(sim::Calls(), kTimeZoneScript); }));
    const int fd = open(kConfig, O_RDONLY);
    EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0) << "the lock is not held around the script";
    flock(fd, LOCK_UN);
    unlink("/var/lib/sim/hold/Set_TimeZone.pl");
    const Bytes r = pc_.Receive(60000);
    ASSERT_EQ(r.size(), 8u);
    EXPECT_EQ(Status(r), 0);
    ASSERT_TRUE(Idle());  // the command has ended: the lock was given back
    EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    close(fd);
}

TEST_F(WriteSettingsTest, FailedDateRestartsTheSchedulerBeforeTheReply) {
    SetStatus("clockset", 1);
    const Bytes r = Write(1, Settings{});
    ASSERT_EQ(r.size(), 8u);
    EXPECT_EQ(Status(r), proto::kStSetDate);
    EXPECT_TRUE(Has(EventLog(), " CMD 0x11, set date fail"));
    EXPECT_LT(CallAt(std::string(kCrond) + " stop"), CallAt(paths::kClockSet));
    EXPECT_LT(CallAt(paths::kClockSet), CallAt(std::string(kCrond) + " start"));
    EXPECT_FALSE(Has(sim::Calls(), " 08:05:09 2"));
    EXPECT_FALSE(Has(sim::Calls(), "smb"));
    EXPECT_EQ(testutil::ReadFile("/var/lib/sim/crond"), "running\n");
}

TEST_F(WriteSettingsTest, FailingAppleTalkIs313AndWinsOffGivesSambaNoServer) {
    Settings s;
    s.wins = 0;
    s.wins_server = {192, 168, 0, 9};
    SetStatus("atalk", 1);
    const Bytes r = Write(1, s);
    ASSERT_EQ(r.size(), 8u);
    EXPECT_EQ(Status(r), proto::kStApplyAppleTalk);
    EXPECT_TRUE(Has(EventLog(), " Call APPLESetNetatalk() fail"));
    EXPECT_EQ(proto::StatusMeaning(proto::kStApplyAppleTalk),
              "applying the AppleTalk settings failed");

    EXPECT_EQ(Stored("wins_enable"), "no");
    EXPECT_EQ(Stored("wins_server"), "192.168.0.9");
    const std::string smb = testutil::ReadFile("/etc/smb.conf");
    EXPECT_FALSE(Has(smb, "wins server =")) << smb;
    EXPECT_FALSE(Has(smb, "name resolve order ="));
}

TEST_F(WriteSettingsTest, DhcpModeAnswersEarlyThenStoresTheLease) {
    sim::PcDhcpServer server;
    ASSERT_TRUE(server.running());
    testutil::WriteFile("/var/lib/sim/hold/network", "");
    Settings s;
    s.mode = 0;
    s.dhcp_server = 0;  // ignored in DHCP mode: the server is switched off
    pc_.Send(WriteRequest(1, s));
    // The reply comes while the network restart is still held back.
    const Bytes r = pc_.Receive(30000);
    ASSERT_EQ(r.size(), 8u);
    EXPECT_EQ(Status(r), 0);
    EXPECT_TRUE(Has(Sh("ip -4 addr show dev eth0"), "inet 192.168.0.2/24"));
    EXPECT_EQ(Stored("bootproto"), "dhcp");
    EXPECT_EQ(Stored("dhcp_server"), "no");
    unlink("/var/lib/sim/hold/network");

    // Done when the agent serves again; no second reply came.
    ASSERT_TRUE(WaitFor([] { return Stored("ip_addr").rfind("192.168.0.5", 0) == 0; }, 60000))
        << testutil::ReadFile(kConfig);
    const std::string ip = Stored("ip_addr");
    ASSERT_TRUE(Idle(ip.c_str()));
    EXPECT_TRUE(Has(Sh("ip -4 addr show dev eth0"), "inet " + ip + "/24"));
    EXPECT_EQ(Stored("netmask"), "255.255.255.0");
    EXPECT_EQ(Stored("gateway"), "192.168.0.10");
    EXPECT_EQ(Stored("dns_server1"), "192.168.0.10");
    EXPECT_EQ(Stored("dns_server2"), "192.168.0.1");
    EXPECT_EQ(Stored("dns_server3"), "");
    EXPECT_TRUE(Has(sim::Calls(), "/etc/rc.d/init.d/dhcpd stop"));
    EXPECT_EQ(EventLog().find("0x11"), std::string::npos) << EventLog();
}

TEST_F(WriteSettingsTest, FailureAfterTheEarlyReplyGetsASecondReply) {
    sim::PcDhcpServer server;
    ASSERT_TRUE(server.running());
    SetStatus("smb", 1);
    Settings s;
    s.mode = 0;
    pc_.Send(WriteRequest(7, s));
    const Bytes first = pc_.Receive(30000);
    ASSERT_EQ(first.size(), 8u);
    EXPECT_EQ(Status(first), 0);
    const Bytes second = pc_.Receive(60000);
    ASSERT_EQ(second.size(), 8u);
    EXPECT_EQ(Status(second), proto::kStApplySamba);
    EXPECT_EQ(proto::GetU16(second.data() + 4), 7);
    EXPECT_TRUE(Has(EventLog(), " Call SMBSetSamba() fail"));
    EXPECT_FALSE(Has(sim::Calls(), "atalk"));
    EXPECT_EQ(Stored("ip_addr"), "192.168.0.2");  // no write-back after a failure
}

// Text that would add a line, a key, a field or an option is refused with the field's write
// status before anything is written.
TEST_F(WriteSettingsTest, UnsafeTextIsRefusedBeforeAnythingIsWritten) {
    const FileSnapshot before = Snapshot(kConfig);
    struct Case {
        const char *what;
        Settings settings;
        int status;
        const char *message;
    };
    std::vector<Case> cases;
    auto add = [&cases](const char *what, auto change, int status, const char *message) {
        Settings s;
        s.description = "A new description";  // a change written before the bad field
        change(s);
        cases.push_back({what, s, status, message});
    };
    add(
        "blank in the name", [](Settings &s) { s.name = "DISK ONE"; }, proto::kStWriteServerName,
        " CMD 0x11, write server name fail");
    add(
        "shell text in the name", [](Settings &s) { s.name = "x;reboot"; },
        proto::kStWriteServerName, " CMD 0x11, write server name fail");
    add(
        "option as the name", [](Settings &s) { s.name = "-F/etc/shadow"; },
        proto::kStWriteServerName, " CMD 0x11, write server name fail");
    add(
        "TAB in the name", [](Settings &s) { s.name = "AB\tC"; }, proto::kStWriteServerName,
        " CMD 0x11, write server name fail");
    add(
        "an all-digit name, which resolvers read as an address",
        [](Settings &s) { s.name = "12345"; }, proto::kStWriteServerName,
        " CMD 0x11, write server name fail");
    add(
        "an underscore, allowed by earlier firmware", [](Settings &s) { s.name = "nas_2"; },
        proto::kStWriteServerName, " CMD 0x11, write server name fail");
    add(
        "line feed in the description", [](Settings &s) { s.description = "Disk\nmsn_enable=no"; },
        proto::kStWriteComment, " CMD 0x11, write description fail");
    add(
        "TAB in the description", [](Settings &s) { s.description = "Disk\tone"; },
        proto::kStWriteComment, " CMD 0x11, write description fail");
    add(
        "carriage return in the workgroup", [](Settings &s) { s.workgroup = "HOME\r"; },
        proto::kStWriteWorkgroup, " CMD 0x11, write domain name fail");
    add(
        "backslash ending the workgroup", [](Settings &s) { s.workgroup = "HOME\\"; },
        proto::kStWriteWorkgroup, " CMD 0x11, write domain name fail");
    add(
        "quote in the zone", [](Settings &s) { s.zone = "Office\" -phase 1 -addr 1.2"; },
        proto::kStWriteZone, " CMD 0x11, write zone name fail");
    add(
        "line feed in the zone", [](Settings &s) { s.zone = "Office\nzone_name=x"; },
        proto::kStWriteZone, " CMD 0x11, write zone name fail");

    std::uint16_t sequence = 1;
    for (const Case &c : cases) {
        sim::ClearLogs();
        unlink(kEventLog);
        const Bytes r = Write(sequence++, c.settings);
        ASSERT_EQ(r.size(), 8u) << c.what;
        EXPECT_EQ(Status(r), c.status) << c.what;
        EXPECT_TRUE(Has(EventLog(), c.message)) << c.what;
        EXPECT_TRUE(Snapshot(kConfig) == before) << c.what << "\n" << testutil::ReadFile(kConfig);
        EXPECT_EQ(sim::Calls(), "") << c.what;
    }
    // A NUL in the middle ends the text: the rest is not part of it.
    Settings s;
    s.name = std::string("NEWNAME\0;reboot", 15);
    EXPECT_EQ(Status(Write(sequence++, s)), 0) << EventLog();
    EXPECT_EQ(Stored("disk_server_name"), "NEWNAME");

    // A name that an earlier firmware stored keeps working while it is not changed.
    std::string config = kWriteConfig;
    const std::string stored_name = "disk_server_name=STORAGE";
    config.replace(config.find(stored_name), stored_name.size(), "disk_server_name=nas_2");
    testutil::WriteFile(kConfig, config);
    s.name = "nas_2";
    EXPECT_EQ(Status(Write(sequence++, s)), 0) << EventLog();
    EXPECT_EQ(Stored("disk_server_name"), "nas_2");
}

TEST_F(WriteSettingsTest, DateAndTimeReachClocksetAsOneWordEach) {
    Settings s;
    s.date = "$(id>/t1)";
    s.time = "`id>/t2`";
    const Bytes r = Write(1, s);
    ASSERT_EQ(r.size(), 8u);
    EXPECT_TRUE(Has(sim::Calls(), std::string(paths::kClockSet) + " $(id>/t1) 1\n"));
    EXPECT_FALSE(testutil::FileExists("/t1"));
    EXPECT_FALSE(testutil::FileExists("/t2"));
}

// Stored text of the sharing settings, unchanged by the request, is made harmless by the
// writers without losing words or switching a service off: it adds no printcap or papd.conf
// field and no atalkd.conf option, and AppleTalk is restarted, not stopped.
TEST_F(WriteSettingsTest, StoredTextIsMadeHarmlessAndKeepsItsServiceOn) {
    std::string config = kWriteConfig;
    auto replace = [&config](const std::string &from, const std::string &to) {
        config.replace(config.find(from), from.size(), to);
    };
    replace("printer_comment=Printer on parallel port", "printer_comment=Room 2: lp=/tmp/EVIL:");
    replace("mac_printer_type=LaserWriter", "mac_printer_type=LaserWriter:pr=evil");
    replace("zone_name=Office Zone", "zone_name=\"Sales\" floor -addr 1.2");
    testutil::WriteFile(kConfig, config);
    Settings s;
    s.zone = "\"Sales\" floor -addr 1.2";  // as stored: not written, so not refused
    const Bytes r = Write(1, s);
    ASSERT_EQ(r.size(), 8u);
    EXPECT_EQ(Status(r), 0) << EventLog();
    const std::string printcap = testutil::ReadFile("/etc/printcap");
    EXPECT_EQ(printcap.substr(0, printcap.find('\n') + 1), "lp|Room 2; lp=/tmp/EVIL; :\\\n")
        << printcap;
    EXPECT_EQ(sim::LpcStatus("lp"), "lp:");
    const std::string papd = testutil::ReadFile("/etc/atalk/papd.conf");
    EXPECT_EQ(papd.substr(0, papd.find('\n') + 1), "lp\\072LaserWriter;pr=evil:\\\n") << papd;
    const std::string atalkd = testutil::ReadFile("/etc/atalk/atalkd.conf");
    EXPECT_TRUE(Has(atalkd, "-zone \"'Sales' floor -addr 1.2\"")) << atalkd;
    EXPECT_NE(CallAt("/etc/rc.d/init.d/atalk restart"), std::string::npos) << sim::Calls();
}

}  // namespace
}  // namespace agentsim
