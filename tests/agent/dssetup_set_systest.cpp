// dssetup set from the PC side against the real agent, whose clock programs run on a fake
// clock (tests/clock): setting the date and the time is recorded, never done.
#include <atomic>
#include <ctime>

#include "tests/agent/agent_sim.h"
#include "tests/support/pc_dhcp_server.h"
#include "tests/support/result_schema.h"

#ifndef FAKE_CLOCK_SHIM
#error "FAKE_CLOCK_SHIM (the path of the fake clock library) must be defined"
#endif

namespace agentsim {
namespace {

constexpr char kClockRecord[] = "/tmp/clock.record";

// A UDP relay on the PC side, 127.0.0.1:port(), between dssetup and the agent. It loses the
// first reply to a write-settings request, as a congested LAN might.
class LossyRelay {
  public:
    LossyRelay() {
        front_ = sim::PcSocket(AF_INET, SOCK_DGRAM, 0);
        back_ = sim::PcSocket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t n = sizeof a;
        if (front_ < 0 || back_ < 0 || bind(front_, reinterpret_cast<sockaddr *>(&a), n) != 0 ||
            getsockname(front_, reinterpret_cast<sockaddr *>(&a), &n) != 0)
            return;
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { Run(); });
    }
    ~LossyRelay() {
        Stop();
        if (front_ >= 0)
            close(front_);
        if (back_ >= 0)
            close(back_);
    }
    unsigned short port() const { return port_; }
    void Stop() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }
    // After Stop(): the write-settings requests passed on, and the replies lost.
    std::vector<Bytes> writes;
    int lost = 0;

