// One event-log entry on a log of 1000 lines (in a temporary folder), against its floor: two
// block copies of the same file (log to temporary file, temporary file back to the log) with
// buffers sized to the file. The second floor adds one fsync after each copy.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
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

double Seconds(const struct timespec &a, const struct timespec &b) {
    return static_cast<double>(b.tv_sec - a.tv_sec) +
           static_cast<double>(b.tv_nsec - a.tv_nsec) * 1e-9;
}

// The entry and its floor in turn, so that the load of the machine weighs on both alike; the
// counters give the mean time of each and their ratio.
void BM_LogEntryAgainstFloor(benchmark::State &state) {
    LogFixture entry_fx;
    LogFixture floor_fx;
    std::vector<char> buf;
    double entry_s = 0;
    double floor_s = 0;
    long n = 0;
    for (auto _ : state) {
        char message[64];
        std::snprintf(message, sizeof message, " CMD 0x11, write settings fail %ld", n++);
        struct timespec t0 {
        }, t1{}, t2{};
        clock_gettime(CLOCK_MONOTONIC, &t0);
        const bool copied = CopyFile(floor_fx.log(), floor_fx.temp(), buf, false) &&
                            CopyFile(floor_fx.temp(), floor_fx.log(), buf, false);
        clock_gettime(CLOCK_MONOTONIC, &t1);
        const int rc = SetLogMsgAt(entry_fx.log(), entry_fx.temp(), "confagent", message);
        clock_gettime(CLOCK_MONOTONIC, &t2);
        if (!copied || rc != 0) {
            state.SkipWithError("failed");
            return;
        }
        floor_s += Seconds(t0, t1);
        entry_s += Seconds(t1, t2);
    }
    const auto iterations = static_cast<double>(state.iterations());
    state.counters["entry_us"] = entry_s / iterations * 1e6;
    state.counters["floor_us"] = floor_s / iterations * 1e6;
    state.counters["ratio"] = floor_s > 0 ? entry_s / floor_s : 0;
}
BENCHMARK(BM_LogEntryAgainstFloor)->UseRealTime();

}  // namespace
