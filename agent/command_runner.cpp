// The command runner: a shell command with a time-out, for scripts whose run time the agent
// does not control. The shell is started with fork and exec so that the wait can be left
// safely when the alarm fires; the abandoned command runs on and is reaped when it ends.
#include <linux/close_range.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "agent/agent.h"

namespace {

sigjmp_buf jmpbuf;
volatile sig_atomic_t waiting = 0;  // the alarm may jump only while we wait for the child

// Starts "/bin/sh -c command" with no descriptor beyond 0-2 (the agent's socket and locks
// stay with the agent). The child's pid, or -1.
pid_t StartShell(const char *command) {
    pid_t pid = fork();
    if (pid != 0) {
        return pid;
    }
    // Child: default signal handling and mask as a fresh program expects.
    signal(SIGALRM, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    syscall(SYS_close_range, 3U, UINT_MAX, 0U);
    execl("/bin/sh", "sh", "-c", command, static_cast<char *>(nullptr));
    _exit(127);
}

int WaitFor(pid_t pid) {
    int status = 0;
    for (;;) {
        pid_t r = waitpid(pid, &status, 0);
        if (r == pid) {
            return status;
        }
        if (r < 0 && errno != EINTR) {
            return -1;
        }
    }
}

}  // namespace

void sig_alrm(int) {
    if (waiting != 0) {
        waiting = 0;
        siglongjmp(jmpbuf, 1);
    }
}

int ReapAbandoned() {
    int count = 0;
    int status = 0;
    while (waitpid(-1, &status, WNOHANG) > 0) {
        ++count;
    }
    return count;
}

int RunShell(const char *command) {
    ReapAbandoned();
    pid_t pid = StartShell(command);
    if (pid < 0) {
        return -1;
    }
    return WaitFor(pid);
}

int RunProgram(const char *path, const char *argument) {
    ReapAbandoned();
    pid_t pid = fork();
    if (pid < 0) {
        return -1;
    }
    if (pid == 0) {
        // A program of its own: new session, "/" as working directory, no descriptor of the
        // agent, default signal handling, and the usual file-creation mask (the agent's own is
        // 0, which would leave every file the program makes writable by all).
        setsid();
        if (chdir("/") != 0) {
            _exit(0);
        }
        umask(022);
        if (syscall(SYS_close_range, 0U, UINT_MAX, 0U) != 0) {
            for (int fd = 0; fd < 64; ++fd) {
                close(fd);
            }
        }
        signal(SIGALRM, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        signal(SIGHUP, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execl(path, path, argument, static_cast<char *>(nullptr));
        _exit(0);  // a program that cannot be started is no failure of the caller
    }
    return WaitFor(pid);
}

int mySystem(const char *command, unsigned seconds) {
    ReapAbandoned();
    struct sigaction sa = {};
    sa.sa_handler = sig_alrm;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGALRM, &sa, nullptr);

    // Started before the alarm: a fork is never interrupted half-way.
    pid_t pid = StartShell(command);
    if (pid < 0) {
        return -1;
    }
    if (sigsetjmp(jmpbuf, 1) != 0) {
        // The alarm fired while we waited; the command runs on.
        return kRunnerTimeout;
    }
    waiting = 1;
    alarm(seconds);
    int status = WaitFor(pid);
    waiting = 0;
    alarm(0);
    return status;
}
