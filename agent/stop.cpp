// The SIGTERM stop. The handler only records the signal: the stop itself (close the socket,
// delete the lock file, log " Stop !", exit 15) uses the event log, stdio and the heap, which
// the main flow may be inside of at that instant, so it runs in the main flow at the next safe
// point (StopIfRequested): before and after each event-log entry, around every wait of the
// command runner, the configuration lock's retries and each turn of the service loop.
//
// The handler is installed without SA_RESTART, so a blocking call (receive, wait for a child,
// sleep, a write to the printer) returns with EINTR and its caller reaches a safe point. A
// signal that lands between the last check and the start of such a call would be missed; so
// the handler also starts a short repeating timer that sends SIGTERM again until the stop runs.
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include "agent/agent.h"
#include "common/event_log.h"
#include "common/paths.h"

int sno = -1;

namespace {

volatile sig_atomic_t stop_requested = 0;
volatile sig_atomic_t nudge_ready = 0;
timer_t nudge_timer;

constexpr long kNudgeNanoseconds = 100L * 1000L * 1000L;  // 100 ms

void SetNudge(long nanoseconds) {
    if (nudge_ready == 0) {
        return;
    }
    itimerspec period = {};
    period.it_value.tv_nsec = nanoseconds;
    period.it_interval.tv_nsec = nanoseconds;
    (void)timer_settime(nudge_timer, 0, &period, nullptr);  // async-signal-safe
}

}  // namespace

void die(int) {
    stop_requested = 1;
    SetNudge(kNudgeNanoseconds);
}

int InstallStopHandler() {
    struct sigaction sa = {};
    sa.sa_handler = die;
    sa.sa_flags = 0;  // no SA_RESTART: blocking calls return EINTR
    sigemptyset(&sa.sa_mask);
    return sigaction(SIGTERM, &sa, nullptr);
}

int StartStopNudge() {
    sigevent event = {};
    event.sigev_notify = SIGEV_SIGNAL;
    event.sigev_signo = SIGTERM;
    if (timer_create(CLOCK_MONOTONIC, &event, &nudge_timer) != 0) {
        return -1;
    }
    nudge_ready = 1;
    if (stop_requested != 0) {
        SetNudge(kNudgeNanoseconds);  // the signal came before the timer existed
    }
    return 0;
}

bool StopRequested() {
    return stop_requested != 0;
}

void StopIfRequested() {
    if (stop_requested == 0) {
        return;
    }
    // Nothing may interrupt the stop itself: no further SIGTERM, no time-out of the runner.
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGTERM);
    sigaddset(&block, SIGALRM);
    (void)sigprocmask(SIG_BLOCK, &block, nullptr);
    SetNudge(0);
    alarm(0);
    if (sno >= 0) {
        close(sno);
        sno = -1;
    }
    unlink(paths::kAgentLock);
    SetLogMsg(paths::kAgentName, " Stop !");
    _exit(SIGTERM);
}
