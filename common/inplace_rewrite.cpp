// The crash-safe in-place rewrite (protocol in inplace_rewrite.h).
#include "common/inplace_rewrite.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/scoped.h"

namespace inplace {

namespace {

// Writes size bytes at `offset`, through short writes and interruptions. False on any error
// (a write that makes no progress counts as the disk being full).
bool WriteAt(int fd, const unsigned char *data, std::size_t size, off_t offset) {
    while (size > 0) {
        const ssize_t n = ::pwrite(fd, data, size, offset);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n == 0) {
                errno = ENOSPC;
            }
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
        offset += n;
    }
    return true;
}

// Reads up to size bytes from `offset` (to the end of the file); the count, or -1.
ssize_t ReadAt(int fd, unsigned char *data, std::size_t size, off_t offset) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd, data + done, size - done, offset + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return -1;
        }
        if (n == 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

std::size_t TotalSize(const Piece *pieces, int count) {
    std::size_t total = 0;
    for (int i = 0; i < count; ++i) {
        total += pieces[i].size;
    }
    return total;
}

// The length of the common beginning of a[n] and b[n] (memcmp over blocks, then bytes).
std::size_t MatchLength(const unsigned char *a, const unsigned char *b, std::size_t n) {
    constexpr std::size_t kBlock = 256;
    std::size_t i = 0;
    while (i + kBlock <= n && std::memcmp(a + i, b + i, kBlock) == 0) {
        i += kBlock;
    }
    while (i < n && a[i] == b[i]) {
        ++i;
    }
    return i;
}

// The length of the common beginning of old[old_size] and the pieces.
std::size_t CommonPrefix(const unsigned char *old, std::size_t old_size, const Piece *pieces,
                         int count) {
    std::size_t done = 0;
    for (int i = 0; i < count && done < old_size; ++i) {
        const std::size_t n = pieces[i].size < old_size - done ? pieces[i].size : old_size - done;
        const std::size_t same = MatchLength(pieces[i].data, old + done, n);
        done += same;
        if (same < pieces[i].size) {
            break;
        }
    }
    return done;
}

// Writes the pieces from byte `from` of their concatenation on, at that offset (one pwritev
// for all of them unless the writes come back short).
bool WritePiecesFrom(int fd, const Piece *pieces, int count, std::size_t from) {
    constexpr int kMaxPieces = 8;
    struct iovec iov[kMaxPieces];
    int n = 0;
    std::size_t start = 0;  // offset of the current piece
    for (int i = 0; i < count; ++i) {
        const std::size_t end = start + pieces[i].size;
        if (end > from) {
            const std::size_t skip = from > start ? from - start : 0;
            if (n == kMaxPieces) {
                return false;
            }
            iov[n].iov_base = const_cast<unsigned char *>(pieces[i].data + skip);
            iov[n].iov_len = pieces[i].size - skip;
            ++n;
        }
        start = end;
    }
    off_t offset = static_cast<off_t>(from);
    struct iovec *v = iov;
    while (n > 0) {
        const ssize_t done = ::pwritev(fd, v, n, offset);
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done <= 0) {
            if (done == 0) {
                errno = ENOSPC;
            }
            return false;
        }
        offset += done;
        auto left = static_cast<std::size_t>(done);
        while (n > 0 && left >= v->iov_len) {
            left -= v->iov_len;
            ++v;
            --n;
        }
        if (n > 0) {
            v->iov_base = static_cast<unsigned char *>(v->iov_base) + left;
            v->iov_len -= left;
        }
    }
    return true;
}

// Gives the file the target's owner (where allowed) and `mode`.
bool TakeOwnerAndMode(int fd, const struct stat &st, uid_t uid, gid_t gid, mode_t mode) {
    if ((st.st_uid != uid || st.st_gid != gid) && ::fchown(fd, uid, gid) != 0 && errno != EPERM) {
        return false;  // not ours to give away (EPERM) is fine: the file stays the caller's
    }
    return (st.st_mode & 07777) == mode || ::fchmod(fd, mode) == 0;
}

