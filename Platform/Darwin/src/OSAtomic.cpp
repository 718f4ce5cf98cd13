#include <libkern/OSAtomic.h>

// Every operation is sequentially consistent, so each Barrier form is its plain form.

namespace {

template <typename T>
T addAndFetch(T amount, volatile T* value)
{
    return __atomic_add_fetch(value, amount, __ATOMIC_SEQ_CST);
}

template <typename T>
bool compareAndSwap(T oldValue, T newValue, volatile T* value)
{
    return __atomic_compare_exchange_n(value, &oldValue, newValue, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
}

// Bit n is 0x80 >> (n & 7) in byte n >> 3: bits are numbered from the most significant of byte 0.
volatile uint8_t* byteOf(uint32_t n, volatile void* address)
{
    return static_cast<volatile uint8_t*>(address) + (n >> 3);
}

uint8_t maskOf(uint32_t n)
{
    return uint8_t(0x80u >> (n & 7));
}

} // namespace

int32_t OSAtomicAdd32(int32_t amount, volatile int32_t* value)
{
    return addAndFetch(amount, value);
}

int32_t OSAtomicAdd32Barrier(int32_t amount, volatile int32_t* value)
{
    return addAndFetch(amount, value);
}

int64_t OSAtomicAdd64(int64_t amount, volatile int64_t* value)
{
    return addAndFetch(amount, value);
}

int64_t OSAtomicAdd64Barrier(int64_t amount, volatile int64_t* value)
{
    return addAndFetch(amount, value);
}

int32_t OSAtomicIncrement32(volatile int32_t* value)
{
    return addAndFetch(1, value);
}

int32_t OSAtomicIncrement32Barrier(volatile int32_t* value)
{
    return addAndFetch(1, value);
}

int32_t OSAtomicDecrement32(volatile int32_t* value)
{
    return addAndFetch(-1, value);
}

int32_t OSAtomicDecrement32Barrier(volatile int32_t* value)
{
    return addAndFetch(-1, value);
}

bool OSAtomicCompareAndSwap32(int32_t oldValue, int32_t newValue, volatile int32_t* value)
{
    return compareAndSwap(oldValue, newValue, value);
}

bool OSAtomicCompareAndSwap32Barrier(int32_t oldValue, int32_t newValue, volatile int32_t* value)
{
    return compareAndSwap(oldValue, newValue, value);
}

bool OSAtomicCompareAndSwap64(int64_t oldValue, int64_t newValue, volatile int64_t* value)
{
    return compareAndSwap(oldValue, newValue, value);
}

bool OSAtomicCompareAndSwap64Barrier(int64_t oldValue, int64_t newValue, volatile int64_t* value)
{
    return compareAndSwap(oldValue, newValue, value);
}

bool OSAtomicCompareAndSwapPtr(void* oldValue, void* newValue, void* volatile* value)
{
    return compareAndSwap(oldValue, newValue, value);
}

bool OSAtomicCompareAndSwapPtrBarrier(void* oldValue, void* newValue, void* volatile* value)
{
    return compareAndSwap(oldValue, newValue, value);
}

bool OSAtomicTestAndSet(uint32_t n, volatile void* address)
{
    return (__atomic_fetch_or(byteOf(n, address), maskOf(n), __ATOMIC_SEQ_CST) & maskOf(n)) != 0;
}

bool OSAtomicTestAndSetBarrier(uint32_t n, volatile void* address)
{
    return OSAtomicTestAndSet(n, address);
}

bool OSAtomicTestAndClear(uint32_t n, volatile void* address)
{
    return (__atomic_fetch_and(byteOf(n, address), uint8_t(~maskOf(n)), __ATOMIC_SEQ_CST) & maskOf(n)) != 0;
}

bool OSAtomicTestAndClearBarrier(uint32_t n, volatile void* address)
{
    return OSAtomicTestAndClear(n, address);
}

void OSMemoryBarrier(void)
{
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer does not model fences; it does model this read-modify-write, which orders
    // memory as fully as the fence on x86-64.
    static int sBarrier;
    __atomic_fetch_add(&sBarrier, 0, __ATOMIC_SEQ_CST);
#else
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
#endif
}
