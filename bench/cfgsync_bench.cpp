// cfgsync on a configuration file that needs no change, against its floor: the start of a
// program of the same build that reads the file once (bench/read_conf_once.cpp). Both are
// started the same way (posix_spawn, output to /dev/null) and waited for, in turn.
//
// Runs in the simulated appliance, where cfgsync is installed and owns /etc/CGI_ds.conf
// (from the source folder):
//
//   sim/appliance run --build build -- $PWD/build/bin/cfgsync_bench
//
// CFGSYNC=path times another build of cfgsync against the same floor.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

extern char **environ;

namespace {

constexpr char kDemoFile[] =
    "[network]\n"
    "version=1.2.3\n"
    "default_server_name=JX1A2B3C\n"
    "disk_server_name=JX1A2B3C\n"
    "disk_server_comment=Disk server of the office\n"
    "hw_addr=00:C0:02:1A:2B:3C\n"
    "bootproto=static\n"
    "ip_addr=192.168.0.2\n"
    "netmask=255.255.255.0\n"
    "gateway=192.168.0.1\n"
    "dns_server1=192.168.0.1\n"
    "dns_server2=\n"
    "dns_server3=\n"
    "dhcp_server=no\n"
    "dhcp_start_ip=192.168.0.100\n"
    "dhcp_end_ip=192.168.0.200\n"
    "telnet_enable=no\n"
    "msn_enable=yes\n"
    "w_d_name=WORKGROUP\n"
    "code_page=437\n"
    "printer_name=JX1A2B3C_p1\n"
    "printer_comment=Printer of the office\n"
    "wins_enable=no\n"
    "wins_server=\n"
    "apple_enable=yes\n"
    "zone_name=*\n"
    "mac_printer_type=LaserWriter\n"
    "printer_client=laserwriter\n"
    "time_zone=8\n";

// Starts `path` with no arguments, output to /dev/null, and waits; its exit status or -1.
int RunProgram(const char *path) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    char *argv[] = {const_cast<char *>(path), nullptr};
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, path, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        return -1;
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

bool Inside() {
    const char *sim = std::getenv("SIM_APPLIANCE");
    return sim != nullptr && std::string(sim) == "1";
}

// Seeds the file and lets cfgsync complete it once, so that the timed runs change nothing.
bool Seed() {
    FILE *f = std::fopen("/etc/CGI_ds.conf", "w");
    if (f == nullptr) {
        return false;
    }
    std::fputs(kDemoFile, f);
    std::fclose(f);
    return RunProgram("/usr/sbin/cfgsync") == 0;
}

std::string FloorProgram() {
    const char *build = std::getenv("SIM_BUILD");
    return std::string(build != nullptr ? build : ".") + "/bin/read_conf_once";
}

double Seconds(const struct timespec &a, const struct timespec &b) {
    return static_cast<double>(b.tv_sec - a.tv_sec) +
           static_cast<double>(b.tv_nsec - a.tv_nsec) * 1e-9;
}

// The two programs in turn, so that the load of the machine weighs on both alike; the
// counters give the mean time of each and their ratio.
void BM_CfgsyncAgainstFloor(benchmark::State &state) {
    if (!Inside() || !Seed()) {
        state.SkipWithError("runs in the simulated appliance (sim/appliance run)");
        return;
    }
    const std::string floor = FloorProgram();
    const char *other = std::getenv("CFGSYNC");
    const char *program = other != nullptr && *other != '\0' ? other : "/usr/sbin/cfgsync";
    double cfgsync_s = 0;
    double floor_s = 0;
    for (auto _ : state) {
        struct timespec t0 {
        }, t1{}, t2{};
        clock_gettime(CLOCK_MONOTONIC, &t0);
        const int floor_rc = RunProgram(floor.c_str());
        clock_gettime(CLOCK_MONOTONIC, &t1);
        const int cfgsync_rc = RunProgram(program);
        clock_gettime(CLOCK_MONOTONIC, &t2);
        if (floor_rc != 0 || cfgsync_rc != 0) {
            state.SkipWithError("a program failed");
            return;
        }
        floor_s += Seconds(t0, t1);
        cfgsync_s += Seconds(t1, t2);
    }
    const auto n = static_cast<double>(state.iterations());
    state.counters["cfgsync_us"] = cfgsync_s / n * 1e6;
    state.counters["floor_us"] = floor_s / n * 1e6;
    state.counters["ratio"] = floor_s > 0 ? cfgsync_s / floor_s : 0;
}
BENCHMARK(BM_CfgsyncAgainstFloor)->UseRealTime();

}  // namespace
