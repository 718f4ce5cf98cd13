#pragma once

// A TCP socket listening on 127.0.0.1 at a port the system picks, for the loopback peers.

#include <atomic>
#include <cstdint>

namespace SimNetwork {

class LoopbackListener
{
public:
    explicit LoopbackListener(int backlog);
    ~LoopbackListener();
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    uint16_t port() const { return fPort; }
    // The next connection, waiting in short slices; -1 once `stopping` is set.
    int accept(const std::atomic<bool>& stopping) const;

private:
    int fSocket = -1;
    uint16_t fPort = 0;
};

} // namespace SimNetwork
