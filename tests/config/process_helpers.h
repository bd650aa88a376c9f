// Small helpers of the configuration-store tests: child processes that report results through
// a pipe, and timing.
#pragma once

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>

namespace cfgtest {

// What a child reports: a result code and how long its operation took.
struct Report {
    int rc = -999;
    long ms = -1;
};

// A child process that runs `body` and sends back its Report through a pipe.
class Child {
  public:
    explicit Child(const std::function<Report()> &body) {
        int p[2];
        if (pipe(p) != 0) {
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            close(p[0]);
            Report r = body();
            (void)!write(p[1], &r, sizeof r);
            _exit(0);
        }
        close(p[1]);
        read_fd_ = p[0];
    }
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    ~Child() { (void)Wait(); }

    // Waits for the child; its report (rc -999 when it sent none).
    Report Wait() {
        if (read_fd_ >= 0) {
            if (read(read_fd_, &report_, sizeof report_) != static_cast<ssize_t>(sizeof report_)) {
                report_ = Report{};
            }
            close(read_fd_);
            read_fd_ = -1;
        }
        if (pid_ > 0) {
            int status = 0;
            waitpid(pid_, &status, 0);
            pid_ = -1;
        }
        return report_;
    }

  private:
    pid_t pid_ = -1;
    int read_fd_ = -1;
    Report report_;
};

// A one-way signal between processes: Send() in one, Await() in the other.
class Signal {
  public:
    Signal() {
        if (pipe(p_) != 0) {
            p_[0] = p_[1] = -1;
        }
    }
    ~Signal() {
        for (int fd : p_) {
            if (fd >= 0)
                close(fd);
        }
    }
    Signal(const Signal &) = delete;
    Signal &operator=(const Signal &) = delete;
    void Send() { (void)!write(p_[1], "x", 1); }
    bool Await() {
        char c;
        return read(p_[0], &c, 1) == 1;
    }

  private:
    int p_[2];
};

// Milliseconds since `start`.
inline long ElapsedMs(std::chrono::steady_clock::time_point start) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - start)
                                 .count());
}

// Runs `op` and reports its result with the time it took.
inline Report Timed(const std::function<int()> &op) {
    const auto start = std::chrono::steady_clock::now();
    Report r;
    r.rc = op();
    r.ms = ElapsedMs(start);
    return r;
}

// True when another process could take a non-blocking flock of kind `operation` on `path` now.
inline bool CanFlock(const char *path, int operation) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool ok = flock(fd, operation | LOCK_NB) == 0;
    close(fd);
    return ok;
}

inline long Inode(const char *path) {
    struct stat st {};
    return stat(path, &st) == 0 ? static_cast<long>(st.st_ino) : -1;
}

}  // namespace cfgtest
