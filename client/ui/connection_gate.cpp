// dssetup ui: the gate in front of the page's server's workers (see connection_gate.h).
#include "client/ui/connection_gate.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace dssetup::ui {

namespace {

using Clock = std::chrono::steady_clock;

// The head ends at its first empty line (CR LF, or LF alone as lenient readers take it).
bool HeadComplete(const std::string &received) {
    return received.find("\r\n\r\n") != std::string::npos ||
           received.find("\n\n") != std::string::npos;
}

void Answer(int fd, const char *status_line) {
    const std::string answer = std::string("HTTP/1.1 ") + status_line +
                               "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    (void)send(fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

}  // namespace

struct ConnectionGate::State {
    struct Connection {
        int fd;
        bool lingering;
        Clock::time_point since;
        std::string received;
    };

    explicit State(Ready r) : ready(std::move(r)), wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
        thread = std::thread([this] { Run(); });
    }

    void Add(int fd, bool lingering) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (stopping) {
                close(fd);
                return;
            }
            inbox.push_back({fd, lingering, Clock::now(), {}});
        }
        const std::uint64_t one = 1;
        (void)!write(wake, &one, sizeof one);
    }

    void Stop() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (stopping) {
                return;
            }
            stopping = true;
        }
        const std::uint64_t one = 1;
        (void)!write(wake, &one, sizeof one);
        thread.join();
        for (const Connection &c : waiting) {
            close(c.fd);
        }
        for (const Connection &c : inbox) {
            close(c.fd);
        }
        waiting.clear();
        inbox.clear();
        close(wake);
    }

    // Moves new connections in; beyond the limit, those that have waited longest are closed.
    void TakeInbox() {
        std::lock_guard<std::mutex> lock(mutex);
        for (Connection &c : inbox) {
            waiting.push_back(std::move(c));
        }
        inbox.clear();
        while (waiting.size() > kMaxWaiting) {
            auto oldest = std::min_element(
                waiting.begin(), waiting.end(),
                [](const Connection &a, const Connection &b) { return a.since < b.since; });
            close(oldest->fd);
            waiting.erase(oldest);
        }
    }

    static int Limit(const Connection &c) { return c.lingering ? kLingerMs : kHeadTimeMs; }

    // Reads what the connection has; true when it leaves the gate (handed on or closed).
    bool Read(Connection &c) {
        char buffer[16 * 1024];
        for (;;) {
            const std::size_t room =
                c.lingering ? sizeof buffer : std::min(sizeof buffer, kMaxHead - c.received.size());
            const ssize_t n = recv(c.fd, buffer, room, MSG_DONTWAIT);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                return false;
            }
            if (n <= 0) {
                close(c.fd);  // the client closed, or the connection failed
                return true;
            }
            if (c.lingering) {
                continue;  // dropped
            }
            c.received.append(buffer, static_cast<std::size_t>(n));
            if (HeadComplete(c.received)) {
                ready(c.fd, std::move(c.received));
                return true;
            }
            if (c.received.size() >= kMaxHead) {
                Answer(c.fd, "431 Request Header Fields Too Large");
                close(c.fd);
                return true;
            }
        }
    }

    void Run() {
        std::vector<pollfd> fds;
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (stopping) {
                    return;
                }
            }
            TakeInbox();
            const Clock::time_point now = Clock::now();
            // Those whose time is up leave; the next deadline bounds the wait.
            int timeout = -1;
            for (auto it = waiting.begin(); it != waiting.end();) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                      it->since + std::chrono::milliseconds(Limit(*it)) - now)
                                      .count();
                if (left <= 0) {
                    if (!it->lingering) {
                        Answer(it->fd, "408 Request Timeout");
                    }
                    close(it->fd);
                    it = waiting.erase(it);
                    continue;
                }
                timeout = timeout < 0 ? static_cast<int>(left)
                                      : std::min(timeout, static_cast<int>(left));
                ++it;
            }
            if (wake < 0) {
                timeout = timeout < 0 ? 100 : std::min(timeout, 100);  // no wake-up: look often
            }
            fds.assign(1, pollfd{wake, POLLIN, 0});
            for (const Connection &c : waiting) {
                fds.push_back(pollfd{c.fd, POLLIN, 0});
            }
            if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) {
                return;
            }
            if ((fds[0].revents & POLLIN) != 0) {
                std::uint64_t count = 0;
                (void)!read(wake, &count, sizeof count);
            }
            // fds[i + 1] is waiting[i]: nothing was added since the poll.
            std::size_t kept = 0;
            for (std::size_t i = 0; i < waiting.size(); ++i) {
                const bool active = (fds[i + 1].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
                if (!active || !Read(waiting[i])) {
                    if (kept != i) {
                        waiting[kept] = std::move(waiting[i]);
                    }
                    ++kept;
                }
            }
            waiting.resize(kept);
        }
    }

    Ready ready;
    int wake;
    std::mutex mutex;
    bool stopping = false;
    std::vector<Connection> inbox;    // under mutex
    std::vector<Connection> waiting;  // the gate's thread only
    std::thread thread;
};

ConnectionGate::ConnectionGate(Ready ready) : state_(std::make_unique<State>(std::move(ready))) {}

ConnectionGate::~ConnectionGate() {
    Stop();
}

void ConnectionGate::Admit(int fd) {
    state_->Add(fd, false);
}

void ConnectionGate::Linger(int fd) {
    (void)shutdown(fd, SHUT_WR);
    state_->Add(fd, true);
}

void ConnectionGate::Stop() {
    state_->Stop();
}

}  // namespace dssetup::ui
