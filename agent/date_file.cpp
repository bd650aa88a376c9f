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
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
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