// fsync of the folder that holds `path`.
bool SyncFolder(const char *path) {
    char folder[PATH_MAX];
    const char *slash = std::strrchr(path, '/');
    if (slash == nullptr) {
        folder[0] = '.';
        folder[1] = '\0';
    } else {
        std::size_t n = static_cast<std::size_t>(slash - path);
        if (n == 0) {
            n = 1;  // the root folder
        }
        if (n >= sizeof folder) {
            return false;
        }
        std::memcpy(folder, path, n);
        folder[n] = '\0';
    }
    UniqueFd fd(::open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return fd.valid() && ::fsync(fd.get()) == 0;
}

// Empties the open mark, durably (step 4). False when its record may stay.
bool EmptyMark(int fd) {
    return ::ftruncate(fd, 0) == 0 && ::fsync(fd) == 0;
}

// Drops whatever is at the mark's place: an empty regular file stays empty, anything else
// (a link, a file of several links...) is removed.
bool DropMark(const char *mark) {
    UniqueFd fd(::open(mark, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (fd.valid() && ::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1) {
        return st.st_size == 0 || EmptyMark(fd.get());
    }
    if (!fd.valid() && errno == ENOENT) {
        return true;
    }
    return ::unlink(mark) == 0 && SyncFolder(mark);
}

// Opens the temporary file or the mark at `path` for reading and writing, as a file that only
// the target's owner can write: never through a symbolic link, a regular file of one link.
// One that others can write (group or other write bits, another owner) is replaced by a fresh
// file, so that no descriptor opened while they could reaches the new one. A file made here
// has its name made durable. The descriptor, or -1.
int OpenPrivate(const char *path, const struct stat &target) {
    const mode_t mode = CopyMode(target.st_mode);
    constexpr int kFlags = O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    UniqueFd fd(::open(path, kFlags));
    struct stat st {};
    if (fd.valid()) {
        if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
            return -1;
        }
        const bool others_write = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0 ||
                                  (st.st_uid != target.st_uid && st.st_uid != ::geteuid());
        if (!others_write) {
            return TakeOwnerAndMode(fd.get(), st, target.st_uid, target.st_gid, mode) ? fd.release()
                                                                                      : -1;
        }
        fd.reset();
        if (::unlink(path) != 0) {
            return -1;
        }
    } else if (errno != ENOENT) {
        return -1;
    }
    fd.reset(::open(path, kFlags | O_CREAT | O_EXCL, mode));
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0 ||
        !TakeOwnerAndMode(fd.get(), st, target.st_uid, target.st_gid, mode) || !SyncFolder(path)) {
        return -1;
    }
    return fd.release();
}

// Opens the mark for writing, empty (see OpenPrivate). The descriptor, or -1.
int OpenMark(const char *mark, const struct stat &target) {
    UniqueFd fd(OpenPrivate(mark, target));
    struct stat st {};
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0 ||
        (st.st_size != 0 && ::ftruncate(fd.get(), 0) != 0)) {
        return -1;
    }
    return fd.release();
}

// Step 2: the record in the open mark, durable, for a copy of `size` bytes of the target.
bool WriteMark(int fd, const struct stat &target, const char *target_path, std::size_t size) {
    char record[PATH_MAX + 80];
    const int n = std::snprintf(record, sizeof record, "%zu %llu %llu %s\n", size,
                                static_cast<unsigned long long>(target.st_dev),
                                static_cast<unsigned long long>(target.st_ino), target_path);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof record) {
        return false;
    }
    // The mark is empty (OpenMark): the record is its whole contents.
    return WriteAt(fd, reinterpret_cast<const unsigned char *>(record), static_cast<std::size_t>(n),
                   0) &&
           ::fsync(fd) == 0;
}

// Parses "<size> <device> <inode> <path>\n" (the whole mark); false when it is not that.
bool ParseRecord(const char *text, std::size_t length, MarkRecord *record) {
    if (length == 0 || text[length - 1] != '\n') {
        return false;  // torn
    }
    unsigned long long numbers[3];
    const char *p = text;
    for (unsigned long long &number : numbers) {
        if (*p < '0' || *p > '9') {
            return false;
        }
        char *end = nullptr;
        errno = 0;
        number = std::strtoull(p, &end, 10);
        if (errno != 0 || end == nullptr || *end != ' ') {
            return false;
        }
        p = end + 1;
    }
    const std::size_t path_length = static_cast<std::size_t>(text + length - 1 - p);
    if (*p != '/' || path_length >= sizeof record->path ||
        std::memchr(p, '\0', path_length) != nullptr) {
        return false;
    }
    record->size = numbers[0];
    record->device = numbers[1];
    record->inode = numbers[2];
    std::memcpy(record->path, p, path_length);
    record->path[path_length] = '\0';
    return true;
}

