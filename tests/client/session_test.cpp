// dssetup against a scripted agent on loopback: retransmission, filtering, commands.
#include "client/session.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <thread>

namespace {

using namespace dssetup;

// A UDP responder on 127.0.0.1: `answer` turns each request into a reply (empty: no reply).
class FakeAgent {
  public:
    using Answer = std::function<Bytes(const Bytes &request, int index)>;
    explicit FakeAgent(Answer answer) : answer_(std::move(answer)) {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a);
        socklen_t n = sizeof a;
        getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &n);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~FakeAgent() {
        stop_ = true;
        thread_.join();
        close(fd_);
    }
    unsigned short port() const { return port_; }
    std::vector<Bytes> requests;  // read after the agent is gone

  private:
    void Serve() {
        int index = 0;
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0)
                continue;
            std::uint8_t b[600];
            sockaddr_in from{};
            socklen_t n = sizeof from;
            const ssize_t got =
                recvfrom(fd_, b, sizeof b, 0, reinterpret_cast<sockaddr *>(&from), &n);
            if (got < 0)
                continue;
            Bytes req(b, b + got);
            requests.push_back(req);
            const Bytes reply = answer_(req, index++);
            if (!reply.empty()) {
                sendto(fd_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr *>(&from), n);
            }
        }
    }
    Answer answer_;
    int fd_ = -1;
    unsigned short port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

Bytes HeaderReply(const Bytes &req, int status, std::uint16_t length) {
    Bytes r(8 + length, 0);
    memcpy(r.data(), req.data(), 8);
    proto::PutI16(r.data() + 2, status);
    proto::PutU16(r.data() + 6, length);
    return r;
}

Options Loopback(unsigned short port) {
    Options o;
    o.timeout = 0.1;
    o.tries = 3;
    o.port = port;
    o.target = "127.0.0.1";
    return o;
}

TEST(SessionTest, RetransmitsWithTheSameSequenceUntilAnswered) {
    FakeAgent agent([](const Bytes &req, int index) {
        return index < 2 ? Bytes{} : HeaderReply(req, 0, 0);  // the first two are "lost"
    });
    const Options o = Loopback(agent.port());
    std::string error;
    const int fd = OpenSocket(o, &error);
    ASSERT_GE(fd, 0) << error;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(agent.port());
    Reply reply;
    EXPECT_TRUE(Exchange(fd, o, &to, BuildPrinterAck(321), nullptr, &reply));
    EXPECT_EQ(reply.data.size(), 8u);

    // Never answered: gives up after the number of tries.
    Options once = o;
    once.tries = 2;
    Reply none;
    EXPECT_FALSE(Exchange(
        fd, once, &to, BuildIdentify(99), [](auto, auto) { return false; }, &none));
    close(fd);
}

TEST(SessionTest, StaleRepliesAreNotTakenForTheAnswer) {
    FakeAgent agent([](const Bytes &req, int) {
        Bytes stale = HeaderReply(req, 0, 0);
        stale[4] ^= 1;  // another sequence number
        return stale;
    });
    const Options o = Loopback(agent.port());
    std::string error;
    const int fd = OpenSocket(o, &error);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(agent.port());
    Reply reply;
    EXPECT_FALSE(Exchange(fd, o, &to, BuildPrinterAck(5), nullptr, &reply));
    close(fd);
}

TEST(SessionTest, PrintSendsChunksInOrderAndReportsAFailedPrinter) {
    testing::internal::CaptureStderr();
    std::string payload(1200, 'x');
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>('a' + i % 26);
    char path[] = "/tmp/dssetup_print_XXXXXX";
    const int tmp = mkstemp(path);
    ASSERT_GE(tmp, 0);
    ASSERT_EQ(write(tmp, payload.data(), payload.size()), static_cast<ssize_t>(payload.size()));
    close(tmp);

    const Mac mac = {0x00, 0xC0, 0x02, 0x1A, 0x2B, 0x3C};
    auto agent = std::make_unique<FakeAgent>([&mac](const Bytes &req, int) {
        const std::uint16_t cmd = proto::GetU16(req.data());
        if (cmd == proto::kCmdIdentify) {
            Bytes r = HeaderReply(req, 0, proto::identify::kPayload);
            memcpy(r.data() + proto::identify::kOffMac, mac.data(), 6);
            return r;
        }
        if (cmd == proto::kCmdPrinterData)
            return HeaderReply(req, 0, 2);
        return HeaderReply(req, 0, 0);
    });
    Options o = Loopback(agent->port());
    o.command = Command::kPrint;
    o.file = path;
    FILE *out = tmpfile();
    EXPECT_EQ(RunCommand(o, out, stderr), 0);
    fclose(out);
    const std::vector<Bytes> requests = agent->requests;
    agent.reset();
    ASSERT_EQ(requests.size(), 1u + 3u + 1u);  // identify, 502 + 502 + 196, ack
    std::string received;
    for (std::size_t i = 1; i <= 3; ++i) {
        EXPECT_EQ(proto::GetU16(requests[i].data()), proto::kCmdPrinterData);
        const std::uint16_t n = proto::GetU16(requests[i].data() + 6);
        EXPECT_EQ(requests[i].size(), 8u + n);
        received.append(requests[i].begin() + 9, requests[i].end());
    }
    EXPECT_EQ(received, payload);
    EXPECT_EQ(proto::GetU16(requests[4].data()), proto::kCmdPrinterAck);

    // A printer failure ends the command with a non-zero exit status and the words.
    FakeAgent broken([&mac](const Bytes &req, int) {
        const std::uint16_t cmd = proto::GetU16(req.data());
        if (cmd == proto::kCmdIdentify) {
            Bytes r = HeaderReply(req, 0, proto::identify::kPayload);
            memcpy(r.data() + proto::identify::kOffMac, mac.data(), 6);
            return r;
        }
        return HeaderReply(req, proto::kStPrinter, 2);
    });
    o.port = broken.port();
    out = tmpfile();
    EXPECT_EQ(RunCommand(o, out, stderr), 1);
    fclose(out);
    unlink(path);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("writing to the printer failed"), std::string::npos) << err;
}

}  // namespace
