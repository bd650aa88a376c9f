// dssetup ui: the connections of the page's server wait in the gate, all in one thread, until
// their request head (request line and headers) has arrived whole; only then does a worker
// take them. A connection that stays idle or sends its head byte by byte therefore holds no
// worker: it costs a descriptor and a buffer, and is closed when its head is not complete
// within kHeadTimeMs or when the gate is full (the one that has waited longest goes first).
// After its answer a connection comes back to the gate to linger: what the client still sends
// (the rest of a refused body) is read and dropped until it stops or kLingerMs pass, so that
// the client reads the answer instead of a reset.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace dssetup::ui {

inline constexpr std::size_t kMaxHead = 16 * 1024;
inline constexpr int kHeadTimeMs = 10000;
inline constexpr int kLingerMs = 1000;
inline constexpr std::size_t kMaxWaiting = 512;

class ConnectionGate {
  public:
    // Called in the gate's thread with a connection whose head is complete and the bytes read
    // from it so far (the head, maybe the start of a body); it then owns the descriptor.
    using Ready = std::function<void(int fd, std::string received)>;

    explicit ConnectionGate(Ready ready);
    ~ConnectionGate();  // Stop()
    ConnectionGate(const ConnectionGate &) = delete;
    ConnectionGate &operator=(const ConnectionGate &) = delete;

    // Takes a new connection (the gate owns it from now on).
    void Admit(int fd);
    // Takes a connection that has been answered: its write side is shut, what arrives is
    // dropped, and it is closed when the client closes or kLingerMs have passed.
    void Linger(int fd);
    // Closes every connection it holds and ends its thread.
    void Stop();

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace dssetup::ui
