// System tests of the agent: starting the installed confagent in the simulated appliance and
// talking to it from the PC side.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "protocol/protocol.h"
#include "tests/support/sim_env.h"
#include "tests/support/test_util.h"

namespace agentsim {

using Bytes = std::vector<std::uint8_t>;

inline constexpr char kAgent[] = "/usr/sbin/confagent";
inline constexpr char kLock[] = "/var/lock/confagent";
inline constexpr char kEventLog[] = "/var/log/DS_log";
inline constexpr char kConfig[] = "/etc/CGI_ds.conf";
inline constexpr char kPasswordScript[] = "/usr/share/stowbox/http/CGI_main/CGI_chk_save_pass.pl";
inline constexpr std::uint8_t kMac[6] = {0x00, 0xC0, 0x02, 0x1A, 0x2B, 0x3C};

inline const char kKnownConfig[] =
    "[network]\n"
    "version=1.2.3\n"
    "default_server_name=JX1A2B3C\n"
    "disk_server_name=STORAGE\n"
    "disk_server_comment=Office disk\n"
    "hw_addr=00:C0:02:1A:2B:3C\n"
    "bootproto=static\n"
    "ip_addr=192.168.0.2\n"
    "netmask=255.255.255.0\n"
    "gateway=\n"
    "dns_server1=192.168.0.1\n"
    "dhcp_server=yes\n"
    "dhcp_start_ip=192.168.0.100\n"
    "dhcp_end_ip=192.168.0.200\n"
    "w_d_name=WORKGROUP\n"
    "zone_name=Office Zone\n"
    "time_zone=-5\n"
    "wins_enable=yes\n"
    "wins_server=192.168.0.5\n";

// Whether something listens on UDP port 915 in this network namespace.
inline bool PortBound() {
    const std::string udp = testutil::ReadFile("/proc/net/udp");
    return udp.find(":0393 ") != std::string::npos;
}

inline pid_t LockPid() {
    return static_cast<pid_t>(std::atoi(testutil::ReadFile(kLock).c_str()));
}

template <typename F>
bool WaitFor(F condition, int timeout_ms = 10000) {
    for (int waited = 0; waited <= timeout_ms; waited += 10) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// A UDP socket on the PC side (optionally bound to an address and port there).
class Pc {
  public:
    explicit Pc(unsigned short port = 0, const char *address = "0.0.0.0") {
        fd_ = sim::PcSocket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        inet_pton(AF_INET, address, &a.sin_addr);
        a.sin_port = htons(port);
        bound_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    }
    ~Pc() {
        if (fd_ >= 0)
            close(fd_);
    }
    Pc(const Pc &) = delete;
    Pc &operator=(const Pc &) = delete;
    bool ok() const { return bound_; }

    void Send(const Bytes &datagram, const char *address = sim::kApplianceAddress) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        inet_pton(AF_INET, address, &to.sin_addr);
        to.sin_port = htons(915);
        sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr *>(&to),
               sizeof to);
    }
    // The next datagram, or an empty one after timeout_ms.
    Bytes Receive(int timeout_ms = 3000) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0)
            return {};
        std::uint8_t b[1024];
        const ssize_t n = recv(fd_, b, sizeof b, 0);
        return Bytes(b, b + (n > 0 ? n : 0));
    }
    Bytes Ask(const Bytes &datagram, int timeout_ms = 3000) {
        Send(datagram);
        return Receive(timeout_ms);
    }

  private:
    int fd_ = -1;
    bool bound_ = false;
};

inline Bytes Request(std::uint16_t command, std::uint16_t sequence, std::size_t size = 8) {
    Bytes b(size, 0);
    proto::PutHeader(b.data(), proto::SetupHeader{command, 0, sequence, 0});
    return b;
}

inline Bytes PasswordRequest(std::uint16_t command, std::uint16_t sequence,
                             const std::string &password, const std::uint8_t *mac = kMac) {
    Bytes b = Request(command, sequence, proto::password::kRequestSize);
    memcpy(b.data() + 8, mac, 6);
    memcpy(b.data() + 14, password.data(), std::min<std::size_t>(password.size(), 15));
    return b;
}

inline int Status(const Bytes &reply) {
    return proto::GetI16(reply.data() + 2);
}

// The printer port as a FIFO that the test reads: every byte the agent writes, in order,
// across the agent's opens and closes of the device.
class PrinterPort {
  public:
    PrinterPort() {
        unlink(kPath);
        if (mkfifo(kPath, 0666) == 0)
            fd_ = open(kPath, O_RDWR | O_NONBLOCK);
    }
    ~PrinterPort() {
        if (fd_ >= 0)
            close(fd_);
        unlink(kPath);
    }
    bool ok() const { return fd_ >= 0; }
    // Makes the port's buffer `bytes` small (rounded up by the kernel); the new size.
    int Shrink(int bytes) { return fcntl(fd_, F_SETPIPE_SZ, bytes); }
    // Everything written since the last call.
    std::string Take() {
        std::string out;
        char b[4096];
        for (;;) {
            const ssize_t n = read(fd_, b, sizeof b);
            if (n <= 0)
                break;
            out.append(b, static_cast<std::size_t>(n));
        }
        return out;
    }
    static constexpr char kPath[] = "/dev/lp1";

