#pragma once

// Waits of the end-to-end tests on the real clock: for a condition, never for a time.

#include <algorithm>
#include <cctype>
#include <chrono>
#include <string>
#include <thread>

namespace E2E {

// Whether `predicate` came true before `limit` passed.
template <typename Predicate>
bool Eventually(Predicate predicate, std::chrono::milliseconds limit = std::chrono::seconds(15))
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// A serial as the plug-in's UID carries it.
inline std::string UidOfSerial(std::string serial)
{
    std::transform(serial.begin(), serial.end(), serial.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return serial;
}

} // namespace E2E
