#include "share/share_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/process.h"
#include "common/util.h"
#include "common/work_buffers.h"

namespace share {

bool LineReader::Next() {
    SkipRest();
    len_ = 0;
    int c = EOF;
    while (len_ < kLineCapacity - 1 && (c = std::getc(in_)) != EOF) {
        buf_[len_++] = static_cast<char>(c);
        if (c == '\n') {
            break;
        }
    }
    buf_[len_] = '\0';
    if (len_ == 0) {
        return false;
    }
    if (buf_[len_ - 1] != '\n' && len_ == kLineCapacity - 1) {
        c = std::getc(in_);
        if (c != EOF) {
            std::ungetc(c, in_);
            cut_ = true;
        }
    }
    return true;
}

void LineReader::SkipRest() {
    if (!cut_) {
        return;
    }
    int c;
    while ((c = std::getc(in_)) != EOF && c != '\n') {
    }
    cut_ = false;
}

void LineReader::CarryRest(FILE *out) {
    if (!cut_) {
        return;
    }
    int c;
    while ((c = std::getc(in_)) != EOF) {
        std::putc(c, out);
        if (c == '\n') {
            break;
        }
    }
    cut_ = false;
}

void Put(FILE *out, std::string_view text) {
    if (!text.empty()) {
        std::fwrite(text.data(), 1, text.size(), out);
    }
}

void PutLineFrom(LineReader &reader, std::string_view from, FILE *out) {
    Put(out, from);
    reader.CarryRest(out);
}

std::string_view SkipSpaces(std::string_view text) {
    std::size_t i = text.find_first_not_of(' ');
    return i == std::string_view::npos ? std::string_view() : TextFrom(text, i);
}

std::string_view SkipBlanks(std::string_view text) {
    std::size_t i = text.find_first_not_of(" \t");
    return i == std::string_view::npos ? std::string_view() : TextFrom(text, i);
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        auto a = static_cast<unsigned char>(text[i]);
        auto b = static_cast<unsigned char>(prefix[i]);
        if (std::tolower(a) != std::tolower(b)) {
            return false;
        }
    }
    return true;
}

RewriteTemp::RewriteTemp(const char *name_template) : file_(name_template) {
    if (!file_.valid()) {
        return;
    }
    // The stream gets its own descriptor, so that closing it leaves the file's one alone.
    int fd = ::dup(file_.fd());
    if (fd < 0) {
        return;
    }
    stream_.reset(::fdopen(fd, "w"));
    if (!stream_) {
        ::close(fd);
    }
}

int WriteAll(int fd, const char *data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        if (n == 0) {
            return -1;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return 0;
}

int CopyBack(RewriteTemp &temp, const char *target, const RewriteMessages &m) {
    // A new text that did not reach the temporary file whole must not replace the old one.
    if (std::fflush(temp.stream()) != 0 || std::ferror(temp.stream()) != 0) {
        NETDebugMsg(m.tag, m.temp_write_fail);
        return -4;
    }
    if (::lseek(temp.fd(), 0, SEEK_SET) != 0) {
        NETDebugMsg(m.tag, m.seek_fail);
        return -3;
    }
    UniqueFd out(::open(target, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0755));
    if (!out.valid()) {
        NETDebugMsg(m.tag, m.write_back_fail);
        return -2;
    }
    for (;;) {
        ssize_t n = ::read(temp.fd(), filebuffer, kFileBufferSize);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 || (n > 0 && WriteAll(out.get(), filebuffer, static_cast<std::size_t>(n)) != 0)) {
            NETDebugMsg(m.tag, m.write_back_fail);
            return -4;
        }
        if (n == 0) {
            break;
        }
    }
    if (out.reset() != 0) {
        NETDebugMsg(m.tag, m.write_back_fail);
        return -4;
    }
    return 0;
}

std::size_t SafeFieldLength(const char *text, std::string_view stops) {
    std::size_t n = 0;
    for (; text[n] != '\0'; ++n) {
        auto c = static_cast<unsigned char>(text[n]);
        if (c < 0x20 || c == 0x7f || stops.find(text[n]) != std::string_view::npos) {
            break;
        }
    }
    return n;
}

void CleanField(char *field, std::size_t size, const char *tag, std::string_view stops) {
    if (size == 0) {
        return;
    }
    field[size - 1] = '\0';
    std::size_t n = SafeFieldLength(field, stops);
    if (field[n] != '\0') {
        auto c = static_cast<unsigned char>(field[n]);
        field[n] = '\0';
        NETDebugMsg(tag, c < 0x20 || c == 0x7f ? "Input text with control character, cut"
                                               : "Input text with field separator, cut");
    }
}

int RunService(const char *script, const char *action) {
    std::memset(systembuffer, 0, sizeof systembuffer);
    std::snprintf(systembuffer, sizeof systembuffer, "%s %s", script, action);
    return run_system(systembuffer);
}

}  // namespace share