  private:
    void Run() {
        sockaddr_in agent{};
        agent.sin_family = AF_INET;
        inet_pton(AF_INET, sim::kApplianceAddress, &agent.sin_addr);
        agent.sin_port = htons(915);
        sockaddr_in client{};
        while (!stop_) {
            pollfd p[2] = {{front_, POLLIN, 0}, {back_, POLLIN, 0}};
            if (poll(p, 2, 50) <= 0)
                continue;
            std::uint8_t b[600];
            if (p[0].revents & POLLIN) {
                socklen_t n = sizeof client;
                const ssize_t got =
                    recvfrom(front_, b, sizeof b, 0, reinterpret_cast<sockaddr *>(&client), &n);
                if (got >= 8) {
                    if (proto::GetU16(b) == proto::kCmdWriteSettings)
                        writes.emplace_back(b, b + got);
                    sendto(back_, b, static_cast<std::size_t>(got), 0,
                           reinterpret_cast<sockaddr *>(&agent), sizeof agent);
                }
            }
            if (p[1].revents & POLLIN) {
                const ssize_t got = recv(back_, b, sizeof b, 0);
                if (got < 8)
                    continue;
                if (proto::GetU16(b) == proto::kCmdWriteSettings && lost == 0) {
                    ++lost;
                    continue;
                }
                sendto(front_, b, static_cast<std::size_t>(got), 0,
                       reinterpret_cast<sockaddr *>(&client), sizeof client);
            }
        }
    }
    int front_ = -1;
    int back_ = -1;
    unsigned short port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class DssetupSetTest : public AgentSimTest {
  protected:
    void SetUp() override {
        AgentSimTest::SetUp();
        if (IsSkipped())
            return;
        unlink(kClockRecord);
        clock_now_ = static_cast<long long>(::time(nullptr)) + clock_offset_;
        // The whole agent runs on the fixed fake time, so the appliance's clock reads the same
        // at every step. The shim is not instrumented: sanitizer builds must not insist on
        // their runtime coming first.
        const std::string command =
            testutil::Cat({"env LD_PRELOAD=", sim::TargetBuilt(FAKE_CLOCK_SHIM)}) +
            " FAKE_CLOCK_NOW=" + std::to_string(clock_now_) + " FAKE_CLOCK_RECORD=" + kClockRecord +
            " ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0\" " + kAgent;
        ASSERT_EQ(testutil::Run(command), 0);
        ASSERT_TRUE(WaitFor([] { return PortBound() && LockPid() > 0; }));
        pid_ = LockPid();
    }
    // dssetup on the PC side; *out holds what this run printed.
    static int Pc(const std::string &args, std::string *out) {
        out->clear();
        return sim::RunOnPc("dssetup " + args + " 2>&1", out);
    }
    // The clock settings the agent made, one "SECONDS.MICROSECONDS" line each.
    static std::string ClockSets() { return testutil::ReadFile(kClockRecord); }

    long long clock_offset_ = 0;  // the appliance's clock against this machine's
    long long clock_now_ = 0;
};

TEST_F(DssetupSetTest, WrongArgumentsAndSettingsAreRefusedBeforeAnythingIsSent) {
    const struct {
        const char *args;
        const char *says;
    } cases[] = {
        {"set 192.168.0.2", "nothing to set"},
        {"set 192.168.0.2 colour=red", "unknown key \"colour\""},
        {"set 192.168.0.2 ip=192.168.0.300", "ip: \"192.168.0.300\" is not an IPv4 address"},
        {"set 192.168.0.2 'name=my nas'", "name: the server name \"my nas\" may have letters"},
        {"set 192.168.0.2 name=ABCDEFGHIJKLMNO", "at most 14"},
        {"set 192.168.0.2 ip=10.0.0.2", "dhcp-start: the DHCP range must lie inside"},
        {"set 192.168.0.2 netmask=255.255.0.255", "netmask: \"255.255.0.255\" is not a netmask"},
        {"set 192.168.0.2 mode=dhcp dhcp-server=on", "dhcp-server: "},
        {"set 192.168.0.2 'zone=Office\" -phase 1'", "zone: the AppleTalk zone must not contain"},
        {"set 192.168.0.2 \"description=$(printf 'a\\nb')\"", "control characters"},
        {"set 192.168.0.2 date=02/30/2026", "date: "},
        {"set 192.168.0.2 --from /tmp/none.json", "cannot read /tmp/none.json"},
        {"set not-an-appliance zone=Lab", "neither a MAC address nor an IP address"},
        {"show 192.168.0.2 --now", "--now is for the set and rescue commands only"},
    };
    for (const auto &c : cases) {
        std::string out;
        EXPECT_EQ(Pc(c.args, &out), 2) << c.args << "\n" << out;
        EXPECT_NE(out.find(c.says), std::string::npos) << c.args << "\n" << out;
    }
    std::string out;
    EXPECT_EQ(
        sim::RunOnPc("echo '{\"server_name\": 5}' | dssetup set 192.168.0.2 --from - --json", &out),
        2);
    EXPECT_NE(out.find("\"field\":\"server_name\""), std::string::npos) << out;
    // A wrong command line with --json: the help on standard error, the result on standard
    // output, in the one schema.
    out.clear();
    EXPECT_EQ(sim::RunOnPc("dssetup set 192.168.0.2 --json 2>/dev/null", &out), 2);
    const auto usage = testutil::ParsedResult(out);
    EXPECT_EQ(usage["message"], "nothing to set: give KEY=VALUE, --now or --from") << out;
    // Nothing reached the appliance's settings or clock.
    EXPECT_EQ(testutil::ReadFile(kConfig), kKnownConfig);
    EXPECT_EQ(ClockSets(), "");
    EXPECT_EQ(EventLog().find("0x11"), std::string::npos) << EventLog();
}

TEST_F(DssetupSetTest, ShowJsonSetFromRoundTrips) {
    std::string out;
    // Unchanged, the settings go back without a single key written.
    ASSERT_EQ(Pc("show 192.168.0.2 --json > /tmp/settings.json", &out), 0) << out;
    ASSERT_EQ(Pc("set 192.168.0.2 --from /tmp/settings.json", &out), 0) << out << EventLog();
    EXPECT_NE(out.find("No setting differs"), std::string::npos) << out;
    EXPECT_EQ(testutil::ReadFile(kConfig), kKnownConfig);
    // Date and time went back as the appliance had them: the fake clock's own time, twice.
    const std::string now = std::to_string(clock_now_) + ".000000\n";
    EXPECT_EQ(ClockSets(), now + now);

    // Edited on the way, the edited fields change and nothing else.
    out.clear();
    ASSERT_EQ(sim::RunOnPc("dssetup show 00:C0:02:1A:2B:3C --json | sed -e 's/\"WORKGROUP\"/"
                           "\"HOME\"/' -e 's/\"Office disk\"/\"Lab disk\"/' -e "
                           "'s/\"wins\":true/\"wins\":false/' | dssetup set 00:C0:02:1A:2B:3C "
                           "--from - --json 2>&1",
                           &out),
              0)
        << out << EventLog();
    const auto j = testutil::ParsedResult(out);
    EXPECT_EQ(j["ok"], true);
    EXPECT_EQ(j["status"], 0);
    EXPECT_NE(out.find("\"changed\":[\"description\",\"workgroup\",\"wins\"]"), std::string::npos)
        << out;
    std::string expected = kKnownConfig;
    for (const auto &[from, to] :
         {std::pair<std::string, std::string>{"w_d_name=WORKGROUP", "w_d_name=HOME"},
          {"disk_server_comment=Office disk", "disk_server_comment=Lab disk"},
          {"wins_enable=yes", "wins_enable=no"}}) {
        expected.replace(expected.find(from), from.size(), to);
    }
    EXPECT_EQ(testutil::ReadFile(kConfig), expected);
    ASSERT_EQ(Pc("show 192.168.0.2", &out), 0);
    EXPECT_NE(out.find("Workgroup:           HOME"), std::string::npos) << out;

    // Key words on the command line win over the file; --now takes the PC's clock.
    ASSERT_EQ(Pc("set 192.168.0.2 --from /tmp/settings.json workgroup=LAB --now", &out), 0) << out;
    EXPECT_NE(out.find("description"), std::string::npos) << out;
    const std::string config = testutil::ReadFile(kConfig);
    EXPECT_NE(config.find("w_d_name=LAB\n"), std::string::npos) << config;
    EXPECT_NE(config.find("disk_server_comment=Office disk\n"), std::string::npos) << config;
    // The time last set is the PC's (the date of the fake clock's day kept by the time set).
    const std::string sets = ClockSets();
    ASSERT_EQ(testutil::CountLines(sets), 6) << sets;
    const long long last = std::atoll(sets.substr(sets.rfind('\n', sets.size() - 2) + 1).c_str());
    EXPECT_LE(std::llabs(last - static_cast<long long>(::time(nullptr))), 10) << sets;
}

TEST_F(DssetupSetTest, ALostReplyIsAskedForAgainWithoutRunningTheRequestTwice) {
    LossyRelay relay;
    ASSERT_NE(relay.port(), 0);
    std::string out;
    const int rc = Pc(
        "set 127.0.0.1 --port " + std::to_string(relay.port()) + " zone=Lab --timeout 2 --tries 5",
        &out);
    relay.Stop();
    EXPECT_EQ(rc, 0) << out << EventLog();
    EXPECT_EQ(relay.lost, 1);
    ASSERT_GE(relay.writes.size(), 2u);
    for (const Bytes &w : relay.writes) {
        EXPECT_EQ(w, relay.writes[0]) << "the same request, sequence number included";
    }
    const std::string now = std::to_string(clock_now_) + ".000000\n";
    EXPECT_EQ(ClockSets(), now + now) << "the clock set once: the request ran once";
    EXPECT_NE(testutil::ReadFile(kConfig).find("zone_name=Lab\n"), std::string::npos);
}

TEST_F(DssetupSetTest, DhcpModeEarlyReplyThenTheAnswerFromTheLeasedAddress) {
    sim::PcDhcpServer dhcp;
    ASSERT_TRUE(dhcp.running());
    std::string out;
    ASSERT_EQ(Pc("set 00:C0:02:1A:2B:3C mode=dhcp", &out), 0) << out << EventLog();
    EXPECT_NE(out.find("Note: dhcp-server=off"), std::string::npos) << out;
    EXPECT_NE(out.find("accepted the settings and now restarts its network"), std::string::npos)
        << out;
    const std::string confirmed = "it answers at 192.168.0.5";
    const std::size_t at = out.find(confirmed);
    ASSERT_NE(at, std::string::npos) << out;
    EXPECT_NE(out.find(", an address from a DHCP server (found ", at), std::string::npos) << out;
    std::printf(
        "figure: a DHCP move, settings sent to the appliance confirmed at its lease: %s\n",
        out.substr(out.find("(found ") + 7, out.find(" after") - out.find("(found ") - 7).c_str());
    const std::string config = testutil::ReadFile(kConfig);
    EXPECT_NE(config.find("bootproto=dhcp\n"), std::string::npos) << config;
    EXPECT_NE(config.find("ip_addr=192.168.0.5"), std::string::npos) << config;
    EXPECT_NE(config.find("dhcp_server=no\n"), std::string::npos) << config;
}

// The appliance's clock runs ten days behind this machine's: what it is sent back is its own.
class SafeApplyTest : public DssetupSetTest {
  protected:
    SafeApplyTest() { clock_offset_ = -10 * 86400; }
    // The last time the agent was asked to set, in seconds.
    long long LastClockSet() const {
        const std::string sets = ClockSets();
        const std::size_t line = sets.rfind('\n', sets.size() - 2);
        return std::atoll(sets.substr(line == std::string::npos ? 0 : line + 1).c_str());
    }
    std::string Setting(const char *key) const {
        const std::string config = testutil::ReadFile(kConfig);
        const std::string prefix = std::string("\n") + key + "=";
        const std::size_t at = config.find(prefix);
        return at == std::string::npos
                   ? "?"
                   : config.substr(at + prefix.size(),
                                   config.find('\n', at + 1) - at - prefix.size());
    }
};

TEST_F(SafeApplyTest, NewAddressingIsWarnedOfConfirmedOrPutBack) {
    // An address this PC has no route to: said, and nothing sent.
    std::string out;
    EXPECT_EQ(
        Pc("set 00:C0:02:1A:2B:3C ip=10.20.30.40 netmask=255.255.255.0 dhcp-server=off", &out), 2)
        << out;
    EXPECT_NE(out.find("ip: this PC has no route to 10.20.30.40: it could not reach the "
                       "appliance there"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("nothing was sent (--force sends it all the same)"), std::string::npos);
    EXPECT_EQ(testutil::ReadFile(kConfig), kKnownConfig);

    // A reachable address: confirmed there.
    ASSERT_EQ(Pc("set 00:C0:02:1A:2B:3C ip=192.168.0.20 --json", &out), 0) << out << EventLog();
    auto j = testutil::ParsedResult(out);
    EXPECT_EQ(j["confirmed"], true) << out;
    EXPECT_EQ(j["address"], "192.168.0.20") << out;
    std::printf("figure: a fixed move, settings sent to the appliance confirmed: %.2f s\n",
                j["seconds"].get<double>());

    // Its gateway in a subnet this PC is not in: its answer goes nowhere, so none comes within
    // the bound, and the previous settings go back by broadcast to its MAC address.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Pc("set 00:C0:02:1A:2B:3C ip=10.20.30.40 netmask=255.255.255.0 dhcp-server=off "
                 "gateway=10.20.30.1 "
                 "--force --confirm 8 --json",
                 &out),
              3)
        << out << EventLog();
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    j = testutil::ParsedResult(out);
    EXPECT_EQ(j["ok"], false);
    EXPECT_TRUE(j["status"].is_null()) << out;
    EXPECT_EQ(j["message"],
              "the new settings cut it off: it did not answer at an address this PC reaches "
              "within 8 s; the previous settings were restored; it answers at 192.168.0.20 "
              "again")
        << out;
    EXPECT_EQ(j["rollback"]["restored"], true);
    EXPECT_EQ(j["rollback"]["address"], "192.168.0.20");
    std::printf(
        "figure: the previous settings put back and the appliance found: %.2f s after "
        "the bound\n",
        took - 8);
    EXPECT_EQ(Setting("ip_addr"), "192.168.0.20");
    EXPECT_EQ(Setting("gateway"), "");
    EXPECT_EQ(Pc("show 192.168.0.20", &out), 0) << out;
    // The clock it was sent back is its own, moved on by the time since it was read (8 s and
    // a little), not this machine's.
    EXPECT_GE(LastClockSet(), clock_now_ + 8);
    EXPECT_LE(LastClockSet(), clock_now_ + 20);
}

