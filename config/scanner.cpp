// The character scanner and parser of the configuration file, shared by the reader
// and the writer.
//
// Differences from the text, decided for soundness:
// - Characters are read as unsigned: bytes 0x80-0xFF are ordinary characters everywhere; only
//   the end of the file and a NUL byte end the input (a NUL ends it for good: the rest of the
//   file is not scanned).
// - Blanks are the C locale's isspace() characters other than the line feed, whatever the
//   process's locale.
#include <cstdlib>
#include <cstring>

#include "config/cfg_internal.h"

namespace cfg {

ScannerState scanner{};

namespace {

// Makes room in bufr for one more character at index i (and its terminator): the buffer
// grows by kBlockSize when i comes within two bytes of its size. False when out of memory.
bool EnsureRoom(int i) {
    ScannerState &s = scanner;
    if (s.bufr != nullptr && i <= s.bSize - 2) {
        return true;
    }
    const int new_size = s.bSize + kBlockSize;
    char *p = static_cast<char *>(std::realloc(s.bufr, static_cast<std::size_t>(new_size)));
    if (p == nullptr) {
        return false;
    }
    s.bufr = p;
    s.bSize = new_size;
    return true;
}

// The input ended inside an entry whose text so far is bufr[0, i): records how many line ends
// the parser would still take as continuations (one per backslash that ends the text, blanks
// around them aside), so that the writer can end the entry before appending text.
void RecordEndInEntry(int i) {
    ScannerState &s = scanner;
    s.bEndInEntry = 1;
    s.nEndContinuations = 0;
    for (int pos = i; (pos = Continuation(s.bufr, pos)) >= 0;) {
        ++s.nEndContinuations;
    }
}

}  // namespace

WorkBuffer::WorkBuffer() {
    ScannerState &s = scanner;
    if (s.bufr == nullptr) {
        s.bufr = static_cast<char *>(std::malloc(kBlockSize));
        s.bSize = s.bufr != nullptr ? kBlockSize : 0;
    }
}

WorkBuffer::~WorkBuffer() {
    std::free(scanner.bufr);
    scanner.bufr = nullptr;
    scanner.bSize = 0;
}

void ResetSource() {
    ScannerState &s = scanner;
    s.cur_index = 0;
    s.end_index = 0;
    s.cur_file_pos = 0;
    s.bLoaded = 0;
    s.bAtEnd = 0;
    s.bNulSeen = 0;
    s.bEndInEntry = 0;
    s.nEndContinuations = 0;
}

void CleanUp() {
    ScannerState &s = scanner;
    s.bInSection = 0;
    s.bInParameter = 0;
    s.sec_start = s.sec_end = 0;
    s.var_start = s.var_end = 0;
    s.tsec_start = s.tsec_end = 0;
    s.tvar_start = s.tvar_end = 0;
    s.bValueTooLong = 0;
    ResetSource();
}

int GetNextChar() {
    ScannerState &s = scanner;
    if (s.bAtEnd != 0 || (s.file == nullptr && s.mem == nullptr)) {
        return 0;
    }
    if (s.bLoaded != 0 && s.cur_index < s.end_index) {
        ++s.cur_index;
    } else if (s.mem != nullptr) {
        // The next block of the contents in memory, as it would be read from the file.
        const long pos = s.bLoaded != 0 ? s.cur_file_pos + s.end_index + 1 : 0;
        const long left = s.mem_size - pos;
        const std::size_t n = left <= 0 ? 0
                              : left < static_cast<long>(kBlockSize)
                                  ? static_cast<std::size_t>(left)
                                  : sizeof s.buffer;
        s.cur_file_pos = pos;
        s.cur_index = 0;
        if (n == 0) {
            s.end_index = 0;
            s.bLoaded = 0;
            s.bAtEnd = 1;
            return 0;
        }
        std::memcpy(s.buffer, s.mem + pos, n);
        s.end_index = static_cast<int>(n) - 1;
        s.bLoaded = 1;
    } else {
        // The next block; cur_file_pos is the offset of its first byte.
        long pos = std::ftell(s.file);
        if (pos < 0) {
            pos = s.bLoaded != 0 ? s.cur_file_pos + s.end_index + 1 : 0;
        }
        const std::size_t n = std::fread(s.buffer, 1, sizeof s.buffer, s.file);
        s.cur_file_pos = pos;
        s.cur_index = 0;
        if (n == 0) {
            // End of the file: GetCurPos() is now the file's size.
            s.end_index = 0;
            s.bLoaded = 0;
            s.bAtEnd = 1;
            return 0;
        }
        s.end_index = static_cast<int>(n) - 1;
        s.bLoaded = 1;
    }
    const int c = s.buffer[s.cur_index];
    if (c == 0) {
        s.bAtEnd = 1;  // a NUL byte ends the input; GetCurPos() stays on it
        s.bNulSeen = 1;
    }
    return c;
}

long GetCurPos() {
    return scanner.cur_file_pos + scanner.cur_index;
}

int EatWhitespace() {
    int c;
    do {
        c = GetNextChar();
    } while (IsBlank(c));
    return c;
}

int EatComment() {
    int c;
    do {
        c = GetNextChar();
    } while (c != '\n' && c != 0);
    return c;
}

int Continuation(const char *line, int end) {
    int pos = end - 1;
    while (pos >= 0 && IsBlank(static_cast<unsigned char>(line[pos]))) {
        --pos;
    }
    return (pos >= 0 && line[pos] == '\\') ? pos : -1;
}

int Section(SectionCallback sfunc) {
    ScannerState &s = scanner;
    int i = 0;    // where the next character goes
    int end = 0;  // bufr[end] is the end of the name (a trailing blank not counted)
    int c = EatWhitespace();
    while (c != 0) {
        if (!EnsureRoom(i)) {
            return kCfgNoMemory;
        }
        if (c == ']') {
            s.bufr[end] = '\0';
            if (end == 0) {
                return kCfgSyntax;  // empty name
            }
            EatComment();  // the rest of the header line
            return sfunc != nullptr ? sfunc(s.bufr) : 0;
        }
        if (c == '\n') {
            i = Continuation(s.bufr, i);
            if (i < 0) {
                s.bufr[end] = '\0';
                return kCfgSyntax;  // the header does not close on its line
            }
            end = (i > 0 && s.bufr[i - 1] == ' ') ? i - 1 : i;
            c = GetNextChar();
        } else if (IsBlank(c)) {
            s.bufr[end] = ' ';  // one blank per run of blanks
            i = end + 1;
            c = EatWhitespace();
        } else {
            s.bufr[i++] = static_cast<char>(c);
            end = i;
            c = GetNextChar();
        }
    }
    return kCfgSyntax;  // end of input before "]"
}

int Parameter(EntryCallback pfunc, int c) {
    ScannerState &s = scanner;
    int i = 0;       // where the next character goes
    int end = 0;     // bufr[end] is the end of the current text
    int vstart = 0;  // start of the value in bufr (0 while in the key)

    // The key, up to "=".
    while (vstart == 0) {
        if (!EnsureRoom(i)) {
            return kCfgNoMemory;
        }
        if (c == 0) {
            RecordEndInEntry(i);
            return 0;  // end of input without "=": the line is ignored
        }
        if (c == '=') {
            if (end == 0) {
                return kCfgSyntax;  // empty key
            }
            s.bufr[end++] = '\0';
            i = end;
            vstart = end;
            s.bufr[i] = '\0';
        } else if (c == '\n') {
            i = Continuation(s.bufr, i);
            if (i < 0) {
                return 0;  // a line without "=" is ignored
            }
            end = (i > 0 && s.bufr[i - 1] == ' ') ? i - 1 : i;
            c = GetNextChar();
        } else if (IsBlank(c)) {
            s.bufr[end] = ' ';
            i = end + 1;
            c = EatWhitespace();
        } else {
            s.bufr[i++] = static_cast<char>(c);
            end = i;
            c = GetNextChar();
        }
    }

    // The value: leading blanks skipped, carriage returns dropped, trailing blanks cut.
    c = EatWhitespace();
    while (c != 0) {
        if (!EnsureRoom(i)) {
            return kCfgNoMemory;
        }
        if (c == '\r') {
            c = GetNextChar();
        } else if (c == '\n') {
            i = Continuation(s.bufr, i);
            if (i < 0) {
                break;
            }
            // The value goes on where the backslash was; blanks before it stay if more
            // follows (end moves past them with the next non-blank) and are cut otherwise.
            end = i;
            while (end > vstart && IsBlank(static_cast<unsigned char>(s.bufr[end - 1]))) {
                --end;
            }
            c = GetNextChar();
        } else {
            s.bufr[i++] = static_cast<char>(c);
            if (!IsBlank(c)) {
                end = i;
            }
            c = GetNextChar();
        }
    }
    if (c == 0) {
        RecordEndInEntry(i);
    }
    s.bufr[end] = '\0';
    return pfunc != nullptr ? pfunc(s.bufr, s.bufr + vstart) : 0;
}

int Parse(SectionCallback sfunc, EntryCallback pfunc) {
    ScannerState &s = scanner;
    int c = EatWhitespace();
    while (c != 0) {
        switch (c) {
            case '\n':  // empty line
            case '\\':  // a backslash at the start of a line is skipped
                c = EatWhitespace();
                break;
            case '#':
            case ';':
                c = EatComment();
                break;
            case '[': {
                s.sec_start = GetCurPos();
                const int rc = Section(sfunc);
                if (rc != 0) {
                    return rc;
                }
                s.sec_end = GetCurPos();
                c = EatWhitespace();
                break;
            }
            default: {
                s.var_start = GetCurPos();
                const int rc = Parameter(pfunc, c);
                if (rc != 0) {
                    return rc;
                }
                s.var_end = GetCurPos();
                c = EatWhitespace();
                break;
            }
        }
    }
    return 0;
}

}  // namespace cfg
