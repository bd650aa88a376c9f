// Preloaded (LD_PRELOAD) into the clock programs in tests: the time of day is a fixed fake
// one, and setting the clock only records the request. It never sets the real clock.
//
//   FAKE_CLOCK_NOW     the fake time, epoch seconds with an optional ".uuuuuu" fraction
//   FAKE_CLOCK_RECORD  file to which each set request appends "SECONDS.UUUUUU\n"
//   FAKE_CLOCK_FAIL    "1": set requests fail with EPERM (nothing recorded)
#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct FakeNow {
    long long seconds;
    long microseconds;
};

FakeNow ReadFakeNow() {
    FakeNow now{0, 0};
    const char *text = std::getenv("FAKE_CLOCK_NOW");
    if (text == nullptr) {
        return now;
    }
    char *end = nullptr;
    now.seconds = std::strtoll(text, &end, 10);
    if (end != nullptr && *end == '.') {
        long scale = 100000;
        for (const char *p = end + 1; *p >= '0' && *p <= '9' && scale > 0; ++p, scale /= 10) {
            now.microseconds += (*p - '0') * scale;
        }
    }
    return now;
}

int Record(long long seconds, long microseconds) {
    const char *fail = std::getenv("FAKE_CLOCK_FAIL");
    if (fail != nullptr && std::strcmp(fail, "1") == 0) {
        errno = EPERM;
        return -1;
    }
    const char *path = std::getenv("FAKE_CLOCK_RECORD");
    if (path != nullptr && *path != '\0') {
        int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0) {
            errno = EPERM;
            return -1;
        }
        char line[64];
        int n = std::snprintf(line, sizeof line, "%lld.%06ld\n", seconds, microseconds);
        bool ok = n > 0 && write(fd, line, static_cast<size_t>(n)) == n;
        close(fd);
        if (!ok) {
            errno = EPERM;
            return -1;
        }
    }
    return 0;
}

}  // namespace

extern "C" {

int gettimeofday(struct timeval *tv, void *tz) noexcept {
    FakeNow now = ReadFakeNow();
    tv->tv_sec = static_cast<time_t>(now.seconds);
    tv->tv_usec = static_cast<suseconds_t>(now.microseconds);
    if (tz != nullptr) {
        std::memset(tz, 0, sizeof(struct timezone));
    }
    return 0;
}

time_t time(time_t *out) noexcept {
    time_t t = static_cast<time_t>(ReadFakeNow().seconds);
    if (out != nullptr) {
        *out = t;
    }
    return t;
}

int clock_gettime(clockid_t clock, struct timespec *ts) noexcept {
    if (clock != CLOCK_REALTIME) {
        return static_cast<int>(syscall(SYS_clock_gettime, clock, ts));  // the real clocks
    }
    FakeNow now = ReadFakeNow();
    ts->tv_sec = static_cast<time_t>(now.seconds);
    ts->tv_nsec = now.microseconds * 1000;
    return 0;
}

int settimeofday(const struct timeval *tv, const struct timezone *) noexcept {
    if (tv == nullptr) {
        return 0;
    }
    return Record(static_cast<long long>(tv->tv_sec), static_cast<long>(tv->tv_usec));
}

int clock_settime(clockid_t, const struct timespec *ts) noexcept {
    return Record(static_cast<long long>(ts->tv_sec), ts->tv_nsec / 1000);
}

}  // extern "C"
