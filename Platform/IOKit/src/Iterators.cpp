#include "Iterators.h"

namespace IOKit {

io_object_t SnapshotIterator::next()
{
    std::shared_ptr<RegistryEntry> entry;
    {
        std::lock_guard lock(fLock);
        if (fNext == fEntries.size()) {
            return 0;
        }
        entry = fEntries[fNext++];
    }
    return HandleTable::shared().retainEntry(entry);
}

void SnapshotIterator::reset()
{
    std::lock_guard lock(fLock);
    fNext = 0;
}

} // namespace IOKit
