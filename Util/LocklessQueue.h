#pragma once

// A fixed-capacity queue of N values that never locks, blocks, allocates or makes a system call
// after construction, so that real-time threads may produce into it.
//
// Values live in a pool of N + 1 elements. A producer reserves a free element, builds the value in
// it and commits; the commit claims the next position of a ring of N sequence-numbered slots. A
// slot's sequence says whether it is free for the position that claims it or holds a published
// element, so a producer working from a stale position can neither overwrite a published slot nor
// publish behind the consumer. A consumer takes the oldest published slot, frees it for the next
// lap, and returns the element to the pool when its read transaction ends.
//
// Any number of producers may work at once: positions are claimed by compare-and-swap, and a
// producer never waits for another. There is one consumer at a time (every owner in this system has
// exactly one), which is why taking an element needs no compare-and-swap.

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <optional>
#include <utility>

namespace vork {

template <typename T, std::size_t N>
class LocklessQueue
{
    static_assert(N > 0, "a queue holds at least one value");

    // Elements, slots and indices each get their own cache line, so that producers and the
    // consumer working on neighbours do not contend.
    static constexpr std::size_t kCacheLine = 64;

public:
    static constexpr std::size_t kUnlimitedAttempts = std::numeric_limits<std::size_t>::max();

    // One element of the pool: its life is free -> reserved -> published -> taken -> free.
    struct alignas(kCacheLine) QEntry
    {
        enum : uint32_t
        {
            kFree = 0,
            kTaken = 1,
            kReserved = 2,
            kPublished = 3
        };

        QEntry() = default;
        QEntry(const QEntry&) = delete;
        QEntry& operator=(const QEntry&) = delete;
        ~QEntry() { destroyValue(); }

        T* value() { return std::launder(reinterpret_cast<T*>(fStorage)); }

        template <typename... Args>
        void constructValue(Args&&... args)
        {
            destroyValue();
            ::new (static_cast<void*>(fStorage)) T(std::forward<Args>(args)...);
            fEngaged = true;
        }

        void destroyValue()
        {
            if (fEngaged) {
                fEngaged = false;
                value()->~T();
            }
        }

        std::atomic<uint32_t> fState{kFree};
        bool fEngaged = false;
        alignas(T) unsigned char fStorage[sizeof(T)];
    };

    // Reserves an element on construction; the caller builds the value in it and commits. An
    // element left uncommitted goes back to the pool when the transaction ends.
    class WriteTransaction
    {
    public:
        explicit WriteTransaction(LocklessQueue& queue, std::size_t attempts = kUnlimitedAttempts)
            : fQueue(queue), fAttempts(attempts), fEntry(queue.reserve(attempts))
        {
            fReserved = fEntry != nullptr;
        }

        ~WriteTransaction()
        {
            if (fReserved && !fCommitted) {
                fEntry->destroyValue();
                fEntry->fState.store(QEntry::kFree, std::memory_order_release);
            }
        }

        WriteTransaction(const WriteTransaction&) = delete;
        WriteTransaction& operator=(const WriteTransaction&) = delete;

        bool reserved() const { return fReserved; }

        bool write(const T& value) { return emplace(value); }

        // Builds the value in the element from the arguments; any value already there is destroyed
        // first. If construction throws, the element holds no value and goes back to the pool when
        // the transaction ends.
        template <typename... Args>
        bool emplace(Args&&... args)
        {
            if (!fReserved || fCommitted) {
                return false;
            }
            fEntry->constructValue(std::forward<Args>(args)...);
            return true;
        }

        // The value being built, so that a producer can fill it in place; null when there is none.
        T* get() { return fReserved && !fCommitted && fEntry->fEngaged ? fEntry->value() : nullptr; }

        // Publishes the value. Fails when the ring is full; the element then stays reserved and
        // the caller may try again or let the transaction end.
        bool commit()
        {
            if (!fReserved || fCommitted || !fEntry->fEngaged) {
                return false;
            }
            fEntry->fState.store(QEntry::kPublished, std::memory_order_relaxed);
            if (!fQueue.push(*fEntry, fAttempts)) {
                fEntry->fState.store(QEntry::kReserved, std::memory_order_relaxed);
                return false;
            }
            fCommitted = true;
            return true;
        }

        bool writeAndCommit(const T& value) { return write(value) && commit(); }

    private:
        LocklessQueue& fQueue;
        std::size_t fAttempts;
        bool fReserved = false;
        bool fCommitted = false;
        QEntry* fEntry;
    };

    // Takes the oldest published element on construction; the element goes back to the pool when
    // the transaction commits or ends.
    class ReadTransaction
    {
    public:
        explicit ReadTransaction(LocklessQueue& queue) : fQueue(queue) { fValid = fQueue.pop(fEntry); }

        ~ReadTransaction() { commit(); }

        ReadTransaction(const ReadTransaction&) = delete;
        ReadTransaction& operator=(const ReadTransaction&) = delete;

        bool valid() const { return fValid; }

        std::optional<T> read() const
        {
            if (!holdsValue()) {
                return std::nullopt;
            }
            return *fEntry->value();
        }

        bool commit()
        {
            if (!fValid || fCommitted) {
                return false;
            }
            // The taken element belongs to this transaction alone until it is freed.
            if (fEntry->fState.load(std::memory_order_relaxed) != QEntry::kTaken) {
                return false;
            }
            fEntry->destroyValue();
            fEntry->fState.store(QEntry::kFree, std::memory_order_release);
            fCommitted = true;
            return true;
        }

