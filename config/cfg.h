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

// Reads the value of `key` in `section` (null or "": any section, and before the first header)
// into out[size]. 0 (out "" when absent), -1 no file / a name longer than 63, -2 syntax error
// before the key, -3 value of `size` characters or more, or of more than 255 (out holds what
// fits), -4 no memory, -6 out missing. Bytes 0x80-0xFF are ordinary; a NUL byte ends the input.
int ReadCFGData(const char *path, const char *section, const char *key, char *out, int size);
// Sets `key` in `section` in place (replace / insert after the header / append), through the
// temporary file "/etc/CGI_ds.conf.tmp". 0, -1 (no file, temporary file not made), -2 syntax
// error before the stop (nothing written), -4 no memory, -7 refused text (see kCfgBadArgument).
int WriteCFGData(const char *path, const char *section, const char *key, const char *value);
// Whether WriteCFGData takes this value (see kCfgBadArgument), for callers that check all
// their values before they write the first.
bool CFGValueIsStorable(const char *value);

int pm_process(const char *path, SectionCallback sfunc, EntryCallback pfunc);
int pm1_process(const char *path, const char *temp_path, SectionCallback sfunc,
                EntryCallback pfunc);

// Advisory flock on "/etc/CGI_ds.conf" through one process-wide read-only descriptor (opened
// close-on-exec on first use, never closed): mode kLockShared or (any other) exclusive, three
// non-blocking tries one second apart. 0, -1 cannot open (the next call opens again), -5.
int LockFile(int mode);
int UnLockFile();  // always 0
// Exclusive flock on any descriptor: two tries one second apart; 0 or -5 (after ~2 s).
int LockFileByHandle(int fd);
int UnLockFileByHandle(int fd);  // always 0
