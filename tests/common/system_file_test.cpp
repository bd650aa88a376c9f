// The system files' writer on temporary folders: in place (inode, owner and mode kept), a file
// created with its mode, nothing written for equal contents; every write, truncation and fsync
// made to fail, or to kill the writer, in turn (the file-call shim, tests/support/io_shim):
// the file holds its old or its new contents, whole, once the next writer has recovered.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "common/system_file.h"
#include "tests/support/io_shim/io_shim.h"
#include "tests/support/test_util.h"

namespace {

using testutil::ReadFile;
using testutil::WriteFile;

// Larger than a page, the change in its middle, the new text shorter.
std::string Before() {
    return "[global]\n" + std::string(3000, 'a') + "\nworkgroup = OLDGROUP\n" +
           std::string(2000, 'z') + "\n";
}
std::string After() {
    return "[global]\n" + std::string(3000, 'a') + "\nworkgroup = NEW\n" + std::string(1500, 'z') +
           "\n";
}

class SystemFile : public ::testing::Test {
  protected:
    int Write(const std::string &text, const std::string &path = {}) {
        const std::string &p = path.empty() ? path_ : path;
        return WriteSystemFileThrough(temp_.c_str(), p.c_str(), text.data(), text.size(), 0744);
    }
    // The file as the next writer (or cfgsync, or the agent's start) sees it.
    std::string Next() {
        EXPECT_EQ(RecoverSystemFilesThrough(temp_.c_str()), kSysFileOk);
        return ReadFile(path_);
    }
    // The file set to Before(), then a writer of After() killed at its nth call of the file
    // functions: true when it was killed (false: it ended before that call).
    bool KilledAt(int nth) {
        WriteFile(path_, Before(), 0644);
        const pid_t pid = fork();
        if (pid == 0) {
            io_shim_watch(dir_.path().c_str());
            io_shim_fault(nth, kIoShimKill);
            Write(After());
            _exit(0);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFSIGNALED(status);
    }
    static ino_t Inode(const std::string &path) {
        struct stat st {};
        stat(path.c_str(), &st);
        return st.st_ino;
    }

    testutil::TempDir dir_;
    std::string path_ = dir_.file("smb.conf");
    std::string temp_ = dir_.file("sysfile.tmp");
};

TEST_F(SystemFile, InPlaceOrCreatedWithItsModeAndNothingWrittenForEqualContents) {
    WriteFile(path_, Before(), 0640);
    const ino_t inode = Inode(path_);
    ASSERT_EQ(Write(After()), kSysFileOk);
    EXPECT_EQ(ReadFile(path_), After());
    EXPECT_EQ(Inode(path_), inode);
    struct stat st {};
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(ReadFile(temp_ + ".mark"), "");
    EXPECT_EQ(ReadFile(temp_), "") << "no copy is left behind";

    {
        IoShimWatch watch(dir_.path().c_str());
        ASSERT_EQ(Write(After()), kSysFileOk);
        EXPECT_EQ(io_shim_counts().writes, 0);
        EXPECT_EQ(io_shim_counts().syncs, 0);
    }

    const mode_t mask = umask(022);
    const std::string created = dir_.file("HOSTNAME");
    EXPECT_EQ(Write("JX1A2B3C\n", created), kSysFileOk);
    EXPECT_EQ(Write("", dir_.file("dhcpd.leases")), kSysFileOk);
    umask(mask);
    EXPECT_EQ(ReadFile(created), "JX1A2B3C\n");
    ASSERT_EQ(stat(created.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0744u);
    EXPECT_TRUE(testutil::FileExists(dir_.file("dhcpd.leases")));

    // A link is followed (a resolver file may be one); a FIFO or a folder is not written.
    const std::string link = dir_.file("resolv.conf");
    ASSERT_EQ(symlink(path_.c_str(), link.c_str()), 0);
    EXPECT_EQ(Write(Before(), link), kSysFileOk);
    EXPECT_EQ(ReadFile(path_), Before());
    EXPECT_EQ(Inode(path_), inode);
    const std::string fifo = dir_.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    EXPECT_EQ(Write("x\n", fifo), kSysFileOpenFail);
    EXPECT_EQ(Write("x\n", dir_.path()), kSysFileOpenFail);
    EXPECT_EQ(Write("x\n", dir_.file("no/such/folder")), kSysFileOpenFail);
}

// Each call that changes a file fails in turn (disk full, I/O error, a short write): the write
// reports -4 and the file keeps its old contents, or it succeeds when only the end of the
// rewrite failed; the next writer sees the old or the new file and nothing else.
TEST_F(SystemFile, EveryFailedCallLeavesTheOldContents) {
    for (const int action : {kIoShimNoSpace, kIoShimIoError, kIoShimShort}) {
        int failures = 0;
        for (int nth = 1;; ++nth) {
            WriteFile(path_, Before(), 0644);
            IoShimWatch watch(dir_.path().c_str());
            io_shim_fault(nth, action);
            const int rc = Write(After());
            if (io_shim_fault_met() == 0) {
                EXPECT_EQ(rc, kSysFileOk);
                break;
            }
            io_shim_watch(nullptr);
            const std::string expected = rc == kSysFileOk ? After() : Before();
            EXPECT_TRUE(rc == kSysFileOk || rc == kSysFileWriteFail) << rc;
            failures += rc == kSysFileOk ? 0 : 1;
            EXPECT_EQ(ReadFile(path_), expected) << "action " << action << " call " << nth;
            EXPECT_EQ(Next(), expected) << "action " << action << " call " << nth;
        }
        EXPECT_GE(failures, 4) << "the copy, its mark and the file each failed";
    }
}

// The writer killed at each of its calls in turn (in the middle of a write for the writes):
// after the recovery the file is the old or the new one, whole, and once the file itself was
// being overwritten it is always the new one. A copy that cannot be written back blocks the
// next rewrite instead of being lost.
TEST_F(SystemFile, WriterKilledAtAnyCallLeavesTheOldOrTheNewFile) {
    int old_seen = 0;
    int new_seen = 0;
    for (int nth = 1; nth < 100; ++nth) {
        if (!KilledAt(nth)) {
            break;
        }
        const std::string torn = ReadFile(path_);
        const std::string next = Next();
        EXPECT_TRUE(next == Before() || next == After()) << "killed at call " << nth;
        if (torn != Before() && torn != After()) {
            EXPECT_EQ(next, After()) << "a torn file is completed, call " << nth;
        }
        (next == Before() ? old_seen : new_seen) += 1;
    }
    EXPECT_GT(old_seen, 2);
    EXPECT_GT(new_seen, 2);

    // Torn, with the copy marked, and the file not writable now: the recovery cannot finish, so
    // a rewrite of any file is refused (the copy would be overwritten); once it can, both go.
    const std::string other = dir_.file("printcap");
    WriteFile(other, "lp:\\\n", 0644);
    auto torn = [this] { return ReadFile(path_) != Before() && ReadFile(path_) != After(); };
    for (int nth = 1; !torn() && nth < 100; ++nth) {
        KilledAt(nth);
    }
    ASSERT_TRUE(torn());
    {
        IoShimWatch watch(dir_.path().c_str());
        io_shim_fault(1, kIoShimIoError);
        EXPECT_EQ(RecoverSystemFilesThrough(temp_.c_str()), kSysFileWriteFail);
    }
    EXPECT_NE(ReadFile(temp_ + ".mark"), "");
    {
        IoShimWatch watch(dir_.path().c_str());
        io_shim_fault(1, kIoShimIoError);
        EXPECT_EQ(Write("other:\\\n", other), kSysFileWriteFail);
    }
    EXPECT_EQ(ReadFile(other), "lp:\\\n");
    EXPECT_EQ(Write("other:\\\n", other), kSysFileOk);
    EXPECT_EQ(ReadFile(path_), After());
    EXPECT_EQ(ReadFile(other), "other:\\\n");
}

}  // namespace
