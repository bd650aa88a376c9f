// Crash-safe rewrite of a file in place, through a temporary copy that a mark file declares
// complete. Shared by the configuration store and the event log.
//
// On-disk protocol of one rewrite of TARGET through the temporary file TEMP (mark TEMP.mark):
//  1. TEMP receives the complete new contents and is fsynced.
//  2. The mark TEMP.mark receives one record "<size of TEMP> <device> <inode> <path of
//     TARGET>\n" and is fsynced (the first time it is created, its folder too). From here on
//     TEMP is the trusted copy of the new contents.
//  3. TARGET is overwritten in place from its first changed byte, cut to the new size and
//     fsynced: it keeps its inode, owner, mode and the descriptors (and locks) held on it.
//  4. The mark is emptied and fsynced, so that no record outlives the copy it vouches for
//     (TEMP is rewritten only after that). TEMP stays, holding the new contents; the empty
//     mark stays too. A missing or empty mark means no rewrite is under way.
// A failure in step 3 writes the old contents back (from the caller's copy) and empties the
// mark; should even that fail, the record stays and the next recovery completes the new
// contents.
//
// Recovery (run before any other use of TEMP or TARGET): a record that is whole, whose size
// matches TEMP and whose path names a regular file of that device and inode, is completed:
// TEMP is copied into that file in place (as step 3), then step 4. Any other content of the
// mark (torn, stale, of a file that is no longer there) is dropped without touching anything,
// and TEMP without a record is never used. A recovery that is itself interrupted leaves the
// record, so the next one does the copy again.
//
// TEMP and the mark are opened without following symbolic links and must be regular files of
// one link; they take TARGET's owner and its permission bits less write for group and others
// (never world-writable, whatever the umask), and one that others could write is replaced by
// a fresh file rather than reused. Every rewrite and recovery of one TEMP is serialised by an
// exclusive flock of TEMP itself (Lock below).
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <climits>
#include <cstddef>

#include "common/scoped.h"

namespace inplace {

inline constexpr char kMarkSuffix[] = ".mark";

// True when `mark` is the mark of `temp` (for checks of fixed paths at compile time).
constexpr bool IsMarkOf(const char *mark, const char *temp) {
    while (*temp != '\0' && *mark == *temp) {
        ++mark;
        ++temp;
    }
    if (*temp != '\0') {
        return false;
    }
    for (const char *suffix = kMarkSuffix; *suffix != '\0'; ++suffix, ++mark) {
        if (*mark != *suffix) {
            return false;
        }
    }
    return *mark == '\0';
}

// Results of Commit.
inline constexpr int kOk = 0;
inline constexpr int kCopyFail = -1;    // TEMP or its mark could not be written: TARGET untouched
inline constexpr int kTargetFail = -2;  // TARGET could not be written: it holds its old contents

// Results of Recover and RecoverPending.
inline constexpr int kRecovered = 0;  // no mark, a mark removed, or a copy completed
inline constexpr int kPending = 1;    // a trusted copy could not be written back (mark kept)
inline constexpr int kBusy = 2;       // RecoverPending: the lock was not obtained

// Results of Lock::Take.
inline constexpr int kLocked = 0;
inline constexpr int kLockOpenFail = -1;  // TEMP cannot be opened or made
inline constexpr int kLockDiskFail = -2;  // nor, for a disk that is full, failing or read-only
inline constexpr int kLockBusy = -3;      // not obtained within kLockWaitMs
inline constexpr int kLockWaitMs = 3000;

// One part of new contents.
struct Piece {
    const unsigned char *data;
    std::size_t size;
};

// A mark's record.
struct MarkRecord {
    unsigned long long size;
    unsigned long long device;
    unsigned long long inode;
    char path[PATH_MAX];
};

// The mark of `temp_path` into out[size]; false when it does not fit.
bool MarkPath(const char *temp_path, char *out, std::size_t size);

// True when the mark may hold a record: anything at its place but an empty regular file
// (checked before taking any lock; one lstat).
bool HasMark(const char *temp_path);

// The permission bits of TEMP and the mark for a target of mode `target_mode`.
mode_t CopyMode(mode_t target_mode);

// Opens TEMP for reading and writing, creating it if missing (or replacing it, see above), for
// the target described by `target`. The descriptor, or -1.
int OpenCopy(const char *temp_path, const struct stat &target);

// Steps 1 to 4 for the open target `target_fd` (read-write) at `target_path` (recorded as
// given when absolute, else resolved),
// whose present contents are old[old_size], to the new contents `pieces`. TEMP is open
// (`temp_fd`, from OpenCopy) at `temp_path`. kOk, kCopyFail or kTargetFail.
int Commit(int target_fd, const char *target_path, int temp_fd, const char *temp_path,
           const unsigned char *old, std::size_t old_size, const Piece *pieces, int count);

// Recovery of `temp_path` (open as `temp_fd`, or -1 when it cannot be opened). kRecovered, or
// kPending with the mark's record in `pending` (when given): readers may then read TEMP in
// place of that target. The caller holds the lock.
int Recover(int temp_fd, const char *temp_path, MarkRecord *pending);

// The lock of every rewrite and recovery through one TEMP: an exclusive flock of TEMP, opened
// (made if missing, see OpenCopy) for the target described by `target`, waited for at most
// kLockWaitMs. Held until the guard ends; fd() is TEMP, for Commit.
class Lock {
  public:
    Lock() = default;
    Lock(const Lock &) = delete;
    Lock &operator=(const Lock &) = delete;
    // kLocked, kLockOpenFail, kLockDiskFail or kLockBusy.
    int Take(const char *temp_path, const struct stat &target);
    int fd() const { return fd_.get(); }

  private:
    UniqueFd fd_;
};

// Recovery of `temp_path` under its lock, when its mark may hold a record (else one lstat, the
// usual case). kRecovered, kPending (see Recover) or kBusy.
int RecoverPending(const char *temp_path, MarkRecord *pending);

// Reads the whole open regular file from its start into a buffer sized to it (a file that grows
// meanwhile is read to its end). kRead with the contents; kReadFail on a read error or for
// anything but a regular file; kReadNoMemory.
inline constexpr int kRead = 0;
inline constexpr int kReadFail = -1;
inline constexpr int kReadNoMemory = -2;
int ReadWhole(int fd, UniqueBuffer *out, std::size_t *size);

}  // namespace inplace
