// The configuration writer: pm1_process, its callbacks and WriteCFGData.
//
// Decided beyond the text:
// - A section, key or value that cannot be stored as one line and read back unchanged is
//   refused with kCfgBadArgument (-7), writing nothing (see cfg.h).
// - Before text is appended behind a last line that lacks its line feed (both append cases,
//   and an insertion after a header that is that last line), a line feed is added. In the
//   append cases, when the file ends inside an entry continued with backslashes, the parser
//   would join the appended text to that entry: enough line feeds are added to end it.
// - A file whose scan ended at a NUL byte is not appended to (the reader would never see the
//   new text behind the NUL): -2, nothing written.
// - The temporary file is created without following a symbolic link and with mode 0600 (it
//   holds a copy of the settings; the agent runs with umask 0), then flushed to disk (fflush +
//   fsync) before the configuration file is truncated and refilled in place through the
//   descriptor it was scanned on (so inode, owner, mode and lock descriptors stay); the file
//   is fsynced after. Appends are fsynced too.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "common/paths.h"
#include "common/scoped.h"
#include "config/cfg_internal.h"

namespace cfg {

namespace {

// Copies `count` bytes (all that is left when count < 0) from `from` to `to` in blocks of at
// most kBlockSize bytes through the scanner's buffer. Write errors are not reported.
void CopyBlocks(FILE *from, FILE *to, long count) {
    unsigned char *buf = scanner.buffer;
    while (count != 0) {
        std::size_t want = sizeof scanner.buffer;
        if (count > 0 && static_cast<unsigned long>(count) < want) {
            want = static_cast<std::size_t>(count);
        }
        const std::size_t n = std::fread(buf, 1, want, from);
        if (n == 0) {
            break;
        }
        (void)std::fwrite(buf, 1, n, to);
        if (count > 0) {
            count -= static_cast<long>(n);
        }
    }
}

// The byte at `offset` of the stream, or -1 (end of file or error).
int ByteAt(FILE *f, long offset) {
    if (offset < 0 || std::fseek(f, offset, SEEK_SET) != 0) {
        return -1;
    }
    return std::fgetc(f);
}

void FlushToDisk(FILE *f) {
    if (std::fflush(f) == 0) {
        (void)fsync(fileno(f));
    }
}

// Formats the new line(s) into the scanner's buffer; the length.
std::size_t FormatEntry(bool with_header) {
    ScannerState &s = scanner;
    char *text = reinterpret_cast<char *>(s.buffer);
    int n;
    if (with_header) {
        n = std::snprintf(text, sizeof s.buffer, "[%s]\n%s=%s\n", s.sec_name, s.var_name,
                          s.var_value);
    } else {
        n = std::snprintf(text, sizeof s.buffer, "%s=%s\n", s.var_name, s.var_value);
    }
    return n > 0 ? static_cast<std::size_t>(n) : 0;  // names and value are bounded: it fits
}

// How many line feeds go before text appended at the end of the file. When the scan ended
// inside an entry: one to end its line, plus one for each continuation the parser would still
// take (it joins one more line per backslash ending the entry's text; empty lines are what it
// joins then, not the appended text). Else one when the last line lacks its line feed.
int SeparatorLineFeeds(FILE *f, long size) {
    if (scanner.bEndInEntry != 0) {
        return scanner.nEndContinuations + 1;
    }
    return (size > 0 && ByteAt(f, size - 1) != '\n') ? 1 : 0;
}

// The two append cases: the new text at the end of the file.
int Append(FILE *f, bool with_header) {
    if (std::fseek(f, 0, SEEK_END) != 0) {
        return kCfgOpenFail;
    }
    const long size = std::ftell(f);
    const int line_feeds = SeparatorLineFeeds(f, size);
    (void)std::fseek(f, 0, SEEK_END);
    for (int i = 0; i < line_feeds; ++i) {
        (void)std::fputc('\n', f);
    }
    const std::size_t n = FormatEntry(with_header);
    (void)std::fwrite(scanner.buffer, 1, n, f);
    FlushToDisk(f);
    return kCfgOk;
}

// The two rewrite cases: bytes [0, copy_end) of the file, a line feed if `add_lf`, the new
// line, then the file from `resume` on; all through the temporary file, then back in place.
int Rewrite(FILE *f, const char *temp_path, long copy_end, bool add_lf, long resume) {
    UniqueFd tfd(open(temp_path, O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!tfd.valid()) {
        return kCfgOpenFail;
    }
    struct stat st {};
    if (fstat(tfd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return kCfgOpenFail;
    }
    (void)fchmod(tfd.get(), 0600);  // an old temporary file keeps its mode otherwise
    UniqueFile temp(fdopen(tfd.get(), "w+"));
    if (!temp) {
        return kCfgOpenFail;
    }
    tfd.release();

    std::rewind(f);
    CopyBlocks(f, temp.get(), copy_end);
    if (add_lf) {
        (void)std::fputc('\n', temp.get());
    }
    const std::size_t n = FormatEntry(false);
    (void)std::fwrite(scanner.buffer, 1, n, temp.get());
    if (std::fseek(f, resume, SEEK_SET) == 0) {
        CopyBlocks(f, temp.get(), -1);
    }
    FlushToDisk(temp.get());

    // Truncate and refill the same file (never replace it: inode, owner, mode and the lock
    // descriptors stay with it).
    std::rewind(temp.get());
    if (std::fseek(f, 0, SEEK_SET) != 0 || ftruncate(fileno(f), 0) != 0) {
        return kCfgOpenFail;
    }
    CopyBlocks(temp.get(), f, -1);
    FlushToDisk(f);
    return kCfgOk;
}

// True when the text holds a character the one-line grammar cannot carry: a control character
// other than TAB, or `also` (when not NUL).
bool HasBadChar(const char *text, char also) {
    for (const char *p = text; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if ((c < 0x20 && c != '\t') || (also != '\0' && *p == also)) {
            return true;
        }
    }
    return false;
}

// True when the value's last non-blank character is a backslash: written as is, it would join
// the next line to the value.
bool EndsInContinuation(const char *value) {
    const int len = static_cast<int>(std::strlen(value));
    return Continuation(value, len) >= 0;
}

void CopyField(char *field, const char *text) {
    std::memcpy(field, text, std::strlen(text) + 1);
}

}  // namespace

int write_section(const char *name) {
    ScannerState &s = scanner;
    if (s.bInSection != 0) {
        return 1;  // the wanted section has ended: stop
    }
    if (std::strcmp(name, s.sec_name) == 0) {
        s.tsec_start = s.sec_start;
        s.tsec_end = GetCurPos();  // the line feed that ends the header line (or the end)
        s.bInSection = 1;
    }
    return 0;
}

int write_parameter(const char *key, const char * /*value*/) {
    ScannerState &s = scanner;
    if ((s.bInSection != 0 || s.bNoSection != 0) && std::strcmp(key, s.var_name) == 0) {
        s.tvar_start = s.var_start;
        s.tvar_end = GetCurPos();  // the character that ended the entry
        s.bInParameter = 1;
        return 1;
    }
    return 0;
}

int WriteCFGDataWithTemp(const char *path, const char *temp_path, const char *section,
                         const char *key, const char *value) {
    ScannerState &s = scanner;
    CleanUp();
    const char *sec = section != nullptr ? section : "";
    if (std::strlen(sec) > static_cast<std::size_t>(kCfgMaxName) || HasBadChar(sec, ']')) {
        return kCfgBadArgument;
    }
    if (key == nullptr) {
        return kCfgOk;
    }
    const char *val = value != nullptr ? value : "";
    if (key[0] == '\0' || std::strlen(key) > static_cast<std::size_t>(kCfgMaxName) ||
        HasBadChar(key, '=') || std::strlen(val) > static_cast<std::size_t>(kCfgMaxValue) ||
        HasBadChar(val, '\0') || EndsInContinuation(val)) {
        return kCfgBadArgument;
    }
    CopyField(s.sec_name, sec);
    s.bNoSection = sec[0] == '\0' ? 1 : 0;
    CopyField(s.var_name, key);
    CopyField(s.var_value, val);

    const int rc = pm1_process(path, temp_path, write_section, write_parameter);
    return (rc == 0 || rc == 1) ? kCfgOk : rc;
}

}  // namespace cfg

int pm1_process(const char *path, const char *temp_path, SectionCallback sfunc,
                EntryCallback pfunc) {
    using cfg::scanner;
    if (path == nullptr || path[0] == '\0' || temp_path == nullptr || temp_path[0] == '\0') {
        return kCfgOpenFail;
    }
    UniqueFile f(std::fopen(path, "r+e"));  // must exist: the writer never creates it
    if (!f) {
        return kCfgOpenFail;
    }
    const int rc = cfg::ScanStream(f.get(), sfunc, pfunc);
    if (rc != 0 && rc != 1) {
        return rc;
    }

    if (scanner.bInParameter != 0) {
        // Replace: the entry up to and including the line feed that ended it.
        const long resume = cfg::ByteAt(f.get(), scanner.tvar_end) == '\n' ? scanner.tvar_end + 1
                                                                           : scanner.tvar_end;
        return cfg::Rewrite(f.get(), temp_path, scanner.tvar_start, false, resume);
    }
    if (scanner.bInSection != 0) {
        // Insert after the header line (a line feed first if the header is an unterminated
        // last line).
        if (cfg::ByteAt(f.get(), scanner.tsec_end) == '\n') {
            return cfg::Rewrite(f.get(), temp_path, scanner.tsec_end + 1, false,
                                scanner.tsec_end + 1);
        }
        return cfg::Rewrite(f.get(), temp_path, scanner.tsec_end, true, scanner.tsec_end);
    }
    if (scanner.bNulSeen != 0) {
        return kCfgSyntax;  // text behind a NUL byte would never be read
    }
    return cfg::Append(f.get(), scanner.bNoSection == 0);
}

bool CFGValueIsStorable(const char *value) {
    return std::strlen(value) <= static_cast<std::size_t>(kCfgMaxValue) &&
           !cfg::HasBadChar(value, '\0') && !cfg::EndsInContinuation(value);
}

int WriteCFGData(const char *path, const char *section, const char *key, const char *value) {
    return cfg::WriteCFGDataWithTemp(path, paths::kConfigTemp, section, key, value);
}
