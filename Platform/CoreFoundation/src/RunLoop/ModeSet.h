#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace CFPlatform {

// The modes of one loop that hold a timer, as bits by mode index. A loop's first 64 modes need no
// allocation, so adding a timer to a loop costs no allocation beyond the loop's own heap.
class ModeSet
{
public:
    bool contains(size_t index) const
    {
        const uint64_t* word = wordOf(index);
        return word && (*word & bit(index));
    }

    // Answers whether the mode was not in the set.
    bool insert(size_t index)
    {
        uint64_t& word = wordFor(index);
        bool added = !(word & bit(index));
        word |= bit(index);
        return added;
    }

    // Answers whether the mode was in the set.
    bool erase(size_t index)
    {
        uint64_t* word = const_cast<uint64_t*>(wordOf(index));
        if (!word || !(*word & bit(index))) {
            return false;
        }
        *word &= ~bit(index);
        return true;
    }

    bool empty() const
    {
        return fLow == 0 && std::all_of(fHigh.begin(), fHigh.end(), [](uint64_t word) { return word == 0; });
    }

    void clear()
    {
        fLow = 0;
        fHigh.clear();
    }

    template <typename Visit>
    void forEach(Visit visit) const
    {
        visitWord(fLow, 0, visit);
        for (size_t word = 0; word < fHigh.size(); ++word) {
            visitWord(fHigh[word], (word + 1) * 64, visit);
        }
    }

private:
    static uint64_t bit(size_t index) { return uint64_t(1) << (index % 64); }

    const uint64_t* wordOf(size_t index) const
    {
        size_t word = index / 64;
        if (word == 0) {
            return &fLow;
        }
        return word <= fHigh.size() ? &fHigh[word - 1] : nullptr;
    }

    uint64_t& wordFor(size_t index)
    {
        size_t word = index / 64;
        if (word == 0) {
            return fLow;
        }
        if (fHigh.size() < word) {
            fHigh.resize(word);
        }
        return fHigh[word - 1];
    }

    template <typename Visit>
    static void visitWord(uint64_t word, size_t base, Visit& visit)
    {
        for (; word != 0; word &= word - 1) {
            visit(base + size_t(__builtin_ctzll(word)));
        }
    }

    uint64_t fLow = 0;
    std::vector<uint64_t> fHigh;
};

} // namespace CFPlatform
