#pragma once

// Waits in real time for what another thread does: true once `predicate` holds, false when it
// still does not after 30 s.

#include <chrono>
#include <thread>

namespace PlugInTesting {

template <typename Predicate>
bool Eventually(Predicate predicate)
{
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > limit) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

} // namespace PlugInTesting
