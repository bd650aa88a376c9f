// Internals of the configuration store: the scanner state and operations shared by the reader
// and the writer, and the lock descriptor. Not for callers
// outside config/ other than its tests, benchmark and fuzz harness.
#pragma once

#include <cstddef>
#include <cstdio>

#include "common/inplace_rewrite.h"
#include "common/scoped.h"
#include "config/cfg.h"

namespace cfg {

inline constexpr int kBlockSize = 1024;  // file block / copy buffer, and first `bufr` size
inline constexpr int kNameSize = 64;     // sec_name, var_name
inline constexpr int kValueSize = 256;   // var_value

// The process-wide scanner record. One parse at a time (the programs are single-threaded).
struct ScannerState {
    char *bufr;                        // header or entry being collected (malloc/realloc)
    int bSize;                         // size of bufr
    unsigned char buffer[kBlockSize];  // block of the file; also the writer's copy buffer
    FILE *file;                        // stream being scanned
    long cur_file_pos;                 // file offset of buffer[0]
    int cur_index;                     // index of the character last returned
    int end_index;                     // index of the last valid byte of buffer
    char sec_name[kNameSize];
    char var_name[kNameSize];
    char var_value[kValueSize];
    int bInSection;
    int bNoSection;
    int bInParameter;
    long sec_start, sec_end;
    long var_start, var_end;
    long tsec_start, tsec_end, tvar_start, tvar_end;
    // Beyond the text's record:
    int bLoaded;            // buffer holds a block (cur_index/end_index are valid)
    int bAtEnd;             // end of input met (end of file or a NUL byte): GetNextChar returns 0
    int bNulSeen;           // the end of input was a NUL byte, not the end of the file
    int bValueTooLong;      // the value found had more than kCfgMaxValue characters (var_value cut)
    int bEndInEntry;        // the input ended inside an entry (its line was not ended)
    int nEndContinuations;  // then: line ends the parser would still take as continuations
    const unsigned char *mem;  // when set, the contents scanned (mem_size bytes) instead of `file`
    long mem_size;
};

extern ScannerState scanner;

// Scanner operations. Characters are 1..255 (read as unsigned); 0 is the end of
// input (the end of the file, or a NUL byte, after which 0 is returned for good).
void CleanUp();
// Resets the character source (block, offsets, end marks) for a new pass over a stream.
void ResetSource();
int GetNextChar();
long GetCurPos();
int EatWhitespace();
int EatComment();
int Continuation(const char *line, int end);
int Section(SectionCallback sfunc);
int Parameter(EntryCallback pfunc, int c);
int Parse(SectionCallback sfunc, EntryCallback pfunc);

// A blank of the grammar: isspace() in the C locale other than the line feed.
inline bool IsBlank(int c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r';
}

// The working buffer `bufr` for one pass: allocated (kBlockSize bytes) when the guard is made,
// if none exists, and freed when it ends. ok() is false when the allocation failed.
class WorkBuffer {
  public:
    WorkBuffer();
    ~WorkBuffer();
    WorkBuffer(const WorkBuffer &) = delete;
    WorkBuffer &operator=(const WorkBuffer &) = delete;
    bool ok() const { return scanner.bufr != nullptr; }
};

// One pass of Parse over the open stream `f` (freshly opened: offsets are the stream's own), with
// the working buffer allocated for the pass and freed after it. Parse's result, or -4.
int ScanStream(FILE *f, SectionCallback sfunc, EntryCallback pfunc);

// One pass of Parse over contents in memory, offsets as in the file they were read from.
int ScanMemory(const unsigned char *data, std::size_t size, SectionCallback sfunc,
               EntryCallback pfunc);

// The file side of the store (store_file.cpp).
// Reads the whole open file into `out`: 0, -1 (read error, or not a regular file) or -4.
int LoadFile(int fd, UniqueBuffer *out, std::size_t *size);
// Completes an interrupted change through `temp_path` (see cfg.h): 0 (also when there was
// none), -5 the store's lock not obtained, or 1 when the trusted copy cannot be written back;
// *pending (when given) then holds its mark's record.
int RecoverStore(const char *temp_path, inplace::MarkRecord *pending);
// The store's lock: an exclusive flock of the temporary file, opened (created if missing) for
// the file described by `target`. Held until the guard ends.
class StoreLock {
  public:
    StoreLock() = default;
    StoreLock(const StoreLock &) = delete;
    StoreLock &operator=(const StoreLock &) = delete;
    // 0, -1 (the temporary file cannot be opened or created), -8 (nor for a full, failing or
    // read-only disk) or -5 (not obtained in 3 s).
    int Take(const char *temp_path, const struct stat &target);
    int fd() const { return lock_.fd(); }

  private:
    inplace::Lock lock_;
};

// The callbacks of the reader and the writer.
int read_section(const char *name);
int read_parameter(const char *key, const char *value);
int write_section(const char *name);
int write_parameter(const char *key, const char *value);

// The store functions with the temporary file named: WriteCFGData(path, ...) is
// WriteCFGDataWithTemp(path, "/etc/CGI_ds.conf.tmp", ...), and so on. For tests on temporary
// folders.
int WriteCFGDataWithTemp(const char *path, const char *temp_path, const char *section,
                         const char *key, const char *value);
int WriteCFGDataSetWithTemp(const char *path, const char *temp_path, const char *section,
                            CfgWrite *writes, int count, bool whole = false);
int ReadCFGDataSetWithTemp(const char *path, const char *temp_path, const char *section,
                           CfgRead *reads, int count);

// LockFile on another file than "/etc/CGI_ds.conf" (same process-wide descriptor), recovering
// through its temporary file `path` + ".tmp" (LockFile: "/etc/CGI_ds.conf.tmp"): for tests.
int LockFileAt(const char *path, int mode);
// The process's lock descriptor (0 before the first LockFile).
int LockDescriptor();

}  // namespace cfg
