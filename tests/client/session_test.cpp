// dssetup against a scripted agent on loopback: retransmission, filtering, commands.
#include "client/session.h"

#include "tests/support/result_schema.h"
#include "tests/support/udp_responder.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

namespace {

using namespace dssetup;

// A scripted agent on 127.0.0.1: `answer` turns each request (and its number, from 0) into a
// reply (empty: no reply); the requests are kept.
class FakeAgent {
  public:
    using Answer = std::function<Bytes(const Bytes &request, int index)>;
    explicit FakeAgent(Answer answer)
        : answer_(std::move(answer)), responder_([this](const Bytes &req) {
              requests.push_back(req);
              return answer_(req, index_++);
          }) {}
    unsigned short port() const { return responder_.port(); }
    std::vector<Bytes> requests;  // read after the agent is gone

  private:
    Answer answer_;
    int index_ = 0;
    testutil::UdpResponder responder_;
};

Bytes HeaderReply(const Bytes &req, int status, std::uint16_t length) {
    Bytes r(8 + length, 0);
    memcpy(r.data(), req.data(), 8);
    proto::PutI16(r.data() + 2, status);
    proto::PutU16(r.data() + 6, length);
    return r;
}

Options Loopback(unsigned short port) {
    Options o;
    o.timeout = 0.1;
    o.tries = 3;
    o.port = port;
    o.target = "127.0.0.1";
    return o;
}

TEST(SessionTest, RetransmitsWithTheSameSequenceUntilAnswered) {
    FakeAgent agent([](const Bytes &req, int index) {
        return index < 2 ? Bytes{} : HeaderReply(req, 0, 0);  // the first two are "lost"
    });
    const Options o = Loopback(agent.port());
    std::string error;
    const int fd = OpenSocket(o, &error);
    ASSERT_GE(fd, 0) << error;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(agent.port());
    Reply reply;
    EXPECT_TRUE(Exchange(fd, o, &to, BuildPrinterAck(321), nullptr, &reply));
    EXPECT_EQ(reply.data.size(), 8u);

    // Never answered: gives up after the number of tries.
    Options once = o;
    once.tries = 2;
    Reply none;
    EXPECT_FALSE(Exchange(
        fd, once, &to, BuildIdentify(99), [](auto, auto) { return false; }, &none));
    close(fd);
}

TEST(SessionTest, StaleRepliesAreNotTakenForTheAnswer) {
    FakeAgent agent([](const Bytes &req, int) {
        Bytes stale = HeaderReply(req, 0, 0);
        stale[4] ^= 1;  // another sequence number
        return stale;
    });
    const Options o = Loopback(agent.port());
    std::string error;
    const int fd = OpenSocket(o, &error);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(agent.port());
    Reply reply;
    EXPECT_FALSE(Exchange(fd, o, &to, BuildPrinterAck(5), nullptr, &reply));
    close(fd);
}

TEST(SessionTest, PrintSendsChunksInOrderAndReportsAFailedPrinter) {
    testing::internal::CaptureStderr();
    std::string payload(1200, 'x');
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>('a' + i % 26);
    char path[] = "/tmp/dssetup_print_XXXXXX";
    const int tmp = mkstemp(path);
    ASSERT_GE(tmp, 0);
    ASSERT_EQ(write(tmp, payload.data(), payload.size()), static_cast<ssize_t>(payload.size()));
    close(tmp);

    const Mac mac = {0x00, 0xC0, 0x02, 0x1A, 0x2B, 0x3C};
    auto agent = std::make_unique<FakeAgent>([&mac](const Bytes &req, int) {
        const std::uint16_t cmd = proto::GetU16(req.data());
        if (cmd == proto::kCmdIdentify) {
            Bytes r = HeaderReply(req, 0, proto::identify::kPayload);
            memcpy(r.data() + proto::identify::kOffMac, mac.data(), 6);
            return r;
        }
        if (cmd == proto::kCmdPrinterData)
            return HeaderReply(req, 0, 2);
        return HeaderReply(req, 0, 0);
    });
    Options o = Loopback(agent->port());
    o.command = Command::kPrint;
    o.file = path;
    FILE *out = tmpfile();
    EXPECT_EQ(RunCommand(o, out, stderr), 0);
    fclose(out);
    const std::vector<Bytes> requests = agent->requests;
    agent.reset();
    ASSERT_EQ(requests.size(), 1u + 3u + 1u);  // identify, 502 + 502 + 196, ack
    std::string received;
    for (std::size_t i = 1; i <= 3; ++i) {
        EXPECT_EQ(proto::GetU16(requests[i].data()), proto::kCmdPrinterData);
        const std::uint16_t n = proto::GetU16(requests[i].data() + 6);
        EXPECT_EQ(requests[i].size(), 8u + n);
        received.append(requests[i].begin() + 9, requests[i].end());
    }
    EXPECT_EQ(received, payload);
    EXPECT_EQ(proto::GetU16(requests[4].data()), proto::kCmdPrinterAck);

    // A printer failure ends the command with a non-zero exit status and the words.
    FakeAgent broken([&mac](const Bytes &req, int) {
        const std::uint16_t cmd = proto::GetU16(req.data());
        if (cmd == proto::kCmdIdentify) {
            Bytes r = HeaderReply(req, 0, proto::identify::kPayload);
            memcpy(r.data() + proto::identify::kOffMac, mac.data(), 6);
            return r;
        }
        return HeaderReply(req, proto::kStPrinter, 2);
    });
    o.port = broken.port();
    out = tmpfile();
    EXPECT_EQ(RunCommand(o, out, stderr), kExitRefused);
    fclose(out);
    unlink(path);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("writing to the printer failed"), std::string::npos) << err;
}

