#include "tests/support/sim_env.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "tests/support/test_util.h"

namespace sim {

namespace {

std::string Env(const char *name) {
    const char *v = std::getenv(name);
    return v != nullptr ? v : "";
}

}  // namespace

bool Inside() {
    const char *v = std::getenv("SIM_APPLIANCE");
    return v != nullptr && std::string(v) == "1";
}

std::string SourceDir() {
    return Env("SIM_SRC");
}

std::string BuildDir() {
    return Env("SIM_BUILD");
}

std::string Target() {
    return Env("SIM_TARGET");
}

std::string TargetBuilt(const std::string &path) {
    const std::string build = BuildDir();
    const std::string target_build = Env("SIM_TARGET_BUILD");
    if (target_build.empty() || build.empty() || path.rfind(build + "/", 0) != 0) {
        return path;
    }
    return target_build + path.substr(build.size());
}

std::vector<std::string> TargetProgram(const std::string &path) {
    std::vector<std::string> words;
    const std::string emulator = Env("SIM_TARGET_EMULATOR");
    if (!emulator.empty()) {
        words.push_back(emulator);
    }
    words.push_back(TargetBuilt(path));
    return words;
}

int TargetErrno(int error) {
    if (Target() != "mips") {
        return error;  // x86 and ARM share the kernel's generic numbers
    }
    struct Pair {
        int here;
        int mips;
    };
    static constexpr Pair kMips[] = {
        {EADDRINUSE, 125}, {EADDRNOTAVAIL, 126}, {ENAMETOOLONG, 78},
        {ELOOP, 90},       {ENOTSOCK, 95},       {ENOSYS, 89},
    };
    for (const Pair &p : kMips) {
        if (p.here == error) {
            return p.mips;
        }
    }
    return error;
}

std::string Calls() {
    return testutil::ReadFile(kCallsLog);
}
std::string Syslog() {
    return testutil::ReadFile(kSyslog);
}

void ClearLogs() {
    testutil::WriteFile(kCallsLog, "", 0666);
    testutil::WriteFile(kSyslog, "", 0666);
}

bool WaitForSyslog(const std::string &text, int timeout_ms) {
    for (int waited = 0; waited <= timeout_ms; waited += 20) {
        if (Syslog().find(text) != std::string::npos) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

int PcSocket(int domain, int type, int protocol) {
    int own = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    int pc = open(kPcNetns, O_RDONLY | O_CLOEXEC);
    int s = -1;
    if (own >= 0 && pc >= 0 && setns(pc, CLONE_NEWNET) == 0) {
        s = socket(domain, type, protocol);
        if (setns(own, CLONE_NEWNET) != 0) {
            std::abort();  // never go on in the wrong namespace
        }
    }
    if (own >= 0)
        close(own);
    if (pc >= 0)
        close(pc);
    return s;
}

int RunOnPc(const std::string &command, std::string *out) {
    return testutil::Run(
        testutil::Cat({"nsenter --net=", kPcNetns, " /bin/sh -c ", testutil::ShellQuoted(command)}),
        out);
}

bool MountSmallTmpfs(const std::string &folder, int kib) {
    const std::string options = "size=" + std::to_string(kib) + "k,mode=0755";
    return mount("sim-small", folder.c_str(), "tmpfs", 0, options.c_str()) == 0;
}

bool FillDisk(const std::string &folder) {
    const std::string path = folder + "/filler";
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    char block[4096] = {};
    bool full = false;
    for (std::size_t size = sizeof block; size > 0 && !full; size /= 2) {
        while (write(fd, block, size) == static_cast<ssize_t>(size)) {
        }
        full = size == 1 && errno == ENOSPC;
    }
    close(fd);
    return full;
}

std::string SambaReads(const std::string &parameter, std::string *complaints, bool *ok) {
    testutil::Run(
        "grep -vi '^[[:space:]]*security[[:space:]]*=[[:space:]]*share[[:space:]]*$' "
        "/etc/smb.conf > /tmp/smb.conf.read");
    std::string value;
    *ok = testutil::Run("testparm -s --parameter-name='" + parameter +
                            "' /tmp/smb.conf.read 2> /tmp/smb.conf.err",
                        &value) == 0;
    complaints->clear();
    testutil::Run(
        "grep -iE 'unknown|invalid|ignoring|error' /tmp/smb.conf.err | "
        "grep -v '\"client code page\"'",
        complaints);
    if (!value.empty() && value.back() == '\n') {
        value.pop_back();
    }
    return value;
}

std::string LpcStatus(const std::string &queue) {
    std::string out;
    testutil::Run("lpc status '" + queue + "' 2>&1", &out);
    return out.substr(0, out.find('\n'));
}

}  // namespace sim
