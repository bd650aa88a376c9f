#include "net/line_scanner.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/inplace_rewrite.h"
#include "common/system_file.h"
#include "common/util.h"
#include "common/work_buffers.h"

LineScanner::LineScanner(int fd, ScanMode mode) : fd_(fd), mode_(mode) {}

int LineScanner::Fill() {
    std::size_t rest = end_ - begin_;
    if (begin_ > 0) {
        std::memmove(filebuffer, filebuffer + begin_, rest);
    }
    std::memset(filebuffer + rest, 0, kFileBufferSize - rest);
    begin_ = 0;
    end_ = rest;
    for (;;) {
        ssize_t n = ::read(fd_, filebuffer + end_, kFileBufferSize - end_);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return -1;
        }
        if (n == 0) {
            eof_ = true;
        }
        end_ += static_cast<std::size_t>(n);
        return 0;
    }
}

int LineScanner::Next(ScannedLine *line) {
    for (;;) {
        const char *start = filebuffer + begin_;
        std::size_t avail = end_ - begin_;
        const void *nl = avail > 0 ? std::memchr(start, '\n', avail) : nullptr;
        std::size_t len = 0;
        bool newline = true;
        if (nl != nullptr) {
            len = static_cast<std::size_t>(static_cast<const char *>(nl) - start);
            if (skipping_) {
                // The end of a long line that the reader skips.
                skipping_ = false;
                begin_ += len + 1;
                continue;
            }
            if (len > kMaxLineLength) {
                if (mode_ == ScanMode::kReader) {
                    begin_ += len + 1;
                    continue;
                }
                len = kMaxLineLength + 1;
                newline = false;
                begin_ += len;
            } else {
                begin_ += len + 1;
            }
        } else if (skipping_ || avail > kMaxLineLength) {
            if (mode_ == ScanMode::kReader) {
                skipping_ = true;
                begin_ = end_;
                if (eof_) {
                    return 0;
                }
                if (Fill() != 0) {
                    return -1;
                }
                continue;
            }
            len = kMaxLineLength + 1;
            newline = false;
            begin_ += len;
        } else if (eof_) {
            if (avail == 0) {
                return 0;
            }
            // An unterminated last line is still a line; it gets its line feed on the way.
            len = avail;
            begin_ = end_;
        } else {
            if (Fill() != 0) {
                return -1;
            }
            continue;
        }

        std::size_t skip = 0;
        while (skip < len && start[skip] == ' ') {
            ++skip;
        }
        if (skip < len && start[skip] == '#') {
            continue;  // comments are neither read nor kept
        }
        line->text = std::string_view(start + skip, len - skip);
        line->newline = newline;
        return 1;
    }
}

FileRewrite::FileRewrite(const char *path, const char *name_template)
    : path_(path), temp_(name_template) {}

int FileRewrite::Open(const char *tag, const char *open_message, const char *temp_message) {
    (void)RecoverSystemFiles();  // a rewrite interrupted earlier is completed before the read
    source_.reset(::open(path_, O_RDONLY | O_CLOEXEC));
    if (!source_.valid()) {
        NETDebugMsg(tag, open_message);
        return -2;
    }
    if (!temp_.valid()) {
        NETDebugMsg(tag, temp_message);
        source_.reset();
        return -2;
    }
    return 0;
}

static int WriteAll(int fd, const char *data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return -1;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return 0;
}

int FileRewrite::Write(std::string_view text) {
    if (!temp_.valid()) {
        return -1;
    }
    return WriteAll(temp_.fd(), text.data(), text.size());
}

int FileRewrite::WriteLine(const ScannedLine &line) {
    if (Write(line.text) != 0) {
        return -1;
    }
    return line.newline ? Write("\n") : 0;
}

int FileRewrite::Commit(const char *tag, mode_t mode, const char *seek_message,
                        const char *open_back_message, const char *write_back_message) {
    source_.reset();
    UniqueBuffer text;
    std::size_t size = 0;
    if (::lseek(temp_.fd(), 0, SEEK_SET) != 0) {
        NETDebugMsg(tag, seek_message);
        return -3;
    }
    if (inplace::ReadWhole(temp_.fd(), &text, &size) != inplace::kRead) {
        NETDebugMsg(tag, write_back_message);
        return -4;
    }
    // The new text replaces the old whole or not at all (common/system_file.h).
    const int rc = WriteSystemFile(path_, reinterpret_cast<const char *>(text.get()), size, mode);
    if (rc == kSysFileOpenFail) {
        NETDebugMsg(tag, open_back_message);
        return -2;
    }
    if (rc != kSysFileOk) {
        NETDebugMsg(tag, write_back_message);
        return -4;
    }
    return 0;
}

std::size_t PrintableLength(const char *text) {
    std::size_t n = 0;
    while (text[n] != '\0') {
        unsigned char c = static_cast<unsigned char>(text[n]);
        if (c < 0x20 || c == 0x7f) {
            break;
        }
        ++n;
    }
    return n;
}

void CutAtControl(char *text) {
    text[PrintableLength(text)] = '\0';
}

bool IsNoAddress(const char *text) {
    return text[0] == '\0' || std::strcmp(text, "0.0.0.0") == 0;
}
