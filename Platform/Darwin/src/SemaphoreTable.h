#pragma once

#include "Semaphore.h"

#include <memory>
#include <utility>
#include <vector>

namespace Darwin {

// Maps semaphore names to semaphores. Lookups take no lock, so semaphore_signal stays safe on
// real-time threads. Semaphores are never freed, only recycled once nobody refers to them, so a
// lookup racing with semaphore_destroy still touches a live object.
class SemaphoreTable
{
public:
    // A counted reference that keeps a semaphore from being recycled.
    class Reference
    {
    public:
        Reference() = default;
        explicit Reference(Semaphore* semaphore) : fSemaphore(semaphore) {}
        Reference(Reference&& other) noexcept : fSemaphore(std::exchange(other.fSemaphore, nullptr)) {}
        Reference& operator=(Reference&&) = delete;
        ~Reference();

        Semaphore* operator->() const { return fSemaphore; }
        explicit operator bool() const { return fSemaphore != nullptr; }

    private:
        Semaphore* fSemaphore = nullptr;
    };

    static SemaphoreTable& instance();

    semaphore_t create(int value);
    Reference acquire(semaphore_t name);
    bool destroy(semaphore_t name);

private:
    static constexpr size_t kChunkBits = 16;
    static constexpr size_t kChunkSize = size_t(1) << kChunkBits;
    struct Chunk
    {
        std::atomic<Semaphore*> fSlots[kChunkSize]{};
    };
    // Indexed by the name's high half; a global, so that it outlives every thread, and hidden, so
    // that the library reaches it without an indirection.
    __attribute__((visibility("hidden"))) static std::atomic<Chunk*> sChunks[size_t(1) << (32 - kChunkBits)];

public:
    // The semaphore of a live name, without a reference, or nullptr: two loads, inline for
    // semaphore_signal.
    static Semaphore* find(semaphore_t name)
    {
        Chunk* chunk = sChunks[name >> kChunkBits].load(std::memory_order_acquire);
        return chunk ? chunk->fSlots[name & (kChunkSize - 1)].load(std::memory_order_acquire) : nullptr;
    }

private:
    SemaphoreTable() = default;
    std::atomic<Semaphore*>& slot(semaphore_t name);
    void release(Semaphore* semaphore);

    std::mutex fLock;
    std::vector<std::unique_ptr<Semaphore>> fSemaphores;
    std::vector<Semaphore*> fFree;
};

} // namespace Darwin
