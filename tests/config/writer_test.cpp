// The configuration writer, on temporary files (the temporary copy is named too).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "config/cfg.h"
#include "config/cfg_internal.h"
#include "tests/config/process_helpers.h"
#include "tests/support/test_util.h"

namespace {

using testutil::FileExists;
using testutil::ReadFile;
using testutil::TempDir;
using testutil::WriteFile;

class WriterTest : public ::testing::Test {
  protected:
    int Write(const char *section, const char *key, const char *value) {
        return cfg::WriteCFGDataWithTemp(path_.c_str(), temp_.c_str(), section, key, value);
    }
    int Net(const char *key, const char *value) { return Write("network", key, value); }
    // Writes `before`, sets one key of section network, and returns the file.
    std::string After(const std::string &before, const char *key, const char *value,
                      int *rc = nullptr) {
        WriteFile(path_, before);
        const int r = Net(key, value);
        if (rc != nullptr) {
            *rc = r;
        }
        return ReadFile(path_);
    }
    std::string ReadBack(const char *section, const char *key) {
        char out[300];
        if (ReadCFGData(path_.c_str(), section, key, out, sizeof out) != 0) {
            return "<error>";
        }
        return out;
    }

    TempDir dir_;
    std::string path_ = dir_.file("CGI_ds.conf");
    std::string temp_ = dir_.file("CGI_ds.conf.tmp");
};

// --- The examples of the text -----------------------------------------------------------------

TEST_F(WriterTest, ReplaceInPlaceKeepsTheInode) {
    WriteFile(path_, "[network]\nip_addr=1.2.3.4\nnetmask=255.0.0.0\n");
    const long inode = cfgtest::Inode(path_.c_str());
    EXPECT_EQ(Net("ip_addr", "10.0.0.5"), 0);
    EXPECT_EQ(ReadFile(path_), "[network]\nip_addr=10.0.0.5\nnetmask=255.0.0.0\n");
    EXPECT_EQ(cfgtest::Inode(path_.c_str()), inode);
    EXPECT_EQ(ReadFile(temp_), ReadFile(path_)) << "the temporary copy is left in place";
}

TEST_F(WriterTest, MissingKeyIsInsertedDirectlyAfterTheHeader) {
    EXPECT_EQ(After("[network]\nip_addr=1.2.3.4\nnetmask=255.0.0.0\n", "gateway", "1.2.3.254"),
              "[network]\ngateway=1.2.3.254\nip_addr=1.2.3.4\nnetmask=255.0.0.0\n");
}

TEST_F(WriterTest, MissingSectionIsAppended) {
    EXPECT_EQ(After("[other]\na=1\n", "ip_addr", "1.2.3.4"),
              "[other]\na=1\n[network]\nip_addr=1.2.3.4\n");
    EXPECT_EQ(After("", "ip_addr", "1.2.3.4"), "[network]\nip_addr=1.2.3.4\n");
}

TEST_F(WriterTest, BlanksAroundEqualsAreRewritten) {
    EXPECT_EQ(After("[network]\n   ip_addr   =   1.2.3.4   \nnext=1\n", "ip_addr", "10.0.0.5"),
              "[network]\n   ip_addr=10.0.0.5\nnext=1\n")
        << "the leading blanks of the line stay";
}

TEST_F(WriterTest, OnlyTheFirstSectionOfTheName) {
    EXPECT_EQ(After("[network]\na=1\n[network]\ngateway=9.9.9.9\n", "gateway", "1.1.1.1"),
              "[network]\ngateway=1.1.1.1\na=1\n[network]\ngateway=9.9.9.9\n");
}

TEST_F(WriterTest, KeyOfAnotherSectionIsUntouched) {
    EXPECT_EQ(After("[other]\ngateway=9.9.9.9\n[network]\na=1\n", "gateway", "1.1.1.1"),
              "[other]\ngateway=9.9.9.9\n[network]\ngateway=1.1.1.1\na=1\n");
}

TEST_F(WriterTest, EmptyValue) {
    EXPECT_EQ(After("[network]\nwins_server=1.2.3.4\n", "wins_server", ""),
              "[network]\nwins_server=\n");
    EXPECT_EQ(After("[network]\nwins_server=1.2.3.4\n", "wins_server", nullptr),
              "[network]\nwins_server=\n");
}

TEST_F(WriterTest, MissingFileCreatesNothing) {
    EXPECT_EQ(Net("ip_addr", "1.2.3.4"), kCfgOpenFail);
    EXPECT_FALSE(FileExists(path_));
    EXPECT_FALSE(FileExists(temp_));
    EXPECT_EQ(cfg::WriteCFGDataWithTemp(nullptr, temp_.c_str(), "network", "k", "v"), kCfgOpenFail);
    EXPECT_EQ(cfg::WriteCFGDataWithTemp("", temp_.c_str(), "network", "k", "v"), kCfgOpenFail);
    WriteFile(path_, "[network]\n");
    EXPECT_EQ(cfg::WriteCFGDataWithTemp(path_.c_str(), "", "network", "k", "v"), kCfgOpenFail);
    EXPECT_EQ(ReadFile(path_), "[network]\n");
}

// --- Missing final line feed --------------------------------------------------------------------

TEST_F(WriterTest, AppendSectionAfterAnUnterminatedLastLine) {
    EXPECT_EQ(After("[other]\na=1", "ip_addr", "1.2.3.4"),
              "[other]\na=1\n[network]\nip_addr=1.2.3.4\n");
    EXPECT_EQ(ReadBack("other", "a"), "1");
    EXPECT_EQ(ReadBack("network", "ip_addr"), "1.2.3.4");
}

TEST_F(WriterTest, AppendEntryAfterAnUnterminatedLastLine) {
    WriteFile(path_, "[other]\na=1");
    EXPECT_EQ(Write("", "k", "v"), 0);
    EXPECT_EQ(ReadFile(path_), "[other]\na=1\nk=v\n");
    EXPECT_EQ(ReadBack("", "k"), "v");
}

TEST_F(WriterTest, AppendAfterALastLineEndingInAContinuation) {
    // Terminated: the continuation would join the appended header to the value.
    EXPECT_EQ(After("[other]\nx=abc \\\n", "ip_addr", "1.2.3.4"),
              "[other]\nx=abc \\\n\n[network]\nip_addr=1.2.3.4\n");
    EXPECT_EQ(ReadBack("other", "x"), "abc");
    EXPECT_EQ(ReadBack("network", "ip_addr"), "1.2.3.4");
    // Unterminated, in a key and in a value.
    EXPECT_EQ(After("[other]\nkey \\  ", "ip_addr", "1.2.3.4"),
              "[other]\nkey \\  \n\n[network]\nip_addr=1.2.3.4\n");
    EXPECT_EQ(ReadBack("network", "ip_addr"), "1.2.3.4");
    WriteFile(path_, "[other]\nx=abc\\");
    EXPECT_EQ(Write("", "k", "v"), 0);
    EXPECT_EQ(ReadBack("", "k"), "v");
    EXPECT_EQ(ReadBack("other", "x"), "abc");
    // Each backslash of a run continues once more (found by the fuzz harness).
    EXPECT_EQ(After("ea\\\\", "ip_addr", "1"), "ea\\\\\n\n\n[network]\nip_addr=1\n");
    EXPECT_EQ(ReadBack("network", "ip_addr"), "1");
    EXPECT_EQ(After("[other]\nx=a \\ \\\t\\\r\n", "ip_addr", "1"),
              "[other]\nx=a \\ \\\t\\\r\n\n\n\n[network]\nip_addr=1\n");
    EXPECT_EQ(ReadBack("network", "ip_addr"), "1");
    // A continued entry whose continuation line holds only a blank (found by the fuzz harness).
    EXPECT_EQ(After("a=v \\ \\\n ", "ip_addr", "1"), "a=v \\ \\\n \n\n[network]\nip_addr=1\n");
    EXPECT_EQ(ReadBack("network", "ip_addr"), "1");
    EXPECT_EQ(ReadBack("", "a"), "v") << "the line feeds that end it take its backslashes";
    // A continued value that met the end of the file after its line feed.
    EXPECT_EQ(After("a=v\\\n", "ip_addr", "1"), "a=v\\\n\n[network]\nip_addr=1\n");
    EXPECT_EQ(ReadBack("network", "ip_addr"), "1");
}

TEST_F(WriterTest, InsertAfterAHeaderThatIsTheUnterminatedLastLine) {
    EXPECT_EQ(After("[other]\na=1\n[network]", "ip_addr", "1.2.3.4"),
              "[other]\na=1\n[network]\nip_addr=1.2.3.4\n");
    EXPECT_EQ(ReadBack("network", "ip_addr"), "1.2.3.4");
    EXPECT_EQ(After("[network]  trailing words", "ip_addr", "1.2.3.4"),
              "[network]  trailing words\nip_addr=1.2.3.4\n");
}

TEST_F(WriterTest, ReplaceTheUnterminatedLastLine) {
    EXPECT_EQ(After("[network]\nip_addr=1.2.3.4", "ip_addr", "10.0.0.5"),
              "[network]\nip_addr=10.0.0.5\n");
}

// --- Refusals -----------------------------------------------------------------------------------

TEST_F(WriterTest, LineFeedCarriageReturnAndControlCharactersAreRefused) {
    const std::string before = "[network]\nip_addr=1.2.3.4\n";
    WriteFile(path_, before);
    EXPECT_EQ(Net("ip_addr", "1.2.3.4\nevil=1"), kCfgBadArgument);
    EXPECT_EQ(Net("ip_addr", "1.2.3.4\r"), kCfgBadArgument);
    EXPECT_EQ(Net("ip_addr", "a\x01"), kCfgBadArgument);
    EXPECT_EQ(Net("ip_addr", "a\x1b[0m"), kCfgBadArgument);
    EXPECT_EQ(Net("ip\naddr", "1"), kCfgBadArgument);
    EXPECT_EQ(Net("ip\raddr", "1"), kCfgBadArgument);
    EXPECT_EQ(Write("net\nwork", "ip_addr", "1"), kCfgBadArgument);
    EXPECT_EQ(Write("net\rwork", "ip_addr", "1"), kCfgBadArgument);
    EXPECT_EQ(ReadFile(path_), before);
    EXPECT_FALSE(FileExists(temp_));
}

TEST_F(WriterTest, TextThatWouldNotReadBackIsRefused) {
    const std::string before = "[network]\nip_addr=1.2.3.4\n";
    WriteFile(path_, before);
    EXPECT_EQ(Net("a=b", "1"), kCfgBadArgument);
    EXPECT_EQ(Net("", "1"), kCfgBadArgument) << "an empty key is a syntax error in the file";
    EXPECT_EQ(Write("a]b", "k", "1"), kCfgBadArgument);
    EXPECT_EQ(Net("comment", "C:\\"), kCfgBadArgument) << "would continue onto the next line";
    EXPECT_EQ(Net("comment", "C:\\  \t"), kCfgBadArgument);
    EXPECT_EQ(Net(std::string(64, 'k').c_str(), "1"), kCfgBadArgument);
    EXPECT_EQ(Write(std::string(64, 's').c_str(), "k", "1"), kCfgBadArgument);
    EXPECT_EQ(Net("k", std::string(256, 'v').c_str()), kCfgBadArgument);
    EXPECT_EQ(ReadFile(path_), before);
    EXPECT_FALSE(FileExists(temp_));
}

TEST_F(WriterTest, LimitsThemselvesAreAccepted) {
    WriteFile(path_, "[network]\n");
    const std::string k(63, 'k');
    const std::string s(63, 's');
    const std::string v(255, 'v');
    EXPECT_EQ(Write(s.c_str(), k.c_str(), v.c_str()), 0);
    EXPECT_EQ(ReadBack(s.c_str(), k.c_str()), v);
    EXPECT_EQ(Net("tab", "a\tb"), 0);
    EXPECT_EQ(ReadBack("network", "tab"), "a\tb");
    EXPECT_EQ(Net("mid", "a\\b"), 0) << "a backslash inside the value is fine";
    EXPECT_EQ(ReadBack("network", "mid"), "a\\b");
}

TEST_F(WriterTest, MissingKeyWritesNothing) {
    WriteFile(path_, "[network]\n");
    EXPECT_EQ(Net(nullptr, "v"), 0);
    EXPECT_EQ(ReadFile(path_), "[network]\n");
    EXPECT_EQ(cfg::WriteCFGDataWithTemp(dir_.file("absent").c_str(), temp_.c_str(), "network",
                                        nullptr, "v"),
              0);
    EXPECT_FALSE(FileExists(dir_.file("absent")));
}

TEST_F(WriterTest, SyntaxErrorBeforeTheStopWritesNothing) {
    const std::string before = "[network]\n=bad\nip_addr=1.2.3.4\n";
    int rc = 0;
    EXPECT_EQ(After(before, "ip_addr", "10.0.0.5", &rc), before);
    EXPECT_EQ(rc, kCfgSyntax);
    EXPECT_FALSE(FileExists(temp_));
    // After the stop it goes unnoticed.
    EXPECT_EQ(After("[network]\nip_addr=1\n[bad\n", "ip_addr", "2", &rc),
              "[network]\nip_addr=2\n[bad\n");
    EXPECT_EQ(rc, 0);
}

// --- Byte-for-byte preservation ----------------------------------------------------------------

TEST_F(WriterTest, EverythingElseStaysByteForByte) {
    const std::string head =
        "# Settings of the appliance\r\n"
        "\n"
        "; generated\n"
        "[other]\n"
        "  ip_addr = 9.9.9.9 \t\n"
        "[network]\n"
        "bootproto=static\n";
    const std::string tail =
        "netmask =  255.255.255.0\n"
        "\n"
        "# trailing comment \xe9\n"
        "[zzz]\n"
        "x\n";
    EXPECT_EQ(After(head + "\tip_addr = 1.2.3.4\n" + tail, "ip_addr", "10.0.0.5"),
              head + "\tip_addr=10.0.0.5\n" + tail);
}

TEST_F(WriterTest, ReplacedEntryLosesItsContinuationLines) {
    EXPECT_EQ(After("[network]\ncomment=a \\\n  b \\\n c\nnext=1\n", "comment", "new"),
              "[network]\ncomment=new\nnext=1\n");
}

TEST_F(WriterTest, KeyTakesTheCallersSpelling) {
    EXPECT_EQ(After("[network]\nmy   key = v\n", "my key", "w"), "[network]\nmy key=w\n");
}

TEST_F(WriterTest, NoSectionModeReplacesAnywhereOrAppends) {
    WriteFile(path_, "top=1\n[a]\nk=old\n[b]\nz=2\n");
    EXPECT_EQ(Write(nullptr, "k", "new"), 0);
    EXPECT_EQ(ReadFile(path_), "top=1\n[a]\nk=new\n[b]\nz=2\n");
    EXPECT_EQ(Write("", "fresh", "3"), 0);
    EXPECT_EQ(ReadFile(path_), "top=1\n[a]\nk=new\n[b]\nz=2\nfresh=3\n");
}

TEST_F(WriterTest, HighBytesAndSpecialCharactersRoundTrip) {
    WriteFile(path_, "[network]\n");
    const char *values[] = {"caf\xc3\xa9 \xff\x80", "a#b;c", "x = y",   "[not a header]",
                            "  lead and trail  ",   "a  b",  "\\start", "100%s%n"};
    const char *expected[] = {"caf\xc3\xa9 \xff\x80", "a#b;c", "x = y",   "[not a header]",
                              "lead and trail",       "a  b",  "\\start", "100%s%n"};
    for (std::size_t i = 0; i < sizeof values / sizeof values[0]; ++i) {
        // Not "k" + std::to_string(i): a false -Wrestrict of g++ 12 at -O3.
        const std::string key = std::string("k").append(std::to_string(i));
        ASSERT_EQ(Net(key.c_str(), values[i]), 0) << i;
        EXPECT_EQ(ReadBack("network", key.c_str()), expected[i]) << i;
    }
}

TEST_F(WriterTest, ManyKeysRoundTrip) {
    WriteFile(path_, "# config\n[network]\n");
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < 30; ++i) {
            const std::string key = "key_" + std::to_string(i);
            const std::string value = "value " + std::to_string(i * 7 + round);
            ASSERT_EQ(Net(key.c_str(), value.c_str()), 0);
        }
    }
    for (int i = 0; i < 30; ++i) {
        const std::string key = "key_" + std::to_string(i);
        EXPECT_EQ(ReadBack("network", key.c_str()), "value " + std::to_string(i * 7 + 1));
    }
    EXPECT_EQ(testutil::CountLines(ReadFile(path_)), 32);
}

