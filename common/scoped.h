// RAII guards for descriptors, streams and temporary files.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

// An owned file descriptor; closed when the guard ends unless released.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    UniqueFd(UniqueFd &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept {
        if (this != &other) {
            reset(std::exchange(other.fd_, -1));
        }
        return *this;
    }
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    // Closes the held descriptor; returns close()'s result (0 when none was held).
    int reset(int fd = -1) {
        int rc = 0;
        if (fd_ >= 0) {
            rc = ::close(fd_);
        }
        fd_ = fd;
        return rc;
    }

  private:
    int fd_ = -1;
};

// An owned stdio stream; closed when the guard ends unless released.
class UniqueFile {
  public:
    UniqueFile() = default;
    explicit UniqueFile(FILE *f) : f_(f) {}
    UniqueFile(const UniqueFile &) = delete;
    UniqueFile &operator=(const UniqueFile &) = delete;
    UniqueFile(UniqueFile &&other) noexcept : f_(std::exchange(other.f_, nullptr)) {}
    UniqueFile &operator=(UniqueFile &&other) noexcept {
        if (this != &other) {
            reset(std::exchange(other.f_, nullptr));
        }
        return *this;
    }
    ~UniqueFile() { reset(); }

    FILE *get() const { return f_; }
    explicit operator bool() const { return f_ != nullptr; }
    FILE *release() { return std::exchange(f_, nullptr); }
    // Closes the held stream; returns fclose()'s result (0 when none was held).
    int reset(FILE *f = nullptr) {
        int rc = 0;
        if (f_ != nullptr) {
            rc = std::fclose(f_);
        }
        f_ = f;
        return rc;
    }

  private:
    FILE *f_ = nullptr;
};

// An owned block of heap memory for a buffer sized to a file (malloc/free); ok() is false when
// the allocation failed. A size of 0 gives a valid, empty buffer.
class UniqueBuffer {
  public:
    UniqueBuffer() = default;
    explicit UniqueBuffer(std::size_t size)
        : p_(static_cast<unsigned char *>(std::malloc(size > 0 ? size : 1))),
          size_(p_ != nullptr ? size : 0) {}
    UniqueBuffer(const UniqueBuffer &) = delete;
    UniqueBuffer &operator=(const UniqueBuffer &) = delete;
    UniqueBuffer(UniqueBuffer &&other) noexcept
        : p_(std::exchange(other.p_, nullptr)), size_(std::exchange(other.size_, 0)) {}
    UniqueBuffer &operator=(UniqueBuffer &&other) noexcept {
        if (this != &other) {
            std::free(p_);
            p_ = std::exchange(other.p_, nullptr);
            size_ = std::exchange(other.size_, 0);
        }
        return *this;
    }
    ~UniqueBuffer() { std::free(p_); }

    bool ok() const { return p_ != nullptr; }
    unsigned char *get() const { return p_; }
    std::size_t size() const { return size_; }

  private:
    unsigned char *p_ = nullptr;
    std::size_t size_ = 0;
};

// A temporary file made with mkstemp from a template such as "/tmp/Eda.qXXXXXX", handed to
// the process's real user and group. Closed and removed when the guard ends, unless kept.
class TempFile {
  public:
    explicit TempFile(const char *name_template) {
        // A template cut to fit would make some other name (or none): refused instead.
        const int n = std::snprintf(path_, sizeof path_, "%s", name_template);
        if (n < 0 || static_cast<std::size_t>(n) >= sizeof path_) {
            path_[0] = '\0';
            return;
        }
        fd_ = ::mkstemp(path_);
        if (fd_ < 0) {
            path_[0] = '\0';
            return;
        }
        if (::fchown(fd_, ::getuid(), ::getgid()) != 0) {
            // Ownership is best effort: the file is ours already when we are not root.
        }
    }
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;
    ~TempFile() { remove(); }

    bool valid() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    const char *path() const { return path_; }
    // Closes and deletes the file now.
    void remove() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
        if (path_[0] != '\0' && !keep_) {
            ::unlink(path_);
        }
        path_[0] = '\0';
    }
    // Leaves the file in place when the guard ends.
    void keep() { keep_ = true; }

  private:
    char path_[64] = {};
    int fd_ = -1;
    bool keep_ = false;
};
