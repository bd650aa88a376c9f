// Start-up of the agent: single-instance check through the lock file, daemon, socket, own MAC
// address.
#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "agent/agent.h"
#include "common/event_log.h"
#include "common/paths.h"
#include "common/process.h"
#include "common/scoped.h"
#include "common/system_file.h"
#include "config/cfg.h"

namespace {

constexpr mode_t kLockFileMode = 0644;

AgentState agent_state;

struct BindMessage {
    int error;
    const char *text;
};

constexpr BindMessage kBindMessages[] = {
    {ENOENT, " Bind() fail, errno=ENOENT"},
    {EBADF, " Bind() fail, errno=EBADF"},
    {ENOMEM, " Bind() fail, errno=ENOMEM"},
    {EACCES, " Bind() fail, errno=EACCES"},
    {EFAULT, " Bind() fail, errno=EFAULT"},
    {ENOTDIR, " Bind() fail, errno=ENOTDIR"},
    {EINVAL, " Bind() fail, errno=EINVAL "},
    {EROFS, " Bind() fail, errno=EROFS"},
    {ENAMETOOLONG, " Bind() fail, errno=ENAMETOOLONG"},
    {ELOOP, " Bind() fail, errno=ELOOP"},
    {ENOTSOCK, " Bind() fail, errno=ENOTSOCK"},
};

// Detaches from the terminal and the parent: two forks, a new session in between.
void Daemonize() {
    if (fork() != 0) {
        _exit(0);
    }
    setsid();
    signal(SIGHUP, SIG_IGN);
    if (fork() != 0) {
        _exit(0);
    }
    if (chdir("/") != 0) {
        // The root cannot be missing; nothing to do if it were.
    }
    umask(0);
    // Every inherited descriptor, not only the first 64.
    (void)close_descriptors_from(0);
    // 0, 1 and 2 stay taken, so no socket or file of ours ever lands on them.
    int null = open("/dev/null", O_RDWR);
    if (null == 0) {
        dup2(0, 1);
        dup2(0, 2);
    }
}

int WriteLockFile() {
    UniqueFd fd(open(paths::kAgentLock, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                     kLockFileMode));
    if (!fd.valid()) {
        return -1;
    }
    // A lock file left by an earlier run keeps its mode through O_TRUNC; ours is 0644.
    if (fchmod(fd.get(), kLockFileMode) != 0) {
        return -1;
    }
    char line[32];
    int n = std::snprintf(line, sizeof line, "%d\n", static_cast<int>(getpid()));
    if (n <= 0 || write(fd.get(), line, static_cast<std::size_t>(n)) != n) {
        return -1;
    }
    return 0;
}

}  // namespace

bool LockLineNamesLiveAgent(const char *line) {
    if (line == nullptr || *line < '0' || *line > '9') {
        return false;
    }
    char *end = nullptr;
    errno = 0;
    long pid = std::strtol(line, &end, 10);
    if (errno != 0 || pid <= 0 || pid > 0x7FFFFFFF) {
        return false;
    }
    while (*end == '\n' || *end == '\r' || *end == ' ') {
        ++end;
    }
    if (*end != '\0') {
        return false;
    }
    return kill(static_cast<pid_t>(pid), 0) == 0;
}

void BindFailMessage(int error, char *buffer, std::size_t size) {
    for (const BindMessage &m : kBindMessages) {
        if (m.error == error) {
            std::snprintf(buffer, size, "%s", m.text);
            return;
        }
    }
    std::snprintf(buffer, size, " Bind() fail, errno[dec]=%d", error);
}

int AgentMain() {
    umask(022);

    // Single instance.
    {
        UniqueFile lock(std::fopen(paths::kAgentLock, "re"));
        if (lock) {
            char line[200] = {};
            if (std::fgets(line, sizeof line, lock.get()) != nullptr &&
                LockLineNamesLiveAgent(line)) {
                return -1;
            }
        } else if (errno != ENOENT) {
            AgentLog(" Fopen(PIDFILE) fail");
            return -1;
        }
    }

    if (InstallStopHandler() != 0) {
        AgentLog(" Sigaction() function fail");
        std::exit(1);
    }

    Daemonize();
    // Timers do not pass through fork: the daemon makes its own. Without it a SIGTERM still
    // stops the agent, only one that lands right before a blocking call waits for that call.
    (void)StartStopNudge();
    // Service restarts of the library run through the agent's runner too.
    set_system_runner(RunShell);

    if (WriteLockFile() != 0) {
        AgentLog(" Cannot open lock file ");
        return -1;
    }

    sno = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (sno < 0) {
        AgentLog(" Socket() error, get INVALID_SOCKET !! ");
        unlink(paths::kAgentLock);
        return -1;
    }

    sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(paths::kAgentPort);
    if (bind(sno, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
        char message[64];
        BindFailMessage(errno, message, sizeof message);
        AgentLog(message);
        close(sno);
        sno = -1;
        unlink(paths::kAgentLock);
        return -1;
    }

    ifreq ifr = {};
    std::snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "%s", paths::kInterface);
    if (ioctl(sno, SIOCGIFHWADDR, &ifr) != 0) {
        AgentLog(" Ioctl() fail, get MAC address fail");
        close(sno);
        sno = -1;
        unlink(paths::kAgentLock);
        return -201;
    }
    AgentState &state = agent_state;
    std::memset(&state, 0, sizeof state);
    std::memcpy(state.mac, ifr.ifr_hwaddr.sa_data, proto::kMacSize);

    // Changes interrupted before this start (a kill, a power cut) are completed before the
    // first command reads a file: the settings file's and a system file's.
    (void)RecoverCFGData();
    (void)RecoverSystemFiles();
    AgentLog(" Start up !");
    ServiceLoop(state);
}
