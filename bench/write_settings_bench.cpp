// Write settings (0x11) from the PC side of the simulated appliance, against a running agent:
// the time from request to reply of an unchanged request and of a change of the fixed address
// (which restarts the network). Run by bench/write_settings_bench.sh inside the simulator,
// which prepares the appliance, starts the agent and adds the split by step.
//
//   WRITE_BENCH_ITERATIONS  requests per benchmark (default 10)
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "protocol/protocol.h"

namespace {

namespace w = proto::write;

constexpr char kPcNetns[] = "/run/sim/pc.net";
constexpr std::uint8_t kMac[6] = {0x00, 0xC0, 0x02, 0x1A, 0x2B, 0x3C};
using Address = std::array<std::uint8_t, 4>;

// A UDP socket in the PC's network namespace; -1 outside the simulator.
int PcSocket() {
    int own = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    int pc = open(kPcNetns, O_RDONLY | O_CLOEXEC);
    int s = -1;
    if (own >= 0 && pc >= 0 && setns(pc, CLONE_NEWNET) == 0) {
        s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (setns(own, CLONE_NEWNET) != 0) {
            std::abort();
        }
    }
    if (own >= 0) {
        close(own);
    }
    if (pc >= 0) {
        close(pc);
    }
    return s;
}

void PutText(std::uint8_t *b, std::size_t offset, std::size_t width, const char *text) {
    std::memcpy(b + offset, text, strnlen(text, width - 1));
}

// The request equal to the settings the script stores, with the given address.
std::array<std::uint8_t, w::kRequestSize> WriteRequest(std::uint16_t sequence, Address ip) {
    std::array<std::uint8_t, w::kRequestSize> b{};
    proto::PutHeader(b.data(), proto::SetupHeader{proto::kCmdWriteSettings, 0, sequence, 0});
    std::memcpy(b.data() + w::kOffMac, kMac, 6);
    PutText(b.data(), w::kOffServerName, w::kServerNameWidth, "STORAGE");
    PutText(b.data(), w::kOffDescription, w::kDescriptionWidth, "Office disk");
    PutText(b.data(), w::kOffDate, w::kDateWidth, "12/07/2026");
    PutText(b.data(), w::kOffTime, w::kTimeWidth, "08:05:09");
    b[w::kOffAddressMode] = 1;
    std::memcpy(b.data() + w::kOffIp, ip.data(), 4);
    const Address mask{255, 255, 255, 0};
    std::memcpy(b.data() + w::kOffNetmask, mask.data(), 4);
    b[w::kOffDhcpServer] = 0;
    const Address start{192, 168, 0, 100};
    const Address end{192, 168, 0, 200};
    std::memcpy(b.data() + w::kOffDhcpStart, start.data(), 4);
    std::memcpy(b.data() + w::kOffDhcpEnd, end.data(), 4);
    PutText(b.data(), w::kOffWorkgroup, w::kWorkgroupWidth, "WORKGROUP");
    PutText(b.data(), w::kOffZone, w::kZoneWidth, "Office Zone");
    proto::PutI32(b.data() + w::kOffTimeZone, -5);
    b[w::kOffWinsEnable] = 1;
    const Address wins{192, 168, 0, 5};
    std::memcpy(b.data() + w::kOffWinsServer, wins.data(), 4);
    return b;
}

// Sends the request to `to` and waits for the reply: its status, or 1 when none came.
int Ask(int fd, const std::array<std::uint8_t, w::kRequestSize> &request, Address to) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(915);
    std::memcpy(&a.sin_addr, to.data(), 4);
    if (sendto(fd, request.data(), request.size(), 0, reinterpret_cast<sockaddr *>(&a), sizeof a) !=
        static_cast<ssize_t>(request.size())) {
        return 1;
    }
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 120000) <= 0) {
            return 1;
        }
        std::uint8_t reply[proto::kBufferSize];
        const ssize_t n = recv(fd, reply, sizeof reply, 0);
        if (n >= static_cast<ssize_t>(proto::kHeaderSize) &&
            proto::GetU16(reply) == proto::kCmdWriteSettings &&
            proto::GetU16(reply + proto::kOffSequence) == proto::GetU16(request.data() + 4)) {
            return proto::GetI16(reply + proto::kOffStatus);
        }
    }
}

// A new sequence number for every run: the agent answers a repeated one from its last reply.
std::uint16_t sequence = static_cast<std::uint16_t>(getpid() * 131);
Address current{192, 168, 0, 2};

void Run(benchmark::State &state, bool change) {
    const int fd = PcSocket();
    if (fd < 0) {
        state.SkipWithError("needs the simulated appliance");
        return;
    }
    for (auto _ : state) {
        Address next = current;
        if (change) {
            next[3] = current[3] == 2 ? 3 : 2;
        }
        const int status = Ask(fd, WriteRequest(sequence++, next), current);
        if (status != 0) {
            state.SkipWithError("the request failed");
            break;
        }
        current = next;
    }
    close(fd);
}

void BM_UnchangedRequest(benchmark::State &state) {
    Run(state, false);
}
void BM_FixedAddressChange(benchmark::State &state) {
    Run(state, true);
}

int Iterations() {
    const char *v = std::getenv("WRITE_BENCH_ITERATIONS");
    const int n = v != nullptr ? std::atoi(v) : 0;
    return n > 0 ? n : 10;
}

BENCHMARK(BM_UnchangedRequest)
    ->Iterations(Iterations())
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_FixedAddressChange)
    ->Iterations(Iterations())
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
