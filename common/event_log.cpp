#include "common/event_log.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "common/event_log_internal.h"
#include "common/paths.h"
#include "common/scoped.h"

namespace {

constexpr int kLineBufferSize = 128;
constexpr int kReadSize = 126;  // 125 characters and the terminator
constexpr int kDateTimeSize = 12;
constexpr int kLockTries = 3;
constexpr mode_t kLogMode = 0644;

// Opens the log read-only; a missing log is created with mode 0644 whatever the umask.
int OpenLog(const char *path) {
    int fd = ::open(path, O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, kLogMode);
    if (fd >= 0) {
        if (::fchmod(fd, kLogMode) != 0) {
            // The file exists and is ours; with the umask's bits it is still usable.
        }
        return fd;
    }
    if (errno != EEXIST) {
        return -1;
    }
    return ::open(path, O_RDONLY | O_CLOEXEC);
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

// Steps after the lock: builds the new log in the temporary file and copies it back.
int RewriteLog(FILE *old_log, const char *log_path, const char *temp_path, const char *entry) {
    UniqueFile temp(std::fopen(temp_path, "w"));
    if (!temp) {
        return kLogTempFail;
    }
    if (std::fputs(entry, temp.get()) == EOF) {
        return kLogTempFail;
    }
    char line[kLineBufferSize];
    for (int written = 1; written < kLogMaxLines;) {
        if (std::fgets(line, kReadSize, old_log) == nullptr) {
            if (std::ferror(old_log) != 0) {
                return kLogFileFail;
            }
            break;
        }
        if (std::fputs(line, temp.get()) == EOF) {
            return kLogTempFail;
        }
        ++written;
    }
    if (temp.reset() != 0) {
        return kLogTempFail;
    }

    UniqueFile source(std::fopen(temp_path, "r"));
    if (!source) {
        return kLogTempFail;
    }
    UniqueFile log(std::fopen(log_path, "w"));
    if (!log) {
        return kLogFileFail;
    }
    while (std::fgets(line, kReadSize, source.get()) != nullptr) {
        if (std::fputs(line, log.get()) == EOF) {
            return kLogFileFail;
        }
    }
    if (std::ferror(source.get()) != 0) {
        return kLogTempFail;
    }
    if (log.reset() != 0) {
        return kLogFileFail;
    }
    return kLogOk;
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

    int result;
    {
        // The read stream works on a duplicate of the locked descriptor, so that closing the
        // stream keeps the descriptor (and the lock) until the unlock below.
        int stream_fd = ::dup(fd.get());
        UniqueFile old_log(stream_fd >= 0 ? ::fdopen(stream_fd, "r") : nullptr);
        if (!old_log) {
            if (stream_fd >= 0) {
                ::close(stream_fd);
            }
            result = kLogFileFail;
        } else {
            result = RewriteLog(old_log.get(), log_path, temp_path, entry);
        }
    }
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
