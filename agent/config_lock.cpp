// The configuration lock of one command: LockFile with the agent's retry schedule.
#include <unistd.h>

#include "agent/agent.h"
#include "config/cfg.h"

int TakeConfigLock(int kind) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        const int rc = LockFile(kind);
        if (rc == kCfgOk) {
            return 0;
        }
        if (rc != kCfgLockFail) {
            return proto::kStLockOpen;
        }
        sleep(1);
    }
    return proto::kStLockBusy;
}

void ReleaseConfigLock() {
    UnLockFile();
}
