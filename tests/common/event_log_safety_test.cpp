// The event log's crash safety and honest writes, on temporary folders: every write, truncation
// and fsync of an entry made to fail, or to crash the writer, one after the other (through the
// file-call shim, tests/support/io_shim); modes and links of its files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "common/event_log.h"
#include "common/event_log_internal.h"
#include "tests/support/io_shim/io_shim.h"
#include "tests/support/test_util.h"

namespace {

using testutil::FileExists;
using testutil::ReadFile;
using testutil::WriteFile;

constexpr std::size_t kStamp = 20;  // "MM/DD/YYYY HH:MM:SS "

// A full log: 1000 lines, the first one the newest.
std::string FullLog() {
    std::string text;
    for (int i = 0; i < 1000; ++i) {
        text += "07/03/2026 08:05:09 confagent: old entry " + std::to_string(i) + "\n";
    }
    return text;
}

class EventLogSafety : public ::testing::Test {
  protected:
    void SetUp() override { WriteFile(log_, FullLog(), 0640); }
    int Log(const char *message) {
        return SetLogMsgAt(log_.c_str(), temp_.c_str(), "confagent", message);
    }
    // True when `text` is the full log with `added` put on top (the oldest line gone).
    static bool HasOnTop(const std::string &text, const std::string &added) {
        const std::string old = FullLog();
        const std::string kept = old.substr(0, old.rfind("07/03/2026", old.size() - 2));
        const std::string::size_type lf = text.find('\n');
        return lf != std::string::npos && text.substr(lf + 1) == kept && lf >= kStamp &&
               text.substr(kStamp, lf - kStamp) == added;
    }

