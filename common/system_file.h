// Every system file the programs write (the network, resolver, DHCP server, naming, Samba and
// AppleTalk files) is replaced here, whole, with the crash-safe rewrite in place of the
// settings store (common/inplace_rewrite.h): through the fixed temporary file
// "/etc/CGI_sysfile.tmp", which its mark declares complete while the file is overwritten. A
// kill or a power cut at any instant leaves each file with its old or its new contents, never
// a mix or an empty file; the file keeps its inode, owner and mode. A rewrite that was
// interrupted is completed by RecoverSystemFiles, which every writer runs before it reads its
// file, and cfgsync and the agent at their start.
#pragma once

#include <sys/types.h>

#include <cstddef>

// Results, as the writers of the network and sharing functions report them.
inline constexpr int kSysFileOk = 0;
inline constexpr int kSysFileOpenFail = -2;   // the file cannot be opened or created
inline constexpr int kSysFileWriteFail = -4;  // not written (full disk, I/O error, an earlier
                                              // rewrite not completed): the old contents stay

// Replaces the contents of `path` with data[size]. A missing file is created with `mode` (less
// the process's file-creation mask); an existing one keeps its inode, owner and mode. Contents
// equal to the file's are not written at all. A symbolic link at `path` is followed: its
// target is rewritten. kSysFileOk, kSysFileOpenFail (also for anything but a regular file) or
// kSysFileWriteFail.
int WriteSystemFile(const char *path, const char *data, std::size_t size, mode_t mode);

// WriteSystemFile for a writer of the network and sharing functions: a failure is traced with
// `tag` and `open_message` (the file cannot be opened or created: -2) or `write_message` (not
// written: -4). 0, -2 or -4.
int WriteSystemFileTraced(const char *path, const char *data, std::size_t size, mode_t mode,
                          const char *tag, const char *open_message, const char *write_message);

// Completes a rewrite of a system file that was interrupted (one lstat when there is none).
// kSysFileOk, or kSysFileWriteFail when it could not be completed now (the next call tries
// again; meanwhile every write is refused, so the trusted copy is not lost).
int RecoverSystemFiles();

// The two through another temporary file (its mark: the same name with ".mark"), for tests.
int WriteSystemFileThrough(const char *temp_path, const char *path, const char *data,
                           std::size_t size, mode_t mode);
int RecoverSystemFilesThrough(const char *temp_path);

// Puts every rewrite of this process through another temporary file (null: the fixed one),
// for tests and harnesses that run the writers on files of their own, off the appliance.
void SetSystemFileTemp(const char *temp_path);
