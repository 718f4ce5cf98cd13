#pragma once

#include <cstddef>
#include <memory>
#include <vector>

namespace VorkTesting {

// How many elements of the queue's pool can be reserved at once right now (the ring must not be
// full). The reservations are all dropped uncommitted before it returns.
template <typename Queue>
std::size_t reservableElements(Queue& queue)
{
    std::vector<std::unique_ptr<typename Queue::WriteTransaction>> held;
    for (;;) {
        auto transaction = std::make_unique<typename Queue::WriteTransaction>(queue);
        if (!transaction->reserved()) {
            return held.size();
        }
        held.push_back(std::move(transaction));
    }
}

} // namespace VorkTesting
