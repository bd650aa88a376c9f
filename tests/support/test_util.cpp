#include "tests/support/test_util.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace testutil {

TempDir::TempDir() {
    const char *base = std::getenv("TMPDIR");
    std::string tmpl =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/dst.XXXXXX";
    if (char *p = mkdtemp(tmpl.data()); p != nullptr) {
        path_ = p;
    }
}

TempDir::~TempDir() {
    if (!path_.empty()) {
        Run("rm -rf '" + path_ + "'");
    }
}

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool FileExists(const std::string &path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

void WriteFile(const std::string &path, const std::string &content, int mode) {
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << content;
    }
    chmod(path.c_str(), static_cast<mode_t>(mode));
}

int Run(const std::string &command, std::string *out) {
    FILE *p = popen(command.c_str(), "r");
    if (p == nullptr) {
        return -1;
    }
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) {
        if (out != nullptr) {
            out->append(buf, n);
        }
    }
    int status = pclose(p);
    if (status == -1) {
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string ShellQuoted(const std::string &word) {
    std::string quoted = "'";
    for (char c : word) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

std::string ShellWords(const std::vector<std::string> &words) {
    std::string line;
    for (const std::string &w : words) {
        if (!line.empty()) {
            line += ' ';
        }
        line += ShellQuoted(w);
    }
    return line;
}

int CountLines(const std::string &text) {
    int n = 0;
    for (char c : text) {
        n += c == '\n' ? 1 : 0;
    }
    return n;
}

}  // namespace testutil
