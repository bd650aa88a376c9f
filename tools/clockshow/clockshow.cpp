// clockshow FILE: writes the current local date and time into FILE as
// "MM/DD/YYYY\nHH:MM:SS". Exit 0 written; 255 wrong arguments or no time; 254 the file
// cannot be created.
//
// The agent runs it as root with a fixed file name in a world-writable folder, so the file
// is opened without following a symbolic link, and only a regular file of one name is written.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 255;       // -1: wrong arguments, or no time
constexpr int kExitCreateFail = 254;  // -2: the output file cannot be created

// Opens `path` for writing, created with mode 0644 or emptied; -1 for a symbolic link,
// anything but a regular file with a single name, or any other failure.
int OpenOutput(const char *path) {
    // O_NONBLOCK: a FIFO planted at the path must not block the open.
    int fd = ::open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) {
        return -1;
    }
    struct stat st {};
    // One name only: a hard link planted at the path would make us empty its other file.
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 ||
        ::ftruncate(fd, 0) != 0) {
        ::close(fd);
        return -1;
    }
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
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
