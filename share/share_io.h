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

// How a text field of a settings record is made fit for the file it goes to. Each character
// the file cannot hold is replaced by one it can, one for one: the text keeps its length and
// every other character, so a stored value (from an earlier firmware or a hand edit) keeps its
// words and never becomes empty, which would switch its service off. Control characters
// (below 0x20, and 0x7F) would start a line anywhere; the separators are the file's own.
struct FieldRule {
    const char *what;               // the field, in traces: "zone name"
    char control;                   // what a control character becomes
    std::string_view separators;    // the file's separators in this field ...
    std::string_view replacements;  // ... and what each one becomes, position by position
    char first_hash;                // a '#' that begins the field (a comment line), or 0
    char ending_backslash;          // a '\' with only blanks behind it (continues the line), or 0
};

// smb.conf values ("key = value"): only a backslash at the end of a value matters (the line
// would continue into the next one); Samba drops the blanks around a value.
inline constexpr FieldRule kWorkgroupRule = {"workgroup", ' ', "", "", 0, '_'};
inline constexpr FieldRule kCodePageRule = {"code page", ' ', "", "", 0, '_'};
// The print queue's name: the first field of the printcap and papd.conf entry headers and the
// papd.conf queue (":pr="). ':' ends a field, '|' starts an alias, '\' escapes, and a '#' at
// the start of the line makes the entry a comment: each becomes '_', as a name would have it.
inline constexpr FieldRule kPrinterNameRule = {"printer name", '_', ":|\\", "___", '_', 0};
// The printer's description (the printcap alias behind '|') and its AppleTalk type (behind
// the \072 of the papd.conf header) are words for people: ':' becomes ';', '|' and '\' '/'.
inline constexpr FieldRule kPrinterCommentRule = {"printer comment", ' ', ":|\\", ";//", 0, 0};
inline constexpr FieldRule kPrinterTypeRule = {"MAC printer type", ' ', ":|\\", ";//", 0, 0};
// atalkd.conf: the zone stands in double quotes; a '"' would end it and let the rest be read
// as options ('"Sales" floor' becomes "'Sales' floor"), a '\' could escape the closing quote.
inline constexpr FieldRule kZoneRule = {"zone name", ' ', "\"\\", "'/", 0, 0};

// Ends `field` within its size, then replaces by `rule` what its file cannot hold; each kind
// of replacement is traced with `tag` ("Input zone name with field separator, replaced").
// True when a character was replaced.
bool CleanField(char *field, std::size_t size, const char *tag, const FieldRule &rule);
// Whether CleanField would leave `text` (NUL-terminated) as it is.
bool FieldIsClean(const char *text, const FieldRule &rule);
// Whether `text` holds nothing but blanks (spaces and TABs), or nothing at all.
bool IsBlank(const char *text);

// Runs "<script> <action>" through the shell (built in systembuffer); system()'s raw result.
int RunService(const char *script, const char *action);

}  // namespace share
