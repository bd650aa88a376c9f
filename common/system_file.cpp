// System files replaced crash-safely in place (see system_file.h).
#include "common/system_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "common/inplace_rewrite.h"
#include "common/paths.h"
#include "common/scoped.h"
#include "common/util.h"

static_assert(inplace::IsMarkOf(paths::kSystemFileMark, paths::kSystemFileTemp));

namespace {

const char *temp_override = nullptr;

const char *Temp() {
    return temp_override != nullptr ? temp_override : paths::kSystemFileTemp;
}

bool SameContents(const UniqueBuffer &old, std::size_t old_size, const char *data,
                  std::size_t size) {
    return old_size == size && (size == 0 || std::memcmp(old.get(), data, size) == 0);
}

// fsync of the folder that holds `path`, so that a file created there stays after a power cut.
void SyncFolderOf(const char *path) {
    char folder[PATH_MAX];
    const char *slash = std::strrchr(path, '/');
    std::size_t n = slash == nullptr ? 0 : static_cast<std::size_t>(slash - path);
    if (slash == path) {
        n = 1;
    }
    if (n == 0 || n >= sizeof folder) {
        return;
    }
    std::memcpy(folder, path, n);
    folder[n] = '\0';
    UniqueFd fd(::open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.valid()) {
        (void)::fsync(fd.get());
    }
}

// Opens the file for reading and writing, creating it (empty, with `mode`) if missing. Never
// waits on a FIFO; anything but a regular file is refused. The descriptor, or -1.
int OpenTarget(const char *path, mode_t mode) {
    constexpr int kFlags = O_RDWR | O_NONBLOCK | O_CLOEXEC;
    UniqueFd fd(::open(path, kFlags));
    if (!fd.valid() && errno == ENOENT) {
        fd.reset(::open(path, kFlags | O_CREAT | O_EXCL, mode));
        if (fd.valid()) {
            SyncFolderOf(path);
        }
    }
    struct stat st {};
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return -1;
    }
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        return -1;
    }
    return fd.release();
}

}  // namespace

int RecoverSystemFilesThrough(const char *temp_path) {
    return inplace::RecoverPending(temp_path, nullptr) == inplace::kRecovered ? kSysFileOk
                                                                              : kSysFileWriteFail;
}

int RecoverSystemFiles() {
    return RecoverSystemFilesThrough(Temp());
}

void SetSystemFileTemp(const char *temp_path) {
    temp_override = temp_path;
}

int WriteSystemFileThrough(const char *temp_path, const char *path, const char *data,
                           std::size_t size, mode_t mode) {
    if (RecoverSystemFilesThrough(temp_path) != kSysFileOk) {
        return kSysFileWriteFail;  // the copy of an earlier rewrite still waits to be written
    }
    UniqueFd fd(OpenTarget(path, mode));
    if (!fd.valid()) {
        return kSysFileOpenFail;
    }
    UniqueBuffer old;
    std::size_t old_size = 0;
    if (inplace::ReadWhole(fd.get(), &old, &old_size) != inplace::kRead) {
        return kSysFileWriteFail;
    }
    if (SameContents(old, old_size, data, size)) {
        return kSysFileOk;
    }

    // Under the lock, after any rewrite interrupted meanwhile, from the contents as they are
    // now: the copy back starts at the first byte that differs from them.
    struct stat st {};
    char target[PATH_MAX];
    if (::fstat(fd.get(), &st) != 0 || ::realpath(path, target) == nullptr) {
        return kSysFileOpenFail;
    }
    inplace::Lock lock;
    if (lock.Take(temp_path, st) != inplace::kLocked ||
        inplace::Recover(lock.fd(), temp_path, nullptr) != inplace::kRecovered ||
        inplace::ReadWhole(fd.get(), &old, &old_size) != inplace::kRead) {
        return kSysFileWriteFail;
    }
    if (SameContents(old, old_size, data, size)) {
        return kSysFileOk;
    }
    const inplace::Piece piece{reinterpret_cast<const unsigned char *>(data), size};
    if (inplace::Commit(fd.get(), target, lock.fd(), temp_path, old.get(), old_size, &piece, 1) !=
        inplace::kOk) {
        return kSysFileWriteFail;
    }
    // The mark is empty: the copy is no longer needed, and the next file's may be private.
    if (::ftruncate(lock.fd(), 0) != 0) {
        // Harmless: without a record the copy is never used.
    }
    return kSysFileOk;
}

int WriteSystemFile(const char *path, const char *data, std::size_t size, mode_t mode) {
    return WriteSystemFileThrough(Temp(), path, data, size, mode);
}

int WriteSystemFileTraced(const char *path, const char *data, std::size_t size, mode_t mode,
                          const char *tag, const char *open_message, const char *write_message) {
    const int rc = WriteSystemFile(path, data, size, mode);
    if (rc == kSysFileOpenFail) {
        NETDebugMsg(tag, open_message);
    } else if (rc != kSysFileOk) {
        NETDebugMsg(tag, write_message);
    }
    return rc;
}
