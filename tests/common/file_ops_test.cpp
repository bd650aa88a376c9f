#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "common/scoped.h"
#include "common/util.h"
#include "tests/support/test_util.h"

namespace {

TEST(PutString, AppendsKeyValueLineAtTheEnd) {
    testutil::TempDir dir;
    const std::string path = dir.file("settings");
    testutil::WriteFile(path, "first=1\n");
    UniqueFile f(std::fopen(path.c_str(), "r+"));
    ASSERT_TRUE(f);
    EXPECT_EQ(put_string(f.get(), "key", "value"), 0);
    EXPECT_EQ(put_string(f.get(), "empty", ""), 0);
    f.reset();
    EXPECT_EQ(testutil::ReadFile(path), "first=1\nkey=value\nempty=\n");
}

TEST(PutString, SeeksToTheEndFromAnyPosition) {
    testutil::TempDir dir;
    const std::string path = dir.file("settings");
    testutil::WriteFile(path, "a=1\nb=2\n");
    UniqueFile f(std::fopen(path.c_str(), "r+"));
    ASSERT_TRUE(f);
    ASSERT_EQ(std::fseek(f.get(), 0, SEEK_SET), 0);
    EXPECT_EQ(put_string(f.get(), "c", "3"), 0);
    f.reset();
    EXPECT_EQ(testutil::ReadFile(path), "a=1\nb=2\nc=3\n");
}

TEST(PutString, CutsKeyAndValueTo254Characters) {
    testutil::TempDir dir;
    const std::string path = dir.file("settings");
    UniqueFile f(std::fopen(path.c_str(), "w"));
    ASSERT_TRUE(f);
    const std::string key(100, 'k');
    const std::string value(300, 'v');
    EXPECT_EQ(put_string(f.get(), key.c_str(), value.c_str()), 0);
    f.reset();
    EXPECT_EQ(testutil::ReadFile(path), key + "=" + std::string(154, 'v') + "\n");
}

TEST(PutString, ReportsAFailedWrite) {
    testutil::TempDir dir;
    const std::string path = dir.file("readonly");
    testutil::WriteFile(path, "");
    UniqueFile f(std::fopen(path.c_str(), "r"));
    ASSERT_TRUE(f);
    // The write fails at once (unbuffered) on a read-only stream.
    std::setvbuf(f.get(), nullptr, _IONBF, 0);
    EXPECT_EQ(put_string(f.get(), "k", "v"), -2);
    EXPECT_EQ(put_string(nullptr, "k", "v"), -2);
}

TEST(CreateFile, CreatesAnEmptyFile) {
    testutil::TempDir dir;
    const std::string path = dir.file("new");
    ASSERT_EQ(create_file(path.c_str()), 0);
    EXPECT_TRUE(testutil::FileExists(path));
    EXPECT_EQ(testutil::ReadFile(path), "");
}

TEST(CreateFile, EmptiesAnExistingFile) {
    testutil::TempDir dir;
    const std::string path = dir.file("old");
    testutil::WriteFile(path, "some content\n");
    ASSERT_EQ(create_file(path.c_str()), 0);
    EXPECT_EQ(testutil::ReadFile(path), "");
}

TEST(CreateFile, FailsInAMissingFolder) {
    testutil::TempDir dir;
    EXPECT_EQ(create_file(dir.file("missing/file").c_str()), -1);
}

TEST(ChangeFileOwner, MissingUserOrGroupFails) {
    testutil::TempDir dir;
    const std::string path = dir.file("f");
    testutil::WriteFile(path, "x");
    EXPECT_EQ(change_file_owner(path.c_str(), "no_such_user_dsq", "root"), -1);
    EXPECT_EQ(change_file_owner(path.c_str(), "root", "no_such_group_dsq"), -1);
}

TEST(ChangeFileOwner, MissingFileFails) {
    testutil::TempDir dir;
    EXPECT_EQ(change_file_owner(dir.file("missing").c_str(), "root", "root"), -1);
}

TEST(ChangeFileOwner, GivesTheFileToTheNamedUserAndGroup) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root";
    }
    const struct passwd *nobody = getpwnam("nobody");
    const struct group *nogroup = getgrnam("nogroup");
    if (nobody == nullptr || nogroup == nullptr) {
        GTEST_SKIP() << "no user nobody or group nogroup";
    }
    const uid_t uid = nobody->pw_uid;
    const gid_t gid = nogroup->gr_gid;
    testutil::TempDir dir;
    const std::string path = dir.file("f");
    testutil::WriteFile(path, "x");
    ASSERT_EQ(change_file_owner(path.c_str(), "nobody", "nogroup"), 0);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, uid);
    EXPECT_EQ(st.st_gid, gid);
    ASSERT_EQ(change_file_owner(path.c_str(), "root", "root"), 0);
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_gid, 0u);
}

}  // namespace
