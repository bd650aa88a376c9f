// A shim of the calls that change files, linked into test programs or preloaded (LD_PRELOAD)
// into the programs they start: write, pwrite, writev, pwritev, ftruncate, fsync, fdatasync,
// unlink and unlinkat are counted, and one of them can fail or crash the process, for the files
// under one watched folder only (all other calls pass straight through). Not instrumented, so
// that it can be preloaded into sanitizer builds.
//
// Linked: see io_shim.h. Preloaded, from the environment:
//   IO_SHIM_WATCH   the folder watched
//   IO_SHIM_FAULT   "N:ACTION": the Nth watched call fails (ACTION enospc, eio, short) or
//                   crashes the process (kill)
//   IO_SHIM_REPORT  file that receives the counts at exit: "writes W truncates T syncs S
//                   unlinks U\n"
#include "tests/support/io_shim/io_shim.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

char watched[4096];
std::size_t watched_length = 0;
IoShimCounts counts{};
int calls = 0;  // watched calls so far
int fault_nth = 0;
int fault_action = kIoShimNone;
int fault_met = 0;
int short_pending = 0;  // after a short write: the next watched write fails

template <typename F>
F Real(const char *name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

bool Under(const char *path) {
    if (watched_length == 0 || path == nullptr) {
        return false;
    }
    return std::strncmp(path, watched, watched_length) == 0 &&
           (path[watched_length] == '\0' || path[watched_length] == '/');
}

bool Watched(int fd) {
    if (watched_length == 0) {
        return false;
    }
    char link[64];
    char path[4096];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, path, sizeof path - 1);
    if (n <= 0) {
        return false;
    }
    path[n] = '\0';
    return Under(path);
}

// Counts a watched call; the action it is to take (kIoShimNone: do it as asked).
int Count(int *counter) {
    ++*counter;
    ++calls;
    if (short_pending != 0) {
        short_pending = 0;
        return kIoShimNoSpace;
    }
    if (fault_nth > 0 && calls == fault_nth) {
        fault_met = 1;
        return fault_action;
    }
    return kIoShimNone;
}

// Before a call that writes nothing (truncate, sync, unlink): -1 with errno set when it is to
// fail, else 0.
int Before(int action) {
    switch (action) {
        case kIoShimKill:
            kill(getpid(), SIGKILL);
            return 0;
        case kIoShimNoSpace:
        case kIoShimShort:
            errno = ENOSPC;
            return -1;
        case kIoShimIoError:
            errno = EIO;
            return -1;
        default:
            return 0;
    }
}

void ReadEnvironment() {
    const char *folder = std::getenv("IO_SHIM_WATCH");
    if (folder != nullptr && *folder != '\0') {
        io_shim_watch(folder);
    }
    const char *fault = std::getenv("IO_SHIM_FAULT");
    if (fault != nullptr) {
        char *end = nullptr;
        const long nth = std::strtol(fault, &end, 10);
        if (end != nullptr && *end == ':') {
            const char *a = end + 1;
            const int action = std::strcmp(a, "enospc") == 0  ? kIoShimNoSpace
                               : std::strcmp(a, "eio") == 0   ? kIoShimIoError
                               : std::strcmp(a, "short") == 0 ? kIoShimShort
                               : std::strcmp(a, "kill") == 0  ? kIoShimKill
                                                              : kIoShimNone;
            io_shim_fault(static_cast<int>(nth), action);
        }
    }
}

__attribute__((constructor)) void Start() {
    ReadEnvironment();
}

__attribute__((destructor)) void Report() {
    const char *path = std::getenv("IO_SHIM_REPORT");
    if (path == nullptr || *path == '\0') {
        return;
    }
    char text[128];
    const int n = std::snprintf(text, sizeof text, "writes %d truncates %d syncs %d unlinks %d\n",
                                counts.writes, counts.truncates, counts.syncs, counts.unlinks);
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
        static auto real_write = Real<ssize_t (*)(int, const void *, size_t)>("write");
        (void)!real_write(fd, text, static_cast<size_t>(n));
        close(fd);
    }
}

// A write of `size` bytes under `action`: the count to write now, or -1 with errno set.
ssize_t WriteSize(int action, size_t size) {
    switch (action) {
        case kIoShimNoSpace:
            errno = ENOSPC;
            return -1;
        case kIoShimIoError:
            errno = EIO;
            return -1;
        case kIoShimShort:
            short_pending = 1;
            return static_cast<ssize_t>(size / 2);
        case kIoShimKill:
            return static_cast<ssize_t>(size / 2);
        default:
            return static_cast<ssize_t>(size);
    }
}

// The vector cut to `bytes` into out (at most 64 entries); the number of entries.
int CutVector(const struct iovec *iov, int count, size_t bytes, struct iovec *out) {
    int n = 0;
    for (int i = 0; i < count && n < 64 && bytes > 0; ++i) {
        out[n] = iov[i];
        if (out[n].iov_len > bytes) {
            out[n].iov_len = bytes;
        }
        bytes -= out[n].iov_len;
        ++n;
    }
    return n;
}

size_t VectorSize(const struct iovec *iov, int count) {
    size_t total = 0;
    for (int i = 0; i < count; ++i) {
        total += iov[i].iov_len;
    }
    return total;
}

void AfterWrite(int action) {
    if (action == kIoShimKill) {
        kill(getpid(), SIGKILL);
    }
}

