// The file side of the configuration store: loading the file whole, the store's lock on the
// temporary file, and the completion of an interrupted change (protocol in cfg.h).
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "common/paths.h"
#include "config/cfg_internal.h"

static_assert(inplace::IsMarkOf(paths::kConfigMark, paths::kConfigTemp));

namespace cfg {

namespace {

constexpr int kLockWaitMs = 3000;
constexpr int kLockPollMs = 10;

// An exclusive flock of `fd`, waiting at most kLockWaitMs.
bool LockExclusive(int fd) {
    for (int waited = 0;; waited += kLockPollMs) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            return true;
        }
        if ((errno != EWOULDBLOCK && errno != EINTR) || waited >= kLockWaitMs) {
            return false;
        }
        struct timespec pause {
            0, kLockPollMs * 1000000L
        };
        (void)::nanosleep(&pause, nullptr);
    }
}

}  // namespace

int LoadFile(int fd, UniqueBuffer *out, std::size_t *size) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        return kCfgOpenFail;
    }
    // One byte more than the size, to see a file that grew meanwhile.
    std::size_t capacity = static_cast<std::size_t>(st.st_size) + 1;
    UniqueBuffer buf(capacity);
    if (!buf.ok()) {
        return kCfgNoMemory;
    }
    std::size_t done = 0;
    for (;;) {
        if (done == capacity) {
            UniqueBuffer bigger(capacity * 2);
            if (!bigger.ok()) {
                return kCfgNoMemory;
            }
            std::memcpy(bigger.get(), buf.get(), done);
            buf = std::move(bigger);
            capacity *= 2;
        }
        const ssize_t n = ::pread(fd, buf.get() + done, capacity - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return kCfgOpenFail;
        }
        const std::size_t asked = capacity - done;
        done += static_cast<std::size_t>(n);
        if (static_cast<std::size_t>(n) < asked) {
            break;  // a regular file reads short only at its end
        }
    }
    *out = std::move(buf);
    *size = done;
    return kCfgOk;
}

int StoreLock::Take(const char *temp_path, const struct stat &target) {
    fd_.reset(inplace::OpenCopy(temp_path, target));
    if (!fd_.valid()) {
        // A disk that is full, failing or read-only is a failed write, anything else a
        // temporary file that cannot be made.
        const bool disk = errno == ENOSPC || errno == EDQUOT || errno == EIO || errno == EROFS;
        return disk ? kCfgWriteFail : kCfgOpenFail;
    }
    if (!LockExclusive(fd_.get())) {
        fd_.reset();
        return kCfgLockFail;
    }
    return kCfgOk;
}

int RecoverStore(const char *temp_path, inplace::MarkRecord *pending) {
    if (!inplace::HasMark(temp_path)) {
        return kCfgOk;  // the usual case: one failed lookup
    }
    // The temporary file is also the lock; made (empty, private) if it went missing, so that
    // the mark can be judged under the lock like any other.
    UniqueFd temp(::open(temp_path, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    if (!temp.valid()) {
        return kCfgOk;  // no copy to trust; writers fail on it the same way
    }
    if (!LockExclusive(temp.get())) {
        return kCfgLockFail;
    }
    return inplace::Recover(temp.get(), temp_path, pending) == inplace::kPending ? 1 : kCfgOk;
}

}  // namespace cfg

int RecoverCFGData() {
    return cfg::RecoverStore(paths::kConfigTemp, nullptr);
}
