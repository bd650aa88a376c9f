// Advisory locks on the configuration file.
//
// Each LockFile first completes an interrupted change of the file (see cfg.h). The lock
// descriptor is opened once, read-only and close-on-exec (child processes must not inherit
// it), and kept for the life of the process; the writer refills the file in place, so the
// descriptor stays attached to the live file.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <climits>
#include <cstdio>

#include "common/paths.h"
#include "config/cfg_internal.h"

namespace {

int fd = 0;  // the process's lock descriptor; 0 or less: not open

constexpr int kLockTries = 3;

int LockOperation(int mode) {
    return (mode == kLockShared ? LOCK_SH : LOCK_EX) | LOCK_NB;
}

// LockFile on `path`, after the recovery.
int Lock(const char *path, int mode) {
    if (fd <= 0) {
        fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd <= 0) {
            return kCfgOpenFail;  // the failed value stays: the next call opens again
        }
    }
    const int operation = LockOperation(mode);
    for (int attempt = 1;; ++attempt) {
        if (flock(fd, operation) != -1) {
            return kCfgOk;
        }
        if (attempt == kLockTries) {
            return kCfgLockFail;
        }
        sleep(1);
    }
}

}  // namespace

namespace cfg {

int LockFileAt(const char *path, int mode) {
    char temp[PATH_MAX];
    const int n = std::snprintf(temp, sizeof temp, "%s.tmp", path != nullptr ? path : "");
    if (n > 4 && static_cast<std::size_t>(n) < sizeof temp) {
        (void)RecoverStore(temp, nullptr);  // a failure there does not stop the lock
    }
    return Lock(path, mode);
}

int LockDescriptor() {
    return fd;
}

}  // namespace cfg

int LockFile(int mode) {
    (void)cfg::RecoverStore(paths::kConfigTemp, nullptr);  // a failure does not stop the lock
    return Lock(paths::kConfigFile, mode);
}

int UnLockFile() {
    (void)flock(fd, LOCK_UN);
    return kCfgOk;
}

int LockFileByHandle(int descriptor) {
    if (flock(descriptor, LOCK_EX | LOCK_NB) != -1) {
        return kCfgOk;
    }
    sleep(1);
    if (flock(descriptor, LOCK_EX | LOCK_NB) != -1) {
        return kCfgOk;
    }
    sleep(1);
    return kCfgLockFail;
}

int UnLockFileByHandle(int descriptor) {
    (void)flock(descriptor, LOCK_UN);
    return kCfgOk;
}
