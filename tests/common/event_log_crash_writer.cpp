// The event log's side of its crash test, built for the appliance's CPU:
//   event_log_crash_writer write FIRST   adds the entries " entry FIRST", " entry FIRST+1", ...
//                                        of the source "confagent" for ever; prints "ready"
//                                        once the first is in, when its code runs at full
//                                        speed (under an emulator too) (exit 3: an entry failed)
//   event_log_crash_writer check         the next entry after a kill: " after kill" of the
//                                        source "check" (exit 1 when it fails)
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/event_log.h"

int main(int argc, char **argv) {
    if (argc == 3 && std::strcmp(argv[1], "write") == 0) {
        const long first = std::strtol(argv[2], nullptr, 10);
        for (long n = first;; ++n) {
            char message[32];
            std::snprintf(message, sizeof message, " entry %ld", n);
            if (SetLogMsg("confagent", message) != 0) {
                return 3;
            }
            if (n == first) {
                std::puts("ready");
                std::fflush(stdout);
            }
        }
    }
    if (argc == 2 && std::strcmp(argv[1], "check") == 0) {
        return SetLogMsg("check", " after kill") == 0 ? 0 : 1;
    }
    std::fputs("usage: event_log_crash_writer write FIRST | check\n", stderr);
    return 2;
}
