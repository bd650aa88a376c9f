// A UDP responder on 127.0.0.1 for tests of the PC side: each datagram received is handed to
// `answer` on the responder's own thread, and what it returns is sent back to the sender
// (nothing when empty).
#pragma once

#include <arpa/inet.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>
#include <utility>
#include <vector>

namespace testutil {

class UdpResponder {
  public:
    using Datagram = std::vector<std::uint8_t>;
    using Answer = std::function<Datagram(const Datagram &request)>;

    explicit UdpResponder(Answer answer) : answer_(std::move(answer)) {
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
    ~UdpResponder() {
        stop_ = true;
        thread_.join();
        close(fd_);
    }
    UdpResponder(const UdpResponder &) = delete;
    UdpResponder &operator=(const UdpResponder &) = delete;

    unsigned short port() const { return port_; }

    // Nothing waits in the socket and no datagram is being answered: once its senders are
    // done, every datagram they sent has been handed to `answer`.
    bool Idle() const {
        int queued = 0;
        if (ioctl(fd_, FIONREAD, &queued) != 0 || queued > 0)
            return false;
        return !handling_;  // read after the queue: a datagram taken since is still counted
    }

  private:
    void Serve() {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0)
                continue;
            handling_ = true;  // before the datagram leaves the queue (see Idle)
            std::uint8_t b[600];
            sockaddr_in from{};
            socklen_t n = sizeof from;
            const ssize_t got =
                recvfrom(fd_, b, sizeof b, 0, reinterpret_cast<sockaddr *>(&from), &n);
            if (got >= 0) {
                const Datagram reply = answer_(Datagram(b, b + got));
                if (!reply.empty())
                    sendto(fd_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr *>(&from),
                           n);
            }
            handling_ = false;
        }
    }

    Answer answer_;
    int fd_ = -1;
    unsigned short port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<bool> handling_{false};
    std::thread thread_;
};

}  // namespace testutil
