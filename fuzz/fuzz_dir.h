// A folder of the harness's own under $TMPDIR (or /tmp), made once and removed at exit, for
// the files the code under test reads and rewrites.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzzdir {

inline std::string &Path() {
    static std::string path;
    return path;
}

inline void RemoveAll() {
    if (!Path().empty()) {
        std::string command = "rm -rf '" + Path() + "'";
        (void)!std::system(command.c_str());
    }
}

// The folder (made on first use), or "" when it cannot be made.
inline const std::string &Get(const char *name) {
    if (Path().empty()) {
        const char *base = std::getenv("TMPDIR");
        std::string tmpl =
            std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/" + name + ".XXXXXX";
        if (mkdtemp(tmpl.data()) != nullptr) {
            Path() = tmpl;
            std::atexit(RemoveAll);
        }
    }
    return Path();
}

inline std::string File(const char *name) {
    return Path() + "/" + name;
}

inline bool Write(const std::string &path, const std::uint8_t *data, std::size_t size) {
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
        return false;
    }
    const bool ok = std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

inline std::string Read(const std::string &path) {
    std::string out;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        return out;
    }
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) {
        out.append(buffer, n);
    }
    std::fclose(f);
    return out;
}

}  // namespace fuzzdir
