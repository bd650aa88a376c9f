// The event log: newest entry first, at most 1000 lines, one rewrite per entry.
//
// Each entry is a crash-safe rewrite of the log in place (common/inplace_rewrite.h): the new
// contents go to "/var/log/DS_log.tmp", which the mark "/var/log/DS_log.tmp.mark" declares
// complete while the log is overwritten; the next call, under the log's lock, completes a
// rewrite that was interrupted. So an entry interrupted at any instant leaves every old entry,
// in order, with the new one or without it. Beyond the text:
// - The log is read whole into a buffer sized to it and written in blocks; the lines kept are
//   the text's: the new entry, then up to 999 pieces of the old log as the 126-byte line
//   reads cut it (a line of up to 125 characters and its line feed is one piece).
// - A failure while the log is written back restores its old contents (-2); nothing is lost.
// - The log, its temporary file and the mark are opened without following symbolic links and
//   must be regular files with one link. The temporary file and the mark take the log's owner
//   and permission bits less write for group and others (0644 for a log the call creates).
#include "common/event_log.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "common/event_log_internal.h"
#include "common/inplace_rewrite.h"
#include "common/paths.h"
#include "common/scoped.h"

static_assert(inplace::IsMarkOf(paths::kEventLogMark, paths::kEventLogTemp));

namespace {

constexpr int kLineBufferSize = 128;
constexpr std::size_t kPieceMax = 125;  // the line read: 126 bytes with the terminator
constexpr int kDateTimeSize = 12;
constexpr int kLockTries = 3;
constexpr mode_t kLogMode = 0644;

// Opens the log for reading and writing; a missing log is created with mode 0644 whatever
// the umask. Never through a symbolic link; only a regular file of one link.
int OpenLog(const char *path) {
    constexpr int kFlags = O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    UniqueFd fd(::open(path, kFlags));
    if (!fd.valid() && errno == ENOENT) {
        fd.reset(::open(path, kFlags | O_CREAT | O_EXCL, kLogMode));
        if (fd.valid() && ::fchmod(fd.get(), kLogMode) != 0) {
            // The file exists and is ours; with the umask's bits it is still usable.
        }
    }
    struct stat st {};
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
        return -1;
    }
    return fd.release();
}

// Exclusive lock, three non-blocking tries one second apart.
bool LockLog(int fd) {
    for (int attempt = 0; attempt < kLockTries; ++attempt) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            return true;
        }
        if (errno != EWOULDBLOCK) {
            return false;
        }
        ::sleep(1);
    }
    return false;
}

// The whole log (of status `st`) into a buffer sized to it. False on a read error or without
// memory.
bool ReadLog(int fd, const struct stat &st, UniqueBuffer *out, std::size_t *size) {
    const auto want = static_cast<std::size_t>(st.st_size);
    UniqueBuffer buf(want);
    if (!buf.ok()) {
        return false;
    }
    std::size_t done = 0;
    while (done < want) {
        const ssize_t n = ::pread(fd, buf.get() + done, want - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return false;
        }
        if (n == 0) {
            break;  // it shrank meanwhile
        }
        done += static_cast<std::size_t>(n);
    }
    *out = std::move(buf);
    *size = done;
    return true;
}

// The length of the old log's beginning that the new log keeps: `pieces` line reads of at
// most kPieceMax characters, each ending after a line feed if it meets one.
std::size_t KeptLength(const unsigned char *log, std::size_t size, int pieces) {
    std::size_t pos = 0;
    for (int i = 0; i < pieces && pos < size; ++i) {
        const std::size_t limit = size - pos < kPieceMax ? size - pos : kPieceMax;
        const void *lf = std::memchr(log + pos, '\n', limit);
        pos +=
            lf != nullptr
                ? static_cast<std::size_t>(static_cast<const unsigned char *>(lf) - (log + pos)) + 1
                : limit;
    }
    return pos;
}

// Steps after the lock: any interrupted entry completed, then the new log (the entry and the
// lines kept) written through the temporary file.
int RewriteLog(int log_fd, const char *log_path, const char *temp_path, const char *entry) {
    if (inplace::HasMark(temp_path)) {
        UniqueFd temp(::open(temp_path, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (inplace::Recover(temp.get(), temp_path, nullptr) == inplace::kPending) {
            return kLogFileFail;  // the log cannot be written back now; the next call tries again
        }
    }
    struct stat st {};
    UniqueBuffer old;
    std::size_t old_size = 0;
    if (::fstat(log_fd, &st) != 0 || !ReadLog(log_fd, st, &old, &old_size)) {
        return kLogFileFail;
    }
    UniqueFd temp(inplace::OpenCopy(temp_path, st));
    if (!temp.valid()) {
        return kLogTempFail;
    }
    const inplace::Piece pieces[] = {
        {reinterpret_cast<const unsigned char *>(entry), std::strlen(entry)},
        {old.get(), KeptLength(old.get(), old_size, kLogMaxLines - 1)},
    };
    switch (
        inplace::Commit(log_fd, log_path, temp.get(), temp_path, old.get(), old_size, pieces, 2)) {
        case inplace::kOk:
            return kLogOk;
        case inplace::kCopyFail:
            return kLogTempFail;
        default:
            return kLogFileFail;
    }
}

}  // namespace

int SetLogMsgAt(const char *log_path, const char *temp_path, const char *source,
                const char *message) {
    if (source == nullptr) {
        source = "";
    }
    if (message == nullptr) {
        message = "";
    }
    if (std::strlen(source) > static_cast<size_t>(kLogMaxSource) ||
        std::strlen(message) > static_cast<size_t>(kLogMaxMessage)) {
        return kLogTooLong;
    }

    char date[kDateTimeSize] = {};
    char time_text[kDateTimeSize] = {};
    if (getDateTime(date, 1) != 0 || getDateTime(time_text, 2) != 0) {
        return kLogNoTime;
    }
    char entry[kLineBufferSize];
    std::snprintf(entry, sizeof entry, "%s %s %s:%s\n", date, time_text, source, message);

    UniqueFd fd(OpenLog(log_path));
    if (!fd.valid()) {
        return kLogFileFail;
    }
    if (!LockLog(fd.get())) {
        return kLogLockFail;
    }
    const int result = RewriteLog(fd.get(), log_path, temp_path, entry);
    if (::flock(fd.get(), LOCK_UN) != 0) {
        return kLogUnlockFail;
    }
    return result;
}

int SetLogMsg(const char *source, const char *message) {
    return SetLogMsgAt(paths::kEventLog, paths::kEventLogTemp, source, message);
}

int getDateTime(char *buffer, int kind) {
    struct timeval now {};
    if (::gettimeofday(&now, nullptr) != 0) {
        return -1;
    }
    time_t seconds = now.tv_sec;
    struct tm local {};
    if (::localtime_r(&seconds, &local) == nullptr) {
        return -1;
    }
    // Formatted in a roomy buffer, then copied in the caller's width (11 or 9 bytes).
    char text[32];
    std::size_t width;
    if (kind == 1) {
        std::snprintf(text, sizeof text, "%02d/%02d/%04d", local.tm_mon + 1, local.tm_mday,
                      local.tm_year + 1900);
        width = 10;
    } else {
        std::snprintf(text, sizeof text, "%02d:%02d:%02d", local.tm_hour, local.tm_min,
                      local.tm_sec);
        width = 8;
    }
    std::memcpy(buffer, text, width);
    buffer[width] = '\0';
    if (kind != 1) {
        ::syslog(LOG_ALERT, "%s", buffer);
    }
    return 0;
}
