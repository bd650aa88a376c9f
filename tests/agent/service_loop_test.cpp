// The loop's retransmission rules and the dispatcher, over loopback sockets.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "agent/agent.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

class ServiceLoopTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sno = Bound(&agent_addr_);
        pc_ = Bound(&pc_addr_);
        pc2_ = Bound(&pc2_addr_);
        ASSERT_GE(sno, 0);
        state_ = new AgentState{};
        const std::uint8_t mac[6] = {0x00, 0xC0, 0x02, 0x1A, 0x2B, 0x3C};
        memcpy(state_->mac, mac, 6);
    }
    void TearDown() override {
        close(sno);
        sno = -1;
        close(pc_);
        close(pc2_);
        delete state_;
    }

    static int Bound(sockaddr_in *addr) {
        const int s = socket(AF_INET, SOCK_DGRAM, 0);
        *addr = {};
        addr->sin_family = AF_INET;
        addr->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(s, reinterpret_cast<sockaddr *>(addr), sizeof *addr);
        socklen_t n = sizeof *addr;
        getsockname(s, reinterpret_cast<sockaddr *>(addr), &n);
        return s;
    }

    // Hands a datagram to the agent as if received from `from`.
    void Deliver(const Bytes &request, const sockaddr_in &from) {
        ResetCommand(*state_);
        memset(state_->receive, 0, sizeof state_->receive);
        memcpy(state_->receive, request.data(), request.size());
        state_->received = request.size();
        state_->sender = from;
        HandleDatagram(*state_);
    }

    // The next datagram on socket s, or an empty one when none came within 200 ms.
    static Bytes Receive(int s) {
        pollfd p{s, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0)
            return {};
        std::uint8_t b[1024];
        const ssize_t n = recv(s, b, sizeof b, 0);
        return Bytes(b, b + (n > 0 ? n : 0));
    }

    static Bytes Request(std::uint16_t command, std::uint16_t sequence, std::size_t size = 8) {
        Bytes b(size, 0);
        proto::PutHeader(b.data(), proto::SetupHeader{command, 0, sequence, 0});
        return b;
    }

    AgentState *state_ = nullptr;
    sockaddr_in agent_addr_{}, pc_addr_{}, pc2_addr_{};
    int pc_ = -1, pc2_ = -1;
};

TEST_F(ServiceLoopTest, UnknownCodesGetStatusMinusOne) {
    for (int c : {0x05, 0x24, 0x14, 0x1F, 0xFFFF}) {
        const auto code = static_cast<std::uint16_t>(c);
        Deliver(Request(code, 7), pc_addr_);
        const Bytes r = Receive(pc_);
        ASSERT_EQ(r.size(), 8u) << code;
        EXPECT_EQ(proto::GetU16(r.data()), code);
        EXPECT_EQ(r[2], 0xFF);
        EXPECT_EQ(r[3], 0xFF);
        EXPECT_EQ(proto::GetU16(r.data() + 4), 7);
        EXPECT_EQ(proto::GetU16(r.data() + 6), 0);
    }
}

TEST_F(ServiceLoopTest, RetransmissionIsAnsweredFromTheStoredReplyToTheNewPort) {
    Deliver(Request(proto::kCmdPrinterAck, 42), pc_addr_);
    Bytes first = Receive(pc_);
    ASSERT_EQ(first.size(), 8u);
    EXPECT_EQ(proto::GetI16(first.data() + 2), 0);

    // Mark the stored reply: a rerun would rebuild it, a resend sends it as it is.
    state_->reply[2] = 0x55;
    Deliver(Request(proto::kCmdPrinterAck, 42), pc2_addr_);  // same address, other port
    const Bytes again = Receive(pc2_);
    ASSERT_EQ(again.size(), 8u);
    EXPECT_EQ(again[2], 0x55);
    EXPECT_TRUE(Receive(pc_).empty());

    // Another command with the same sequence number is new.
    Deliver(Request(0x05, 42), pc_addr_);
    const Bytes other = Receive(pc_);
    ASSERT_EQ(other.size(), 8u);
    EXPECT_EQ(other[0], 0x05);
    EXPECT_EQ(proto::GetI16(other.data() + 2), -1);

    // Same command and sequence number from another address is new as well.
    state_->reply[2] = 0x55;
    sockaddr_in elsewhere = pc_addr_;
    elsewhere.sin_addr.s_addr = htonl(0x7F000002);  // 127.0.0.2 reaches the same socket
    elsewhere.sin_port = pc_addr_.sin_port;
    Deliver(Request(0x05, 42), elsewhere);
    EXPECT_NE(state_->reply[2], 0x55);
}

TEST_F(ServiceLoopTest, FirstDatagramIsNeverARetransmission) {
    // An all-zero header equals an all-zero record; the empty record must not match it.
    Deliver(Request(0x00, 0), pc_addr_);
    const Bytes r = Receive(pc_);
    ASSERT_EQ(r.size(), 32u);
    EXPECT_EQ(0, memcmp(r.data() + proto::identify::kOffMac, state_->mac, 6));
}

TEST_F(ServiceLoopTest, DroppedRequestAndItsRetransmissionGetNoAnswer) {
    Bytes req = Request(proto::kCmdSetPassword, 9, proto::password::kRequestSize);
    const std::uint8_t other[6] = {0x00, 0xC0, 0x02, 0x99, 0x99, 0x99};
    memcpy(req.data() + 8, other, 6);
    Deliver(req, pc_addr_);
    EXPECT_TRUE(Receive(pc_).empty());
    Deliver(req, pc_addr_);
    EXPECT_TRUE(Receive(pc_).empty());

    Bytes write = Request(proto::kCmdWriteSettings, 10, proto::write::kRequestSize);
    memcpy(write.data() + 8, other, 6);
    Deliver(write, pc_addr_);
    EXPECT_TRUE(Receive(pc_).empty());
}

TEST_F(ServiceLoopTest, CommandBufferTakesThePasswordAsOneWord) {
    ResetCommand(*state_);
    ASSERT_EQ(AppendPasswordArguments(*state_, '0', "a'b;touch /tmp/x"), 0);
    EXPECT_STREQ(state_->command,
                 "/usr/share/stowbox/http/CGI_main/CGI_chk_save_pass.pl 0 'a'\\''b;touch /tmp/x'");
    ResetCommand(*state_);
    ASSERT_EQ(AppendPasswordArguments(*state_, '1', ""), 0);
    EXPECT_STREQ(state_->command, "/usr/share/stowbox/http/CGI_main/CGI_chk_save_pass.pl 1 ''");
}

}  // namespace
