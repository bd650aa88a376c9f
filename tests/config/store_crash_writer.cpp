// The settings store's side of its crash test, built for the appliance's CPU:
//   store_crash_writer write FIRST   changes the keys in a loop for ever, from write number
//                                    FIRST on; prints "ready" once the first write is done,
//                                    when its code runs at full speed (under an emulator too)
//                                    (exit 3: a write failed)
//   store_crash_writer read          the next store call after a kill: prints each key as
//                                    "KEY=VALUE" ("KEY=<read error>" when it cannot be read)
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/paths.h"
#include "config/cfg.h"
#include "tests/config/store_crash_model.h"

int main(int argc, char **argv) {
    if (argc == 3 && std::strcmp(argv[1], "write") == 0) {
        const long first = std::strtol(argv[2], nullptr, 10);
        for (long t = first;; ++t) {
            char key[kCrashKeySize];
            char value[kCrashValueSize];
            CrashKey(static_cast<int>(t % kCrashKeys), key);
            CrashValue(t, value);
            if (WriteCFGData(paths::kConfigFile, paths::kConfigSection, key, value) != 0) {
                return 3;
            }
            if (t == first) {
                std::puts("ready");
                std::fflush(stdout);
            }
        }
    }
    if (argc == 2 && std::strcmp(argv[1], "read") == 0) {
        for (int i = 0; i < kCrashKeys; ++i) {
            char key[kCrashKeySize];
            char value[256] = {};
            CrashKey(i, key);
            const int rc = ReadCFGData(paths::kConfigFile, paths::kConfigSection, key, value,
                                       static_cast<int>(sizeof value));
            std::printf("%s=%s\n", key, rc == 0 ? value : "<read error>");
        }
        return 0;
    }
    std::fputs("usage: store_crash_writer write FIRST | read\n", stderr);
    return 2;
}
