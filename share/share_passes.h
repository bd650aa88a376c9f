// The text passes of the sharing rewrites: each reads the old file from `in` and writes the new
// text to `out`. The Set/Write functions wrap them with the files, traces and services.
#pragma once

#include <cstddef>
#include <cstdio>

#include "share/share.h"

namespace share {

// smb.conf with the settings in its global section. False when the file has no global section
// at all (out then holds nothing of use).
bool RewriteSambaConf(FILE *in, FILE *out, const SambaInfo &info, bool wins_on);
// The global section put in front of a smb.conf that has none.
void WriteSambaGlobalHeader(FILE *out, const SambaInfo &info, bool wins_on);

// printcap with the Samba printer name and comment in the header of its first entry.
void RewritePrintcapSamba(FILE *in, FILE *out, const SambaInfo &info);
// printcap with the AppleTalk printer name in the header of its first entry, aliases kept.
void RewritePrintcapApple(FILE *in, FILE *out, const AtalkInfo &info);
// papd.conf with the printer name, type, queue and flag.
void RewritePapdConf(FILE *in, FILE *out, const AtalkInfo &info);

// Room for the whole new atalkd.conf text.
inline constexpr std::size_t kAtalkdTextCapacity = 8192;
// Builds the new atalkd.conf text from the old file (null when it could not be read) into
// text (capacity bytes, NUL-terminated). 0, or -1 when the text would not fit whole.
int BuildAtalkdText(FILE *in, const char *zone, char *text, std::size_t capacity,
                    std::size_t *length);

}  // namespace share
