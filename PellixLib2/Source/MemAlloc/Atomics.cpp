#include "Atomics.h"

namespace {

constexpr uint32_t kFlagBit = 1;

using Pair = unsigned __int128;

Pair makePair(int64_t low, int64_t high)
{
    return (static_cast<Pair>(static_cast<uint64_t>(high)) << 64) | static_cast<uint64_t>(low);
}

} // namespace

int32_t AtomicAdd32Implementation(volatile int32_t* value, int32_t amount)
{
    return __atomic_fetch_add(value, amount, __ATOMIC_SEQ_CST);
}

int64_t AtomicAdd64Implementation(volatile int64_t* value, int64_t amount)
{
    return __atomic_fetch_add(value, amount, __ATOMIC_SEQ_CST);
}

int32_t AtomicAddAndReturn32Implementation(volatile int32_t* value, int32_t amount)
{
    return __atomic_add_fetch(value, amount, __ATOMIC_SEQ_CST);
}

int32_t AtomicLoadAndStore32(volatile int32_t* value, int32_t newValue)
{
    return __atomic_exchange_n(value, newValue, __ATOMIC_SEQ_CST);
}

bool AtomicTestAndSet32(volatile uint32_t* flags)
{
    return (__atomic_fetch_or(flags, kFlagBit, __ATOMIC_SEQ_CST) & kFlagBit) != 0;
}

bool AtomicTestAndClear32(volatile uint32_t* flags)
{
    return (__atomic_fetch_and(flags, ~kFlagBit, __ATOMIC_SEQ_CST) & kFlagBit) != 0;
}

bool AtomicCompareAndSwap32(volatile int32_t* value, int32_t expected, int32_t newValue)
{
    return __atomic_compare_exchange_n(value, &expected, newValue, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
}

bool AtomicCompareAndSwap64(volatile int64_t* value, int64_t expected, int64_t newValue)
{
    return __atomic_compare_exchange_n(value, &expected, newValue, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
}

bool AtomicCompareAndSwap128Implementation(volatile int64_t* pair, int64_t expectedLow, int64_t expectedHigh,
                                           int64_t newLow, int64_t newHigh)
{
    // A locked cmpxchg16b (built with -mcx16), not libatomic's fallback.
    return __sync_bool_compare_and_swap(reinterpret_cast<volatile Pair*>(pair),
                                        makePair(expectedLow, expectedHigh), makePair(newLow, newHigh));
}

int32_t AtomicLoad32(const volatile int32_t* value)
{
    return __atomic_load_n(value, __ATOMIC_RELAXED);
}

int64_t AtomicLoad64(const volatile int64_t* value)
{
    return __atomic_load_n(value, __ATOMIC_RELAXED);
}

bool AtomicTryLock(volatile int32_t* lock)
{
    return AtomicCompareAndSwap32(lock, 0, 1);
}
