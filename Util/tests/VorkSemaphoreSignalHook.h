#pragma once

// The test binary puts its own semaphore_signal in front of the Darwin layer's, so that a test can
// act at the moment a thread signals a semaphore. Each call is passed on unchanged.

#include <functional>

namespace VorkTesting {

// Runs `action` on the calling thread right after that thread's next semaphore_signal has returned.
void afterNextSemaphoreSignal(std::function<void()> action);

} // namespace VorkTesting