// Reads the mark: 1 a whole record, 0 no record (no mark, or an empty one), -1 anything else.
int ReadMark(const char *mark, MarkRecord *record) {
    UniqueFd fd(::open(mark, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) {
        return errno == ENOENT ? 0 : -1;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
        return -1;
    }
    if (st.st_size == 0) {
        return 0;
    }
    char text[PATH_MAX + 80];
    const ssize_t n = ReadAt(fd.get(), reinterpret_cast<unsigned char *>(text), sizeof text - 1, 0);
    if (n <= 0 || !ParseRecord(text, static_cast<std::size_t>(n), record)) {
        return -1;
    }
    return 1;
}

// Copies the trusted copy (temp_fd, record.size bytes) into the marked target. kRecovered when
// done or when the target is not the one marked (the mark is then dropped), else kPending.
int CopyBack(int temp_fd, const MarkRecord &record) {
    UniqueFd target(::open(record.path, O_RDWR | O_NOFOLLOW | O_CLOEXEC));
    if (!target.valid()) {
        return errno == ENOENT || errno == ELOOP ? kRecovered : kPending;
    }
    struct stat st {};
    if (::fstat(target.get(), &st) != 0) {
        return kPending;
    }
    if (!S_ISREG(st.st_mode) || static_cast<unsigned long long>(st.st_dev) != record.device ||
        static_cast<unsigned long long>(st.st_ino) != record.inode) {
        return kRecovered;  // another file is there now: not ours to overwrite
    }
    const std::size_t size = static_cast<std::size_t>(record.size);
    const std::size_t old_size = static_cast<std::size_t>(st.st_size);
    UniqueBuffer copy(size);
    UniqueBuffer old(old_size);
    if (!copy.ok() || !old.ok() ||
        ReadAt(temp_fd, copy.get(), size, 0) != static_cast<ssize_t>(size)) {
        return kPending;
    }
    const ssize_t have = ReadAt(target.get(), old.get(), old_size, 0);
    if (have < 0) {
        return kPending;
    }
    const Piece piece{copy.get(), size};
    const std::size_t from = CommonPrefix(old.get(), static_cast<std::size_t>(have), &piece, 1);
    if (from == size && static_cast<std::size_t>(have) == size) {
        return kRecovered;  // already whole (the mark's removal was lost)
    }
    if (!WritePiecesFrom(target.get(), &piece, 1, from) ||
        ::ftruncate(target.get(), static_cast<off_t>(size)) != 0 || ::fsync(target.get()) != 0) {
        return kPending;
    }
    return kRecovered;
}

}  // namespace

bool MarkPath(const char *temp_path, char *out, std::size_t size) {
    const int n = std::snprintf(out, size, "%s%s", temp_path, kMarkSuffix);
    return n > 0 && static_cast<std::size_t>(n) < size;
}

bool HasMark(const char *temp_path) {
    char mark[PATH_MAX];
    struct stat st {};
    if (!MarkPath(temp_path, mark, sizeof mark)) {
        return false;
    }
    if (::lstat(mark, &st) != 0) {
        return errno != ENOENT;
    }
    return !S_ISREG(st.st_mode) || st.st_size != 0;
}

mode_t CopyMode(mode_t target_mode) {
    return target_mode & 0666 & ~static_cast<mode_t>(S_IWGRP | S_IWOTH);
}

int OpenCopy(const char *temp_path, const struct stat &target) {
    return OpenPrivate(temp_path, target);
}

