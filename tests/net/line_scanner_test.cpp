// The shared line scanner (reader and rewriter rules) and the in-place rewrite helper.
#include "net/line_scanner.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/system_file.h"
#include "tests/support/test_util.h"

namespace {

struct Got {
    std::string text;
    bool newline;
    bool operator==(const Got &) const = default;
};

std::vector<Got> Scan(const std::string &content, ScanMode mode) {
    testutil::TempDir dir;
    std::string path = dir.file("f");
    testutil::WriteFile(path, content);
    int fd = open(path.c_str(), O_RDONLY);
    LineScanner scanner(fd, mode);
    std::vector<Got> out;
    ScannedLine line{};
    while (scanner.Next(&line) > 0) {
        out.push_back({std::string(line.text), line.newline});
    }
    close(fd);
    return out;
}

// What a rewriter that copies every line writes.
std::string Copy(const std::string &content) {
    std::string out;
    for (const Got &g : Scan(content, ScanMode::kRewriter)) {
        out += g.text + (g.newline ? "\n" : "");
    }
    return out;
}

TEST(LineScanner, CommentsAndLeadingSpacesButNotTabs) {
    std::vector<Got> got = Scan("a=1\n   # gone\n#gone\n   b=2\n\tc=3\n\n  \n", ScanMode::kReader);
    std::vector<Got> want = {{"a=1", true}, {"b=2", true}, {"\tc=3", true}, {"", true}, {"", true}};
    EXPECT_EQ(got, want);
    EXPECT_EQ(Copy("a=1\n   # gone\n   b=2\n"), "a=1\nb=2\n");
}

TEST(LineScanner, UnterminatedLastLineIsReadAndKeptWithItsLineFeed) {
    std::vector<Got> want = {{"a", true}, {"tail", true}};
    EXPECT_EQ(Scan("a\ntail", ScanMode::kReader), want);
    EXPECT_EQ(Copy("a\n  tail"), "a\ntail\n");
    EXPECT_TRUE(Scan("", ScanMode::kReader).empty());
    EXPECT_EQ(Copy("# only a comment"), "");
}

TEST(LineScanner, LongLinesSkippedByReadersAndSplitByRewriters) {
    std::string longline(300, 'x');
    std::string exact(256, 'y');
    std::string fits(255, 'z');
    std::string content = "a\n" + longline + "\n" + exact + "\n" + fits + "\nb\n";
    std::vector<Got> want = {{"a", true}, {fits, true}, {"b", true}};
    EXPECT_EQ(Scan(content, ScanMode::kReader), want);

    std::vector<Got> pieces = Scan(content, ScanMode::kRewriter);
    ASSERT_EQ(pieces.size(), 7u);
    EXPECT_EQ(pieces[1], (Got{std::string(256, 'x'), false}));
    EXPECT_EQ(pieces[2], (Got{std::string(44, 'x'), true}));
    EXPECT_EQ(pieces[3], (Got{exact, false}));
    EXPECT_EQ(pieces[4], (Got{"", true}));
    // Copied through, long lines come out whole.
    EXPECT_EQ(Copy(content), content);
}

TEST(LineScanner, StretchesLongerThanTheBufferAndLinesAcrossChunks) {
    std::string huge(3000, 'h');
    std::vector<Got> want = {{"a", true}, {"b", true}};
    EXPECT_EQ(Scan("a\n" + huge + "\nb\n", ScanMode::kReader), want);
    EXPECT_EQ(Scan("a\n" + huge, ScanMode::kReader), (std::vector<Got>{{"a", true}}));
    EXPECT_EQ(Copy("a\n" + huge + "\nb\n"), "a\n" + huge + "\nb\n");

    // Many short lines: every chunk boundary falls inside some line.
    std::string many;
    for (int i = 0; i < 500; ++i) {
        many += "line" + std::to_string(i) + "\n";
    }
    std::vector<Got> lines = Scan(many, ScanMode::kReader);
    ASSERT_EQ(lines.size(), 500u);
    EXPECT_EQ(lines[499].text, "line499");
    EXPECT_EQ(Copy(many), many);
}

// The system files' rewrites of this test go through a temporary file of its own (the fixed
// one is the appliance's, in /etc).
class OwnSystemFileTemp {
  public:
    OwnSystemFileTemp() { SetSystemFileTemp(temp_.c_str()); }
    ~OwnSystemFileTemp() { SetSystemFileTemp(nullptr); }

  private:
    testutil::TempDir dir_;
    std::string temp_ = dir_.file("sysfile.tmp");
};

TEST(FileRewrite, CopiesBackInPlaceKeepingInodeAndModeAndRemovesTheTemporaryFile) {
    OwnSystemFileTemp journal;
    testutil::TempDir dir;
    std::string path = dir.file("target");
    std::string old_content(5000, 'o');
    testutil::WriteFile(path, old_content, 0640);
    struct stat before {};
    ASSERT_EQ(stat(path.c_str(), &before), 0);

    std::string tmpl = dir.file("Eda.qXXXXXX");
    std::string new_content;
    for (int i = 0; i < 300; ++i) {
        new_content += "new line " + std::to_string(i) + "\n";  // > 1024 bytes
    }
    {
        FileRewrite rw(path.c_str(), tmpl.c_str());
        ASSERT_EQ(rw.Open("T", "open", "temp"), 0);
        ASSERT_EQ(rw.Write(new_content), 0);
        ASSERT_EQ(rw.Commit("T", 0755, "seek", "open back", "write back"), 0);
    }
    EXPECT_EQ(testutil::ReadFile(path), new_content);
    struct stat after {};
    ASSERT_EQ(stat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mode & 07777, 0640u);
    std::string listing;
    testutil::Run("ls '" + dir.path() + "'", &listing);
    EXPECT_EQ(listing, "target\n");
}

TEST(FileRewrite, MissingTargetFailsWithoutCreatingIt) {
    OwnSystemFileTemp journal;
    testutil::TempDir dir;
    std::string path = dir.file("absent");
    std::string tmpl = dir.file("Eda.qXXXXXX");
    FileRewrite rw(path.c_str(), tmpl.c_str());
    EXPECT_EQ(rw.Open("T", "open", "temp"), -2);
    EXPECT_FALSE(testutil::FileExists(path));
}

TEST(TextRules, ControlCharactersCutAndNoAddress) {
    EXPECT_EQ(PrintableLength("abc"), 3u);
    EXPECT_EQ(PrintableLength("ab\ncd"), 2u);
    EXPECT_EQ(PrintableLength("\rx"), 0u);
    EXPECT_EQ(PrintableLength("a\x7f"), 1u);
    EXPECT_EQ(PrintableLength("caf\xc3\xa9"), 5u);  // bytes above 0x7F are text
    char name[] = "STORE\t1";
    CutAtControl(name);
    EXPECT_STREQ(name, "STORE");
    EXPECT_TRUE(IsNoAddress(""));
    EXPECT_TRUE(IsNoAddress("0.0.0.0"));
    EXPECT_FALSE(IsNoAddress("0.0.0.1"));
}

}  // namespace
