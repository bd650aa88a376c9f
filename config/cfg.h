// The configuration store: INI-style file reader, in-place writer and advisory locks.
#pragma once

// Result codes of the store.
inline constexpr int kCfgOk = 0;
inline constexpr int kCfgOpenFail = -1;  // file cannot be opened
inline constexpr int kCfgSyntax = -2;    // syntax error
inline constexpr int kCfgTooLong = -3;   // value longer than the caller's buffer
inline constexpr int kCfgNoMemory = -4;  // no memory for the working buffer
inline constexpr int kCfgLockFail = -5;  // lock not obtained
inline constexpr int kCfgNoOutput = -6;  // missing output buffer
// WriteCFGData only: a section, key or value that the file cannot hold as one line and read
// back unchanged: a control character (below 0x20, TAB excepted: LF, CR...), "=" in the key,
// "]" in the section name, a value ending in a backslash (it would continue onto the next
// line), or a name longer than 63 / a value longer than 255 characters. Nothing is written.
inline constexpr int kCfgBadArgument = -7;
// WriteCFGData only: the change could not be written to disk (disk full, I/O error, read-only
// disk: a write, truncation or fsync of the temporary file, its mark or the file failed, or
// the temporary file could not be made for one of those reasons). The file holds
// its old contents, written back from the copy the call held (should even that fail, the
// next store call completes the new contents: never a mix).
inline constexpr int kCfgWriteFail = -8;

// Limits of the stored data: names at most 63 characters, values at most 255.
// ReadCFGData refuses a section or key name longer than kCfgMaxName with kCfgOpenFail (-1)
// without reading the file; a stored value longer than kCfgMaxValue reads as kCfgTooLong (-3).
inline constexpr int kCfgMaxName = 63;
inline constexpr int kCfgMaxValue = 255;

// Lock modes of LockFile.
inline constexpr int kLockShared = 2;
inline constexpr int kLockExclusive = 3;

// Callbacks of the scanner: 0 go on, 1 stop (found), negative error.
using SectionCallback = int (*)(const char *name);
using EntryCallback = int (*)(const char *key, const char *value);

// On-disk protocol (crash safety). Every change of the file goes through the fixed temporary
// file "/etc/CGI_ds.conf.tmp" and its mark "/etc/CGI_ds.conf.tmp.mark":
//  1. the complete new contents are written to the temporary file, which is fsynced;
//  2. the mark receives one record "<size> <device> <inode> <path of the file>\n" and is
//     fsynced (made the first time, its folder too): the temporary file is now the trusted
//     copy;
//  3. the file is overwritten in place from its first changed byte, cut to its new size and
//     fsynced: it keeps its inode, owner, mode and the lock descriptors held on it;
//  4. the mark is emptied and fsynced. The temporary file stays, holding the new contents.
// A missing or empty mark means that no change is under way. Every store call (ReadCFGData,
// WriteCFGData, LockFile and their Set forms) first completes an interrupted change: a whole
// record that matches the temporary file's size and names a file of that device and inode has
// the temporary file copied back in place (steps 3 and 4); any other content of the mark is
// dropped unused, and a temporary file without a record is never used. An interrupted
// recovery leaves the record, so the next call does it again. While the copy cannot be
// written back (full or read-only disk), readers read the temporary file instead.
// Writers and recovery serialise on an exclusive flock of the temporary file (3 s at most,
// then -5). The temporary file and the mark are never followed through a symbolic link, must
// be regular files with one link, and take the file's owner and its permission bits less
// write for group and others. A change whose result would be byte-identical to the file
// writes nothing at all (no write, no fsync, no temporary file). Shared with the event log:
// common/inplace_rewrite.h.
//
// Reads the value of `key` in `section` (null or "": any section, and before the first header)
// into out[size]. 0 (out "" when absent), -1 no file / a name longer than 63, -2 syntax error
// before the key, -3 value of `size` characters or more, or of more than 255 (out holds what
// fits), -4 no memory, -6 out missing. Bytes 0x80-0xFF are ordinary; a NUL byte ends the input.
int ReadCFGData(const char *path, const char *section, const char *key, char *out, int size);
// Sets `key` in `section` in place (replace / insert after the header / append), through the
// temporary file "/etc/CGI_ds.conf.tmp" (see above). 0 (also when nothing needed to change),
// -1 (no file, temporary file not made), -2 syntax error before the stop (nothing written),
// -4 no memory, -5 the store's lock not obtained, -7 refused text (see kCfgBadArgument),
// -8 not written to disk (see kCfgWriteFail).
int WriteCFGData(const char *path, const char *section, const char *key, const char *value);
// Whether WriteCFGData takes this value (see kCfgBadArgument), for callers that check all
// their values before they write the first.
bool CFGValueIsStorable(const char *value);

// Several keys of one section read in one pass over the file. Each entry's result (and `out`)
// is what ReadCFGData would give for that key alone; returns the first non-zero result, or 0.
struct CfgRead {
    const char *key;
    char *out;
    int size;
    int result;
};
int ReadCFGDataSet(const char *path, const char *section, CfgRead *reads, int count);

// Several keys (at most 64) of one section written in order, with the result that the same
// WriteCFGData calls would give the file, as one change: after a crash the file holds all of
// them or none.
// Each entry's result is what its own call would return (-7, -2...: that write is left out);
// when the change cannot be made, every write that changed something gets the failure (-1,
// -5 or -8). Returns the first non-zero result, or 0.
struct CfgWrite {
    const char *key;
    const char *value;
    int result;
};
int WriteCFGDataSet(const char *path, const char *section, CfgWrite *writes, int count);
// The same, but all or nothing: when any write fails (a refused text, a syntax error before its
// key, ...), nothing is written at all. The results are as above (a write that did not fail
// keeps 0: it would have been made); returns the first non-zero result, or 0.
int WriteCFGDataSetWhole(const char *path, const char *section, CfgWrite *writes, int count);

// Completes an interrupted change of "/etc/CGI_ds.conf" now, as every store call does first:
// for a program's start-up. 0, 1 the copy could not be written back (reads use it), -5 the
// store's lock not obtained.
int RecoverCFGData();

int pm_process(const char *path, SectionCallback sfunc, EntryCallback pfunc);
int pm1_process(const char *path, const char *temp_path, SectionCallback sfunc,
                EntryCallback pfunc);

// Advisory flock on "/etc/CGI_ds.conf" (after completing an interrupted change) through one
// process-wide read-only descriptor (opened close-on-exec on first use, never closed): mode
// kLockShared or (any other) exclusive, three non-blocking tries one second apart. 0, -1 cannot
// open (the next call opens again), -5.
int LockFile(int mode);
int UnLockFile();  // always 0
// Exclusive flock on any descriptor: two tries one second apart; 0 or -5 (after ~2 s).
int LockFileByHandle(int fd);
int UnLockFileByHandle(int fd);  // always 0