  private:
    int fd_ = -1;
};

// Files and folders under /etc, /var, /tmp, /run and /dev changed since `since` (inode change
// time), by real path, with their modes. Marks come from CoarseNow: file times are taken from
// the kernel's coarse clock.
inline std::map<std::string, mode_t> &ChangedFiles() {
    static std::map<std::string, mode_t> changed;
    return changed;
}
inline timespec &ChangedMark() {
    static timespec mark{};
    return mark;
}
inline int NoteChanged(const char *path, const struct stat *st, int, FTW *) {
    const timespec c = st->st_ctim;
    const timespec &m = ChangedMark();
    if (c.tv_sec > m.tv_sec || (c.tv_sec == m.tv_sec && c.tv_nsec >= m.tv_nsec)) {
        ChangedFiles()[path] = st->st_mode;
    }
    return 0;
}
inline timespec CoarseNow() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME_COARSE, &now);
    return now;
}
inline std::map<std::string, mode_t> ChangedSince(const timespec &since) {
    ChangedFiles().clear();
    ChangedMark() = since;
    for (const char *root : {"/etc", "/var", "/tmp", "/run", "/dev"}) {
        nftw(root, NoteChanged, 32, FTW_PHYS);
    }
    return ChangedFiles();
}
// The mode bits of `path` in such a map (~0 when it did not change).
inline mode_t ModeIn(const std::map<std::string, mode_t> &changed, const std::string &path) {
    char real[PATH_MAX];  // /var/lock may lead to /run/lock
    auto it = changed.find(realpath(path.c_str(), real) != nullptr ? real : path.c_str());
    return it == changed.end() ? ~0u : (it->second & 07777);
}
// Expects that nothing in `changed` is writable by group or others, but for the simulator's
// own logs, sticky shared folders, links and sockets. The number of files checked.
inline int ExpectNothingWritableByOthers(const std::map<std::string, mode_t> &changed) {
    int checked = 0;
    for (const auto &[path, m] : changed) {
        if (path.rfind("/var/log/sim/", 0) == 0 || path == "/var/log/sim" || path == "/dev/lp1" ||
            S_ISLNK(m) || S_ISSOCK(m)) {
            continue;  // the simulator's logs, a test's printer FIFO, no modes of their own
        }
        if (path == "/tmp" || path == "/var/tmp" || path == "/dev/shm") {
            EXPECT_EQ(m & 07777, 01777u) << path;  // sticky folders open to all, as they were
            continue;
        }
        ++checked;
        EXPECT_EQ(m & 0022, 0u) << path << " has mode " << std::oct << (m & 07777);
    }
    return checked;
}

// Base of the agent's system tests: a clean appliance, the test process as subreaper so the
// daemon's exit status can be collected.
class AgentSimTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!sim::Inside())
            GTEST_SKIP() << "needs the simulated appliance";
        prctl(PR_SET_CHILD_SUBREAPER, 1);
        unlink(kLock);
        unlink(kEventLog);
        unlink("/etc/sim/admin.pass");
        unlink("/var/lib/sim/status/CGI_chk_save_pass.pl");
        testutil::Run(std::string("hostname ") + sim::kApplianceHostname);
        testutil::WriteFile(kConfig, kKnownConfig);
        sim::ClearLogs();
    }
    void TearDown() override {
        if (pid_ > 0)
            StopAgent();
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
    }

    // Runs confagent; its (parent's) exit status. On 0 waits until it serves port 915.
    int StartAgent() {
        const int rc = testutil::Run(kAgent);
        if (rc == 0) {
            WaitFor([] { return PortBound() && LockPid() > 0; });
            pid_ = LockPid();
        }
        return rc;
    }
    // SIGTERM to the agent and its wait status (-1 if it did not end).
    int StopAgent() {
        const pid_t pid = pid_;
        pid_ = 0;
        if (pid <= 0 || kill(pid, SIGTERM) != 0)
            return -1;
        int status = -1;
        for (int i = 0; i < 300; ++i) {
            if (waitpid(pid, &status, WNOHANG) == pid)
                return status;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }
    static std::string EventLog() { return testutil::ReadFile(kEventLog); }
    static int CountCalls(const std::string &text) {
        const std::string calls = sim::Calls();
        int n = 0;
        for (std::size_t at = calls.find(text); at != std::string::npos;
             at = calls.find(text, at + 1)) {
            ++n;
        }
        return n;
    }

    pid_t pid_ = 0;
};

// The same, with the agent started before each case.
class RunningAgentTest : public AgentSimTest {
  protected:
    void SetUp() override {
        AgentSimTest::SetUp();
        if (IsSkipped())
            return;
        ASSERT_EQ(StartAgent(), 0);
    }
};

}  // namespace agentsim
