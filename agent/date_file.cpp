// The date file of read settings, opened without trusting what stands at its path.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "agent/read_settings.h"
#include "common/scoped.h"

int ReadDateFile(const char *path, char *date_line, char *time_line, std::size_t size) {
    // O_NONBLOCK: a FIFO planted at the path must not stall the agent in the open.
    UniqueFd fd(open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) {
        return kDateFileOpenFail;
    }
    struct stat st {};
    // Made by the clock program the agent ran, so ours (root's), and writable by nobody else:
    // a file another user made or may still write to holds whatever that user wants.
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 ||
        st.st_uid != geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return kDateFileOpenFail;
    }
    UniqueFile file(fdopen(fd.get(), "r"));
    if (!file) {
        return kDateFileOpenFail;
    }
    fd.release();  // the stream owns it now
    const int limit = static_cast<int>(size);
    if (std::fgets(date_line, limit, file.get()) == nullptr) {
        return kDateFileNoDate;
    }
    if (std::fgets(time_line, limit, file.get()) == nullptr) {
        return kDateFileNoTime;
    }
    return kDateFileOk;
}

void RemoveDateFile(const char *path) {
    if (unlink(path) != 0) {
        // Nothing there, or nothing we may remove: the clock program's exclusive create then
        // fails on it, and the read is refused.
    }
}
