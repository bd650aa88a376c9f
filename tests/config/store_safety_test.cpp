// The configuration store's crash safety and honest writes, on temporary folders: every write,
// truncation and fsync of a change made to fail, or to crash the writer, one after the other
// (through the file-call shim, tests/support/io_shim); the recovery of marked and unmarked
// temporary files; and changes that need no write.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "config/cfg.h"
#include "config/cfg_internal.h"
#include "tests/support/io_shim/io_shim.h"
#include "tests/support/test_util.h"

namespace {

using testutil::FileExists;
using testutil::ReadFile;
using testutil::WriteFile;

// A file larger than one block, so that a change moves data across block boundaries.
std::string Before() {
    return "# " + std::string(1500, '#') + "\n[network]\nip_addr=1.2.3.4\nnetmask=255.0.0.0\n" +
           "disk_server_name=STORAGE\n[other]\nx=" + std::string(900, 'x') + "\n";
}
std::string After() {
    std::string text = Before();
    text.replace(text.find("ip_addr=1.2.3.4"), 15, "ip_addr=10.20.30.40");
    return text;
}

class StoreSafety : public ::testing::Test {
  protected:
    void SetUp() override { WriteFile(path_, Before(), 0640); }
    int Change() {
        return cfg::WriteCFGDataWithTemp(path_.c_str(), temp_.c_str(), "network", "ip_addr",
                                         "10.20.30.40");
    }
    int Recover() { return cfg::RecoverStore(temp_.c_str(), nullptr); }
    std::string Mark() const { return ReadFile(mark_); }
    // The file as the next store call sees it.
    std::string Next() {
        EXPECT_EQ(Recover(), 0);
        return ReadFile(path_);
    }
    // A mark naming the file, for a temporary file of `size` bytes.
    std::string Record(std::size_t size) const {
        struct stat st {};
        stat(path_.c_str(), &st);
        return std::to_string(size) + " " + std::to_string(st.st_dev) + " " +
               std::to_string(st.st_ino) + " " + path_ + "\n";
    }
    // The state of a writer killed while copying: the new contents in the marked temporary
    // file, the file itself half overwritten.
    void Interrupted() {
        const std::string after = After();
        WriteFile(temp_, after, 0640);
        WriteFile(mark_, Record(after.size()), 0640);
        std::string torn = Before();
        torn.replace(0, 1600, after.substr(0, 1600));
        torn.resize(1700);
        WriteFile(path_, torn, 0640);
    }

