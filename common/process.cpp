#include "common/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace {

SystemRunner system_runner = nullptr;

// Reads a decimal descriptor number from a directory entry name; -1 for "." and "..".
int EntryNumber(const char *name) {
    if (*name < '0' || *name > '9') {
        return -1;
    }
    int n = 0;
    for (; *name >= '0' && *name <= '9'; ++name) {
        if (n > (INT_MAX - 9) / 10) {
            return -1;
        }
        n = n * 10 + (*name - '0');
    }
    return *name == '\0' ? n : -1;
}

// Without /proc: every number up to the limit of open descriptors.
int CloseUpToLimit(int first) {
    struct rlimit limit {};
    long last = 1024;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        last = static_cast<long>(limit.rlim_cur);
    }
    for (long fd = first; fd < last; ++fd) {
        (void)close(static_cast<int>(fd));
    }
    return 0;
}

}  // namespace

int close_descriptors_walk(int first) {
    if (first < 0) {
        first = 0;
    }
    const int dir = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
        return CloseUpToLimit(first);
    }
    // Raw directory reads into a buffer on the stack: no allocation after fork. Closing while
    // reading is safe, the list is read by descriptor number.
    alignas(8) char buffer[4096];
    int result = 0;
    for (;;) {
        const long n = syscall(SYS_getdents64, dir, buffer, sizeof buffer);
        if (n < 0) {
            result = -1;
            break;
        }
        if (n == 0) {
            break;
        }
        for (long at = 0; at < n;) {
            const auto *entry = reinterpret_cast<const struct dirent64 *>(buffer + at);
            at += entry->d_reclen;
            const int fd = EntryNumber(entry->d_name);
            if (fd >= first && fd != dir && close(fd) != 0 && errno != EBADF) {
                result = -1;
            }
        }
    }
    (void)close(dir);
    return result;
}

int close_descriptors_from(int first) {
    if (first < 0) {
        first = 0;
    }
    if (close_range(static_cast<unsigned>(first), ~0U, 0) == 0) {
        return 0;
    }
    // ENOSYS on kernels before 5.9; anything else is walked the same way.
    return close_descriptors_walk(first);
}

int run_system(const char *command) {
    if (system_runner != nullptr) {
        return system_runner(command);
    }
    return std::system(command);
}

void set_system_runner(SystemRunner runner) {
    system_runner = runner;
}
