// Printer pass-through into /dev/lp1 (a FIFO in the appliance, or /dev/full mounted there).
#include <sys/mount.h>

#include "tests/agent/agent_sim.h"

namespace agentsim {
namespace {

class PrinterTest : public RunningAgentTest {
  protected:
    void SetUp() override {
        RunningAgentTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        ASSERT_TRUE(port_.ok());
    }
    static Bytes Data(std::uint16_t command, std::uint16_t sequence, const std::string &data) {
        Bytes b = Request(command, sequence, 9 + data.size());
        proto::PutU16(b.data() + 6, static_cast<std::uint16_t>(data.size() + 1));
        b[8] = 0xEE;  // not printed
        memcpy(b.data() + 9, data.data(), data.size());
        return b;
    }
    PrinterPort port_;
    Pc pc_;
};

TEST_F(PrinterTest, BytesArriveInOrderUnchanged) {
    std::string all;
    std::uint16_t seq = 1;
    for (std::uint16_t command : {std::uint16_t{0x20}, std::uint16_t{0x21}, std::uint16_t{0x22}}) {
        std::string chunk(503, '\0');
        for (std::size_t i = 0; i < chunk.size(); ++i) {
            chunk[i] = static_cast<char>((i * 7 + command) & 0xFF);
        }
        const Bytes r = pc_.Ask(Data(command, seq++, chunk));
        ASSERT_EQ(r.size(), 10u);
        EXPECT_EQ(Status(r), 0);
        EXPECT_EQ(proto::GetU16(r.data() + 6), 2);
        EXPECT_EQ(r[8], 0);
        EXPECT_EQ(r[9], 0);
        all += chunk;
    }
    EXPECT_EQ(port_.Take(), all);
}

TEST_F(PrinterTest, LengthOneWritesNothing) {
    Bytes b = Request(0x20, 1, 20);
    proto::PutU16(b.data() + 6, 1);
    memset(b.data() + 9, 'x', 11);
    const Bytes r = pc_.Ask(b);
    ASSERT_EQ(r.size(), 10u);
    EXPECT_EQ(Status(r), 0);
    EXPECT_EQ(r[8], 0);
    EXPECT_EQ(port_.Take(), "");
}

TEST_F(PrinterTest, LengthBeyondTheDatagramIsCutAndNoStaleBytesLeak) {
    ASSERT_EQ(pc_.Ask(Data(0x20, 1, std::string(400, 'A'))).size(), 10u);
    // Claims 300 bytes but carries 3: only those 3 are printed, never the earlier 'A's.
    Bytes shortreq = Data(0x20, 2, "xyz");
    proto::PutU16(shortreq.data() + 6, 301);
    const Bytes r = pc_.Ask(shortreq);
    ASSERT_EQ(r.size(), 10u);
    EXPECT_EQ(Status(r), 0);
    EXPECT_EQ(port_.Take(), std::string(400, 'A') + "xyz");
}

TEST_F(PrinterTest, MissingDeviceIsMinus307) {
    unlink(PrinterPort::kPath);
    const Bytes r = pc_.Ask(Data(0x21, 1, "abc"));
    ASSERT_EQ(r.size(), 10u);
    EXPECT_EQ(r[2], 0xCD);
    EXPECT_EQ(r[3], 0xFE);
    EXPECT_EQ(r[8], 1);
    EXPECT_EQ(r[9], 1);
}

// A device that refuses the bytes: the few of one request stay in the stream's buffer until
// the port is closed, and that is where the failure shows.
TEST_F(PrinterTest, DeviceThatFailsWritesIsMinus307) {
    unlink(PrinterPort::kPath);
    testutil::WriteFile(PrinterPort::kPath, "");
    ASSERT_EQ(mount("/dev/full", PrinterPort::kPath, nullptr, MS_BIND, nullptr), 0);
    for (std::uint16_t seq : {std::uint16_t{1}, std::uint16_t{2}}) {
        const Bytes r = pc_.Ask(Data(0x20, seq, seq == 1 ? "abc" : std::string(503, 'z')));
        ASSERT_EQ(r.size(), 10u);
        EXPECT_EQ(Status(r), -307);
        EXPECT_EQ(r[8], 1);
        EXPECT_EQ(r[9], 1);
    }
    umount(PrinterPort::kPath);
}

TEST_F(PrinterTest, AcknowledgeIsAnEmptySuccess) {
    Bytes b = Request(0x23, 1, 30);
    proto::PutU16(b.data() + 6, 22);
    memset(b.data() + 8, 'q', 22);
    const Bytes r = pc_.Ask(b);
    ASSERT_EQ(r.size(), 8u);
    EXPECT_EQ(Status(r), 0);
    EXPECT_EQ(proto::GetU16(r.data() + 6), 0);
    EXPECT_EQ(port_.Take(), "");
}

TEST_F(PrinterTest, RetransmittedDataIsPrintedOnce) {
    Pc other(40005);
    const Bytes req = Data(0x20, 9, "once");
    ASSERT_EQ(pc_.Ask(req).size(), 10u);
    ASSERT_EQ(other.Ask(req).size(), 10u);
    EXPECT_EQ(port_.Take(), "once");
}

}  // namespace
}  // namespace agentsim
