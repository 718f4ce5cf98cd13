#pragma once

// Atomic primitives for the block allocator. Every read-modify-write is sequentially consistent;
// the loads are atomic, so concurrent use is no data race.

#include <cstdint>

extern "C" {

// Each returns the value before the addition.
int32_t AtomicAdd32Implementation(volatile int32_t* value, int32_t amount);
int64_t AtomicAdd64Implementation(volatile int64_t* value, int64_t amount);
// Returns the value after the addition.
int32_t AtomicAddAndReturn32Implementation(volatile int32_t* value, int32_t amount);
// Stores the new value and returns the one it replaced.
int32_t AtomicLoadAndStore32(volatile int32_t* value, int32_t newValue);
// Set and clear the lowest bit of the little-endian word (bit 0 of its first byte); each returns
// whether the bit was set before.
bool AtomicTestAndSet32(volatile uint32_t* flags);
bool AtomicTestAndClear32(volatile uint32_t* flags);
// Each stores the new value when the word equals the expected one and reports whether it did.
bool AtomicCompareAndSwap32(volatile int32_t* value, int32_t expected, int32_t newValue);
bool AtomicCompareAndSwap64(volatile int64_t* value, int64_t expected, int64_t newValue);
// `pair` is 16-byte aligned, its low half first; both halves are replaced at once or not at all.
bool AtomicCompareAndSwap128Implementation(volatile int64_t* pair, int64_t expectedLow, int64_t expectedHigh,
                                           int64_t newLow, int64_t newHigh);
int32_t AtomicLoad32(const volatile int32_t* value);
int64_t AtomicLoad64(const volatile int64_t* value);
// Takes the lock (0 to 1) and reports whether it did.
bool AtomicTryLock(volatile int32_t* lock);
}
