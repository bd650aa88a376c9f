#include "tests/support/sim_env.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "tests/support/test_util.h"

namespace sim {

bool Inside() {
    const char *v = std::getenv("SIM_APPLIANCE");
    return v != nullptr && std::string(v) == "1";
}

std::string SourceDir() {
    const char *v = std::getenv("SIM_SRC");
    return v != nullptr ? v : "";
}

std::string BuildDir() {
    const char *v = std::getenv("SIM_BUILD");
    return v != nullptr ? v : "";
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
    std::string quoted = "'";
    for (char c : command) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    quoted += "'";
    return testutil::Run(std::string("nsenter --net=") + kPcNetns + " /bin/sh -c " + quoted, out);
}

}  // namespace sim
