#pragma once

#include <thread>

// Yields until the condition holds; the test's time limit guards against a hang.
template <typename Condition>
void waitFor(Condition condition)
{
    while (!condition()) {
        std::this_thread::yield();
    }
}
