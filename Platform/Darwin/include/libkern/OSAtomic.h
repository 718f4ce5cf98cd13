#pragma once

// Atomic operations on memory shared between threads, all sequentially consistent (the Barrier
// forms are the same operations), and a lock-free LIFO queue.

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/cdefs.h>

__BEGIN_DECLS

// Add, increment and decrement return the new value.
int32_t OSAtomicAdd32(int32_t amount, volatile int32_t* value);
int32_t OSAtomicAdd32Barrier(int32_t amount, volatile int32_t* value);
int64_t OSAtomicAdd64(int64_t amount, volatile int64_t* value);
int64_t OSAtomicAdd64Barrier(int64_t amount, volatile int64_t* value);
int32_t OSAtomicIncrement32(volatile int32_t* value);
int32_t OSAtomicIncrement32Barrier(volatile int32_t* value);
int32_t OSAtomicDecrement32(volatile int32_t* value);
int32_t OSAtomicDecrement32Barrier(volatile int32_t* value);

bool OSAtomicCompareAndSwap32(int32_t oldValue, int32_t newValue, volatile int32_t* value);
bool OSAtomicCompareAndSwap32Barrier(int32_t oldValue, int32_t newValue, volatile int32_t* value);
bool OSAtomicCompareAndSwap64(int64_t oldValue, int64_t newValue, volatile int64_t* value);
bool OSAtomicCompareAndSwap64Barrier(int64_t oldValue, int64_t newValue, volatile int64_t* value);
bool OSAtomicCompareAndSwapPtr(void* oldValue, void* newValue, void* volatile* value);
bool OSAtomicCompareAndSwapPtrBarrier(void* oldValue, void* newValue, void* volatile* value);

// Bit n is the mask 0x80 >> (n & 7) in byte n >> 3 of the address. Return the bit's old value.
bool OSAtomicTestAndSet(uint32_t n, volatile void* address);
bool OSAtomicTestAndSetBarrier(uint32_t n, volatile void* address);
bool OSAtomicTestAndClear(uint32_t n, volatile void* address);
bool OSAtomicTestAndClearBarrier(uint32_t n, volatile void* address);

void OSMemoryBarrier(void);

// A LIFO of caller-owned elements whose link is stored at `offset` inside each element. The head
// pairs the top element with a generation count, changed together by a 16-byte compare-exchange,
// so an element dequeued and enqueued again meanwhile cannot corrupt the list.
typedef struct
{
    void* opaque1;
    long opaque2;
} __attribute__((aligned(16))) OSQueueHead;

#define OS_ATOMIC_QUEUE_INIT                                                                                 \
    {                                                                                                        \
        NULL, 0                                                                                              \
    }

void OSAtomicEnqueue(OSQueueHead* list, void* element, size_t offset);

// The element enqueued last, or NULL when the queue is empty.
void* OSAtomicDequeue(OSQueueHead* list, size_t offset);

__END_DECLS
