// Kernel address text, the routing-table gateway search and the hardware ID, on crafted files.
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "net/net.h"
#include "net/net_internal.h"
#include "tests/support/test_util.h"

namespace {

constexpr char kHeading[] =
    "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";

std::string Row(const char *iface, const char *dest, const char *gw, const char *flags,
                const char *mask = "00000000") {
    return std::string(iface) + "\t" + dest + "\t" + gw + "\t" + flags + "\t0\t0\t0\t" + mask +
           "\t0\t0\t0                                                                  \n";
}

std::string Gateway(const std::string &table) {
    testutil::TempDir dir;
    std::string path = dir.file("route");
    testutil::WriteFile(path, table);
    std::strcpy(NETnetinfo.gateway, "junk");
    EXPECT_EQ(NETGetNetworkRouteFrom(path.c_str(), "eth0"), 0);
    return NETnetinfo.gateway;
}

// The routing table's text of an address as this CPU's kernel prints it: the 32-bit number
// whose bytes in memory are the octets, in the case given.
std::string KernelHex(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d,
                      bool upper = true) {
    const std::uint8_t octets[4] = {a, b, c, d};
    std::uint32_t number = 0;
    std::memcpy(&number, octets, sizeof number);
    char text[9];
    std::snprintf(text, sizeof text, upper ? "%08X" : "%08x", number);
    return text;
}

TEST(BCDcnvt, KernelHexInEitherCaseToDottedText) {
    char out[16] = "unchanged";
    for (bool upper : {true, false}) {
        EXPECT_EQ(BCDcnvt(out, KernelHex(192, 168, 0, 1, upper).c_str(), 8), 0);
        EXPECT_STREQ(out, "192.168.0.1");
        EXPECT_EQ(BCDcnvt(out, KernelHex(255, 255, 255, 0, upper).c_str(), 8), 0);
        EXPECT_STREQ(out, "255.255.255.0");
    }
    if constexpr (std::endian::native == std::endian::little) {
        EXPECT_EQ(BCDcnvt(out, "0100A8C0", 8), 0);
    } else {
        EXPECT_EQ(BCDcnvt(out, "C0A80001", 8), 0);
    }
    EXPECT_STREQ(out, "192.168.0.1");
    EXPECT_EQ(BCDcnvt(out, "00000000", 8), 0);
    EXPECT_STREQ(out, "0.0.0.0");
    EXPECT_EQ(BCDcnvt(out, "", 0), 0);
    EXPECT_STREQ(out, "");
}

TEST(BCDcnvt, AnythingButEightHexDigitsLeavesTheDestination) {
    char out[16] = "unchanged";
    for (const char *bad : {"0100A8C", "0100A8C00", "0100G8C0", "+100A8C0", "0x00A8C0"}) {
        EXPECT_EQ(BCDcnvt(out, bad, static_cast<int>(std::strlen(bad))), -1) << bad;
        EXPECT_STREQ(out, "unchanged");
    }
    EXPECT_EQ(convert("F"), 15);
    EXPECT_EQ(convert("f"), 15);
    EXPECT_EQ(convert("9"), 9);
    EXPECT_EQ(convert("G"), -1);
}

// The live table's cases (gateway row, direct routes, other interface, heading only) run in
// the simulated appliance; these are the ones a kernel does not produce.
TEST(RouteTable, MissingFileAndLowerCaseColumns) {
    std::strcpy(NETnetinfo.gateway, "junk");
    EXPECT_EQ(NETGetNetworkRouteFrom("/nonexistent/route", "eth0"), 0);
    EXPECT_STREQ(NETnetinfo.gateway, "0.0.0.0");
    EXPECT_EQ(Gateway(""), "0.0.0.0");
    // As an emulator of another byte order prints the table: lower case.
    EXPECT_EQ(Gateway(kHeading +
                      Row("eth0", "00000000", KernelHex(192, 168, 0, 1, false).c_str(), "0003")),
              "192.168.0.1");
}

TEST(RouteTable, ShortRowKeepsColumnsOfTheRowBefore) {
    // The second line stops after the gateway column: flags stay 3 from the row before, but the
    // test is made only once columns 0 to 9 of a line are stored, so it never passes.
    EXPECT_EQ(Gateway(kHeading + Row("eth1", "00000000", KernelHex(10, 0, 0, 1).c_str(), "0003") +
                      "eth0\t00000000\t" + KernelHex(10, 0, 0, 2) + "\n"),
              "10.0.0.2");
}

TEST(HardwareId, WordsOfTheKernelCommandLine) {
    testutil::TempDir dir;
    std::string path = dir.file("cmdline");
    char id[18];
    testutil::WriteFile(path, "root=/dev/hda1 HW_ID=ABCDEF123456789 VERSION=1.02b\n");
    EXPECT_EQ(NETReadHardwareIDFrom(path.c_str(), id), 0);
    EXPECT_STREQ(id, "ABCDEF123456-1.02");
    testutil::WriteFile(path, "quiet VERSION=1 HW_ID=A\tHW_ID=B\n");
    EXPECT_EQ(NETReadHardwareIDFrom(path.c_str(), id), 0);
    EXPECT_STREQ(id, "B-1");
    testutil::WriteFile(path, "root=/dev/sda\n");
    EXPECT_EQ(NETReadHardwareIDFrom(path.c_str(), id), 0);
    EXPECT_STREQ(id, "-");
    testutil::WriteFile(path, "");
    EXPECT_EQ(NETReadHardwareIDFrom(path.c_str(), id), -3);
    EXPECT_EQ(NETReadHardwareIDFrom("/nonexistent/cmdline", id), -2);
}

}  // namespace
