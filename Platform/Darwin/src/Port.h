#pragma once

#include <mach/message.h>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace Darwin {

// The queue of a receive right: at most MACH_PORT_QLIMIT_DEFAULT messages; senders wait for room
// and receivers for a message, both until a host-time deadline.
class Port
{
public:
    explicit Port(mach_port_t name) : fName(name) {}

    // `message` is the whole message as the receiver will see it.
    mach_msg_return_t send(std::vector<std::byte> message, uint64_t deadline);
    // With `reportSize`, a message too large for the buffer leaves its size in msgh_size.
    mach_msg_return_t receive(mach_msg_header_t* buffer, mach_msg_size_t size, bool reportSize,
                              uint64_t deadline);
    // Drops the queued messages and turns every wait and later call away.
    void destroy();

    void setArrivalObserver(std::function<void()> observer);

private:
    void notifyArrival(std::unique_lock<std::mutex>& lock);

    const mach_port_t fName;
    std::mutex fLock;
    std::condition_variable fChanged;
    std::deque<std::vector<std::byte>> fQueue;
    bool fDestroyed = false;

    std::shared_ptr<std::function<void()>> fObserver;
    int fObserverCalls = 0;
};

} // namespace Darwin
