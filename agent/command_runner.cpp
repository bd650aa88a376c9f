// The command runner: every child process of the agent and every wait for one.
//
// Shell commands are started with fork and exec so that a wait can be left safely: when the
// alarm of mySystem fires the command is abandoned (it runs on and is reaped when it ends), and
// a SIGTERM during any wait stops the agent at that point (WaitForChild is a safe point).
#include <setjmp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "agent/agent.h"
#include "common/process.h"

namespace {

sigjmp_buf jmpbuf;
volatile sig_atomic_t waiting = 0;  // the alarm may jump only while we wait for the child

// Starts "/bin/sh -c command". The child's pid, or -1.
pid_t StartShell(const char *command) {
    pid_t pid = fork();
    if (pid != 0) {
        return pid;
    }
    PrepareChild(3);
    execl("/bin/sh", "sh", "-c", command, static_cast<char *>(nullptr));
    _exit(127);
}

}  // namespace

void PrepareChild(int first_closed) {
    // The daemon's mask is 0 so that its own files get exactly the modes it asks for; what a
    // script or program creates gets the usual 022.
    umask(kChildUmask);
    signal(SIGALRM, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // The agent's socket, locks and logs stay with the agent.
    (void)close_descriptors_from(first_closed);
}

int WaitForChild(pid_t pid) {
    int status = 0;
    for (;;) {
        StopIfRequested();
        pid_t r = waitpid(pid, &status, 0);
        if (r == pid) {
            return status;
        }
        if (r < 0 && errno != EINTR) {
            return -1;
        }
    }
}

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
    return WaitForChild(pid);
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
        signal(SIGHUP, SIG_DFL);
        PrepareChild(0);
        execl(path, path, argument, static_cast<char *>(nullptr));
        _exit(0);  // a program that cannot be started is no failure of the caller
    }
    return WaitForChild(pid);
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
    // The stop at a safe point inside the wait blocks SIGALRM first, so the alarm cannot
    // jump out of the stop.
    int status = WaitForChild(pid);
    waiting = 0;
    alarm(0);
    return status;
}
