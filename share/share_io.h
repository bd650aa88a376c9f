// File handling shared by the Samba and AppleTalk rewrites: a whole-line reader, a temporary
// file with a stream to write the new text into, the copy back over the target and the
// service commands.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string_view>

#include "common/scoped.h"
#include "common/text_view.h"
#include "common/util.h"

namespace share {

// Room for one line. Configuration lines are far shorter; a longer line is handled by its
// start and the rest of it is carried through unchanged or dropped with it.
inline constexpr std::size_t kLineCapacity = 4096;

// Reads a text stream line by line. The final line of a file may lack its newline.
class LineReader {
  public:
    explicit LineReader(FILE *in) : in_(in) {}
    LineReader(const LineReader &) = delete;
    LineReader &operator=(const LineReader &) = delete;

    // Reads the next line; false at the end of the stream. Drops whatever is left of a cut
    // line that the caller did not carry through.
    bool Next();
    // The line, newline included when it has one; only its start when cut().
    std::string_view text() const { return std::string_view(buf_, len_); }
    // True when the line goes on in the stream beyond text().
    bool cut() const { return cut_; }
    // True when the line ends with a newline (a cut line has one further on, or ends the file).
    bool has_newline() const { return cut_ || (len_ > 0 && buf_[len_ - 1] == '\n'); }
    // Copies the rest of a cut line, newline included, to out; nothing for a whole line.
    void CarryRest(FILE *out);

  private:
    void SkipRest();

    FILE *in_;
    char buf_[kLineCapacity];
    std::size_t len_ = 0;
    bool cut_ = false;
};

// Writes text unchanged.
void Put(FILE *out, std::string_view text);
// Writes the current line from `from` (a tail of reader.text()) to its end, the rest of a cut
// line included.
void PutLineFrom(LineReader &reader, std::string_view from, FILE *out);

// Drops leading spaces (the space character only) / spaces and tabs.
std::string_view SkipSpaces(std::string_view text);
std::string_view SkipBlanks(std::string_view text);
// Case-insensitive test for a prefix.
bool StartsWithNoCase(std::string_view text, std::string_view prefix);

// A temporary file from a mkstemp template, owned by the real user and group, with a stream
// on it for the new text. Closed and removed when the object ends.
class RewriteTemp {
  public:
    explicit RewriteTemp(const char *name_template);
    RewriteTemp(const RewriteTemp &) = delete;
    RewriteTemp &operator=(const RewriteTemp &) = delete;

    bool valid() const { return file_.valid() && stream_.get() != nullptr; }
    FILE *stream() const { return stream_.get(); }
    int fd() const { return file_.fd(); }

  private:
    TempFile file_;
    UniqueFile stream_;  // declared after file_: closed before the file is removed
};

// Trace texts of one rewrite (tag and the failures of the copy back).
struct RewriteMessages {
    const char *tag;
    const char *temp_write_fail;  // the new text could not be written into the temporary file
    const char *seek_fail;        // the temporary file could not be rewound
    const char *write_back_fail;  // the target could not be opened or written
};

// Puts the new text over the target in place (same inode, owner and mode; mode 0755 when the
// target is created), copying in chunks of the file buffer's size. 0; -3 rewind failed;
// -2 target cannot be opened; -4 a write failed. Each failure is traced.
int CopyBack(RewriteTemp &temp, const char *target, const RewriteMessages &m);

// One file rewritten in place through a temporary copy, with the traces of its steps.
struct RewriteStep {
    const char *path;           // the file rewritten
    const char *temp_template;  // mkstemp template of its temporary copy
    const char *read_fail;      // the file cannot be opened or read
    const char *temp_fail;      // the temporary file cannot be made
    const RewriteMessages &copy_back;
};

// Opens step.path, lets pass(in, out) write the new text into a temporary file and puts that
// over the file in place. 0; -2 the file cannot be opened or read, or no temporary file; else
// the result of CopyBack. The file is untouched on every failure before the copy back.
template <typename Pass>
int RewriteFile(const RewriteStep &step, Pass &&pass) {
    const char *tag = step.copy_back.tag;
    UniqueFile in(std::fopen(step.path, "r"));
    if (!in) {
        NETDebugMsg(tag, step.read_fail);
        return -2;
    }
    RewriteTemp temp(step.temp_template);
    if (!temp.valid()) {
        NETDebugMsg(tag, step.temp_fail);
        return -2;
    }
    pass(in.get(), temp.stream());
    if (std::ferror(in.get()) != 0) {
        NETDebugMsg(tag, step.read_fail);
        return -2;
    }
    in.reset();
    return CopyBack(temp, step.path, step.copy_back);
}

// Writes all of data to fd. 0, or -1.
int WriteAll(int fd, const char *data, std::size_t size);

// Characters, beyond the control characters, at which a text field is cut before it is
// written, because in the file it goes to they would end the field or add one.
// smb.conf values ("key = value"): a backslash at the end continues the line.
inline constexpr std::string_view kSambaValueStops = "\\";
// printcap and papd.conf entry headers: ':' ends a field, '|' starts an alias, a backslash
// escapes or continues; a printer name is also the start of the line, where '#' would make the
// whole entry header a comment.
inline constexpr std::string_view kPrinterNameStops = ":|\\#";
inline constexpr std::string_view kPrinterTextStops = ":|\\";
// atalkd.conf: the zone stands in double quotes; a quote would end it and let the rest of the
// zone be read as options, a backslash could escape the closing quote.
inline constexpr std::string_view kZoneStops = "\"\\";

// Length of the text before its first control character (below 0x20, and 0x7F) or character
// of `stops`.
std::size_t SafeFieldLength(const char *text, std::string_view stops);

// Makes a text field of a settings record safe to write into a configuration file: ends it
// within its size and cuts it at the first control character or character of `stops` (traced
// with tag).
void CleanField(char *field, std::size_t size, const char *tag, std::string_view stops = {});

// Runs "<script> <action>" through the shell (built in systembuffer); system()'s raw result.
int RunService(const char *script, const char *action);

}  // namespace share