TEST_F(WriterTest, ReplaceAcrossBlockBoundaries) {
    for (int pad = 1000; pad < 1040; ++pad) {
        const std::string head =
            "# " + std::string(static_cast<std::size_t>(pad), '-') + "\n[network]\n";
        const std::string tail = "next=" + std::string(1500, 'n') + "\n";
        ASSERT_EQ(After(head + "ip_addr = 1.2.3.4\n" + tail, "ip_addr", "10.0.0.5"),
                  head + "ip_addr=10.0.0.5\n" + tail)
            << pad;
    }
}

TEST_F(WriterTest, FileLargerThanTheCopyBuffer) {
    std::string body = "[network]\n";
    for (int i = 0; i < 500; ++i) {
        body += "key" + std::to_string(i) + "=" + std::string(20, 'x') + "\n";
    }
    const std::string head = body.substr(0, body.rfind("key499="));
    EXPECT_EQ(After(body, "key499", "last"), head + "key499=last\n");
    EXPECT_EQ(ReadBack("network", "key0"), std::string(20, 'x'));
}

TEST_F(WriterTest, NulByteInTheFile) {
    const std::string nul = std::string("[network]\na=1\n\0junk\n", 20);
    // Insert and replace happen before the NUL: fine, the rest is kept.
    EXPECT_EQ(After(nul, "a", "2"), std::string("[network]\na=2\n\0junk\n", 20));
    EXPECT_EQ(After(nul, "b", "2"), std::string("[network]\nb=2\na=1\n\0junk\n", 24));
    // Appending behind the NUL would be invisible: refused.
    int rc = 0;
    WriteFile(path_, nul);
    rc = Write("other", "k", "v");
    EXPECT_EQ(rc, kCfgSyntax);
    EXPECT_EQ(ReadFile(path_), nul);
}

