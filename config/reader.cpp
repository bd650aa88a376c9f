// The configuration reader: pm_process, its callbacks and ReadCFGData.
#include <sys/stat.h>

#include <cstring>

#include "common/scoped.h"
#include "config/cfg_internal.h"

namespace cfg {

namespace {

// Makes `f` the stream of the scanner for one pass, with a fresh character source.
class ScanFile {
  public:
    explicit ScanFile(FILE *f) {
        scanner.file = f;
        ResetSource();
    }
    ~ScanFile() { scanner.file = nullptr; }
    ScanFile(const ScanFile &) = delete;
    ScanFile &operator=(const ScanFile &) = delete;
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

}  // namespace

// Runs one pass of the scanner over an open stream (used by the reader and the writer).
int ScanStream(FILE *f, SectionCallback sfunc, EntryCallback pfunc) {
    WorkBuffer work;
    if (!work.ok()) {
        return kCfgNoMemory;
    }
    ScanFile bind(f);
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
    if ((s.bInSection != 0 || s.bNoSection != 0) && std::strcmp(key, s.var_name) == 0) {
        std::size_t n = std::strlen(value);
        if (n > static_cast<std::size_t>(kCfgMaxValue)) {
            n = kCfgMaxValue;  // never beyond var_value; the read then fails with -3
            s.bValueTooLong = 1;
        }
        std::memcpy(s.var_value, value, n);
        s.var_value[n] = '\0';
        return 1;
    }
    return 0;
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

int ReadCFGData(const char *path, const char *section, const char *key, char *out, int size) {
    using cfg::scanner;
    if (out == nullptr) {
        return kCfgNoOutput;
    }
    if (size > 0) {
        out[0] = '\0';
    }
    const char *sec = section != nullptr ? section : "";
    if (std::strlen(sec) > static_cast<std::size_t>(kCfgMaxName)) {
        return kCfgOpenFail;  // never cut into the name of another section
    }
    if (key == nullptr) {
        return kCfgOk;
    }
    if (std::strlen(key) > static_cast<std::size_t>(kCfgMaxName)) {
        return kCfgOpenFail;  // never cut into the name of another key
    }
    cfg::CopyName(scanner.sec_name, sizeof scanner.sec_name, sec);
    scanner.bNoSection = sec[0] == '\0' ? 1 : 0;
    cfg::CopyName(scanner.var_name, sizeof scanner.var_name, key);
    cfg::CleanUp();
    scanner.var_value[0] = '\0';

    const int rc = pm_process(path, cfg::read_section, cfg::read_parameter);
    if (rc != 0 && rc != 1) {
        return rc;
    }
    const std::size_t len = std::strlen(scanner.var_value);
    if (scanner.bValueTooLong != 0 || size <= 0 || len >= static_cast<std::size_t>(size)) {
        if (size > 0) {
            const std::size_t n =
                len < static_cast<std::size_t>(size) - 1 ? len : static_cast<std::size_t>(size) - 1;
            std::memcpy(out, scanner.var_value, n);
            out[n] = '\0';
        }
        return kCfgTooLong;
    }
    std::memcpy(out, scanner.var_value, len + 1);
    return kCfgOk;
}
