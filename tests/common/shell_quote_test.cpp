#include "common/shell_quote.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/support/test_util.h"

namespace {

std::string Quote(std::string_view word) {
    char buffer[512] = {};
    EXPECT_EQ(shell_quote_append(buffer, sizeof buffer, word), 0);
    return buffer;
}

// What /bin/sh makes of the quoted word: printf prints it back between markers.
std::string ThroughShell(std::string_view word) {
    char command[1024] = "printf '<%s>' ";
    EXPECT_EQ(shell_quote_append(command, sizeof command, word), 0);
    std::string out;
    EXPECT_EQ(testutil::Run(command, &out), 0) << command;
    return out;
}

TEST(ShellQuote, WrapsAWordInSingleQuotes) {
    EXPECT_EQ(Quote("abc"), "'abc'");
    EXPECT_EQ(Quote("two words"), "'two words'");
}

TEST(ShellQuote, EmptyWordBecomesTwoQuotes) {
    EXPECT_EQ(Quote(""), "''");
}

TEST(ShellQuote, SingleQuoteIsClosedEscapedAndReopened) {
    EXPECT_EQ(Quote("it's"), "'it'\\''s'");
    EXPECT_EQ(Quote("'"), "''\\'''");
}

TEST(ShellQuote, AppendsBehindWhatTheBufferHolds) {
    char buffer[64] = "/bin/hostname ";
    ASSERT_EQ(shell_quote_append(buffer, sizeof buffer, "a;b"), 0);
    EXPECT_STREQ(buffer, "/bin/hostname 'a;b'");
}

TEST(ShellQuote, ShellPassesNastyWordsUnchanged) {
    const std::string words[] = {
        "plain",
        "",
        " ",
        "two  spaces ",
        "it's",
        "''",
        "a\"b\"c",
        "x; touch /tmp/dsq_pwned",
        "$(touch /tmp/dsq_pwned)",
        "`touch /tmp/dsq_pwned`",
        "${HOME} $HOME $0 $*",
        "line1\nline2\n",
        "tab\there",
        "back\\slash\\",
        "glob * ? [a-z]",
        "| & > < ( ) { } ! #",
        "-n",
        "%s %d %%",
        std::string("\x80\xff\xc3\xa9 high bytes\x01\x1f\x7f"),
    };
    for (const std::string &word : words) {
        EXPECT_EQ(ThroughShell(word), "<" + word + ">") << word;
    }
    EXPECT_FALSE(testutil::FileExists("/tmp/dsq_pwned"));
}

TEST(ShellQuote, RefusesWhatDoesNotFitAndLeavesTheBuffer) {
    char buffer[8] = "ab";
    // "ab" + "'xyz'" is 7 characters: fits with the terminator exactly.
    ASSERT_EQ(shell_quote_append(buffer, sizeof buffer, "xyz"), 0);
    EXPECT_STREQ(buffer, "ab'xyz'");

    char small[8] = "ab";
    EXPECT_EQ(shell_quote_append(small, sizeof small, "wxyz"), -1);
    EXPECT_STREQ(small, "ab");

    char quotes[8] = "";
    // ''\''' is 6 bytes; two quotes would need 10.
    EXPECT_EQ(shell_quote_append(quotes, sizeof quotes, "''"), -1);
    EXPECT_STREQ(quotes, "");
    EXPECT_EQ(shell_quote_append(quotes, sizeof quotes, "'"), 0);
    EXPECT_STREQ(quotes, "''\\'''");
}

TEST(ShellQuote, RefusesNulBytesAndBadBuffers) {
    char buffer[32] = "x";
    EXPECT_EQ(shell_quote_append(buffer, sizeof buffer, std::string_view("a\0b", 3)), -1);
    EXPECT_STREQ(buffer, "x");
    EXPECT_EQ(shell_quote_append(nullptr, 10, "a"), -1);
    EXPECT_EQ(shell_quote_append(buffer, 0, "a"), -1);
    char unterminated[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(shell_quote_append(unterminated, sizeof unterminated, ""), -1);
    EXPECT_EQ(std::memcmp(unterminated, "abcd", 4), 0);
}

}  // namespace
