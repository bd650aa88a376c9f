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

// Limits of the stored data (Part 3.1): names at most 63 characters, values at most 255.
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

int ReadCFGData(const char *path, const char *section, const char *key, char *out, int size);
int WriteCFGData(const char *path, const char *section, const char *key, const char *value);

int pm_process(const char *path, SectionCallback sfunc, EntryCallback pfunc);
int pm1_process(const char *path, const char *temp_path, SectionCallback sfunc,
                EntryCallback pfunc);

int LockFile(int mode);
int UnLockFile();
int LockFileByHandle(int fd);
int UnLockFileByHandle(int fd);
