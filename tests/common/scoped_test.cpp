// The temporary-file guard: made from its template, removed at the end, and refused (rather
// than made under a cut name) when the template does not fit.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "common/scoped.h"
#include "tests/support/test_util.h"

namespace {

TEST(TempFileTest, MadeFromTheTemplateAndRemoved) {
    testutil::TempDir dir;
    std::string path;
    {
        TempFile temp((dir.path() + "/t.XXXXXX").c_str());
        ASSERT_TRUE(temp.valid());
        path = temp.path();
        EXPECT_EQ(path.rfind(dir.path() + "/t.", 0), 0u);
        struct stat st {};
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u);
    }
    EXPECT_FALSE(testutil::FileExists(path));
}

TEST(TempFileTest, ATemplateTooLongIsRefused) {
    testutil::TempDir dir;
    // Cut to the guard's 63 characters it would still end in six X's, and make a file of
    // another name than the template asks for.
    const std::string head = dir.path() + "/" + std::string(57 - dir.path().size() - 1, 'a');
    const std::string long_template = head + "XXXXXX-tail.XXXXXX";
    ASSERT_EQ(head.size() + 6, 63u);
    TempFile temp(long_template.c_str());
    EXPECT_FALSE(temp.valid());
    EXPECT_STREQ(temp.path(), "");
    std::string listing;
    testutil::Run("ls -A " + dir.path(), &listing);
    EXPECT_EQ(listing, "");
}

}  // namespace