// A watched write of `size` bytes: counted, and failed, cut short or followed by a crash as
// the fault asks. write(bytes, n) is the real call.
template <typename Write>
ssize_t WatchedWrite(int fd, size_t size, Write write) {
    if (!Watched(fd)) {
        return write(size);
    }
    const int action = Count(&counts.writes);
    const ssize_t n = WriteSize(action, size);
    if (n < 0) {
        return -1;
    }
    const ssize_t done = write(static_cast<size_t>(n));
    AfterWrite(action);
    return done;
}

// The same for a vector of buffers: write(iov, count) is the real call.
template <typename Write>
ssize_t WatchedWriteVector(int fd, const struct iovec *iov, int count, Write write) {
    if (!Watched(fd)) {
        return write(iov, count);
    }
    const int action = Count(&counts.writes);
    const ssize_t n = WriteSize(action, VectorSize(iov, count));
    if (n < 0) {
        return -1;
    }
    struct iovec cut[64];
    const int parts = CutVector(iov, count, static_cast<size_t>(n), cut);
    const ssize_t done = parts > 0 ? write(cut, parts) : 0;
    AfterWrite(action);
    return done;
}

}  // namespace

extern "C" {

void io_shim_watch(const char *folder) {
    watched_length = 0;
    if (folder != nullptr) {
        std::snprintf(watched, sizeof watched, "%s", folder);
        watched_length = std::strlen(watched);
        while (watched_length > 1 && watched[watched_length - 1] == '/') {
            watched[--watched_length] = '\0';
        }
    }
    counts = IoShimCounts{};
    calls = 0;
    fault_nth = 0;
    fault_action = kIoShimNone;
    fault_met = 0;
    short_pending = 0;
}

void io_shim_fault(int nth, int action) {
    fault_nth = nth > 0 ? calls + nth : 0;
    fault_action = action;
    fault_met = 0;
    short_pending = 0;
}

IoShimCounts io_shim_counts(void) {
    return counts;
}

int io_shim_fault_met(void) {
    return fault_met;
}

ssize_t write(int fd, const void *buf, size_t size) {
    static auto real = Real<ssize_t (*)(int, const void *, size_t)>("write");
    return WatchedWrite(fd, size, [&](size_t n) { return real(fd, buf, n); });
}

// pwrite and pwritev, and their variants with 64-bit offsets (what programs built with 64-bit
// file offsets call on a 32-bit CPU; the same functions on a 64-bit one).
ssize_t pwrite(int fd, const void *buf, size_t size, off_t offset) {
    static auto real = Real<ssize_t (*)(int, const void *, size_t, off_t)>("pwrite");
    return WatchedWrite(fd, size, [&](size_t n) { return real(fd, buf, n, offset); });
}

ssize_t pwrite64(int fd, const void *buf, size_t size, off64_t offset) {
    static auto real = Real<ssize_t (*)(int, const void *, size_t, off64_t)>("pwrite64");
    return WatchedWrite(fd, size, [&](size_t n) { return real(fd, buf, n, offset); });
}

ssize_t pwritev(int fd, const struct iovec *iov, int count, off_t offset) {
    static auto real = Real<ssize_t (*)(int, const struct iovec *, int, off_t)>("pwritev");
    return WatchedWriteVector(fd, iov, count,
                              [&](const struct iovec *v, int c) { return real(fd, v, c, offset); });
}

ssize_t pwritev64(int fd, const struct iovec *iov, int count, off64_t offset) {
    static auto real = Real<ssize_t (*)(int, const struct iovec *, int, off64_t)>("pwritev64");
    return WatchedWriteVector(fd, iov, count,
                              [&](const struct iovec *v, int c) { return real(fd, v, c, offset); });
}

ssize_t writev(int fd, const struct iovec *iov, int count) {
    static auto real = Real<ssize_t (*)(int, const struct iovec *, int)>("writev");
    return WatchedWriteVector(fd, iov, count,
                              [&](const struct iovec *v, int c) { return real(fd, v, c); });
}

int ftruncate(int fd, off_t length) {
    static auto real = Real<int (*)(int, off_t)>("ftruncate");
    if (Watched(fd) && Before(Count(&counts.truncates)) != 0) {
        return -1;
    }
    return real(fd, length);
}

int ftruncate64(int fd, off64_t length) {
    static auto real = Real<int (*)(int, off64_t)>("ftruncate64");
    if (Watched(fd) && Before(Count(&counts.truncates)) != 0) {
        return -1;
    }
    return real(fd, length);
}

int fsync(int fd) {
    static auto real = Real<int (*)(int)>("fsync");
    if (Watched(fd) && Before(Count(&counts.syncs)) != 0) {
        return -1;
    }
    return real(fd);
}

int fdatasync(int fd) {
    static auto real = Real<int (*)(int)>("fdatasync");
    if (Watched(fd) && Before(Count(&counts.syncs)) != 0) {
        return -1;
    }
    return real(fd);
}

int unlink(const char *path) {
    static auto real = Real<int (*)(const char *)>("unlink");
    if (Under(path) && Before(Count(&counts.unlinks)) != 0) {
        return -1;
    }
    return real(path);
}

int unlinkat(int dirfd, const char *path, int flags) {
    static auto real = Real<int (*)(int, const char *, int)>("unlinkat");
    if (Under(path) && Before(Count(&counts.unlinks)) != 0) {
        return -1;
    }
    return real(dirfd, path, flags);
}

}  // extern "C"