int Commit(int target_fd, const char *target_path, int temp_fd, const char *temp_path,
           const unsigned char *old, std::size_t old_size, const Piece *pieces, int count) {
    char mark[PATH_MAX];
    char resolved[PATH_MAX];
    struct stat target {};
    if (!MarkPath(temp_path, mark, sizeof mark) || ::fstat(target_fd, &target) != 0) {
        return kCopyFail;
    }
    if (target_path[0] != '/') {
        if (::realpath(target_path, resolved) == nullptr) {
            return kCopyFail;
        }
        target_path = resolved;
    }
    const std::size_t size = TotalSize(pieces, count);

    // 1. The complete copy, on disk.
    if (!WritePiecesFrom(temp_fd, pieces, count, 0) ||
        ::ftruncate(temp_fd, static_cast<off_t>(size)) != 0 || ::fsync(temp_fd) != 0) {
        return kCopyFail;
    }
    // 2. Marked complete.
    UniqueFd mark_fd(OpenMark(mark, target));
    if (!mark_fd.valid()) {
        return kCopyFail;
    }
    if (!WriteMark(mark_fd.get(), target, target_path, size)) {
        (void)EmptyMark(mark_fd.get());
        return kCopyFail;
    }
    // 3. The target in place, from its first changed byte.
    const std::size_t from = CommonPrefix(old, old_size, pieces, count);
    const bool written =
        WritePiecesFrom(target_fd, pieces, count, from) &&
        (size >= old_size || ::ftruncate(target_fd, static_cast<off_t>(size)) == 0) &&
        ::fsync(target_fd) == 0;
    if (!written) {
        // Back to the old contents; if even that fails, the record stays for the next recovery.
        const unsigned char *rest = old_size > from ? old + from : nullptr;
        if (WriteAt(target_fd, rest, old_size - from, static_cast<off_t>(from)) &&
            ::ftruncate(target_fd, static_cast<off_t>(old_size)) == 0 && ::fsync(target_fd) == 0) {
            (void)EmptyMark(mark_fd.get());
        }
        return kTargetFail;
    }
    // 4. The record goes; the rewrite is complete even if that fails (recovery finds it whole).
    (void)EmptyMark(mark_fd.get());
    return kOk;
}

int Recover(int temp_fd, const char *temp_path, MarkRecord *pending) {
    char mark[PATH_MAX];
    if (!MarkPath(temp_path, mark, sizeof mark)) {
        return kRecovered;
    }
    MarkRecord record{};
    const int found = ReadMark(mark, &record);
    if (found == 0) {
        return kRecovered;
    }
    struct stat st {};
    const bool trusted = found == 1 && temp_fd >= 0 && ::fstat(temp_fd, &st) == 0 &&
                         S_ISREG(st.st_mode) && st.st_nlink == 1 && record.size > 0 &&
                         static_cast<unsigned long long>(st.st_size) == record.size;
    if (trusted && CopyBack(temp_fd, record) == kPending) {
        if (pending != nullptr) {
            *pending = record;
        }
        return kPending;
    }
    (void)DropMark(mark);
    return kRecovered;
}

namespace {

constexpr int kLockPollMs = 10;

// An exclusive flock of `fd`, waited for at most kLockWaitMs.
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

int Lock::Take(const char *temp_path, const struct stat &target) {
    fd_.reset(OpenCopy(temp_path, target));
    if (!fd_.valid()) {
        const bool disk = errno == ENOSPC || errno == EDQUOT || errno == EIO || errno == EROFS;
        return disk ? kLockDiskFail : kLockOpenFail;
    }
    if (!LockExclusive(fd_.get())) {
        fd_.reset();
        return kLockBusy;
    }
    return kLocked;
}

int RecoverPending(const char *temp_path, MarkRecord *pending) {
    if (!HasMark(temp_path)) {
        return kRecovered;
    }
    // TEMP is also the lock; made (empty, private) if it went missing, so that the mark can be
    // judged under the lock like any other.
    UniqueFd temp(::open(temp_path, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    if (!temp.valid()) {
        // No copy to trust (a link, a folder...), and no writer can use it either: the record
        // goes, so that it never vouches for a copy put there later.
        return Recover(-1, temp_path, pending);
    }
    if (!LockExclusive(temp.get())) {
        return kBusy;
    }
    return Recover(temp.get(), temp_path, pending);
}

int ReadWhole(int fd, UniqueBuffer *out, std::size_t *size) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        return kReadFail;
    }
    // One byte more than the size, to see a file that grew meanwhile.
    std::size_t capacity = static_cast<std::size_t>(st.st_size) + 1;
    UniqueBuffer buf(capacity);
    if (!buf.ok()) {
        return kReadNoMemory;
    }
    std::size_t done = 0;
    for (;;) {
        if (done == capacity) {
            UniqueBuffer bigger(capacity * 2);
            if (!bigger.ok()) {
                return kReadNoMemory;
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
            return kReadFail;
        }
        const std::size_t asked = capacity - done;
        done += static_cast<std::size_t>(n);
        if (static_cast<std::size_t>(n) < asked) {
            break;  // a regular file reads short only at its end
        }
    }
    *out = std::move(buf);
    *size = done;
    return kRead;
}

}  // namespace inplace
