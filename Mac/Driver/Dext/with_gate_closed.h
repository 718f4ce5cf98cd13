#pragma once

#include <DriverKit/IODispatchQueue.h>

#include <utility>

// Runs `block` on `queue` and waits for it: inline when already there, not at all without a queue.
template <typename Block>
void with_gate_closed(IODispatchQueue* queue, Block&& block)
{
    if (queue == nullptr) {
        return;
    }
    if (queue->OnQueue()) {
        block();
        return;
    }
    queue->DispatchSync(std::forward<Block>(block));
}
