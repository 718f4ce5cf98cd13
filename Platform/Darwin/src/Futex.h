#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace Darwin::Futex {

// Blocks while the 32-bit word at `word` holds `expected`, until woken or until the steady-clock
// deadline, if any, has passed. May return spuriously; callers re-check their state.
void wait(const void* word, uint32_t expected, std::optional<std::chrono::steady_clock::time_point> deadline);

// Wakes up to `count` threads blocked on the word.
void wake(const void* word, int count);

} // namespace Darwin::Futex
