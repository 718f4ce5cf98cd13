#include "MemAlloc/SnarlSubAllocator.h"

#include "MemAlloc/OSPage.h"

#include <cstddef>
#include <cstdlib>

namespace {

// Reads the word before the pointer, which for a system heap block is the heap's own header (under
// a sanitizer's heap, the end of the neighbouring block): that read is how foreign pointers are told
// apart, so neither address nor thread checking applies to it.
__attribute__((no_sanitize("address", "thread"))) uint32_t magicBefore(void* p)
{
    uint32_t magic;
    __builtin_memcpy(&magic, static_cast<const char*>(p) - 8, sizeof magic);
    return magic;
}

} // namespace

SnarlAllocation* SnarlSubAllocator::Recognise(void* p)
{
    // The 16 bytes before p reach into the previous page, which may be unmapped.
    const bool crossesPage = (reinterpret_cast<uintptr_t>(p) & ~kOSPageMask) < sizeof(SnarlAllocation);
    if (crossesPage && !CanAccessPrecedingBytes(p, sizeof(SnarlAllocation))) {
        return nullptr;
    }
    const uint32_t magic = magicBefore(p);
    if (magic != SnarlAllocation::kBuddyMagic && magic != SnarlAllocation::kLargeMagic) {
        return nullptr;
    }
    return SnarlAllocation::FromUserPointer(p);
}

SnarlAllocation* SnarlSubAllocator::TakeBack(void* p)
{
    if (p == nullptr) {
        return nullptr;
    }
    SnarlAllocation* header = Recognise(p);
    if (header == nullptr) {
        std::free(p);
        return nullptr;
    }
    if (header->owner != this) {
        SnarlSubAllocator* owner = header->owner;
        OSAtomicEnqueue(&owner->fRemoteFrees, header, offsetof(SnarlAllocation, owner));
        return nullptr;
    }
    return header;
}

SnarlAllocation* SnarlSubAllocator::DequeueRemoteFree()
{
    return static_cast<SnarlAllocation*>(OSAtomicDequeue(&fRemoteFrees, offsetof(SnarlAllocation, owner)));
}