// --- The file itself: mode, owner, inode, descriptors, temporary file ----------------------------

TEST_F(WriterTest, ModeAndInodeStayAndLockDescriptorsStayAttached) {
    WriteFile(path_, "[network]\nip_addr=1.2.3.4\n", 0640);
    const long inode = cfgtest::Inode(path_.c_str());
    const int held = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);

    EXPECT_EQ(Net("ip_addr", "10.0.0.5"), 0);  // replace
    EXPECT_EQ(Net("gateway", "10.0.0.1"), 0);  // insert
    EXPECT_EQ(Write("other", "a", "1"), 0);    // append

    struct stat st {};
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(static_cast<long>(st.st_ino), inode);
    EXPECT_FALSE(cfgtest::CanFlock(path_.c_str(), LOCK_SH)) << "the held lock still applies";
    // The held descriptor reads the new contents.
    char buf[200] = {};
    ASSERT_GT(pread(held, buf, sizeof buf - 1, 0), 0);
    EXPECT_EQ(std::string(buf), "[network]\ngateway=10.0.0.1\nip_addr=10.0.0.5\n[other]\na=1\n");
    close(held);
}

TEST_F(WriterTest, TemporaryFileIsNeverWorldWritableNorFollowedThroughALink) {
    WriteFile(path_, "[network]\nip_addr=1.2.3.4\n", 0600);
    WriteFile(temp_, "old temporary contents, world-writable\n", 0666);
    const int held = open(temp_.c_str(), O_WRONLY | O_CLOEXEC);  // opened while it could be
    ASSERT_GE(held, 0);
    EXPECT_EQ(Net("ip_addr", "10.0.0.5"), 0);
    ASSERT_EQ(pwrite(held, "forged", 6, 0), 6);
    close(held);
    EXPECT_EQ(ReadFile(temp_), "[network]\nip_addr=10.0.0.5\n") << "a fresh file took its place";
    struct stat st {};
    ASSERT_EQ(stat(temp_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u) << "the mode of the file it copies";
    EXPECT_EQ(ReadFile(temp_), "[network]\nip_addr=10.0.0.5\n");

    // A symbolic link planted at the temporary path is not followed.
    const std::string target = dir_.file("target");
    WriteFile(target, "precious\n");
    ASSERT_EQ(unlink(temp_.c_str()), 0);
    ASSERT_EQ(symlink(target.c_str(), temp_.c_str()), 0);
    EXPECT_EQ(Net("ip_addr", "10.0.0.6"), kCfgOpenFail);
    EXPECT_EQ(ReadFile(target), "precious\n");
    EXPECT_EQ(ReadFile(path_), "[network]\nip_addr=10.0.0.5\n") << "unchanged";
}

TEST_F(WriterTest, WorkingBufferIsFreedAfterEachCall) {
    WriteFile(path_, "[network]\nip_addr=1.2.3.4\n");
    EXPECT_EQ(Net("ip_addr", "10.0.0.5"), 0);
    EXPECT_EQ(cfg::scanner.bufr, nullptr);
    EXPECT_EQ(cfg::scanner.file, nullptr);
}

}  // namespace
