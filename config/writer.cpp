// The configuration writer: pm1_process, its callbacks, WriteCFGData, WriteCFGDataSet and
// WriteCFGDataSetWhole.
//
// Each write is applied to the file's contents in memory (one scan, then the splice of its
// case), and the result goes to disk as one crash-safe change (see cfg.h); a result that is
// byte-identical to the file writes nothing. Decided beyond the text:
// - A section, key or value that cannot be stored as one line and read back unchanged is
//   refused with kCfgBadArgument (-7), writing nothing (see cfg.h).
// - Before text is appended behind a last line that lacks its line feed (both append cases,
//   and an insertion after a header that is that last line), a line feed is added. In the
//   append cases, when the file ends inside an entry continued with backslashes, the parser
//   would join the appended text to that entry: enough line feeds are added to end it.
// - A file whose scan ended at a NUL byte is not appended to (the reader would never see the
//   new text behind the NUL): -2, nothing written.
// - Every write, truncation and fsync is checked: a failure gives kCfgWriteFail (-8) with the
//   file as it was (the append cases go through the temporary file too).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "common/paths.h"
#include "common/scoped.h"
#include "config/cfg_internal.h"

namespace cfg {

namespace {

// Contents being built.
struct Contents {
    UniqueBuffer buf;
    std::size_t size = 0;
};

// One write of a series. `apply` false: nothing to do (a missing key) or refused (`result`).
// A write whose key is null but `apply` true uses the scanner's fields as the caller set them.
struct WriteOp {
    const char *key;
    const char *value;
    bool apply;
    bool changed;
    int result;
};

int ByteAt(const unsigned char *data, std::size_t size, long offset) {
    return offset >= 0 && static_cast<std::size_t>(offset) < size ? data[offset] : -1;
}

// The new line(s) into text[size]; the length.
std::size_t FormatEntry(char *text, std::size_t size, bool with_header) {
    const ScannerState &s = scanner;
    int n;
    if (with_header) {
        n = std::snprintf(text, size, "[%s]\n%s=%s\n", s.sec_name, s.var_name, s.var_value);
    } else {
        n = std::snprintf(text, size, "%s=%s\n", s.var_name, s.var_value);
    }
    return n > 0 ? static_cast<std::size_t>(n) : 0;  // names and value are bounded: it fits
}

// How many line feeds go before text appended at the end of `size` bytes. When the scan ended
// inside an entry: one to end its line, plus one for each continuation the parser would still
// take (it joins one more line per backslash ending the entry's text; empty lines are what it
// joins then, not the appended text). Else one when the last line lacks its line feed.
std::size_t SeparatorLineFeeds(const unsigned char *data, std::size_t size) {
    if (scanner.bEndInEntry != 0) {
        return static_cast<std::size_t>(scanner.nEndContinuations) + 1;
    }
    return (size > 0 && data[size - 1] != '\n') ? 1 : 0;
}

// out = cur[0, copy_end) + `line_feeds` line feeds + text[n] + cur[resume, size).
int Splice(const unsigned char *cur, std::size_t size, std::size_t copy_end, std::size_t line_feeds,
           const char *text, std::size_t n, std::size_t resume, Contents *out) {
    const std::size_t total = copy_end + line_feeds + n + (size - resume);
    UniqueBuffer buf(total);
    if (!buf.ok()) {
        return kCfgNoMemory;
    }
    unsigned char *p = buf.get();
    if (copy_end > 0) {
        std::memcpy(p, cur, copy_end);
    }
    p += copy_end;
    std::memset(p, '\n', line_feeds);
    p += line_feeds;
    std::memcpy(p, text, n);
    p += n;
    if (size > resume) {
        std::memcpy(p, cur + resume, size - resume);
    }
    out->buf = std::move(buf);
    out->size = total;
    return kCfgOk;
}

// Applies the write held in the scanner's fields to cur[size] (one scan with the callbacks,
// then the splice of the case): the new contents in *out. 0, -2 or -4.
int ApplyWrite(const unsigned char *cur, std::size_t size, SectionCallback sfunc,
               EntryCallback pfunc, Contents *out) {
    ScannerState &s = scanner;
    CleanUp();
    const int rc = ScanMemory(cur, size, sfunc, pfunc);
    if (rc != 0 && rc != 1) {
        return rc;
    }
    char text[kBlockSize];
    if (s.bInParameter != 0) {
        // Replace: the entry up to and including the line feed that ended it.
        const long resume = ByteAt(cur, size, s.tvar_end) == '\n' ? s.tvar_end + 1 : s.tvar_end;
        const std::size_t n = FormatEntry(text, sizeof text, false);
        return Splice(cur, size, static_cast<std::size_t>(s.tvar_start), 0, text, n,
                      static_cast<std::size_t>(resume), out);
    }
    if (s.bInSection != 0) {
        // Insert after the header line (a line feed first if the header is an unterminated
        // last line).
        const std::size_t n = FormatEntry(text, sizeof text, false);
        const auto end = static_cast<std::size_t>(s.tsec_end);
        if (ByteAt(cur, size, s.tsec_end) == '\n') {
            return Splice(cur, size, end + 1, 0, text, n, end + 1, out);
        }
        return Splice(cur, size, end, 1, text, n, end, out);
    }
    if (s.bNulSeen != 0) {
        return kCfgSyntax;  // text behind a NUL byte would never be read
    }
    // Append an entry (no-section mode) or a section with the entry.
    const std::size_t n = FormatEntry(text, sizeof text, s.bNoSection == 0);
    return Splice(cur, size, size, SeparatorLineFeeds(cur, size), text, n, size, out);
}

void CopyField(char *field, const char *text) {
    std::memmove(field, text, std::strlen(text) + 1);
}

// Applies the writes in order to old[old_size]; the result in *final (which shares nothing
// with `old`). Each write's result and whether it changed the contents are set. True when
// the final contents differ from `old`.
bool ApplyAll(const unsigned char *old, std::size_t old_size, WriteOp *ops, int count,
              SectionCallback sfunc, EntryCallback pfunc, Contents *final) {
    Contents cur;
    const unsigned char *data = old;
    std::size_t size = old_size;
    for (int i = 0; i < count; ++i) {
        WriteOp &op = ops[i];
        if (!op.apply) {
            continue;
        }
        if (op.key != nullptr) {
            CopyField(scanner.var_name, op.key);
            CopyField(scanner.var_value, op.value != nullptr ? op.value : "");
        }
        Contents next;
        op.result = ApplyWrite(data, size, sfunc, pfunc, &next);
        op.changed = op.result == kCfgOk &&
                     (next.size != size || std::memcmp(next.buf.get(), data, size) != 0);
        if (op.changed) {
            cur = std::move(next);
            data = cur.buf.get();
            size = cur.size;
        }
    }
    if (data == old) {
        final->buf = UniqueBuffer();
        final->size = 0;
        return false;
    }
    *final = std::move(cur);
    return final->size != old_size || std::memcmp(final->buf.get(), old, old_size) != 0;
}

// Sets `rc` as the result of every write that changed the contents.
void FailChanged(WriteOp *ops, int count, int rc) {
    for (int i = 0; i < count; ++i) {
        if (ops[i].apply && ops[i].changed) {
            ops[i].result = rc;
        }
    }
}

// Sets `rc` as the result of every write still to do.
void FailAll(WriteOp *ops, int count, int rc) {
    for (int i = 0; i < count; ++i) {
        if (ops[i].apply) {
            ops[i].result = rc;
        }
    }
}

int FirstFailure(const WriteOp *ops, int count) {
    for (int i = 0; i < count; ++i) {
        if (ops[i].result != kCfgOk) {
            return ops[i].result;
        }
    }
    return kCfgOk;
}

// The change of the file by a series of writes (the scanner's section fields set): scan and
// splice in memory, then, if anything changed, one crash-safe change under the store's lock.
// `whole`: nothing is written when any of the writes fails.
int RunWrites(const char *path, const char *temp_path, WriteOp *ops, int count,
              SectionCallback sfunc, EntryCallback pfunc, bool whole = false) {
    if (path == nullptr || path[0] == '\0' || temp_path == nullptr || temp_path[0] == '\0') {
        FailAll(ops, count, kCfgOpenFail);
        return FirstFailure(ops, count);
    }
    const int recovered = RecoverStore(temp_path, nullptr);
    if (recovered != kCfgOk) {
        FailAll(ops, count, recovered == kCfgLockFail ? kCfgLockFail : kCfgWriteFail);
        return FirstFailure(ops, count);
    }
    UniqueFd fd(::open(path, O_RDWR | O_CLOEXEC));  // must exist: the writer never creates it
    UniqueBuffer old;
    std::size_t old_size = 0;
    int rc = fd.valid() ? LoadFile(fd.get(), &old, &old_size) : kCfgOpenFail;
    if (rc != kCfgOk) {
        FailAll(ops, count, rc);
        return FirstFailure(ops, count);
    }
    Contents final;
    if (!ApplyAll(old.get(), old_size, ops, count, sfunc, pfunc, &final) ||
        (whole && FirstFailure(ops, count) != kCfgOk)) {
        return FirstFailure(ops, count);  // nothing to write
    }

    // Something changes: under the store's lock, after any change interrupted meanwhile, on
    // the contents as they are now.
    struct stat st {};
    char target[PATH_MAX];
    StoreLock lock;
    rc = ::fstat(fd.get(), &st) != 0 || ::realpath(path, target) == nullptr
             ? kCfgOpenFail
             : lock.Take(temp_path, st);
    if (rc == kCfgOk && inplace::Recover(lock.fd(), temp_path, nullptr) == inplace::kPending) {
        rc = kCfgWriteFail;
    }
    UniqueBuffer now;
    std::size_t now_size = 0;
    if (rc == kCfgOk) {
        rc = LoadFile(fd.get(), &now, &now_size);
    }
    if (rc == kCfgOk &&
        (now_size != old_size || std::memcmp(now.get(), old.get(), old_size) != 0)) {
        old = std::move(now);
        old_size = now_size;
        if (!ApplyAll(old.get(), old_size, ops, count, sfunc, pfunc, &final) ||
            (whole && FirstFailure(ops, count) != kCfgOk)) {
            return FirstFailure(ops, count);
        }
    }
    if (rc == kCfgOk) {
        const inplace::Piece piece{final.buf.get(), final.size};
        if (inplace::Commit(fd.get(), target, lock.fd(), temp_path, old.get(), old_size, &piece,
                            1) != inplace::kOk) {
            rc = kCfgWriteFail;
        }
    }
    if (rc != kCfgOk) {
        FailChanged(ops, count, rc);
    }
    return FirstFailure(ops, count);
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

bool BadSection(const char *section) {
    return std::strlen(section) > static_cast<std::size_t>(kCfgMaxName) || HasBadChar(section, ']');
}

// The write of key = value as one op: refused (-7) text, a missing key (nothing to do), or to
// be applied.
WriteOp MakeOp(const char *key, const char *value) {
    WriteOp op{key, value, false, false, kCfgOk};
    if (key == nullptr) {
        return op;
    }
    const char *val = value != nullptr ? value : "";
    if (key[0] == '\0' || std::strlen(key) > static_cast<std::size_t>(kCfgMaxName) ||
        HasBadChar(key, '=') || std::strlen(val) > static_cast<std::size_t>(kCfgMaxValue) ||
        HasBadChar(val, '\0') || EndsInContinuation(val)) {
        op.result = kCfgBadArgument;
        return op;
    }
    op.value = val;
    op.apply = true;
    return op;
}

void SetSection(const char *section) {
    CleanUp();
    CopyField(scanner.sec_name, section);
    scanner.bNoSection = section[0] == '\0' ? 1 : 0;
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
    CfgWrite write{key, value, kCfgOk};
    return WriteCFGDataSetWithTemp(path, temp_path, section, &write, 1);
}

int WriteCFGDataSetWithTemp(const char *path, const char *temp_path, const char *section,
                            CfgWrite *writes, int count, bool whole) {
    constexpr int kMaxWrites = 64;
    const char *sec = section != nullptr ? section : "";
    if (count < 0 || count > kMaxWrites) {
        return kCfgBadArgument;
    }
    WriteOp ops[kMaxWrites];
    const bool bad_section = BadSection(sec);
    bool any = false;
    for (int i = 0; i < count; ++i) {
        ops[i] = MakeOp(writes[i].key, writes[i].value);
        if (bad_section) {
            ops[i].apply = false;
            ops[i].result = kCfgBadArgument;
        }
        any = any || ops[i].apply;
    }
    if (any && !(whole && FirstFailure(ops, count) != kCfgOk)) {
        SetSection(sec);
        (void)RunWrites(path, temp_path, ops, count, write_section, write_parameter, whole);
    }
    for (int i = 0; i < count; ++i) {
        writes[i].result = ops[i].result;
    }
    return FirstFailure(ops, count);
}

}  // namespace cfg

int pm1_process(const char *path, const char *temp_path, SectionCallback sfunc,
                EntryCallback pfunc) {
    // The write held in the scanner's fields, as the caller set them.
    cfg::WriteOp op{nullptr, nullptr, true, false, kCfgOk};
    return cfg::RunWrites(path, temp_path, &op, 1, sfunc, pfunc);
}

bool CFGValueIsStorable(const char *value) {
    return std::strlen(value) <= static_cast<std::size_t>(kCfgMaxValue) &&
           !cfg::HasBadChar(value, '\0') && !cfg::EndsInContinuation(value);
}

int WriteCFGData(const char *path, const char *section, const char *key, const char *value) {
    return cfg::WriteCFGDataWithTemp(path, paths::kConfigTemp, section, key, value);
}

int WriteCFGDataSet(const char *path, const char *section, CfgWrite *writes, int count) {
    return cfg::WriteCFGDataSetWithTemp(path, paths::kConfigTemp, section, writes, count);
}

int WriteCFGDataSetWhole(const char *path, const char *section, CfgWrite *writes, int count) {
    return cfg::WriteCFGDataSetWithTemp(path, paths::kConfigTemp, section, writes, count, true);
}