namespace set {

// The read-settings reply of an appliance at 192.168.0.2/24 with its DHCP server on.
Bytes SettingsReplyTo(const Bytes &req, int status = 0) {
    namespace st = proto::settings;
    Bytes r = HeaderReply(req, status, st::kPayload);
    const std::uint8_t mac[6] = {0x00, 0xC0, 0x02, 0x1A, 0x2B, 0x3C};
    memcpy(r.data() + st::kOffMac, mac, 6);
    memcpy(r.data() + st::kOffServerName, "STORAGE", 7);
    memcpy(r.data() + st::kOffDescription, "Office disk", 11);
    memcpy(r.data() + st::kOffDate, "12/07/2026\n", 11);
    memcpy(r.data() + st::kOffTime, "08:05:09", 8);
    r[st::kOffAddressMode] = 1;
    const std::uint8_t ip[4] = {192, 168, 0, 2}, mask[4] = {255, 255, 255, 0};
    const std::uint8_t start[4] = {192, 168, 0, 100}, end[4] = {192, 168, 0, 200};
    memcpy(r.data() + st::kOffIp, ip, 4);
    memcpy(r.data() + st::kOffNetmask, mask, 4);
    r[st::kOffDhcpServer] = 0;
    memcpy(r.data() + st::kOffDhcpStart, start, 4);
    memcpy(r.data() + st::kOffDhcpEnd, end, 4);
    memcpy(r.data() + st::kOffWorkgroup, "WORKGROUP", 9);
    memcpy(r.data() + st::kOffZone, "Office Zone", 11);
    proto::PutI32(r.data() + st::kOffTimeZone, -5);
    return r;
}

std::string ReadBack(FILE *f) {
    std::string text;
    rewind(f);
    char b[512];
    for (std::size_t n; (n = fread(b, 1, sizeof b, f)) > 0;) text.append(b, n);
    fclose(f);
    return text;
}

struct SetRun {
    int rc = -1;
    std::string out, err;
    std::vector<Bytes> writes;  // the write-settings requests the agent received
};

// `dssetup set 127.0.0.1 WORDS` against a fake agent whose answer to the n-th write-settings
// request is `write` (an empty reply: none).
SetRun RunSet(std::vector<std::string> words, std::function<Bytes(const Bytes &, int)> write,
              bool json = false, int read_status = 0, FILE *terminal = nullptr) {
    int writes = 0;
    auto agent = std::make_unique<FakeAgent>([&](const Bytes &req, int) {
        const std::uint16_t cmd = proto::GetU16(req.data());
        if (cmd == proto::kCmdReadSettings)
            return SettingsReplyTo(req, read_status);
        if (cmd == proto::kCmdWriteSettings)
            return write(req, writes++);
        return Bytes{};
    });
    Options o = Loopback(agent->port());
    o.command = Command::kSet;
    o.assignments = std::move(words);
    o.json = json;
    o.timeout = 0.2;
    o.timeout_given = o.tries_given = true;
    FILE *out = tmpfile();
    FILE *err = terminal != nullptr ? terminal : tmpfile();
    SetRun run;
    run.rc = RunCommand(o, out, err);
    agent.reset();  // the server thread is done with its lists
    run.out = ReadBack(out);
    if (terminal == nullptr)
        run.err = ReadBack(err);
    return run;
}

}  // namespace set

