#pragma once

// The open-addressing table behind CFDictionary: linear probing over a power-of-two array, each
// slot keeping its key's hash so a probe compares keys only when the hashes match.

#include <CoreFoundation/CFDictionary.h>

#include <vector>

namespace CFPlatform {

class KeyTable
{
public:
    struct Entry
    {
        const void* key;
        const void* value;
        CFHashCode hash;
        bool used;
    };

    // Missing callbacks mean pointer identity.
    KeyTable(CFDictionaryHashCallBack hash, CFDictionaryEqualCallBack equal) : fHash(hash), fEqual(equal) {}

    size_t count() const { return fCount; }
    // Every slot, used or not, for walking the entries.
    const std::vector<Entry>& slots() const { return fSlots; }

    // Inline, with find: they are every lookup's path.
    CFHashCode hashOf(const void* key) const
    {
        return fHash ? fHash(key) : reinterpret_cast<CFHashCode>(key);
    }

    // The entry of a key equal to `key`, or nullptr.
    const Entry* find(const void* key, CFHashCode hash) const
    {
        if (fCount == 0) {
            return nullptr;
        }
        size_t mask = fSlots.size() - 1;
        for (size_t i = homeOf(hash);; i = (i + 1) & mask) {
            const Entry& entry = fSlots[i];
            if (!entry.used) {
                return nullptr;
            }
            if (entry.hash == hash && (entry.key == key || (fEqual && fEqual(entry.key, key)))) {
                return &entry;
            }
        }
    }
    Entry* find(const void* key, CFHashCode hash)
    {
        return const_cast<Entry*>(static_cast<const KeyTable&>(*this).find(key, hash));
    }
    // Adds a key known to be absent.
    void insert(const void* key, const void* value, CFHashCode hash);
    // Removes an entry that `find` answered.
    void erase(Entry* entry);
    void clear();

private:
    size_t homeOf(CFHashCode hash) const
    {
        // Fibonacci hashing spreads pointer keys, whose low bits are alike, over the whole table.
        return static_cast<size_t>((hash * 0x9E3779B97F4A7C15ULL) >> fShift);
    }
    void grow();

    CFDictionaryHashCallBack fHash;
    CFDictionaryEqualCallBack fEqual;
    std::vector<Entry> fSlots;
    size_t fCount = 0;
    unsigned fShift = 64;
};

} // namespace CFPlatform
