#include "SemaphoreTable.h"

#include "Names.h"

namespace Darwin {

SemaphoreTable::Reference::~Reference()
{
    if (fSemaphore) {
        SemaphoreTable::instance().release(fSemaphore);
    }
}

constinit std::atomic<SemaphoreTable::Chunk*> SemaphoreTable::sChunks[size_t(1) << (32 - kChunkBits)]{};

SemaphoreTable& SemaphoreTable::instance()
{
    // Never destroyed: semaphores may be signalled while the process exits.
    static auto* table = new SemaphoreTable;
    return *table;
}

std::atomic<Semaphore*>& SemaphoreTable::slot(semaphore_t name)
{
    std::atomic<Chunk*>& chunk = sChunks[name >> kChunkBits];
    if (!chunk.load(std::memory_order_acquire)) {
        chunk.store(new Chunk, std::memory_order_release);
    }
    return chunk.load(std::memory_order_acquire)->fSlots[name & (kChunkSize - 1)];
}

semaphore_t SemaphoreTable::create(int value)
{
    std::lock_guard lock(fLock);
    Semaphore* semaphore;
    if (fFree.empty()) {
        fSemaphores.push_back(std::make_unique<Semaphore>());
        semaphore = fSemaphores.back().get();
    } else {
        semaphore = fFree.back();
        fFree.pop_back();
    }
    semaphore->reset(value);
    semaphore_t name = newName();
    semaphore->fName.store(name, std::memory_order_relaxed);
    semaphore->fReferences.store(1, std::memory_order_release);
    slot(name).store(semaphore, std::memory_order_release);
    return name;
}

SemaphoreTable::Reference SemaphoreTable::acquire(semaphore_t name)
{
    Semaphore* semaphore = find(name);
    if (!semaphore) {
        return {};
    }
    // Only a semaphore still referenced may gain a reference; one in the free list stays there.
    uint32_t references = semaphore->fReferences.load(std::memory_order_relaxed);
    do {
        if (references == 0) {
            return {};
        }
    } while (
        !semaphore->fReferences.compare_exchange_weak(references, references + 1, std::memory_order_acq_rel));
    Reference reference(semaphore);
    if (semaphore->fName.load(std::memory_order_acquire) != name) {
        return {};
    }
    return reference;
}

bool SemaphoreTable::destroy(semaphore_t name)
{
    Semaphore* semaphore;
    {
        std::lock_guard lock(fLock);
        semaphore = find(name);
        if (!semaphore) {
            return false;
        }
        slot(name).store(nullptr, std::memory_order_release);
    }
    semaphore->destroy();
    release(semaphore);
    return true;
}

void SemaphoreTable::release(Semaphore* semaphore)
{
    if (semaphore->fReferences.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        std::lock_guard lock(fLock);
        fFree.push_back(semaphore);
    }
}

} // namespace Darwin
