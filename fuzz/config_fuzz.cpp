// libFuzzer harness of the configuration store: the input is taken as a configuration file,
// read for a few keys (in section network and in no-section mode) and then written to (replace
// or insert, and append) through the in-place writer.
//
// Built with the other harnesses (cmake --preset fuzz) and run by fuzz/run-all.
//
// The harness writes its files in a folder of its own under $TMPDIR (or /tmp), removed at exit.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/cfg.h"
#include "config/cfg_internal.h"

namespace {

std::string g_dir;
std::string g_path;
std::string g_temp;

void RemoveFiles() {
    unlink(g_temp.c_str());
    unlink(g_path.c_str());
    rmdir(g_dir.c_str());
}

bool Setup() {
    if (!g_path.empty()) {
        return true;
    }
    const char *base = std::getenv("TMPDIR");
    std::string dir = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/cfgfuzz." +
                      std::to_string(getpid());
    std::string tmpl = dir + ".XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) {
        return false;
    }
    g_dir = tmpl;
    g_path = tmpl + "/CGI_ds.conf";
    g_temp = tmpl + "/CGI_ds.conf.tmp";
    std::atexit(RemoveFiles);
    return true;
}

bool WriteInput(const uint8_t *data, size_t size) {
    FILE *f = std::fopen(g_path.c_str(), "wb");
    if (f == nullptr) {
        return false;
    }
    const bool ok = std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (!Setup() || !WriteInput(data, size)) {
        return 0;
    }
    static const char *const kKeys[] = {"ip_addr", "disk_server_comment", "time_zone", "a", "k k"};
    char out[256];
    char small[8];
    for (const char *key : kKeys) {
        const int rc = ReadCFGData(g_path.c_str(), "network", key, out, sizeof out);
        if (rc != -6 && std::memchr(out, '\0', sizeof out) == nullptr) {
            std::abort();  // the output must always be terminated
        }
        (void)ReadCFGData(g_path.c_str(), "", key, small, sizeof small);
    }
    // The writer: the value written must read back (unless the file has a syntax error).
    if (cfg::WriteCFGDataWithTemp(g_path.c_str(), g_temp.c_str(), "network", "ip_addr",
                                  "10.0.0.5") == 0) {
        if (ReadCFGData(g_path.c_str(), "network", "ip_addr", out, sizeof out) == 0 &&
            std::strcmp(out, "10.0.0.5") != 0) {
            std::abort();
        }
    }
    (void)cfg::WriteCFGDataWithTemp(g_path.c_str(), g_temp.c_str(), "fuzz", "key", "value");
    return 0;
}
