// The date file is read only when a regular file of one name stands at its path.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "agent/read_settings.h"
#include "tests/support/test_util.h"

namespace {

class DateFileTest : public ::testing::Test {
  protected:
    int Read(const std::string &path) {
        date_[0] = time_[0] = '\0';
        return ReadDateFile(path.c_str(), date_, time_, sizeof date_);
    }
    testutil::TempDir dir_;
    char date_[200];
    char time_[200];
};

TEST_F(DateFileTest, TheTwoLinesOfTheClockProgram) {
    const std::string path = dir_.file("date_tmep");
    testutil::WriteFile(path, "07/03/2026\n08:05:09");
    ASSERT_EQ(Read(path), kDateFileOk);
    EXPECT_STREQ(date_, "07/03/2026\n");
    EXPECT_STREQ(time_, "08:05:09");

    testutil::WriteFile(path, "07/03/2026\n");
    EXPECT_EQ(Read(path), kDateFileNoTime);
    testutil::WriteFile(path, "");
    EXPECT_EQ(Read(path), kDateFileNoDate);
    unlink(path.c_str());
    EXPECT_EQ(Read(path), kDateFileOpenFail);
}

TEST_F(DateFileTest, NothingButAPlainFileIsRead) {
    const std::string secret = dir_.file("secret");
    testutil::WriteFile(secret, "root:secret-hash\nsecond line\n", 0600);
    const std::string path = dir_.file("date_tmep");

    ASSERT_EQ(symlink(secret.c_str(), path.c_str()), 0);
    EXPECT_EQ(Read(path), kDateFileOpenFail) << "a symbolic link is never followed";
    EXPECT_STREQ(date_, "");
    unlink(path.c_str());

    ASSERT_EQ(link(secret.c_str(), path.c_str()), 0);
    EXPECT_EQ(Read(path), kDateFileOpenFail) << "a second name of another file";
    EXPECT_STREQ(date_, "");
    unlink(path.c_str());

    // A FIFO with no writer would block a plain open for ever.
    ASSERT_EQ(mkfifo(path.c_str(), 0666), 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Read(path), kDateFileOpenFail);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    unlink(path.c_str());

    ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
    EXPECT_EQ(Read(path), kDateFileOpenFail);
    rmdir(path.c_str());

    // A file that others may write holds what they want; so does one of another user.
    for (const int mode : {0666, 0646, 0664, 0620}) {
        testutil::WriteFile(path, "06/06/1666\n06:06:06", mode);
        ASSERT_EQ(chmod(path.c_str(), static_cast<mode_t>(mode)), 0);
        EXPECT_EQ(Read(path), kDateFileOpenFail) << std::oct << mode;
        EXPECT_STREQ(date_, "");
    }
    testutil::WriteFile(path, "07/03/2026\n08:05:09", 0644);
    ASSERT_EQ(chmod(path.c_str(), 0644), 0);
    EXPECT_EQ(Read(path), kDateFileOk);
    if (geteuid() == 0) {
        ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
        EXPECT_EQ(Read(path), kDateFileOpenFail) << "a file of another user";
    }
}

}  // namespace
