// The file side of the configuration store: loading the file whole, the store's lock on the
// temporary file, and the completion of an interrupted change (protocol in cfg.h). The
// mechanics are the crash-safe rewrite's (common/inplace_rewrite.h); here their results become
// the store's codes.
#include "common/paths.h"
#include "config/cfg_internal.h"

static_assert(inplace::IsMarkOf(paths::kConfigMark, paths::kConfigTemp));

namespace cfg {

int LoadFile(int fd, UniqueBuffer *out, std::size_t *size) {
    switch (inplace::ReadWhole(fd, out, size)) {
        case inplace::kRead:
            return kCfgOk;
        case inplace::kReadNoMemory:
            return kCfgNoMemory;
        default:
            return kCfgOpenFail;
    }
}

int StoreLock::Take(const char *temp_path, const struct stat &target) {
    // A disk that is full, failing or read-only is a failed write, anything else a temporary
    // file that cannot be made.
    switch (lock_.Take(temp_path, target)) {
        case inplace::kLocked:
            return kCfgOk;
        case inplace::kLockDiskFail:
            return kCfgWriteFail;
        case inplace::kLockBusy:
            return kCfgLockFail;
        default:
            return kCfgOpenFail;
    }
}

int RecoverStore(const char *temp_path, inplace::MarkRecord *pending) {
    switch (inplace::RecoverPending(temp_path, pending)) {
        case inplace::kPending:
            return 1;
        case inplace::kBusy:
            return kCfgLockFail;
        default:
            return kCfgOk;
    }
}

}  // namespace cfg

int RecoverCFGData() {
    return cfg::RecoverStore(paths::kConfigTemp, nullptr);
}
