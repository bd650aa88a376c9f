#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "common/util.h"
#include "tests/support/test_util.h"

namespace {

// What NETDebugMsg writes to standard error (the LOG_PERROR copy of the system-log line).
std::string TraceOnStderr(const char *tag, const char *message) {
    testutil::TempDir dir;
    const std::string path = dir.file("stderr");
    int out = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    EXPECT_GE(out, 0);
    int saved = dup(STDERR_FILENO);
    dup2(out, STDERR_FILENO);
    NETDebugMsg(tag, message);
    dup2(saved, STDERR_FILENO);
    close(saved);
    close(out);
    return testutil::ReadFile(path);
}

TEST(NetDebugMsg, WritesTheTraceLineWithItsIdent) {
    EXPECT_EQ(TraceOnStderr("APPLE", "Input Netatalk flag Invalid"),
              "DEBUG_MSG: [APPLE]::<<Input Netatalk flag Invalid>>\n");
}

TEST(NetDebugMsg, CutsTheTagToNineCharacters) {
    EXPECT_EQ(TraceOnStderr("ABCDEFGHIJKL", "m"), "DEBUG_MSG: [ABCDEFGHI]::<<m>>\n");
    EXPECT_EQ(TraceOnStderr("ABCDEFGHI", "m"), "DEBUG_MSG: [ABCDEFGHI]::<<m>>\n");
}

TEST(NetDebugMsg, CutsTheMessageTo79Characters) {
    std::string message;
    for (int i = 0; i < 100; ++i) {
        message += static_cast<char>('a' + i % 26);
    }
    EXPECT_EQ(TraceOnStderr("TCPIP", message.c_str()),
              "DEBUG_MSG: [TCPIP]::<<" + message.substr(0, 79) + ">>\n");
}

TEST(NetDebugMsg, PercentSignsAreText) {
    EXPECT_EQ(TraceOnStderr("%s%n", "100%d %s"), "DEBUG_MSG: [%s%n]::<<100%d %s>>\n");
}

TEST(NetDebugMsg, NullArgumentsAreEmpty) {
    EXPECT_EQ(TraceOnStderr(nullptr, nullptr), "DEBUG_MSG: []::<<>>\n");
}

}  // namespace
