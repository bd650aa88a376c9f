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
        clock_now_ = static_cast<long long>(::time(nullptr));
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
    static int Pc(const std::string &args, std::string *out) {
        return sim::RunOnPc("dssetup " + args + " 2>&1", out);
    }
    // The clock settings the agent made, one "SECONDS.MICROSECONDS" line each.
    static std::string ClockSets() { return testutil::ReadFile(kClockRecord); }

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
        {"show 192.168.0.2 --now", "--now is for the set command only"},
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
    EXPECT_NE(out.find("without a failure; it answered from 192.168.0.5"), std::string::npos)
        << out;
    const std::string config = testutil::ReadFile(kConfig);
    EXPECT_NE(config.find("bootproto=dhcp\n"), std::string::npos) << config;
    EXPECT_NE(config.find("ip_addr=192.168.0.5"), std::string::npos) << config;
    EXPECT_NE(config.find("dhcp_server=no\n"), std::string::npos) << config;
}

}  // namespace
}  // namespace agentsim
