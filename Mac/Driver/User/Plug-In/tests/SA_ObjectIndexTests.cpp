#include "SA_ObjectIndex.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <thread>
#include <vector>

namespace {

struct Entry
{
    AudioObjectID fObjectID;
};

TEST(SA_ObjectIndex, FindsWhatWasSetAndNothingNextToIt)
{
    // Ids at the edges of each byte of the trie.
    constexpr std::array<AudioObjectID, 8> kIDs = {
        1, 0xFF, 0x100, 0xFFFF, 0x10000, 0xFFFFFF, 0x1000000, 0xFFFFFFFF,
    };
    SA_ObjectIndex<Entry> index;
    std::vector<Entry> entries;
    for (AudioObjectID id : kIDs) {
        entries.push_back({id});
    }
    for (Entry& entry : entries) {
        EXPECT_EQ(index.Find(entry.fObjectID), nullptr);
        index.Set(entry.fObjectID, &entry);
    }
    for (const Entry& entry : entries) {
        SCOPED_TRACE(entry.fObjectID);
        EXPECT_EQ(index.Find(entry.fObjectID), &entry);
        EXPECT_EQ(index.Find(entry.fObjectID ^ 2), nullptr);
    }
    EXPECT_EQ(index.Find(0), nullptr);
    index.Clear(0x100);
    EXPECT_EQ(index.Find(0x100), nullptr);
    EXPECT_EQ(index.Find(0xFF), &entries[1]);
    // Clearing an id never set, even in a part of the trie never reached, changes nothing.
    index.Clear(0x12345678);
    index.Clear(0x100);
    EXPECT_EQ(index.Find(0x12345678), nullptr);
    EXPECT_EQ(index.Find(0xFFFFFFFF), &entries.back());
}

TEST(SA_ObjectIndexStress, LookupsSeeTheEntryOfTheirIdOrNothingWhileTheWriterChangesIt)
{
    constexpr AudioObjectID kStableID = 0x40;
    // Ids that need new nodes while the lookups run.
    constexpr std::array<AudioObjectID, 4> kChangingIDs = {0x41, 0x1041, 0x101041, 0x1000041};
    constexpr int kRounds = 5000;
    SA_ObjectIndex<Entry> index;
    Entry stable{kStableID};
    index.Set(kStableID, &stable);
    std::vector<Entry> changing;
    for (AudioObjectID id : kChangingIDs) {
        changing.push_back({id});
    }
    std::atomic<bool> done{false};
    std::atomic<int> wrong{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t) {
        readers.emplace_back([&] {
            while (!done) {
                if (index.Find(kStableID) != &stable) {
                    ++wrong;
                }
                for (AudioObjectID id : kChangingIDs) {
                    const Entry* found = index.Find(id);
                    if (found != nullptr && found->fObjectID != id) {
                        ++wrong;
                    }
                }
            }
        });
    }
    for (int round = 0; round < kRounds; ++round) {
        for (Entry& entry : changing) {
            index.Set(entry.fObjectID, &entry);
        }
        for (Entry& entry : changing) {
            index.Clear(entry.fObjectID);
        }
    }
    done = true;
    for (std::thread& reader : readers) {
        reader.join();
    }
    EXPECT_EQ(wrong, 0);
}

} // namespace
