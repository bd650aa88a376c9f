// Small helpers shared by the tests.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace testutil {

// A fresh folder under $TMPDIR (or /tmp), removed with its contents when the guard ends.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

std::string ReadFile(const std::string &path);  // "" when it cannot be read
bool FileExists(const std::string &path);
void WriteFile(const std::string &path, const std::string &content, int mode = 0644);

// Runs a command through /bin/sh; returns its exit status (or -1) and, when `out` is given,
// what it printed on standard output.
int Run(const std::string &command, std::string *out = nullptr);
// A word quoted for /bin/sh, and words as one command line, each quoted.
std::string ShellQuoted(const std::string &word);
std::string ShellWords(const std::vector<std::string> &words);

// The pieces joined into one string. Use it instead of `"literal" + std::string(...)`: g++ 12
// at -O3 warns falsely (-Wrestrict, an error here) of overlapping copies inside that operator.
inline std::string Cat(std::initializer_list<std::string_view> pieces) {
    std::string out;
    for (std::string_view p : pieces) {
        out.append(p);
    }
    return out;
}

// Number of lines (line feeds) in a text.
int CountLines(const std::string &text);

}  // namespace testutil
