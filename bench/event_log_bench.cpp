// One event-log entry on a log of 1000 lines (in a temporary folder), against its floor: two
// block copies of the same file (log to temporary file, temporary file back to the log) with
// buffers sized to the file. The second floor adds one fsync after each copy.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/event_log_internal.h"

namespace {

// A temporary folder holding a log of 1000 lines of the agent's shape, removed at the end.
class LogFixture {
  public:
    LogFixture() {
        const char *base = std::getenv("TMPDIR");
        dir_ = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/logbench.XXXXXX";
        if (mkdtemp(dir_.data()) == nullptr) {
            dir_.clear();
            return;
        }
        log_ = dir_ + "/DS_log";
        temp_ = dir_ + "/DS_log.tmp";
        std::string text;
        for (int i = 0; i < 1000; ++i) {
            char line[128];
            std::snprintf(line, sizeof line,
                          "07/03/2026 08:05:%02d confagent: CMD 0x11, write settings fail %d\n",
                          i % 60, i);
            text += line;
        }
        if (FILE *f = std::fopen(log_.c_str(), "w"); f != nullptr) {
            std::fputs(text.c_str(), f);
            std::fclose(f);
        }
    }
    ~LogFixture() {
        std::string rm = "rm -rf '" + dir_ + "'";
        if (!dir_.empty() && std::system(rm.c_str()) != 0) {
            std::fprintf(stderr, "could not remove %s\n", dir_.c_str());
        }
    }
    LogFixture(const LogFixture &) = delete;
    LogFixture &operator=(const LogFixture &) = delete;
    const char *log() const { return log_.c_str(); }
    const char *temp() const { return temp_.c_str(); }

  private:
    std::string dir_, log_, temp_;
};

// Each entry differs from the one before (as the times of real entries do), so that the whole
// log moves down by one line.
void BM_LogEntryOn1000Lines(benchmark::State &state) {
    LogFixture fx;
    long n = 0;
    for (auto _ : state) {
        char message[64];
        std::snprintf(message, sizeof message, " CMD 0x11, write settings fail %ld", n++);
        if (SetLogMsgAt(fx.log(), fx.temp(), "confagent", message) != 0) {
            state.SkipWithError("SetLogMsg failed");
            return;
        }
    }
}
BENCHMARK(BM_LogEntryOn1000Lines)->UseRealTime();

// Copies the file `from` over `to` in one block (a buffer sized to the file); fsync if asked.
bool CopyFile(const char *from, const char *to, std::vector<char> &buf, bool sync) {
    const int in = open(from, O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        return false;
    }
    struct stat st {};
    fstat(in, &st);
    buf.resize(static_cast<std::size_t>(st.st_size));
    const ssize_t n = read(in, buf.data(), buf.size());
    close(in);
    const int out = open(to, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0 || n < 0) {
        return false;
    }
    const bool ok =
        write(out, buf.data(), static_cast<std::size_t>(n)) == n && (!sync || fsync(out) == 0);
    close(out);
    return ok;
}

void TwoBlockCopies(benchmark::State &state, bool sync) {
    LogFixture fx;
    std::vector<char> buf;
    for (auto _ : state) {
        if (!CopyFile(fx.log(), fx.temp(), buf, sync) ||
            !CopyFile(fx.temp(), fx.log(), buf, sync)) {
            state.SkipWithError("copy failed");
            return;
        }
    }
}

void BM_FloorTwoBlockCopies(benchmark::State &state) {
    TwoBlockCopies(state, false);
}
BENCHMARK(BM_FloorTwoBlockCopies)->UseRealTime();

void BM_FloorTwoBlockCopiesWithFsync(benchmark::State &state) {
    TwoBlockCopies(state, true);
}
BENCHMARK(BM_FloorTwoBlockCopiesWithFsync)->UseRealTime();

}  // namespace
