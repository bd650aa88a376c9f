// Start-up of the agent: single-instance check through the lock file, daemon, socket, own MAC
// address; and the SIGTERM stop.
#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "agent/agent.h"
#include "common/event_log.h"
#include "common/paths.h"
#include "common/scoped.h"
#include "config/cfg.h"

int sno = -1;

namespace {

volatile sig_atomic_t logging = 0;       // an event-log entry is being written
volatile sig_atomic_t stop_pending = 0;  // SIGTERM arrived meanwhile

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

void Stop(int signal) {
    if (sno >= 0) {
        close(sno);
        sno = -1;
    }
    unlink(paths::kAgentLock);
    SetLogMsg(paths::kAgentName, " Stop !");
    _exit(signal);
}

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
    syscall(SYS_close_range, 0U, UINT_MAX, 0U);
    // 0, 1 and 2 stay taken, so no socket or file of ours ever lands on them.
    int null = open("/dev/null", O_RDWR);
    if (null == 0) {
        dup2(0, 1);
        dup2(0, 2);
    }
}

int WriteLockFile() {
    UniqueFd fd(
        open(paths::kAgentLock, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd.valid()) {
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

void AgentLog(const char *message) {
    logging = 1;
    SetLogMsg(paths::kAgentName, message);
    logging = 0;
    if (stop_pending != 0) {
        Stop(SIGTERM);
    }
}

void die(int signal) {
    if (logging != 0) {
        // Finish the entry being written first; AgentLog stops afterwards.
        stop_pending = 1;
        return;
    }
    Stop(signal);
}

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

    struct sigaction sa = {};
    sa.sa_handler = die;
    sigemptyset(&sa.sa_mask);
    if (sigaction(SIGTERM, &sa, nullptr) != 0) {
        AgentLog(" Sigaction() function fail");
        std::exit(1);
    }

    Daemonize();

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

    (void)RecoverCFGData();  // a change of the settings interrupted before this start
    AgentLog(" Start up !");
    ServiceLoop(state);
}
