#include "tests/support/crash_runner.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace crash {

int KillCount(int fallback) {
    const char *text = std::getenv("CRASH_KILLS");
    if (text == nullptr || *text == '\0') {
        return fallback;
    }
    const int n = std::atoi(text);
    return n > 0 ? n : fallback;
}

std::mt19937 Generator() {
    const char *text = std::getenv("CRASH_SEED");
    unsigned seed = 0;
    if (text != nullptr && *text != '\0') {
        seed = static_cast<unsigned>(std::strtoul(text, nullptr, 10));
    } else {
        struct timespec now {};
        clock_gettime(CLOCK_REALTIME, &now);
        seed = static_cast<unsigned>(now.tv_nsec ^ now.tv_sec);
    }
    std::printf("crash test seed: CRASH_SEED=%u\n", seed);
    return std::mt19937(seed);
}

namespace {

// Kills the writer `pid` after a random delay; true when the kill ended it.
bool KillLater(pid_t pid, std::mt19937 &rng, int max_delay_us) {
    std::uniform_int_distribution<long> delay(0, max_delay_us);
    const long us = delay(rng);
    struct timespec pause {
        us / 1000000, (us % 1000000) * 1000
    };
    nanosleep(&pause, nullptr);
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

}  // namespace

bool RunAndKill(const std::function<void()> &writer, std::mt19937 &rng, int max_delay_us) {
    const pid_t pid = fork();
    if (pid < 0) {
        return false;
    }
    if (pid == 0) {
        writer();
        _exit(0);
    }
    return KillLater(pid, rng, max_delay_us);
}

bool RunAndKill(const std::vector<std::string> &argv, std::mt19937 &rng, int max_delay_us) {
    std::vector<char *> args;
    for (const std::string &a : argv) {
        args.push_back(const_cast<char *>(a.c_str()));
    }
    args.push_back(nullptr);
    int ready[2];
    if (argv.empty() || pipe2(ready, O_CLOEXEC) != 0) {
        return false;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(ready[1], STDOUT_FILENO);
        execv(args[0], args.data());
        _exit(127);
    }
    close(ready[1]);
    char c = 0;
    const bool started = pid > 0 && read(ready[0], &c, 1) == 1;
    close(ready[0]);
    if (pid < 0) {
        return false;
    }
    if (!started) {
        int status = 0;
        waitpid(pid, &status, 0);
        return false;
    }
    return KillLater(pid, rng, max_delay_us);
}

}  // namespace crash
