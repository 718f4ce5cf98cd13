#include "Collections/KeyTable.h"

namespace CFPlatform {

namespace {

constexpr size_t kFirstCapacity = 8;

} // namespace

void KeyTable::insert(const void* key, const void* value, CFHashCode hash)
{
    // At most half full, so probes stay short.
    if (2 * (fCount + 1) > fSlots.size()) {
        grow();
    }
    size_t mask = fSlots.size() - 1;
    size_t i = homeOf(hash);
    while (fSlots[i].used) {
        i = (i + 1) & mask;
    }
    fSlots[i] = Entry{key, value, hash, true};
    ++fCount;
}

void KeyTable::erase(Entry* entry)
{
    size_t mask = fSlots.size() - 1;
    auto hole = static_cast<size_t>(entry - fSlots.data());
    fSlots[hole].used = false;
    --fCount;
    // Shift later entries of the run back so no lookup stops early at the hole.
    for (size_t i = (hole + 1) & mask; fSlots[i].used; i = (i + 1) & mask) {
        size_t home = homeOf(fSlots[i].hash);
        bool homeBetween = hole <= i ? (home > hole && home <= i) : (home > hole || home <= i);
        if (!homeBetween) {
            fSlots[hole] = fSlots[i];
            fSlots[i].used = false;
            hole = i;
        }
    }
}

void KeyTable::clear()
{
    fSlots.clear();
    fCount = 0;
    fShift = 64;
}

void KeyTable::grow()
{
    std::vector<Entry> old;
    old.swap(fSlots);
    size_t capacity = old.empty() ? kFirstCapacity : 2 * old.size();
    fSlots.assign(capacity, Entry{nullptr, nullptr, 0, false});
    fShift = 64 - static_cast<unsigned>(__builtin_ctzll(capacity));
    fCount = 0;
    for (const Entry& entry : old) {
        if (entry.used) {
            insert(entry.key, entry.value, entry.hash);
        }
    }
}

} // namespace CFPlatform