TEST_F(SafeApplyTest, ANoRollbackMoveAndAnApplianceMovedByHandAreRescued) {
    std::string out;
    // Kept as asked: it answers where this PC has no route to, and cannot be seen.
    EXPECT_EQ(
        Pc("set 00:C0:02:1A:2B:3C ip=10.20.30.40 netmask=255.255.255.0 dhcp-server=off --force "
           "--no-rollback",
           &out),
        1)
        << out << EventLog();
    EXPECT_NE(out.find("an address this PC has no route to; the new settings are kept "
                       "(--no-rollback): this PC cannot see the appliance"),
              std::string::npos)
        << out;
    EXPECT_EQ(Setting("ip_addr"), "10.20.30.40");
    // Rescued with the settings last read, a new name with them.
    ASSERT_EQ(Pc("rescue 00:C0:02:1A:2B:3C name=BACK", &out), 0) << out << EventLog();
    EXPECT_NE(out.find("it answers at 192.168.0.2"), std::string::npos) << out;
    EXPECT_EQ(Setting("ip_addr"), "192.168.0.2");
    EXPECT_EQ(Setting("disk_server_name"), "BACK");
    EXPECT_EQ(Setting("zone_name"), "Office Zone");
    EXPECT_GE(LastClockSet(), clock_now_);
    EXPECT_LE(LastClockSet(), clock_now_ + 10) << "its own clock, not this machine's";

    // Moved into another subnet by hand, on a PC that keeps nothing of it: every setting must
    // be given, and then it is back.
    ASSERT_EQ(testutil::Run("ip addr flush dev eth0 && ip addr add 10.9.8.7/24 dev eth0"), 0);
    EXPECT_EQ(Pc("show 192.168.0.2 --timeout 0.5 --tries 2", &out), 1) << out;
    const std::string empty_cache =
        "XDG_CACHE_HOME=/tmp/empty-cache dssetup rescue "
        "00:C0:02:1A:2B:3C";
    out.clear();
    EXPECT_EQ(sim::RunOnPc(empty_cache + " ip=192.168.0.3 2>&1", &out), 2) << out;
    EXPECT_NE(out.find("no settings of 00:C0:02:1A:2B:3C are kept on this PC, so every setting "
                       "it needs must be given; missing: name, description, date, time, mode, "
                       "workgroup, zone, time-zone, wins, netmask, gateway, dhcp-server"),
              std::string::npos)
        << out;
    out.clear();
    ASSERT_EQ(
        sim::RunOnPc(empty_cache + " name=HANDS description=Lab --now mode=static ip=192.168.0.3 "
                                   "netmask=255.255.255.0 gateway=0.0.0.0 dhcp-server=off "
                                   "workgroup=LAB zone=Lab time-zone=0 wins=off --json",
                     &out),
        0)
        << out << EventLog();
    const auto j = testutil::ParsedResult(out);
    EXPECT_EQ(j["address"], "192.168.0.3") << out;
    EXPECT_EQ(j["kept"], false);
    EXPECT_EQ(Setting("disk_server_name"), "HANDS");
    EXPECT_EQ(Setting("ip_addr"), "192.168.0.3");
}

