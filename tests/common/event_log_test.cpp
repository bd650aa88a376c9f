#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <cctype>
#include <ctime>
#include <string>
#include <vector>

#include "common/event_log.h"
#include "common/event_log_internal.h"
#include "tests/support/test_util.h"

namespace {

std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> lines;
    std::string::size_type start = 0;
    while (start < text.size()) {
        std::string::size_type end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// "MM/DD/YYYY HH:MM:SS " at the start of an entry.
bool HasStamp(const std::string &line) {
    const std::string shape = "dd/dd/dddd dd:dd:dd ";
    if (line.size() < shape.size()) {
        return false;
    }
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const bool ok = shape[i] == 'd' ? std::isdigit(static_cast<unsigned char>(line[i])) != 0
                                        : line[i] == shape[i];
        if (!ok) {
            return false;
        }
    }
    return true;
}

std::string Body(const std::string &line) {
    return line.substr(20);
}

class EventLog : public ::testing::Test {
  protected:
    int Log(const char *source, const char *message) {
        return SetLogMsgAt(log_.c_str(), temp_.c_str(), source, message);
    }
    std::string Content() const { return testutil::ReadFile(log_); }

    testutil::TempDir dir_;
    std::string log_ = dir_.file("DS_log");
    std::string temp_ = dir_.file("DS_log.tmp");
};

TEST_F(EventLog, MissingLogIsCreatedWithTheOneEntry) {
    ASSERT_EQ(Log("confagent", " Start up !"), kLogOk);
    const auto lines = Lines(Content());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(HasStamp(lines[0])) << lines[0];
    EXPECT_EQ(Body(lines[0]), "confagent: Start up !");
    EXPECT_EQ(Content().back(), '\n');
}

TEST_F(EventLog, MissingLogIsCreatedWithMode0644WhateverTheUmask) {
    const mode_t old = umask(077);
    const int result = Log("confagent", " x");
    umask(old);
    ASSERT_EQ(result, kLogOk);
    struct stat st {};
    ASSERT_EQ(stat(log_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST_F(EventLog, ExistingLogKeepsItsMode) {
    testutil::WriteFile(log_, "old\n", 0600);
    ASSERT_EQ(Log("confagent", " x"), kLogOk);
    struct stat st {};
    ASSERT_EQ(stat(log_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST_F(EventLog, NewestEntryComesFirst) {
    ASSERT_EQ(Log("confagent", " first"), kLogOk);
    ASSERT_EQ(Log("confagent", " second"), kLogOk);
    ASSERT_EQ(Log("other", " third"), kLogOk);
    const auto lines = Lines(Content());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(Body(lines[0]), "other: third");
    EXPECT_EQ(Body(lines[1]), "confagent: second");
    EXPECT_EQ(Body(lines[2]), "confagent: first");
}

TEST_F(EventLog, KeepsAtMost1000Lines) {
    std::string old;
    for (int i = 1; i <= 1000; ++i) {
        old += "old line " + std::to_string(i) + "\n";  // line 1 is the newest
    }
    testutil::WriteFile(log_, old);
    ASSERT_EQ(Log("confagent", " new"), kLogOk);
    const auto lines = Lines(Content());
    ASSERT_EQ(lines.size(), 1000u);
    EXPECT_EQ(Body(lines[0]), "confagent: new");
    EXPECT_EQ(lines[1], "old line 1");
    EXPECT_EQ(lines[999], "old line 999");
    EXPECT_EQ(Content().find("old line 1000"), std::string::npos);
}

TEST_F(EventLog, ShortLogKeepsEveryLine) {
    testutil::WriteFile(log_, "b\na\n");
    ASSERT_EQ(Log("s", "m"), kLogOk);
    const auto lines = Lines(Content());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], "b");
    EXPECT_EQ(lines[2], "a");
}

TEST_F(EventLog, SourceOf16AndMessageOf80AreLogged) {
    const std::string source(16, 's');
    const std::string message(80, 'm');
    ASSERT_EQ(Log(source.c_str(), message.c_str()), kLogOk);
    const auto lines = Lines(Content());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(Body(lines[0]), source + ":" + message);
    EXPECT_EQ(lines[0].size(), 117u);  // the longest entry: 118 with its line feed
}

TEST_F(EventLog, OneCharacterMoreIsRefusedAndTheLogUntouched) {
    testutil::WriteFile(log_, "kept\n");
    EXPECT_EQ(Log(std::string(17, 's').c_str(), "m"), kLogTooLong);
    EXPECT_EQ(Log("s", std::string(81, 'm').c_str()), kLogTooLong);
    EXPECT_EQ(Content(), "kept\n");
    EXPECT_FALSE(testutil::FileExists(temp_));
}

TEST_F(EventLog, TooLongDoesNotCreateAMissingLog) {
    EXPECT_EQ(Log(std::string(17, 's').c_str(), "m"), kLogTooLong);
    EXPECT_FALSE(testutil::FileExists(log_));
}

TEST_F(EventLog, EmptyMessageEndsTheLineWithTheColon) {
    ASSERT_EQ(Log("confagent", ""), kLogOk);
    const auto lines = Lines(Content());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(Body(lines[0]), "confagent:");
}

TEST_F(EventLog, TemporaryFileIsLeftWithTheNewContents) {
    ASSERT_EQ(Log("confagent", " x"), kLogOk);
    EXPECT_EQ(testutil::ReadFile(temp_), Content());
}

TEST_F(EventLog, LongForeignLinesArriveWhole) {
    // Lines the log did not write itself are read in 125-character pieces; their text is
    // still carried over unchanged.
    const std::string long_line(300, 'L');
    testutil::WriteFile(log_, long_line + "\nshort\n");
    ASSERT_EQ(Log("s", "m"), kLogOk);
    const auto lines = Lines(Content());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], long_line);
    EXPECT_EQ(lines[2], "short");
}

TEST_F(EventLog, MissingFolderOfTheLogFails) {
    log_ = dir_.file("missing/DS_log");
    EXPECT_EQ(Log("s", "m"), kLogFileFail);
}

TEST_F(EventLog, TemporaryFileFailureLeavesTheLogUnchanged) {
    testutil::WriteFile(log_, "kept\n");
    temp_ = dir_.file("missing/DS_log.tmp");
    EXPECT_EQ(Log("s", "m"), kLogTempFail);
    EXPECT_EQ(Content(), "kept\n");
}

TEST_F(EventLog, UnreadableLogFails) {
    // A folder in the log's place opens read-only but cannot be read.
    log_ = dir_.path();
    EXPECT_EQ(Log("s", "m"), kLogFileFail);
}

TEST(GetDateTime, FormatsTheLocalDateAndTime) {
    const time_t before = time(nullptr);
    char date[12] = {};
    char time_text[12] = {};
    ASSERT_EQ(getDateTime(date, 1), 0);
    ASSERT_EQ(getDateTime(time_text, 2), 0);
    struct tm local {};
    ASSERT_NE(localtime_r(&before, &local), nullptr);
    char expected[32];
    std::snprintf(expected, sizeof expected, "%02d/%02d/%04d", local.tm_mon + 1, local.tm_mday,
                  local.tm_year + 1900);
    EXPECT_EQ(std::string(date).size(), 10u);
    EXPECT_EQ(std::string(time_text).size(), 8u);
    EXPECT_TRUE(HasStamp(std::string(date) + " " + time_text + " ")) << date << " " << time_text;
    if (local.tm_hour != 23 || local.tm_min != 59) {  // the date may roll over at midnight
        EXPECT_STREQ(date, expected);
    }
}

TEST(GetDateTime, AnyKindButOneIsTheTime) {
    char text[12] = {};
    ASSERT_EQ(getDateTime(text, 0), 0);
    EXPECT_EQ(text[2], ':');
    EXPECT_EQ(text[5], ':');
    ASSERT_EQ(getDateTime(text, 7), 0);
    EXPECT_EQ(text[2], ':');
}

}  // namespace
