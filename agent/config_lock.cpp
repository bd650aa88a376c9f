// The configuration lock of one command: LockFile with the agent's retry schedule. Each try
// and each pause is a safe point of the SIGTERM stop; the pauses (LockFile's own included)
// end early on the signal.
#include <unistd.h>

#include "agent/agent.h"
#include "config/cfg.h"

int TakeConfigLock(int kind) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        StopIfRequested();
        const int rc = LockFile(kind);
        if (rc == kCfgOk) {
            return 0;
        }
        if (rc != kCfgLockFail) {
            return proto::kStLockOpen;
        }
        StopIfRequested();
        sleep(1);
    }
    StopIfRequested();
    return proto::kStLockBusy;
}

void ReleaseConfigLock() {
    UnLockFile();
}
