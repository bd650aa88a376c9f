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

namespace {

bool IsControl(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7f;
}

bool IsBlankChar(char c) {
    return c == ' ' || c == '\t';
}

enum class Fix { kNone, kControl, kSeparator };

// What `rule` makes of text[at] (in *to), and why.
Fix FixAt(const char *text, std::size_t at, const FieldRule &rule, char *to) {
    const char c = text[at];
    if (IsControl(c)) {
        *to = rule.control;
        return Fix::kControl;
    }
    if (at == 0 && c == '#' && rule.first_hash != 0) {
        *to = rule.first_hash;
        return Fix::kSeparator;
    }
    const std::size_t i = rule.separators.find(c);
    if (i != std::string_view::npos) {
        *to = rule.replacements[i];
        return Fix::kSeparator;
    }
    if (c == '\\' && rule.ending_backslash != 0) {
        std::size_t next = at + 1;
        while (text[next] != '\0' && (IsBlankChar(text[next]) || IsControl(text[next]))) {
            ++next;  // a control character behind it becomes a blank too
        }
        if (text[next] == '\0') {
            *to = rule.ending_backslash;
            return Fix::kSeparator;
        }
    }
    return Fix::kNone;
}

}  // namespace

bool CleanField(char *field, std::size_t size, const char *tag, const FieldRule &rule) {
    if (size == 0) {
        return false;
    }
    field[size - 1] = '\0';
    bool control = false;
    bool separator = false;
    // Right to left, so that a backslash sees the blanks that the controls behind it became.
    for (std::size_t at = std::strlen(field); at-- > 0;) {
        char to = 0;
        const Fix fix = FixAt(field, at, rule, &to);
        if (fix != Fix::kNone) {
            field[at] = to;
            control = control || fix == Fix::kControl;
            separator = separator || fix == Fix::kSeparator;
        }
    }
    char message[96];
    if (control) {
        std::snprintf(message, sizeof message, "Input %s with control character, replaced",
                      rule.what);
        NETDebugMsg(tag, message);
    }
    if (separator) {
        std::snprintf(message, sizeof message, "Input %s with field separator, replaced",
                      rule.what);
        NETDebugMsg(tag, message);
    }
    return control || separator;
}

bool FieldIsClean(const char *text, const FieldRule &rule) {
    for (std::size_t at = 0; text[at] != '\0'; ++at) {
        char to = 0;
        if (FixAt(text, at, rule, &to) != Fix::kNone) {
            return false;
        }
    }
    return true;
}

bool IsBlank(const char *text) {
    for (; *text != '\0'; ++text) {
        if (!IsBlankChar(*text)) {
            return false;
        }
    }
    return true;
}

int RunService(const char *script, const char *action) {
    std::memset(systembuffer, 0, sizeof systembuffer);
    std::snprintf(systembuffer, sizeof systembuffer, "%s %s", script, action);
    return run_system(systembuffer);
}

}  // namespace share
