// clockshow FILE: writes the current local date and time into FILE as
// "MM/DD/YYYY\nHH:MM:SS". Exit 0 written; 255 wrong arguments or no time; 254 the file
// cannot be created.
//
// The agent runs it as root with a fixed file name in a world-writable folder, so whatever
// stands at the path (an earlier file, a link, a FIFO, a file another user made) is removed and
// the file is made afresh, exclusively: nothing is ever written through an existing file. If
// something else takes the path between the two, the file cannot be created (254).
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 255;       // -1: wrong arguments, or no time
constexpr int kExitCreateFail = 254;  // -2: the output file cannot be created

// Makes `path` afresh for writing, mode 0644 (whatever the file-creation mask), owned by the
// caller: what stood there is removed first. -1 when it cannot be created.
int OpenOutput(const char *path) {
    if (::unlink(path) != 0 && errno != ENOENT) {
        // A folder, or a file not ours to remove: the exclusive create below fails on it.
    }
    int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        return -1;
    }
    if (::fchmod(fd, 0644) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        return kExitUsage;
    }
    int fd = OpenOutput(argv[1]);
    if (fd < 0) {
        return kExitCreateFail;
    }
    FILE *out = ::fdopen(fd, "w");
    if (out == nullptr) {
        ::close(fd);
        return kExitCreateFail;
    }

    struct timeval now {};
    struct tm local {};
    time_t seconds = 0;
    if (::gettimeofday(&now, nullptr) != 0 ||
        (seconds = now.tv_sec, ::localtime_r(&seconds, &local) == nullptr)) {
        std::fclose(out);  // left empty
        return kExitUsage;
    }
    std::fprintf(out, "%02d/", local.tm_mon + 1);
    std::fprintf(out, "%02d/", local.tm_mday);
    std::fprintf(out, "%04d\n", local.tm_year + 1900);
    std::fprintf(out, "%02d:", local.tm_hour);
    std::fprintf(out, "%02d:", local.tm_min);
    std::fprintf(out, "%02d", local.tm_sec);
    // A write that fails shows at the latest when the stream is closed.
    if (std::ferror(out) != 0) {
        std::fclose(out);
        return kExitCreateFail;
    }
    if (std::fclose(out) != 0) {
        return kExitCreateFail;
    }
    return kExitOk;
}