        // The value, moved out of the element, which then goes back to the pool.
        std::optional<T> readAndCommit()
        {
            std::optional<T> value;
            if (holdsValue()) {
                value.emplace(std::move(*fEntry->value()));
                if (!commit()) {
                    value.reset();
                }
            }
            return value;
        }

    private:
        bool holdsValue() const { return fValid && !fCommitted && fEntry->fEngaged; }

        LocklessQueue& fQueue;
        bool fValid = false;
        bool fCommitted = false;
        QEntry* fEntry = nullptr;
    };

    LocklessQueue()
    {
        for (std::size_t i = 0; i < N; ++i) {
            fRing[i].fSequence.store(i, std::memory_order_relaxed);
        }
    }

    LocklessQueue(const LocklessQueue&) = delete;
    LocklessQueue& operator=(const LocklessQueue&) = delete;

    // The number of published elements not yet taken; exact only while nobody else works on the
    // queue.
    std::size_t size() const
    {
        uint64_t head = fHead.load(std::memory_order_acquire);
        uint64_t tail = fTail.load(std::memory_order_acquire);
        return tail > head ? static_cast<std::size_t>(std::min<uint64_t>(tail - head, N)) : 0;
    }

    bool empty() const { return size() == 0; }
    bool full() const { return size() >= N; }

    bool push(QEntry& entry, std::size_t attempts)
    {
        const std::size_t limit = std::max<std::size_t>(attempts, 1);
        std::size_t tries = 0;
        uint64_t position = fTail.load(std::memory_order_relaxed);
        for (;;) {
            Slot& slot = fRing[position % N];
            const auto lag = static_cast<int64_t>(slot.fSequence.load(std::memory_order_acquire) - position);
            if (lag < 0) {
                // The slot still holds the element of the previous lap.
                return false;
            }
            if (lag == 0) {
                if (fTail.compare_exchange_strong(position, position + 1, std::memory_order_relaxed)) {
                    slot.fEntry = &entry;
                    slot.fSequence.store(position + 1, std::memory_order_release);
                    return true;
                }
            } else {
                position = fTail.load(std::memory_order_relaxed);
            }
            if (++tries >= limit) {
                return false;
            }
        }
    }

    // Only the consumer calls this, so the read index needs no compare-and-swap.
    bool pop(QEntry*& entry)
    {
        const uint64_t position = fHead.load(std::memory_order_relaxed);
        Slot& slot = fRing[position % N];
        if (slot.fSequence.load(std::memory_order_acquire) != position + 1) {
            // Empty, or the head position is claimed but its element not yet published.
            return false;
        }
        entry = slot.fEntry;
        fHead.store(position + 1, std::memory_order_release);
        slot.fSequence.store(position + N, std::memory_order_release);
        entry->fState.store(QEntry::kTaken, std::memory_order_relaxed);
        return true;
    }

private:
    static constexpr std::size_t kPoolSize = N + 1;

    struct alignas(kCacheLine) Slot
    {
        std::atomic<uint64_t> fSequence{0};
        QEntry* fEntry = nullptr;
    };

    // Takes a free element. Elements come back in about the order of their positions, so the one
    // that the next position used one lap of the pool ago is most likely free, and so are the few
    // after it; no shared allocation index is needed. Producers that read the same position would
    // all race for that one, so each first tries the element a step of its own further on, and
    // then walks the pool once from the likely one.
    QEntry* reserve(std::size_t attempts)
    {
        const uint64_t position = fTail.load(std::memory_order_relaxed);
        // A full ring: the slot of the next position still holds the element of the previous lap.
        // Unlike full(), this leaves the read index, and so the consumer's cache line, alone.
        if (static_cast<int64_t>(fRing[position % N].fSequence.load(std::memory_order_acquire) - position) <
            0) {
            return nullptr;
        }
        std::size_t failures = 0;
        const std::size_t likely = position % kPoolSize;
        if (QEntry* entry = claim(fPool[advance(likely, threadStep())], failures)) {
            return entry;
        }
        std::size_t index = likely;
        const std::size_t limit = std::max<std::size_t>(attempts, 1);
        for (std::size_t visited = 0; visited < kPoolSize && failures < limit; ++visited) {
            if (QEntry* entry = claim(fPool[index], failures)) {
                return entry;
            }
            index = advance(index, 1);
        }
        return nullptr;
    }

    // Reserves the element if it is free; a race lost for it counts as a failure.
    static QEntry* claim(QEntry& entry, std::size_t& failures)
    {
        uint32_t state = entry.fState.load(std::memory_order_relaxed);
        if (state != QEntry::kFree) {
            return nullptr;
        }
        if (entry.fState.compare_exchange_strong(state, QEntry::kReserved, std::memory_order_acquire,
                                                 std::memory_order_relaxed)) {
            return &entry;
        }
        ++failures;
        return nullptr;
    }

    // A thread's descriptor lies at the top of its own stack, so different threads' descriptors lie
    // pages apart and mostly get different steps. A thread keeps its step, so its elements still
    // follow its positions.
    static std::size_t threadStep()
    {
        constexpr std::size_t kSteps = 4;
        constexpr int kPageBits = 12;
        return (std::bit_cast<std::uintptr_t>(pthread_self()) >> kPageBits) % kSteps;
    }

    static std::size_t advance(std::size_t index, std::size_t step)
    {
        index += step;
        return index >= kPoolSize ? index - kPoolSize : index;
    }

    alignas(kCacheLine) std::atomic<uint64_t> fHead{0};
    alignas(kCacheLine) std::atomic<uint64_t> fTail{0};
    alignas(kCacheLine) Slot fRing[N];
    QEntry fPool[kPoolSize];
};

} // namespace vork
