// The configuration reader: pm_process, its callbacks, ReadCFGData and ReadCFGDataSet.
//
// One pass over the file serves any number of keys of one section: each key takes the first
// entry of its name in the section (as a pass for that key alone, which would stop there), and
// the pass stops once every key is found. A syntax error gives -2 to the keys not found before
// it, as their own passes would have met it first.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include "common/paths.h"
#include "common/scoped.h"
#include "config/cfg_internal.h"

namespace cfg {

namespace {

// The keys asked for by the pass in progress (the library is single-threaded).
CfgRead *pass_reads = nullptr;
int pass_count = 0;
int pass_left = 0;

// Result of a read not yet found during the pass.
constexpr int kNotFound = 1;

// Makes `f` the stream of the scanner for one pass, with a fresh character source.
class ScanFile {
  public:
    explicit ScanFile(FILE *f) {
        scanner.file = f;
        scanner.mem = nullptr;
        ResetSource();
    }
    ~ScanFile() { scanner.file = nullptr; }
    ScanFile(const ScanFile &) = delete;
    ScanFile &operator=(const ScanFile &) = delete;
};

// The same for contents in memory.
class ScanBytes {
  public:
    ScanBytes(const unsigned char *data, std::size_t size) {
        scanner.file = nullptr;
        scanner.mem = data;
        scanner.mem_size = static_cast<long>(size);
        ResetSource();
    }
    ~ScanBytes() {
        scanner.mem = nullptr;
        scanner.mem_size = 0;
    }
    ScanBytes(const ScanBytes &) = delete;
    ScanBytes &operator=(const ScanBytes &) = delete;
};

// Copies text into a fixed field of `size` bytes (the caller has checked the length).
void CopyName(char *field, std::size_t size, const char *text) {
    std::size_t n = std::strlen(text);
    if (n >= size) {
        n = size - 1;
    }
    std::memcpy(field, text, n);
    field[n] = '\0';
}

// The value found for one read: into its buffer, cut to kCfgMaxValue and to the buffer.
void Deliver(CfgRead *r, const char *value) {
    std::size_t n = std::strlen(value);
    bool too_long = false;
    if (n > static_cast<std::size_t>(kCfgMaxValue)) {
        n = kCfgMaxValue;  // never beyond what the store holds; the read then fails with -3
        too_long = true;
    }
    if (too_long || r->size <= 0 || n >= static_cast<std::size_t>(r->size)) {
        if (r->size > 0) {
            const std::size_t cut = n < static_cast<std::size_t>(r->size) - 1
                                        ? n
                                        : static_cast<std::size_t>(r->size) - 1;
            std::memcpy(r->out, value, cut);
            r->out[cut] = '\0';
        }
        r->result = kCfgTooLong;
        return;
    }
    std::memcpy(r->out, value, n + 1);
    r->result = kCfgOk;
}

// Where the reads are served from: the file, or the trusted copy of a change that could not be
// written back to it.
const char *ReadSource(const char *path, const char *temp_path) {
    inplace::MarkRecord pending{};
    if (path == nullptr || path[0] == '\0' || RecoverStore(temp_path, &pending) != 1) {
        return path;
    }
    struct stat st {};
    if (::stat(path, &st) == 0 && static_cast<unsigned long long>(st.st_dev) == pending.device &&
        static_cast<unsigned long long>(st.st_ino) == pending.inode) {
        return temp_path;
    }
    return path;
}

// One pass over the file at `path`, read whole into memory: Parse's result with 1 turned into
// 0, or -1 (missing path, no file or not a regular one), -4.
int ScanFileAt(const char *path, SectionCallback sfunc, EntryCallback pfunc) {
    if (path == nullptr || path[0] == '\0') {
        return kCfgOpenFail;
    }
    UniqueFd fd(::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) {
        return kCfgOpenFail;
    }
    UniqueBuffer contents;
    std::size_t size = 0;
    int rc = LoadFile(fd.get(), &contents, &size);
    if (rc == kCfgOk) {
        rc = ScanMemory(contents.get(), size, sfunc, pfunc);
    }
    return rc == 1 ? 0 : rc;
}

}  // namespace

// Runs one pass of the scanner over an open stream.
int ScanStream(FILE *f, SectionCallback sfunc, EntryCallback pfunc) {
    WorkBuffer work;
    if (!work.ok()) {
        return kCfgNoMemory;
    }
    ScanFile bind(f);
    return Parse(sfunc, pfunc);
}

int ScanMemory(const unsigned char *data, std::size_t size, SectionCallback sfunc,
               EntryCallback pfunc) {
    WorkBuffer work;
    if (!work.ok()) {
        return kCfgNoMemory;
    }
    ScanBytes bind(data, size);
    return Parse(sfunc, pfunc);
}

int read_section(const char *name) {
    ScannerState &s = scanner;
    if (s.bInSection != 0) {
        return 1;  // the wanted section has ended: stop
    }
    if (std::strcmp(name, s.sec_name) == 0) {
        s.bInSection = 1;
    }
    return 0;
}

int read_parameter(const char *key, const char *value) {
    ScannerState &s = scanner;
    if (s.bInSection == 0 && s.bNoSection == 0) {
        return 0;
    }
    for (int i = 0; i < pass_count; ++i) {
        CfgRead &r = pass_reads[i];
        if (r.result == kNotFound && std::strcmp(key, r.key) == 0) {
            Deliver(&r, value);
            --pass_left;
        }
    }
    return pass_left == 0 ? 1 : 0;
}

int ReadCFGDataSetWithTemp(const char *path, const char *temp_path, const char *section,
                           CfgRead *reads, int count) {
    const char *sec = section != nullptr ? section : "";
    const bool bad_section = std::strlen(sec) > static_cast<std::size_t>(kCfgMaxName);
    int left = 0;
    for (int i = 0; i < count; ++i) {
        CfgRead &r = reads[i];
        if (r.out == nullptr) {
            r.result = kCfgNoOutput;
            continue;
        }
        if (r.size > 0) {
            r.out[0] = '\0';
        }
        if (bad_section) {
            r.result = kCfgOpenFail;  // never cut into the name of another section
        } else if (r.key == nullptr) {
            r.result = kCfgOk;
        } else if (std::strlen(r.key) > static_cast<std::size_t>(kCfgMaxName)) {
            r.result = kCfgOpenFail;  // never cut into the name of another key
        } else {
            r.result = kNotFound;
            ++left;
        }
    }
    if (left > 0) {
        CopyName(scanner.sec_name, sizeof scanner.sec_name, sec);
        scanner.bNoSection = sec[0] == '\0' ? 1 : 0;
        CleanUp();
        pass_reads = reads;
        pass_count = count;
        pass_left = left;
        const int rc = ScanFileAt(ReadSource(path, temp_path), read_section, read_parameter);
        pass_reads = nullptr;
        pass_count = 0;
        for (int i = 0; i < count; ++i) {
            if (reads[i].result == kNotFound) {
                // 0: not in the file (out stays empty; no room even for that with size 0).
                reads[i].result = rc == kCfgOk && reads[i].size <= 0 ? kCfgTooLong : rc;
            }
        }
    }
    for (int i = 0; i < count; ++i) {
        if (reads[i].result != kCfgOk) {
            return reads[i].result;
        }
    }
    return kCfgOk;
}

}  // namespace cfg

int pm_process(const char *path, SectionCallback sfunc, EntryCallback pfunc) {
    if (path == nullptr || path[0] == '\0') {
        return kCfgOpenFail;
    }
    UniqueFile f(std::fopen(path, "re"));
    if (!f) {
        return kCfgOpenFail;
    }
    struct stat st {};
    if (fstat(fileno(f.get()), &st) != 0 || S_ISDIR(st.st_mode)) {
        return kCfgOpenFail;
    }
    const int rc = cfg::ScanStream(f.get(), sfunc, pfunc);
    return rc == 1 ? 0 : rc;
}

int ReadCFGDataSet(const char *path, const char *section, CfgRead *reads, int count) {
    return cfg::ReadCFGDataSetWithTemp(path, paths::kConfigTemp, section, reads, count);
}

int ReadCFGData(const char *path, const char *section, const char *key, char *out, int size) {
    if (out == nullptr) {
        return kCfgNoOutput;
    }
    CfgRead read{key, out, size, kCfgOk};
    return ReadCFGDataSet(path, section, &read, 1);
}
