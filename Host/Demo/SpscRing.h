#pragma once

// A fixed ring of preallocated slots between one producer and one consumer thread: no allocation,
// no lock. The producer fills the slot it claims and publishes it; the consumer reads the front slot
// and pops it. A full ring refuses the claim, and the producer counts what it could not hand over.

#include <atomic>
#include <cstddef>
#include <vector>

namespace Demo {

template <typename Slot>
class SpscRing
{
public:
    // `prepare` shapes every slot once, before any thread uses the ring.
    template <typename Prepare>
    SpscRing(size_t capacity, Prepare prepare) : fSlots(capacity + 1)
    {
        for (Slot& slot : fSlots) {
            prepare(slot);
        }
    }

    // The slot to fill next, or null when the consumer has not freed one.
    Slot* claim()
    {
        const size_t head = fHead.load(std::memory_order_relaxed);
        if (next(head) == fTail.load(std::memory_order_acquire)) {
            return nullptr;
        }
        return &fSlots[head];
    }
    void publish() { fHead.store(next(fHead.load(std::memory_order_relaxed)), std::memory_order_release); }

    // The oldest published slot, or null.
    const Slot* front() const
    {
        const size_t tail = fTail.load(std::memory_order_relaxed);
        return tail == fHead.load(std::memory_order_acquire) ? nullptr : &fSlots[tail];
    }
    void pop() { fTail.store(next(fTail.load(std::memory_order_relaxed)), std::memory_order_release); }

private:
    size_t next(size_t index) const { return index + 1 == fSlots.size() ? 0 : index + 1; }

    std::vector<Slot> fSlots;
    std::atomic<size_t> fHead{0};
    std::atomic<size_t> fTail{0};
};

} // namespace Demo
