// sim_clock_guard: runs a program of a simulated appliance with its requests to set the clock
// caught. The simulator drops CAP_SYS_TIME, so a real settimeofday would fail; under the
// guard each request that sets the time of day is appended to a record file as
// "SECONDS.MICROSECONDS" and answered as done, and the clock stays as it is. It works on the
// system calls themselves (a seccomp filter that hands them to the guard), so it holds for
// every program the guarded one starts, of any CPU that runs under emulation, and nothing is
// preloaded into them.
//
//   sim_clock_guard RECORD -- PROGRAM [ARG...]
//
// The guard returns PROGRAM's exit status once PROGRAM (not its children) has ended; a helper
// process serves the requests for as long as any guarded process lives.
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace {

#if defined(__x86_64__)
constexpr unsigned kArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr unsigned kArch = AUDIT_ARCH_AARCH64;
#else
#error "sim_clock_guard: add this machine's audit architecture"
#endif

int Fail(const char *what) {
    std::fprintf(stderr, "sim_clock_guard: %s: %s\n", what, std::strerror(errno));
    return 125;
}

// The filter: settimeofday and clock_settime of this architecture go to the guard, every
// other call runs as usual.
int InstallFilter() {
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kArch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_settimeofday, 2, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_clock_settime, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_USER_NOTIF),
    };
    sock_fprog program{static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
    int fd = static_cast<int>(
        syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_NEW_LISTENER, &program));
    if (fd < 0 && errno == EACCES) {
        // Without CAP_SYS_ADMIN (a simulator in a user namespace) a filter needs this.
        (void)prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
        fd = static_cast<int>(syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER,
                                      SECCOMP_FILTER_FLAG_NEW_LISTENER, &program));
    }
    return fd;
}

// A message of one byte with room for one descriptor beside it.
struct FdMessage {
    char byte = 0;
    iovec iov{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr msg{};

    FdMessage() {
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
    }
    FdMessage(const FdMessage &) = delete;
    FdMessage &operator=(const FdMessage &) = delete;
};

int SendFd(int socket, int fd) {
    FdMessage m;
    cmsghdr *c = CMSG_FIRSTHDR(&m.msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
    return sendmsg(socket, &m.msg, 0) == 1 ? 0 : -1;
}

int ReceiveFd(int socket) {
    FdMessage m;
    if (recvmsg(socket, &m.msg, 0) != 1) {
        return -1;
    }
    cmsghdr *c = CMSG_FIRSTHDR(&m.msg);
    if (c == nullptr || c->cmsg_type != SCM_RIGHTS) {
        return -1;
    }
    int fd = -1;
    std::memcpy(&fd, CMSG_DATA(c), sizeof fd);
    return fd;
}

// Reads `size` bytes at `address` of process `pid`; true when all arrived.
bool ReadFrom(pid_t pid, unsigned long long address, void *out, std::size_t size) {
    iovec local{out, size};
    iovec remote{reinterpret_cast<void *>(address), size};
    return process_vm_readv(pid, &local, 1, &remote, 1, 0) == static_cast<ssize_t>(size);
}

// The time a caught request asks for; false when it sets nothing of the time of day (a
// settimeofday with only a time zone) or cannot be read.
bool RequestedTime(const seccomp_notif &n, long long *seconds, long *microseconds) {
    const auto pid = static_cast<pid_t>(n.pid);
    if (n.data.nr == SYS_settimeofday) {
        timeval tv{};
        if (n.data.args[0] == 0 || !ReadFrom(pid, n.data.args[0], &tv, sizeof tv)) {
            return false;
        }
        *seconds = tv.tv_sec;
        *microseconds = static_cast<long>(tv.tv_usec);
        return true;
    }
    timespec ts{};
    if (n.data.args[0] != CLOCK_REALTIME || n.data.args[1] == 0 ||
        !ReadFrom(pid, n.data.args[1], &ts, sizeof ts)) {
        return false;
    }
    *seconds = ts.tv_sec;
    *microseconds = ts.tv_nsec / 1000;
    return true;
}

// Serves the guarded processes until none is left.
[[noreturn]] void Serve(int listener, const char *record) {
    for (;;) {
        pollfd p{listener, POLLIN, 0};
        if (poll(&p, 1, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            _exit(0);
        }
        if ((p.revents & POLLIN) == 0) {
            _exit(0);  // the last guarded process has ended
        }
        seccomp_notif n{};
        if (ioctl(listener, SECCOMP_IOCTL_NOTIF_RECV, &n) != 0) {
            continue;  // the caller went away meanwhile
        }
        seccomp_notif_resp resp{};
        resp.id = n.id;
        long long seconds = 0;
        long microseconds = 0;
        const bool is_time = RequestedTime(n, &seconds, &microseconds);
        if (ioctl(listener, SECCOMP_IOCTL_NOTIF_ID_VALID, &n.id) != 0) {
            continue;
        }
        if (is_time) {
            char line[64];
            const int len = std::snprintf(line, sizeof line, "%lld.%06ld\n", seconds, microseconds);
            const int fd = open(record, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
            if (fd >= 0) {
                (void)!write(fd, line, static_cast<std::size_t>(len));
                close(fd);
            }
        } else if (n.data.nr == SYS_clock_settime) {
            // Other clocks, or nothing to read: the kernel decides (and refuses).
            resp.flags = SECCOMP_USER_NOTIF_FLAG_CONTINUE;
        }
        (void)ioctl(listener, SECCOMP_IOCTL_NOTIF_SEND, &resp);
    }
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 4 || std::strcmp(argv[2], "--") != 0) {
        std::fprintf(stderr, "usage: sim_clock_guard RECORD -- PROGRAM [ARG...]\n");
        return 125;
    }
    const char *record = argv[1];
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
        return Fail("socketpair");
    }
    const pid_t program = fork();
    if (program < 0) {
        return Fail("fork");
    }
    if (program == 0) {
        close(pair[0]);
        const int listener = InstallFilter();
        if (listener < 0 || SendFd(pair[1], listener) != 0) {
            _exit(Fail("seccomp filter"));
        }
        close(listener);
        close(pair[1]);
        execvp(argv[3], argv + 3);
        _exit(Fail(argv[3]));
    }
    close(pair[1]);
    const int listener = ReceiveFd(pair[0]);
    close(pair[0]);
    if (listener >= 0) {
        const pid_t server = fork();
        if (server == 0) {
            setsid();
            const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
            if (null >= 0) {
                dup2(null, 0);
                dup2(null, 1);
            }
            Serve(listener, record);
        }
        close(listener);
    }
    int status = 0;
    while (waitpid(program, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
