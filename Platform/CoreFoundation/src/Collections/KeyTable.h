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

    CFHashCode hashOf(const void* key) const;
    // The entry of a key equal to `key`, or nullptr.
    Entry* find(const void* key, CFHashCode hash);
    const Entry* find(const void* key, CFHashCode hash) const;
    // Adds a key known to be absent.
    void insert(const void* key, const void* value, CFHashCode hash);
    // Removes an entry that `find` answered.
    void erase(Entry* entry);
    void clear();

private:
    size_t homeOf(CFHashCode hash) const;
    void grow();

    CFDictionaryHashCallBack fHash;
    CFDictionaryEqualCallBack fEqual;
    std::vector<Entry> fSlots;
    size_t fCount = 0;
    unsigned fShift = 64;
};

} // namespace CFPlatform
