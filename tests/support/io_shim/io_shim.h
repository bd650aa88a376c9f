// Control of the file-call shim (io_shim.cpp) in a test that links it: the calls that change
// files are counted, and one of them can be made to fail or to crash the process, for the files
// under one folder only.
#pragma once

extern "C" {

struct IoShimCounts {
    int writes;     // write, pwrite, writev, pwritev
    int truncates;  // ftruncate
    int syncs;      // fsync, fdatasync
    int unlinks;    // unlink, unlinkat
};

// What the faulty call does.
enum IoShimAction {
    kIoShimNone = 0,
    kIoShimNoSpace = 1,  // fails with ENOSPC, writing nothing
    kIoShimIoError = 2,  // fails with EIO, writing nothing
    kIoShimShort = 3,    // a write writes half of its bytes and the next call fails with ENOSPC;
                         // any other call fails with ENOSPC
    kIoShimKill = 4,     // writes half of its bytes (a write), then SIGKILL
};

// Watches the files under `folder` (null: none). Resets the counts and the fault.
void io_shim_watch(const char *folder);
// Makes the `nth` watched call (1 = the next one) do `action`.
void io_shim_fault(int nth, int action);
IoShimCounts io_shim_counts(void);
// True once the fault has been met.
int io_shim_fault_met(void);
}

// Watches `folder` for the life of the guard.
class IoShimWatch {
  public:
    explicit IoShimWatch(const char *folder) { io_shim_watch(folder); }
    ~IoShimWatch() { io_shim_watch(nullptr); }
    IoShimWatch(const IoShimWatch &) = delete;
    IoShimWatch &operator=(const IoShimWatch &) = delete;
};
