// The trace and the printer port in the appliance.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "common/paths.h"
#include "common/util.h"
#include "tests/support/sim_env.h"
#include "tests/support/test_util.h"

namespace {

class UtilitiesSystem : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!sim::Inside()) {
            GTEST_SKIP() << "runs in the simulated appliance";
        }
        sim::ClearLogs();
    }
};

TEST_F(UtilitiesSystem, TraceReachesTheSystemLog) {
    NETDebugMsg("APPLE", "Input Netatalk flag Invalid");
    EXPECT_TRUE(sim::WaitForSyslog("DEBUG_MSG: [APPLE]::<<Input Netatalk flag Invalid>>"))
        << sim::Syslog();
}

TEST_F(UtilitiesSystem, TraceCutsTagAndMessage) {
    std::string message;
    for (int i = 0; i < 100; ++i) {
        message += static_cast<char>('A' + i % 26);
    }
    NETDebugMsg("TAG456789XYZ", message.c_str());
    const std::string expected = "[TAG456789]::<<" + message.substr(0, 79) + ">>";
    ASSERT_TRUE(sim::WaitForSyslog(expected)) << sim::Syslog();
    EXPECT_EQ(sim::Syslog().find("TAG456789X"), std::string::npos);
    EXPECT_EQ(sim::Syslog().find(message.substr(0, 80)), std::string::npos);
}

TEST_F(UtilitiesSystem, PrinterPortMissing) {
    unlink(paths::kPrinterDevice);
    const unsigned char data[] = {'a', 'b'};
    EXPECT_EQ(send_to_printer(data, sizeof data), -1);
    EXPECT_FALSE(testutil::FileExists(paths::kPrinterDevice));
}

TEST_F(UtilitiesSystem, BytesReachThePrinterPortInOrder) {
    testutil::WriteFile(paths::kPrinterDevice, "", 0660);
    std::string data = "%!PS\r\n";
    for (int i = 0; i < 256; ++i) {
        data += static_cast<char>(i);
    }
    ASSERT_EQ(send_to_printer(reinterpret_cast<const unsigned char *>(data.data()),
                              static_cast<unsigned int>(data.size())),
              0);
    EXPECT_EQ(testutil::ReadFile(paths::kPrinterDevice), data);
}

}  // namespace