TEST_F(SafeApplyTest, DhcpWithoutAServerAndAFailureHalfWayArePutBack) {
    // No DHCP server on the LAN: the appliance takes its default address, which is said as
    // such, and it gets its fixed address back.
    std::string out;
    EXPECT_EQ(Pc("set 00:C0:02:1A:2B:3C mode=dhcp name=NEWNAME --confirm 60 --json", &out), 3)
        << out << EventLog();
    auto j = testutil::ParsedResult(out);
    EXPECT_EQ(j["status"], 0);
    EXPECT_EQ(j["message"],
              "no DHCP server gave it an address: it took its default address 192.168.0.2; the "
              "previous settings were restored; it answers at 192.168.0.2 again")
        << out;
    EXPECT_EQ(j["rollback"]["reason"], "no DHCP address");
    EXPECT_EQ(testutil::ReadFile(kConfig).find("bootproto=dhcp"), std::string::npos);
    EXPECT_EQ(Setting("disk_server_name"), "STORAGE");
    EXPECT_EQ(Setting("dhcp_server"), "yes");

    // The time-zone script fails after the zone was stored: it is put back.
    ASSERT_EQ(testutil::Run("echo 1 > /var/lib/sim/status/Set_TimeZone.pl"), 0);
    EXPECT_EQ(Pc("set 192.168.0.2 zone=Lab time-zone=3 --json", &out), 3) << out << EventLog();
    j = testutil::ParsedResult(out);
    EXPECT_EQ(j["status"], -120);
    EXPECT_EQ(j["rollback"]["restored"], true) << out;
    EXPECT_NE(j["message"].get<std::string>().find("after storing part of the settings (zone)"),
              std::string::npos)
        << out;
    EXPECT_EQ(Setting("zone_name"), "Office Zone");
    // ... or, kept, named as stored but not applied.
    EXPECT_EQ(Pc("set 192.168.0.2 zone=Lab time-zone=3 --no-rollback", &out), 3) << out;
    EXPECT_NE(out.find("stored but not applied: zone (they take effect at its next start)"),
              std::string::npos)
        << out;
    EXPECT_EQ(Setting("zone_name"), "Lab");
}

}  // namespace
}  // namespace agentsim