    testutil::TempDir dir_;
    std::string log_ = dir_.file("DS_log");
    std::string temp_ = dir_.file("DS_log.tmp");
    std::string mark_ = temp_ + ".mark";
};

// Each call that changes a file fails in turn: the entry is refused (-3 while the temporary
// file or its mark is written, -2 while the log is) and the log stays as it was, or the entry
// is in; the next entry then goes on top of exactly that.
TEST_F(EventLogSafety, EveryFailedWriteTruncateOrSyncLeavesTheLogAsItWas) {
    for (const int action : {kIoShimNoSpace, kIoShimIoError, kIoShimShort}) {
        int temp_failures = 0;
        int log_failures = 0;
        for (int nth = 1;; ++nth) {
            WriteFile(log_, FullLog(), 0640);
            io_shim_watch(dir_.path().c_str());
            io_shim_fault(nth, action);
            const int rc = Log(" new");
            const bool met = io_shim_fault_met() != 0;
            io_shim_watch(nullptr);
            if (!met) {
                EXPECT_EQ(rc, 0);
                break;
            }
            const std::string text = ReadFile(log_);
            if (rc == 0) {
                EXPECT_TRUE(HasOnTop(text, "confagent: new")) << "call " << nth;
            } else {
                (rc == -3 ? temp_failures : log_failures) += 1;
                EXPECT_TRUE(rc == -3 || rc == -2) << rc;
                EXPECT_EQ(text, FullLog()) << "action " << action << " call " << nth;
            }
            ASSERT_EQ(Log(" next"), 0);
            const std::string after = ReadFile(log_);
            EXPECT_EQ(after.substr(kStamp, after.find('\n') - kStamp), "confagent: next");
            EXPECT_NE(after.find("confagent: old entry 0\n"), std::string::npos);
        }
        EXPECT_GE(temp_failures, 3);
        EXPECT_GE(log_failures, 1);
    }
}

// The writer killed at each of its calls in turn: the next entry finds every old line in
// order, with the interrupted entry or without it.
TEST_F(EventLogSafety, WriterKilledAtAnyCallLosesNoOldEntry) {
    int without = 0;
    int with = 0;
    for (int nth = 1; nth < 100; ++nth) {
        WriteFile(log_, FullLog(), 0640);
        const pid_t pid = fork();
        if (pid == 0) {
            io_shim_watch(dir_.path().c_str());
            io_shim_fault(nth, kIoShimKill);
            Log(" interrupted");
            _exit(0);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        if (!WIFSIGNALED(status)) {
            break;
        }
        ASSERT_EQ(Log(" next"), 0);
        const std::string text = ReadFile(log_);
        const std::string rest = text.substr(text.find('\n') + 1);
        const std::string old = FullLog();
        if (rest.find("confagent: interrupted\n") != std::string::npos) {
            ++with;
            EXPECT_EQ(rest.substr(rest.find('\n') + 1),
                      old.substr(0, old.rfind("07/03/2026", old.rfind("07/03/2026") - 1)))
                << "killed at call " << nth;
        } else {
            ++without;
            EXPECT_EQ(rest, old.substr(0, old.rfind("07/03/2026"))) << "killed at call " << nth;
        }
    }
    EXPECT_GE(without, 3);
    EXPECT_GE(with, 2);
}

TEST_F(EventLogSafety, TemporaryFileIsNeverWorldWritable) {
    const mode_t old = umask(0);  // the agent's mask
    // A temporary file left world-writable (as the agent used to make it), held open for
    // writing by someone: replaced by a fresh one, out of that descriptor's reach.
    WriteFile(temp_, "forged line\n", 0666);
    chmod(temp_.c_str(), 0666);
    const int held = open(temp_.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(Log(" x"), 0);
    ASSERT_EQ(pwrite(held, "forged", 6, 0), 6);
    close(held);
    EXPECT_EQ(ReadFile(temp_).find("forged"), std::string::npos);
    struct stat st {};
    ASSERT_EQ(stat(temp_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u) << "the log's own mode";
    ASSERT_EQ(stat(mark_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(ReadFile(temp_), ReadFile(log_));

    // A missing log is created 0644; so is its temporary file, whatever the mask.
    unlink(log_.c_str());
    unlink(temp_.c_str());
    ASSERT_EQ(Log(" y"), 0);
    ASSERT_EQ(stat(temp_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    umask(old);
}

TEST_F(EventLogSafety, NoSymbolicLinkIsFollowed) {
    const std::string victim = dir_.file("victim");
    WriteFile(victim, "precious\n", 0644);

    // At the temporary file: the entry fails, the log and the victim stay.
    ASSERT_EQ(symlink(victim.c_str(), temp_.c_str()), 0);
    EXPECT_EQ(Log(" x"), -3);
    EXPECT_EQ(ReadFile(victim), "precious\n");
    EXPECT_EQ(ReadFile(log_), FullLog());
    unlink(temp_.c_str());

    // At the mark: removed, not followed; the entry goes in.
    ASSERT_EQ(symlink(victim.c_str(), mark_.c_str()), 0);
    EXPECT_EQ(Log(" x"), 0);
    EXPECT_EQ(ReadFile(victim), "precious\n");
    EXPECT_TRUE(HasOnTop(ReadFile(log_), "confagent: x"));

    // At the log itself, and a log with a second name: refused.
    unlink(log_.c_str());
    ASSERT_EQ(symlink(victim.c_str(), log_.c_str()), 0);
    EXPECT_EQ(Log(" x"), -2);
    EXPECT_EQ(ReadFile(victim), "precious\n");
    unlink(log_.c_str());
    ASSERT_EQ(link(victim.c_str(), log_.c_str()), 0);
    EXPECT_EQ(Log(" x"), -2);
    EXPECT_EQ(ReadFile(victim), "precious\n");
}

TEST_F(EventLogSafety, MarkedCopyIsCompletedUnmarkedOneNeverReachesTheLog) {
    // An entry interrupted while the log was being overwritten: the marked copy holds the new
    // log, the log itself is half written.
    const std::string old = FullLog();
    const std::string copy =
        "07/03/2026 08:05:10 confagent: interrupted\n" + old.substr(0, old.rfind("07/03/2026"));
    struct stat st {};
    ASSERT_EQ(stat(log_.c_str(), &st), 0);
    WriteFile(temp_, copy, 0640);
    WriteFile(mark_,
              std::to_string(copy.size()) + " " + std::to_string(st.st_dev) + " " +
                  std::to_string(st.st_ino) + " " + log_ + "\n",
              0640);
    WriteFile(log_, copy.substr(0, 5000), 0640);
    ASSERT_EQ(Log(" x"), 0);
    const std::string text = ReadFile(log_);
    EXPECT_EQ(text.substr(text.find('\n') + 1), copy.substr(0, copy.rfind("07/03/2026")));
    EXPECT_EQ(ReadFile(mark_), "");

    // A temporary file without a mark, full of forged lines, never reaches the log.
    WriteFile(temp_, "forged line\n", 0640);
    ASSERT_EQ(Log(" y"), 0);
    EXPECT_EQ(ReadFile(log_).find("forged"), std::string::npos);
}

}  // namespace
