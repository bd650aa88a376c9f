#include "tests/support/crash_runner.h"

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

bool RunAndKill(const std::function<void()> &writer, std::mt19937 &rng, int max_delay_us) {
    const pid_t pid = fork();
    if (pid < 0) {
        return false;
    }
    if (pid == 0) {
        writer();
        _exit(0);
    }
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

}  // namespace crash
