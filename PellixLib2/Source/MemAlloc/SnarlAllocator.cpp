#include "MemAlloc/SnarlAllocator.h"

#include <cstdlib>
#include <new>

namespace {

// Orphans queue through their first word, SnarlSubAllocator::orphanLink.
constexpr size_t kOrphanLinkOffset = 0;

} // namespace

SnarlAllocator& SnarlAllocator::Instance()
{
    static SnarlAllocator instance;
    return instance;
}

SnarlAllocator::SnarlAllocator()
{
    if (pthread_key_create(&fKey, SubAllocatorDestructor) != 0) {
        throw std::bad_alloc();
    }
}

SnarlAllocator::~SnarlAllocator()
{
    // The pool thread polls through this object, so it stops while the object is whole.
    RequestQuit();
    WaitForThread();
    delete static_cast<BuddySystemSubAllocator*>(pthread_getspecific(fKey));
    pthread_key_delete(fKey);
    DestroyOrphans();
}

void* SnarlAllocator::Allocate(size_t size)
{
    return std::malloc(size);
}

void SnarlAllocator::Deallocate(void* p)
{
    if (p != nullptr) {
        std::free(p);
    }
}

void* SnarlAllocator::Reallocate(void* p, size_t size)
{
    return std::realloc(p, size);
}

BuddySystemSubAllocator* SnarlAllocator::GetSubAllocator()
{
    auto* subAllocator = static_cast<BuddySystemSubAllocator*>(pthread_getspecific(fKey));
    if (subAllocator == nullptr) {
        subAllocator = new BuddySystemSubAllocator(*this);
        pthread_setspecific(fKey, subAllocator);
    }
    return subAllocator;
}

BuddySystemSubAllocator* SnarlAllocator::GetSubAllocatorOrphan()
{
    return static_cast<BuddySystemSubAllocator*>(OSAtomicDequeue(&fOrphans, kOrphanLinkOffset));
}

void SnarlAllocator::SubAllocatorDestructor(void* subAllocator)
{
    if (subAllocator == nullptr) {
        return;
    }
    auto* ended = static_cast<BuddySystemSubAllocator*>(subAllocator);
    ended->ConsumeStack();
    if (ended->AllowDestruction()) {
        delete ended;
        return;
    }
    OSAtomicEnqueue(&ended->Allocator().fOrphans, ended, kOrphanLinkOffset);
}
