#include <libkern/OSAtomic.h>

// The head is {top element, generation}; every change bumps the generation, so a compare-exchange
// fails when the top was dequeued and enqueued again meanwhile (the ABA case).

namespace {

using Pair = unsigned __int128;

struct Head
{
    void* fTop;
    uintptr_t fGeneration;
};

Pair pack(Head head)
{
    return Pair(reinterpret_cast<uintptr_t>(head.fTop)) | Pair(head.fGeneration) << 64;
}

Pair* pairOf(OSQueueHead* list)
{
    return reinterpret_cast<Pair*>(list);
}

// The halves are read separately; a torn pair only makes the compare-exchange fail.
Head load(OSQueueHead* list)
{
    return Head{__atomic_load_n(&list->opaque1, __ATOMIC_ACQUIRE),
                uintptr_t(__atomic_load_n(&list->opaque2, __ATOMIC_ACQUIRE))};
}

bool replace(OSQueueHead* list, Head expected, Head desired)
{
    return __sync_bool_compare_and_swap(pairOf(list), pack(expected), pack(desired));
}

// Links are atomic because a dequeuer may read the link of an element another thread is
// re-enqueueing; its compare-exchange then fails and the value read is dropped.
void** linkOf(void* element, size_t offset)
{
    return reinterpret_cast<void**>(static_cast<char*>(element) + offset);
}

} // namespace

void OSAtomicEnqueue(OSQueueHead* list, void* element, size_t offset)
{
    for (;;) {
        Head head = load(list);
        __atomic_store_n(linkOf(element, offset), head.fTop, __ATOMIC_RELAXED);
        if (replace(list, head, Head{element, head.fGeneration + 1})) {
            return;
        }
    }
}

void* OSAtomicDequeue(OSQueueHead* list, size_t offset)
{
    for (;;) {
        Head head = load(list);
        if (!head.fTop) {
            return nullptr;
        }
        void* next = __atomic_load_n(linkOf(head.fTop, offset), __ATOMIC_RELAXED);
        if (replace(list, head, Head{next, head.fGeneration + 1})) {
            return head.fTop;
        }
    }
}