    testutil::TempDir dir_;
    std::string path_ = dir_.file("CGI_ds.conf");
    std::string temp_ = dir_.file("CGI_ds.conf.tmp");
    std::string mark_ = temp_ + ".mark";
};

// --- Honest writes ----------------------------------------------------------------------------

// Each call that changes a file fails in turn (disk full, I/O error, a short write): the write
// reports -8 and leaves the file as it was, or, when only the clearing of the mark failed,
// succeeds; the next store call then sees the old or the new file and nothing else.
TEST_F(StoreSafety, EveryFailedWriteTruncateOrSyncLeavesTheFileAsItWas) {
    for (const int action : {kIoShimNoSpace, kIoShimIoError, kIoShimShort}) {
        int failures = 0;
        for (int nth = 1;; ++nth) {
            WriteFile(path_, Before(), 0640);
            IoShimWatch watch(dir_.path().c_str());
            io_shim_fault(nth, action);
            const int rc = Change();
            if (io_shim_fault_met() == 0) {
                EXPECT_EQ(rc, 0);
                break;
            }
            io_shim_watch(nullptr);
            if (rc == 0) {
                EXPECT_EQ(ReadFile(path_), After()) << "action " << action << " call " << nth;
            } else {
                ++failures;
                EXPECT_EQ(rc, kCfgWriteFail) << "action " << action << " call " << nth;
                EXPECT_EQ(ReadFile(path_), Before()) << "action " << action << " call " << nth;
                EXPECT_EQ(Mark(), "") << "no trust left in the copy";
            }
            EXPECT_EQ(Next(), rc == 0 ? After() : Before());
            EXPECT_EQ(Mark(), "");
        }
        EXPECT_GE(failures, 5) << "the copy, its mark and the file each failed";
    }
    struct stat st {};
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST_F(StoreSafety, FailedChangeOfASeriesLeavesAllOfItUndone) {
    CfgWrite writes[] = {{"ip_addr", "10.20.30.40", 0},
                         {"gateway", "1.1.1.1", 0},
                         {"netmask", "255.0.0.0", 0},
                         {"bad\nkey", "x", 0}};
    IoShimWatch watch(dir_.path().c_str());
    io_shim_fault(1, kIoShimNoSpace);
    EXPECT_EQ(cfg::WriteCFGDataSetWithTemp(path_.c_str(), temp_.c_str(), "network", writes, 4),
              kCfgWriteFail);
    EXPECT_EQ(writes[0].result, kCfgWriteFail);
    EXPECT_EQ(writes[1].result, kCfgWriteFail);
    EXPECT_EQ(writes[2].result, 0) << "the key had that value already";
    EXPECT_EQ(writes[3].result, kCfgBadArgument);
    EXPECT_EQ(ReadFile(path_), Before());
}

// --- Crashes ------------------------------------------------------------------------------------

// Runs `body` in a child that the shim kills at its `nth` call that changes a file: true when
// it was killed there, false when the body finished first.
template <typename F>
bool KilledAt(const std::string &folder, int nth, F body) {
    const pid_t pid = fork();
    if (pid == 0) {
        io_shim_watch(folder.c_str());
        io_shim_fault(nth, kIoShimKill);
        body();
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFSIGNALED(status);
}

// The writer killed at each of its calls in turn (in the middle of a write for the writes):
// the next store call sees the whole old or the whole new file, and once the mark is set it is
// always the new one.
TEST_F(StoreSafety, WriterKilledAtAnyCallLeavesTheOldOrTheNewFile) {
    int old_seen = 0;
    int new_seen = 0;
    for (int nth = 1; nth < 100; ++nth) {
        WriteFile(path_, Before(), 0640);
        if (!KilledAt(dir_.path(), nth, [this] { Change(); })) {
            break;
        }
        const std::string next = Next();
        EXPECT_TRUE(next == Before() || next == After()) << "killed at call " << nth;
        (next == Before() ? old_seen : new_seen) += 1;
        EXPECT_EQ(Mark(), "");
        char out[64];
        ASSERT_EQ(ReadCFGData(path_.c_str(), "network", "disk_server_name", out, sizeof out), 0);
        EXPECT_STREQ(out, "STORAGE");
    }
    EXPECT_GE(old_seen, 3);
    EXPECT_GE(new_seen, 3);
    EXPECT_EQ(ReadFile(temp_), After()) << "the temporary file holds the new contents";
}

// A recovery killed at each of its calls in turn is completed by the next store call.
TEST_F(StoreSafety, InterruptedRecoveryIsCompletedByTheNextCall) {
    int killed = 0;
    for (int nth = 1; nth < 50; ++nth) {
        Interrupted();
        if (!KilledAt(dir_.path(), nth, [this] { Recover(); })) {
            break;
        }
        ++killed;
        EXPECT_EQ(Next(), After()) << "killed at call " << nth;
        EXPECT_EQ(Mark(), "");
    }
    EXPECT_GE(killed, 2);
}

// --- Recovery --------------------------------------------------------------------------------

TEST_F(StoreSafety, MarkedCopyIsCopiedBackByTheNextWriteOrRead) {
    Interrupted();
    EXPECT_EQ(
        cfg::WriteCFGDataWithTemp(path_.c_str(), temp_.c_str(), "network", "gateway", "9.9.9.9"),
        0);
    std::string expected = After();
    expected.insert(expected.find("ip_addr="), "gateway=9.9.9.9\n");
    EXPECT_EQ(ReadFile(path_), expected);
    EXPECT_EQ(Mark(), "");

    Interrupted();
    char ip[32];
    char name[32];
    CfgRead reads[] = {{"ip_addr", ip, sizeof ip, -9}, {"disk_server_name", name, sizeof name, -9}};
    EXPECT_EQ(cfg::ReadCFGDataSetWithTemp(path_.c_str(), temp_.c_str(), "network", reads, 2), 0);
    EXPECT_STREQ(ip, "10.20.30.40");
    EXPECT_STREQ(name, "STORAGE");
    EXPECT_EQ(ReadFile(path_), After());
}

TEST_F(StoreSafety, CopyThatCannotBeWrittenBackIsReadInstead) {
    Interrupted();
    const std::string torn = ReadFile(path_);
    char ip[32];
    CfgRead read{"ip_addr", ip, sizeof ip, -9};
    {
        IoShimWatch watch(dir_.path().c_str());
        io_shim_fault(1, kIoShimIoError);
        EXPECT_EQ(cfg::ReadCFGDataSetWithTemp(path_.c_str(), temp_.c_str(), "network", &read, 1),
                  0);
        EXPECT_STREQ(ip, "10.20.30.40") << "served from the trusted copy";
        EXPECT_EQ(ReadFile(path_), torn);
        EXPECT_NE(Mark(), "") << "the mark stays for the next call";
        // A write cannot go on from a file it cannot repair.
        io_shim_fault(1, kIoShimIoError);
        EXPECT_EQ(cfg::WriteCFGDataWithTemp(path_.c_str(), temp_.c_str(), "network", "gateway",
                                            "9.9.9.9"),
                  kCfgWriteFail);
    }
    EXPECT_EQ(Next(), After());
}

TEST_F(StoreSafety, TemporaryFileWithoutAMarkIsNeverUsed) {
    WriteFile(temp_, "[network]\nip_addr=6.6.6.6\n", 0640);
    EXPECT_EQ(Next(), Before());
    WriteFile(mark_, "", 0640);  // an empty mark: no change under way
    EXPECT_EQ(Next(), Before());
    char ip[32];
    EXPECT_EQ(ReadCFGData(path_.c_str(), "network", "ip_addr", ip, sizeof ip), 0);
    EXPECT_STREQ(ip, "1.2.3.4");
}

TEST_F(StoreSafety, UntrustedMarksAreDroppedWithoutTouchingAnything) {
    const std::string copy = "[network]\nip_addr=6.6.6.6\n";
    struct Case {
        const char *what;
        std::string mark;
    };
    const Case cases[] = {
        {"torn record", Record(copy.size()).substr(0, 12)},
        {"size of another copy", Record(copy.size() + 1)},
        {"empty copy", Record(0)},
        {"another file's inode", "26 1 1 " + path_ + "\n"},
        {"a file that is gone", "26 1 1 " + dir_.file("gone") + "\n"},
        {"a relative path", "26 1 1 CGI_ds.conf\n"},
        {"garbage", "not a record at all\n"},
    };
    for (const Case &c : cases) {
        WriteFile(temp_, copy, 0640);
        WriteFile(mark_, c.mark, 0640);
        EXPECT_EQ(Next(), Before()) << c.what;
        EXPECT_EQ(Mark(), "") << c.what;
    }
    // A symbolic link at the mark's place is removed, not followed.
    const std::string victim = dir_.file("victim");
    WriteFile(victim, Record(copy.size()), 0644);
    unlink(mark_.c_str());
    ASSERT_EQ(symlink(victim.c_str(), mark_.c_str()), 0);
    EXPECT_EQ(Next(), Before());
    EXPECT_FALSE(FileExists(mark_));
    EXPECT_EQ(ReadFile(victim), Record(copy.size()));
    // A mark with a second name (a hard link planted elsewhere) is not trusted either.
    WriteFile(mark_, Record(copy.size()), 0640);
    ASSERT_EQ(link(mark_.c_str(), dir_.file("second").c_str()), 0);
    EXPECT_EQ(Next(), Before());
    EXPECT_EQ(ReadFile(dir_.file("second")), Record(copy.size()));
    // The writes go on as usual after all that.
    EXPECT_EQ(Change(), 0);
    EXPECT_EQ(ReadFile(path_), After());
}

// --- No needless writes --------------------------------------------------------------------------

TEST_F(StoreSafety, ChangeThatLeavesTheFileByteIdenticalWritesNothing) {
    IoShimWatch watch(dir_.path().c_str());
    EXPECT_EQ(
        cfg::WriteCFGDataWithTemp(path_.c_str(), temp_.c_str(), "network", "ip_addr", "1.2.3.4"),
        0);
    CfgWrite back_and_forth[] = {{"netmask", "255.255.0.0", 0}, {"netmask", "255.0.0.0", 0}};
    EXPECT_EQ(
        cfg::WriteCFGDataSetWithTemp(path_.c_str(), temp_.c_str(), "network", back_and_forth, 2),
        0);
    const IoShimCounts n = io_shim_counts();
    EXPECT_EQ(n.writes + n.truncates + n.syncs + n.unlinks, 0);
    EXPECT_FALSE(FileExists(temp_)) << "not even the temporary file is made";
    EXPECT_EQ(ReadFile(path_), Before());

    // A real change writes, and syncs the copy, the mark and the file.
    EXPECT_EQ(Change(), 0);
    EXPECT_GE(io_shim_counts().syncs, 3);
}

// --- The temporary file and the mark -------------------------------------------------------------

TEST_F(StoreSafety, CopyAndMarkTakeTheFilesModeButNeverWriteForOthers) {
    const mode_t old = umask(0);
    for (const unsigned mode : {0640u, 0600u, 0666u, 0644u}) {
        WriteFile(path_, Before(), static_cast<int>(mode));
        chmod(path_.c_str(), mode);
        EXPECT_EQ(Change(), 0);
        struct stat st {};
        ASSERT_EQ(stat(temp_.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, mode & 0644) << std::oct << mode;
        ASSERT_EQ(stat(mark_.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, mode & 0644) << std::oct << mode;
        ASSERT_EQ(stat(path_.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, mode) << "the file keeps its own";
    }
    umask(old);
}

}  // namespace