// Reruns the fake agent per test: each set::RunSet call builds its own and reports what it got.
class SetCommandTest : public ::testing::Test {
  protected:
    set::SetRun Run(std::vector<std::string> words, std::function<Bytes(const Bytes &, int)> write,
                    bool json = false, int read_status = 0, FILE *terminal = nullptr) {
        std::vector<Bytes> seen;
        auto recording = [&seen, &write](const Bytes &req, int n) {
            seen.push_back(req);
            return write(req, n);
        };
        set::SetRun run = set::RunSet(std::move(words), recording, json, read_status, terminal);
        run.writes = seen;
        return run;
    }
};

TEST_F(SetCommandTest, ChangesOnlyWhatWasAskedAndSendsTheRestAsRead) {
    const set::SetRun run =
        Run({"workgroup=HOME"}, [](const Bytes &req, int) { return HeaderReply(req, 0, 0); });
    EXPECT_EQ(run.rc, 0) << run.err;
    ASSERT_EQ(run.writes.size(), 1u);
    const Bytes &w = run.writes[0];
    ASSERT_EQ(w.size(), 179u);
    namespace wr = proto::write;
    const std::uint8_t mac[6] = {0x00, 0xC0, 0x02, 0x1A, 0x2B, 0x3C};
    EXPECT_EQ(0, memcmp(w.data() + wr::kOffMac, mac, 6));  // from the read
    EXPECT_EQ(0, memcmp(w.data() + wr::kOffWorkgroup, "HOME\0", 5));
    EXPECT_EQ(0, memcmp(w.data() + wr::kOffServerName, "STORAGE\0", 8));
    EXPECT_EQ(0, memcmp(w.data() + wr::kOffDate, "12/07/2026\0", 11));  // the appliance's own
    EXPECT_EQ(0, memcmp(w.data() + wr::kOffTime, "08:05:09\0", 9));
    EXPECT_EQ(w[wr::kOffDhcpServer], 0);
    EXPECT_EQ(proto::GetI32(w.data() + wr::kOffTimeZone), -5);
    EXPECT_NE(run.out.find("changed: workgroup"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("stored and applied"), std::string::npos) << run.out;
    EXPECT_EQ(run.err, "") << "no progress line when not on a terminal";

    const set::SetRun failed = Run({"name=NAS"}, [](const Bytes &req, int) {
        return HeaderReply(req, proto::kStWriteServerName, 0);
    });
    EXPECT_EQ(failed.rc, kExitRefused);
    EXPECT_NE(failed.err.find("-104 (storing the server name failed)"), std::string::npos)
        << failed.err;
}

TEST_F(SetCommandTest, RetransmitsWithTheSameSequenceUntilAnswered) {
    const set::SetRun run = Run({"zone=Lab"}, [](const Bytes &req, int n) {
        return n == 0 ? Bytes{} : HeaderReply(req, 0, 0);  // the first answer is lost
    });
    EXPECT_EQ(run.rc, 0) << run.err;
    ASSERT_EQ(run.writes.size(), 2u);
    EXPECT_EQ(run.writes[0], run.writes[1]) << "the same request, sequence number included";

    const set::SetRun silent = Run({"zone=Lab"}, [](const Bytes &, int) { return Bytes{}; });
    EXPECT_EQ(silent.rc, 1);
    EXPECT_EQ(silent.writes.size(), 3u);  // --tries 3
    EXPECT_NE(silent.err.find("no answer"), std::string::npos) << silent.err;
}

// `dssetup set 127.0.0.1 WORDS` against an agent that answers every request itself; `tweak`
// changes the options. The requests it got, in order.
set::SetRun RunSetAgainst(FakeAgent::Answer answer, std::vector<std::string> words,
                          const std::function<void(Options *)> &tweak = nullptr) {
    std::vector<Bytes> seen;
    auto agent = std::make_unique<FakeAgent>([&](const Bytes &req, int n) {
        seen.push_back(req);
        return answer(req, n);
    });
    Options o = Loopback(agent->port());
    o.command = Command::kSet;
    o.assignments = std::move(words);
    o.timeout = 0.2;
    o.timeout_given = o.tries_given = true;
    o.confirm = 1;
    if (tweak)
        tweak(&o);
    FILE *out = tmpfile();
    FILE *err = tmpfile();
    set::SetRun run;
    run.rc = RunCommand(o, out, err);
    agent.reset();
    run.out = set::ReadBack(out);
    run.err = set::ReadBack(err);
    for (const Bytes &r : seen)
        if (proto::GetU16(r.data()) == proto::kCmdWriteSettings)
            run.writes.push_back(r);
    return run;
}

// An appliance on loopback: identify and reads answered (the zone as `zone` says; in DHCP mode
// with the address `lease` says, when it says one), the n-th write-settings request with
// `write(request, n)`.
FakeAgent::Answer Scripted(std::function<Bytes(const Bytes &, int)> write,
                           std::function<std::string()> zone = nullptr,
                           std::function<std::string()> lease = nullptr) {
    auto writes = std::make_shared<int>(0);
    return [=](const Bytes &req, int) {
        const std::uint16_t cmd = proto::GetU16(req.data());
        if (cmd == proto::kCmdIdentify) {
            Bytes r = HeaderReply(req, 0, proto::identify::kPayload);
            const std::uint8_t mac[6] = {0x00, 0xC0, 0x02, 0x1A, 0x2B, 0x3C};
            memcpy(r.data() + proto::identify::kOffMac, mac, 6);
            return r;
        }
        if (cmd == proto::kCmdReadSettings) {
            Bytes r = set::SettingsReplyTo(req);
            if (zone) {
                const std::string z = zone();
                memset(r.data() + proto::settings::kOffZone, 0, proto::settings::kZoneWidth);
                memcpy(r.data() + proto::settings::kOffZone, z.data(), z.size());
            }
            const std::string leased = lease ? lease() : std::string();
            in_addr a{};
            if (!leased.empty() && inet_pton(AF_INET, leased.c_str(), &a) == 1) {
                r[proto::settings::kOffAddressMode] = 0;
                memcpy(r.data() + proto::settings::kOffIp, &a, 4);
            }
            return r;
        }
        if (cmd == proto::kCmdWriteSettings)
            return write(req, (*writes)++);
        return Bytes{};
    };
}

std::string ZoneOf(const Bytes &write) {
    return reinterpret_cast<const char *>(write.data() + proto::write::kOffZone);
}

TEST_F(SetCommandTest, DhcpModeTheEarlyReplyThenTheAppliancesAnswerWhereItIsNow) {
    // A failure after the early reply: the repeated request gets it; nothing was stored.
    auto failing = [](const Bytes &req, int n) {
        return HeaderReply(req, n == 0 ? 0 : proto::kStApplyName, 0);
    };
    const set::SetRun failed = RunSetAgainst(Scripted(failing), {"mode=dhcp"});
    EXPECT_EQ(failed.rc, kExitRefused) << failed.err;
    EXPECT_NE(failed.out.find("accepted the settings"), std::string::npos) << failed.out;
    EXPECT_NE(failed.out.find("dhcp-server=off"), std::string::npos) << "the implied change";
    EXPECT_NE(failed.err.find("-311 (applying the server name failed); none of them was stored"),
              std::string::npos)
        << failed.err;
    ASSERT_EQ(failed.writes.size(), 2u);
    EXPECT_EQ(failed.writes[0], failed.writes[1]) << "repeated, not sent anew";
    EXPECT_EQ(failed.writes[0][proto::write::kOffAddressMode], 0);

    // Applied: found again where its last answer came from, by its MAC address.
    std::string lease;
    auto leasing = [&lease](const Bytes &req, int) {
        lease = req[proto::write::kOffAddressMode] == 0 ? "192.168.0.57" : "";
        return HeaderReply(req, 0, 0);
    };
    const set::SetRun done = RunSetAgainst(Scripted(leasing, nullptr, [&lease] { return lease; }),
                                           {"mode=dhcp"}, [](Options *o) { o->json = true; });
    EXPECT_EQ(done.rc, 0) << done.out;
    const auto j = testutil::ParsedResult(done.out);
    EXPECT_EQ(j["confirmed"], true);
    EXPECT_EQ(j["address"], "127.0.0.1");
    EXPECT_NE(j["message"].get<std::string>().find("an address from a DHCP server"),
              std::string::npos);

    // Its default address in DHCP mode: no DHCP server answered it. Not success: the previous
    // settings go back, and it holds them again.
    lease.clear();
    auto falling_back = [&lease](const Bytes &req, int) {
        lease = req[proto::write::kOffAddressMode] == 0 ? "192.168.0.2" : "";
        return HeaderReply(req, 0, 0);
    };
    const set::SetRun fallback =
        RunSetAgainst(Scripted(falling_back, nullptr, [&lease] { return lease; }), {"mode=dhcp"});
    EXPECT_EQ(fallback.rc, kExitRefused);
    EXPECT_NE(fallback.err.find("no DHCP server gave it an address: it took its default address "
                                "192.168.0.2; the previous settings were restored"),
              std::string::npos)
        << fallback.err;

    // No further answer within --confirm: the previous settings go back; this one takes
    // nothing more, so it is not seen to hold them, and the result says so, never success.
    const set::SetRun gone = RunSetAgainst(
        Scripted([](const Bytes &req, int n) { return n == 0 ? HeaderReply(req, 0, 0) : Bytes{}; }),
        {"mode=dhcp"}, [](Options *o) { o->json = true; });
    EXPECT_NE(gone.rc, 0);
    const auto k = testutil::ParsedResult(gone.out);
    EXPECT_EQ(k["rollback"]["reason"], "cut off") << gone.out;
    EXPECT_EQ(k["rollback"]["sent"], true) << gone.out;
    ASSERT_GE(gone.writes.size(), 2u);
    EXPECT_EQ(gone.writes.back()[proto::write::kOffAddressMode], 1) << "the previous mode";
}

TEST_F(SetCommandTest, AFailureAfterPartWasStoredIsPutBackOrNamed) {
    // The time-zone script fails after the zone was stored: the previous settings go back.
    std::string zone = "Office Zone";
    auto agent = [&zone](const Bytes &req, int n) {
        zone = ZoneOf(req);
        return HeaderReply(req, n == 0 ? proto::kStTimeZoneScript : 0, 0);
    };
    const set::SetRun restored =
        RunSetAgainst(Scripted(agent, [&zone] { return zone; }), {"zone=Lab", "time-zone=3"});
    EXPECT_EQ(restored.rc, kExitRefused);
    ASSERT_EQ(restored.writes.size(), 2u);
    EXPECT_EQ(ZoneOf(restored.writes[1]), "Office Zone");
    EXPECT_EQ(proto::GetI32(restored.writes[1].data() + proto::write::kOffTimeZone), -5);
    EXPECT_EQ(0, memcmp(restored.writes[1].data() + proto::write::kOffDate, "12/07/2026", 10))
        << "the appliance's own date";
    EXPECT_NE(restored.err.find("-120 (setting the time zone failed) after storing part of the "
                                "settings (zone); the previous settings were restored; it "
                                "answers at 127.0.0.1 again"),
              std::string::npos)
        << restored.err;

    // Kept as it is: what is stored but not applied is named.
    zone = "Office Zone";
    const set::SetRun kept = RunSetAgainst(Scripted(agent, [&zone] { return zone; }),
                                           {"zone=Lab", "time-zone=3"}, [](Options *o) {
                                               o->no_rollback = true;
                                               o->json = true;
                                           });
    EXPECT_EQ(kept.rc, kExitRefused);
    EXPECT_EQ(kept.writes.size(), 1u);
    const auto j = testutil::ParsedResult(kept.out);
    EXPECT_EQ(j["rollback"]["not_applied"], nlohmann::ordered_json::array({"zone"})) << kept.out;
    EXPECT_NE(j["message"].get<std::string>().find(
                  "stored but not applied: zone (they take effect at its next start)"),
              std::string::npos)
        << kept.out;
}

TEST_F(SetCommandTest, AProgressLineOnATerminalOnly) {
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    fcntl(master, F_SETFL, O_NONBLOCK);
    FILE *terminal = fdopen(slave, "w");
    auto late = [](const Bytes &req, int n) { return n == 0 ? Bytes{} : HeaderReply(req, 0, 0); };
    auto shown = [master] {
        std::string text;
        char b[4096];
        for (ssize_t n; (n = read(master, b, sizeof b)) > 0;)
            text.append(b, static_cast<std::size_t>(n));
        return text;
    };
    EXPECT_EQ(Run({"zone=Lab"}, late, false, 0, terminal).rc, 0);
    const std::string text = shown();
    EXPECT_NE(text.find("\rwaiting for the appliance to store and apply the settings: 0 s"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find(", sent 2 times"), std::string::npos) << text;
    EXPECT_EQ(text.substr(text.size() - 4), "\r\033[K") << "the line is cleared at the end";

    EXPECT_EQ(Run({"zone=Lab"}, late, true, 0, terminal).rc, 0);
    EXPECT_EQ(shown(), "") << "none with --json";
    fclose(terminal);
    close(master);
}

TEST_F(SetCommandTest, RefusedSettingsAreNeverSent) {
    auto ok = [](const Bytes &req, int) { return HeaderReply(req, 0, 0); };
    const set::SetRun range = Run({"ip=10.0.0.2"}, ok);
    EXPECT_EQ(range.rc, 2);
    EXPECT_TRUE(range.writes.empty());
    EXPECT_NE(range.err.find("dhcp-start: the DHCP range must lie inside"), std::string::npos)
        << range.err;

    const set::SetRun syntax = Run({"ip=10.0.0", "colour=red"}, ok, true);
    EXPECT_EQ(syntax.rc, 2);
    EXPECT_TRUE(syntax.writes.empty());
    EXPECT_NE(syntax.out.find("\"field\":\"ip\""), std::string::npos) << syntax.out;
    EXPECT_NE(syntax.out.find("\"field\":\"colour\""), std::string::npos) << syntax.out;

    // Settings that cannot be read are not the base of a new set.
    const set::SetRun unread = Run({"zone=Lab"}, ok, false, proto::kStLockOpen);
    EXPECT_EQ(unread.rc, kExitRefused);
    EXPECT_TRUE(unread.writes.empty());
    EXPECT_NE(unread.err.find("-308"), std::string::npos) << unread.err;
}

namespace output {

nlohmann::ordered_json Parsed(const std::string &out) {
    return testutil::ParsedResult(out);
}

// A fake appliance: identify, read settings (with texts in ISO 8859-1), passwords, printer,
// write settings; `status` is every answer's status.
FakeAgent::Answer Appliance(int status) {
    return [status](const Bytes &req, int) {
        const std::uint16_t cmd = proto::GetU16(req.data());
        if (cmd == proto::kCmdIdentify) {
            Bytes r = HeaderReply(req, status, proto::identify::kPayload);
            const std::uint8_t mac[6] = {0x00, 0xC0, 0x02, 0x1A, 0x2B, 0x3C};
            memcpy(r.data() + proto::identify::kOffMac, mac, 6);
            return r;
        }
        if (cmd == proto::kCmdReadSettings) {
            Bytes r = set::SettingsReplyTo(req, status);
            // Latin-1, C1 (NEL, CSI), C0, DEL, backslash.
            const char description[] = "B\xFCro \"2\"\x85\x9b\x01\x7f\\";
            memcpy(r.data() + proto::settings::kOffDescription, description,
                   sizeof description - 1);
            return r;
        }
        if (cmd == proto::kCmdPrinterData)
            return HeaderReply(req, status, 2);
        return HeaderReply(req, status, 0);
    };
}

struct Run {
    int rc = -1;
    std::string out, err;
};

// RunCommand with --json on `options`, standard input from `input`.
Run Json(Options o, const std::string &input = "") {
    o.json = true;
    int pipe_fds[2];
    EXPECT_EQ(pipe(pipe_fds), 0);
    EXPECT_EQ(write(pipe_fds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
    close(pipe_fds[1]);
    const int saved = dup(STDIN_FILENO);
    dup2(pipe_fds[0], STDIN_FILENO);
    close(pipe_fds[0]);
    FILE *out = tmpfile();
    FILE *err = tmpfile();
    Run run;
    run.rc = RunCommand(o, out, err);
    dup2(saved, STDIN_FILENO);
    close(saved);
    run.out = set::ReadBack(out);
    run.err = set::ReadBack(err);
    return run;
}

Options For(Command command, unsigned short port) {
    Options o = Loopback(port);
    o.command = command;
    o.timeout_given = o.tries_given = true;
    return o;
}

}  // namespace output

TEST(CommandOutputTest, EveryCommandSucceedingPrintsTheSchema) {
    FakeAgent agent(output::Appliance(0));
    const unsigned short port = agent.port();

    output::Run run = output::Json(output::For(Command::kShow, port));
    EXPECT_EQ(run.rc, kExitOk);
    auto j = output::Parsed(run.out);
    EXPECT_EQ(j["ok"], true);
    EXPECT_EQ(j["status"], 0);
    // ISO 8859-1 decoded: U+00FC, the quote, U+0085, U+009B, U+0001, U+007F and the backslash;
    // every control character escaped, C1 and DEL too (U+009B starts a terminal's commands).
    EXPECT_EQ(j["description"], "B\xC3\xBCro \"2\"\xC2\x85\xC2\x9B\x01\x7F\\");
    EXPECT_NE(run.out.find(R"(ro \"2\"\u0085\u009b\u0001\u007f\\)"), std::string::npos) << run.out;
    for (const char *raw : {"\xC2\x85", "\xC2\x9B", "\x7F", "\x01"}) {
        EXPECT_EQ(run.out.find(raw), std::string::npos) << run.out;
    }
    EXPECT_EQ(j["ip_addr"], "192.168.0.2");
    EXPECT_EQ(run.err, "");

    Options set = output::For(Command::kSet, port);
    set.assignments = {"zone=Caf\xC3\xA9"};
    run = output::Json(set);
    EXPECT_EQ(run.rc, kExitOk) << run.out;
    j = output::Parsed(run.out);
    EXPECT_EQ(j["changed"], nlohmann::ordered_json::array({"zone"}));
    EXPECT_EQ(j["mode"], "static");
    EXPECT_EQ(j["outcome"], "finished");

    run = output::Json(output::For(Command::kPasswd, port), "s3cret\n");
    EXPECT_EQ(run.rc, kExitOk) << run.out;
    EXPECT_EQ(output::Parsed(run.out)["password_set"], true);
    run = output::Json(output::For(Command::kPasswd, port), "\n");
    EXPECT_EQ(run.rc, kExitOk) << run.out;
    j = output::Parsed(run.out);
    EXPECT_EQ(j["password_set"], false);
    EXPECT_NE(j["message"].get<std::string>().find("removed"), std::string::npos) << run.out;
    run = output::Json(output::For(Command::kVerify, port), "s3cret\n");
    EXPECT_EQ(run.rc, kExitOk) << run.out;
    EXPECT_EQ(output::Parsed(run.out)["message"], "the password is right");

    Options print = output::For(Command::kPrint, port);
    print.file = "-";
    run = output::Json(print, std::string(600, 'p'));
    EXPECT_EQ(run.rc, kExitOk) << run.out;
    EXPECT_EQ(output::Parsed(run.out)["bytes"], 600);
}

TEST(CommandOutputTest, EveryCommandFailingPrintsTheSchemaAndItsExitStatus) {
    // The appliance answers with a failure: exit status 3, its status and words, no data.
    FakeAgent locked(output::Appliance(proto::kStLockBusy));
    output::Run run = output::Json(output::For(Command::kShow, locked.port()));
    EXPECT_EQ(run.rc, kExitRefused);
    auto j = output::Parsed(run.out);
    EXPECT_EQ(j["status"], -309);
    EXPECT_EQ(j["message"],
              "the settings cannot be read: the appliance reported -309 (the settings file is "
              "locked by another program)");
    Options set = output::For(Command::kSet, locked.port());
    set.assignments = {"zone=Lab"};
    run = output::Json(set);
    EXPECT_EQ(run.rc, kExitRefused);
    EXPECT_EQ(output::Parsed(run.out)["status"], -309);

    // A failure answered with the header only is still that failure, not "no answer".
    FakeAgent short_reply([](const Bytes &req, int) {
        if (proto::GetU16(req.data()) == proto::kCmdReadSettings)
            return HeaderReply(req, proto::kStLockOpen, 0);
        return output::Appliance(0)(req, 0);
    });
    run = output::Json(output::For(Command::kShow, short_reply.port()));
    EXPECT_EQ(run.rc, kExitRefused) << run.out;
    EXPECT_EQ(output::Parsed(run.out)["status"], proto::kStLockOpen);

    FakeAgent wrong([](const Bytes &req, int) {
        if (proto::GetU16(req.data()) == proto::kCmdVerifyPassword)
            return HeaderReply(req, proto::kStNotVerified, 0);
        if (proto::GetU16(req.data()) == proto::kCmdPrinterData)
            return HeaderReply(req, proto::kStPrinter, 2);
        return output::Appliance(0)(req, 0);
    });
    run = output::Json(output::For(Command::kVerify, wrong.port()), "guess\n");
    EXPECT_EQ(run.rc, kExitRefused);
    j = output::Parsed(run.out);
    EXPECT_EQ(j["status"], -305);
    EXPECT_NE(j["message"].get<std::string>().find("did not accept the password"),
              std::string::npos);
    Options print = output::For(Command::kPrint, wrong.port());
    print.file = "-";
    run = output::Json(print, "page");
    EXPECT_EQ(run.rc, kExitRefused);
    EXPECT_EQ(output::Parsed(run.out)["status"], -307);

    // No answer: exit status 1, status null.
    FakeAgent silent([](const Bytes &, int) { return Bytes{}; });
    for (Command c :
         {Command::kShow, Command::kSet, Command::kPasswd, Command::kVerify, Command::kPrint}) {
        Options o = output::For(c, silent.port());
        o.tries = 2;
        o.assignments = {"zone=Lab"};
        o.file = "-";
        run = output::Json(o, "x\n");
        EXPECT_EQ(run.rc, kExitNoAnswer) << run.out;
        j = output::Parsed(run.out);
        EXPECT_TRUE(j["status"].is_null()) << run.out;
        EXPECT_EQ(j["message"], "no answer from 127.0.0.1 within 0.2 s") << run.out;
    }

    // Refused before anything is sent: exit status 2, the problems named.
    FakeAgent ok(output::Appliance(0));
    set = output::For(Command::kSet, ok.port());
    set.assignments = {"zone=Caf\xE2\x82\xAC", "name=a b"};
    run = output::Json(set);
    EXPECT_EQ(run.rc, kExitUsage);
    j = output::Parsed(run.out);
    ASSERT_EQ(j["problems"].size(), 2u) << run.out;
    EXPECT_EQ(j["problems"][0]["field"], "name");
    EXPECT_EQ(j["problems"][1]["field"], "zone");
    EXPECT_NE(j["problems"][1]["message"].get<std::string>().find("ISO 8859-1"), std::string::npos);
    run = output::Json(output::For(Command::kPasswd, ok.port()), "fifteen-letters\n");
    EXPECT_EQ(run.rc, kExitUsage);
    EXPECT_NE(output::Parsed(run.out)["message"].get<std::string>().find("at most 14"),
              std::string::npos);
    Options bad = output::For(Command::kShow, ok.port());
    bad.target = "not-an-appliance";
    run = output::Json(bad);
    EXPECT_EQ(run.rc, kExitUsage);
    output::Parsed(run.out);
    print = output::For(Command::kPrint, ok.port());
    print.file = "/nonexistent/file";
    run = output::Json(print);
    EXPECT_EQ(run.rc, kExitUsage);
    output::Parsed(run.out);
}

// A port where nothing listens answers with an ICMP "port unreachable": said at once, not
// after every try's time-out.
TEST(CommandOutputTest, NothingListeningIsSaidAtOnce) {
    const int probe = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(probe, reinterpret_cast<sockaddr *>(&a), sizeof a);
    socklen_t n = sizeof a;
    getsockname(probe, reinterpret_cast<sockaddr *>(&a), &n);
    close(probe);  // the port is free again: nothing listens there
    Options o = output::For(Command::kShow, ntohs(a.sin_port));
    o.timeout = 2;
    o.tries = 5;
    const auto start = std::chrono::steady_clock::now();
    const output::Run run = output::Json(o);
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(run.rc, kExitNoAnswer);
    const auto j = output::Parsed(run.out);
    EXPECT_NE(j["message"].get<std::string>().find("nothing answers on UDP port"),
              std::string::npos)
        << run.out;
    EXPECT_LT(took, 5.0) << "not after 5 tries of 2 s";
}

}  // namespace
