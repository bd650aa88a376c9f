#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "common/util.h"
#include "common/util_internal.h"
#include "tests/support/test_util.h"

namespace {

TEST(SendToPrinter, WritesEveryByteInOrder) {
    testutil::TempDir dir;
    const std::string port = dir.file("lp1");
    testutil::WriteFile(port, "");
    std::string data;
    for (int i = 0; i < 600; ++i) {
        data += static_cast<char>(i % 256);  // NUL and high bytes included
    }
    ASSERT_EQ(send_to_printer_at(port.c_str(), reinterpret_cast<const unsigned char *>(data.data()),
                                 static_cast<unsigned int>(data.size())),
              0);
    EXPECT_EQ(testutil::ReadFile(port), data);
}

TEST(SendToPrinter, ZeroLengthOpensAndClosesOnly) {
    testutil::TempDir dir;
    const std::string port = dir.file("lp1");
    testutil::WriteFile(port, "kept");
    const unsigned char byte = 'x';
    EXPECT_EQ(send_to_printer_at(port.c_str(), &byte, 0), 0);
    EXPECT_EQ(testutil::ReadFile(port), "kept");
}

TEST(SendToPrinter, MissingPortFails) {
    testutil::TempDir dir;
    const unsigned char byte = 'x';
    EXPECT_EQ(send_to_printer_at(dir.file("lp1").c_str(), &byte, 1), -1);
    EXPECT_FALSE(testutil::FileExists(dir.file("lp1")));  // "r+b" never creates it
}

TEST(SendToPrinter, PortThatCannotBeOpenedForWritingFails) {
    testutil::TempDir dir;
    const unsigned char byte = 'x';
    EXPECT_EQ(send_to_printer_at(dir.path().c_str(), &byte, 1), -1);  // a folder
}

TEST(SendToPrinter, UsesTheParallelPort) {
    struct stat st {};
    if (stat("/dev/lp1", &st) == 0) {
        GTEST_SKIP() << "this machine has a /dev/lp1";
    }
    const unsigned char byte = 'x';
    EXPECT_EQ(send_to_printer(&byte, 1), -1);
}

}  // namespace

namespace {

// A device that refuses every byte (ENOSPC): the few bytes of a request stay in the stream's
// buffer, so the failure shows only when it is flushed and closed.
TEST(SendToPrinter, ADeviceThatFailsWritesIsAFailureAlsoWhenItShowsOnlyAtClose) {
    struct stat st {};
    if (stat("/dev/full", &st) != 0 || !S_ISCHR(st.st_mode)) {
        GTEST_SKIP() << "no /dev/full";
    }
    const unsigned char byte = 'x';
    EXPECT_EQ(send_to_printer_at("/dev/full", &byte, 1), -1);
    std::string many(5000, 'y');  // more than a stream buffer: fails in the writes already
    EXPECT_EQ(send_to_printer_at("/dev/full", reinterpret_cast<const unsigned char *>(many.data()),
                                 static_cast<unsigned int>(many.size())),
              -1);
    // Nothing to write: only opened and closed, which the device allows.
    EXPECT_EQ(send_to_printer_at("/dev/full", &byte, 0), 0);
}

}  // namespace
