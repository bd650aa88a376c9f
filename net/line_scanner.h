// Line-by-line reading of small text files through the shared `filebuffer`, and the rewrite of
// a system file in place through a temporary file. Every reader and rewriter of the network and
// naming functions goes through these two, so all of them treat files the same way.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string_view>

#include "common/scoped.h"
#include "common/text_view.h"

// Longest line (before its line feed) that is handled as one line.
inline constexpr std::size_t kMaxLineLength = 255;

enum class ScanMode {
    // Lines of 256 or more characters are skipped whole.
    kReader,
    // Lines of 256 or more characters come in pieces of 256 characters, the rest being a
    // further line; a piece is not followed by a line feed of its own.
    kRewriter,
};

// One line handed out by the scanner: its text after leading spaces, without the line feed.
struct ScannedLine {
    std::string_view text;
    // True when a line feed belongs after the text: every complete line, and an unterminated
    // last line (which thereby gains its line feed). False for the leading pieces of a line
    // that was cut into 256-character pieces.
    bool newline;
};

// Reads the lines of an open descriptor in chunks into `filebuffer`. Comment lines (first
// character after the leading spaces "#") are never handed out. The text of a line stays valid
// until the next call.
class LineScanner {
  public:
    LineScanner(int fd, ScanMode mode);
    // 1 and the next line in `line`; 0 at the end of the file; -1 when reading failed.
    int Next(ScannedLine *line);

  private:
    int Fill();

    int fd_;
    ScanMode mode_;
    std::size_t begin_ = 0;  // first unhandled byte in filebuffer
    std::size_t end_ = 0;    // one past the last valid byte
    bool eof_ = false;
    bool skipping_ = false;  // inside a long line that the reader skips
};

// A system file rewritten through a temporary file: the target is read, the new content goes
// to a temporary file made with mkstemp from `name_template` (handed to the real user and
// group), and `Commit` copies it back over the target in 1024-byte chunks. The target keeps
// its inode, owner and mode. The temporary file is removed when the object ends.
class FileRewrite {
  public:
    FileRewrite(const char *path, const char *name_template);
    FileRewrite(const FileRewrite &) = delete;
    FileRewrite &operator=(const FileRewrite &) = delete;

    // Opens the target for reading, then makes the temporary file. 0, or -2 after logging
    // `open_message` (target) or `temp_message` (temporary file) with `tag`.
    int Open(const char *tag, const char *open_message, const char *temp_message);
    // The target opened for reading (valid after Open succeeded).
    int source() const { return source_.get(); }
    // Writes all of `text` to the temporary file: 0, or -1.
    int Write(std::string_view text);
    // A scanned line with the line feed it is owed: 0, or -1.
    int WriteLine(const ScannedLine &line);
    // Closes the source, rewinds the temporary file and copies it over the target (opened
    // write-only, created with `mode`, truncated). 0; -3 after `seek_message`; -2 after
    // `open_back_message`; -4 after `write_back_message`.
    int Commit(const char *tag, mode_t mode, const char *seek_message,
               const char *open_back_message, const char *write_back_message);

  private:
    const char *path_;
    UniqueFd source_;
    TempFile temp_;
};

// Length of the text before its first control character (bytes below 0x20 and 0x7F). Text
// from outside is cut there before it is written into a system file, so it can never add a
// line or a field separator of its own.
std::size_t PrintableLength(const char *text);
// Cuts the text in place at its first control character.
void CutAtControl(char *text);

// True when the address text means "no address" (empty or "0.0.0.0").
bool IsNoAddress(const char *text);
