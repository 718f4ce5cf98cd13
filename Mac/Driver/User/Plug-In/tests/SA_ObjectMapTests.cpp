#include "LogLines.h"
#include "SA_ObjectMap.h"
#include "TestObject.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

using namespace PlugInTesting;

namespace {

constexpr UInt32 kSaturated = 0xFFFFFFFF;

// Devices made by earlier tests of the process take ids too: the count may have moved on from 32.
TEST(SA_ObjectMap, HandsOutIdsFrom32AndNeverAgain)
{
    const AudioObjectID first = SA_ObjectMap::GetNextObjectID();
    EXPECT_GE(first, 32u);
    EXPECT_EQ(SA_ObjectMap::GetNextObjectID(), first + 1);
    EXPECT_EQ(SA_ObjectMap::GetNextObjectID(), first + 2);
}

TEST(SA_ObjectMap, RefusesAnIdInUseAndChangesNothing)
{
    std::atomic<int> destroyed{0};
    auto* first = new TestObject(500, &destroyed);
    auto* second = new TestObject(501, &destroyed);
    ASSERT_TRUE(SA_ObjectMap::MapObject(500, first));
    EXPECT_FALSE(SA_ObjectMap::MapObject(500, second));
    EXPECT_FALSE(SA_ObjectMap::MapObject(500, first));
    EXPECT_FALSE(SA_ObjectMap::MapObject(0, second));
    EXPECT_FALSE(SA_ObjectMap::MapObject(502, nullptr));
    SA_Object* copied = SA_ObjectMap::CopyObjectByObjectID(500);
    EXPECT_EQ(copied, first);
    EXPECT_EQ(SA_ObjectMap::ReleaseObject(copied), 1u);
    // The refused object never entered the map.
    EXPECT_EQ(SA_ObjectMap::RetainObject(second), 0u);
    SA_ObjectMap::UnmapObject(500, first);
    EXPECT_EQ(destroyed, 1);
    delete second;
}

TEST(SA_ObjectMap, ObjectUnderTwoIdsLivesUntilTheSecondGoes)
{
    std::atomic<int> destroyed{0};
    auto* object = new TestObject(510, &destroyed);
    ASSERT_TRUE(SA_ObjectMap::MapObject(510, object));
    ASSERT_TRUE(SA_ObjectMap::MapObject(511, object));
    SA_ObjectMap::UnmapObject(510, object);
    EXPECT_EQ(destroyed, 0);
    EXPECT_EQ(SA_ObjectMap::CopyObjectByObjectID(510), nullptr);
    SA_Object* copied = SA_ObjectMap::CopyObjectByObjectID(511);
    EXPECT_EQ(copied, object);
    SA_ObjectMap::ReleaseObject(copied);
    // An id of another object leaves this one alone.
    SA_ObjectMap::UnmapObject(511, nullptr);
    auto* other = new TestObject(512, &destroyed);
    SA_ObjectMap::UnmapObject(511, other);
    EXPECT_EQ(destroyed, 0);
    SA_ObjectMap::UnmapObject(511, object);
    EXPECT_EQ(destroyed, 1);
    delete other;
}

TEST(SA_ObjectMap, UnknownOrEmptyArgumentsAnswerNothing)
{
    TestObject stranger(520);
    EXPECT_EQ(SA_ObjectMap::CopyObjectByObjectID(0), nullptr);
    EXPECT_EQ(SA_ObjectMap::CopyObjectByObjectID(520), nullptr);
    EXPECT_EQ(SA_ObjectMap::ReleaseObject(&stranger), 0u);
    EXPECT_EQ(SA_ObjectMap::ReleaseObject(nullptr), 0u);
    EXPECT_EQ(SA_ObjectMap::RetainObject(&stranger), 0u);
    EXPECT_EQ(SA_ObjectMap::RetainObject(nullptr), 0u);
    SA_ObjectMap::DestroyObject(nullptr);
}

TEST(SA_ObjectMap, ReleaseDestroysAtZeroWithItsLogLine)
{
    LogLines log;
    std::atomic<int> destroyed{0};
    auto* object = new TestObject(530, &destroyed);
    ASSERT_TRUE(SA_ObjectMap::MapObject(530, object));
    EXPECT_EQ(SA_ObjectMap::RetainObject(object), 2u);
    EXPECT_EQ(SA_ObjectMap::ReleaseObject(object), 1u);
    EXPECT_EQ(destroyed, 0);
    char expected[64];
    std::snprintf(expected, sizeof(expected), "Deleting %p objID 530", static_cast<void*>(object));
    EXPECT_EQ(SA_ObjectMap::ReleaseObject(object), 0u);
    EXPECT_EQ(destroyed, 1);
    EXPECT_TRUE(log.contains(expected)) << log.text();
    EXPECT_EQ(SA_ObjectMap::CopyObjectByObjectID(530), nullptr);
}

TEST(SA_ObjectMap, SaturatedCountIsNeitherHandedOutNorRaised)
{
    std::atomic<int> destroyed{0};
    auto* object = new TestObject(540, &destroyed);
    ASSERT_TRUE(SA_ObjectMap::MapObject(540, object));
    SA_ObjectMap::SetRefCountForTesting(object, kSaturated - 1);
    SA_Object* copied = SA_ObjectMap::CopyObjectByObjectID(540);
    EXPECT_EQ(copied, object) << "the last count below saturation is still handed out";
    EXPECT_EQ(SA_ObjectMap::CopyObjectByObjectID(540), nullptr);
    EXPECT_EQ(SA_ObjectMap::RetainObject(object), 0u);
    EXPECT_EQ(SA_ObjectMap::ReleaseObject(object), kSaturated - 1);
    SA_ObjectMap::SetRefCountForTesting(object, 1);
    SA_ObjectMap::UnmapObject(540, object);
    EXPECT_EQ(destroyed, 1);
}

// Fault: unmapping the last id used to destroy the object whatever its count.
TEST(SA_ObjectMap, UnmappingKeepsAnObjectInUseAlive)
{
    std::atomic<int> destroyed{0};
    auto* object = new TestObject(550, &destroyed);
    ASSERT_TRUE(SA_ObjectMap::MapObject(550, object));
    SA_Object* copied = SA_ObjectMap::CopyObjectByObjectID(550);
    SA_ObjectMap::UnmapObject(550, object);
    EXPECT_EQ(destroyed, 0);
    EXPECT_EQ(SA_ObjectMap::CopyObjectByObjectID(550), nullptr);
    // Still usable (ASan would report a use after free here).
    const AudioObjectPropertyAddress address = {kAudioObjectPropertyClass, kAudioObjectPropertyScopeGlobal,
                                                0};
    EXPECT_TRUE(copied->HasProperty(550, 0, address));
    EXPECT_EQ(copied->GetObjectID(), 550u);
    EXPECT_EQ(SA_ObjectMap::ReleaseObject(copied), 0u);
    EXPECT_EQ(destroyed, 1);
}

// Fault: a destructor used to run under the map's lock, stopping every other call meanwhile.
TEST(SA_ObjectMap, DestructionDoesNotHoldUpCallsForOtherObjects)
{
    Gate destructorEntered;
    Gate destructorMayFinish;
    std::atomic<int> destroyed{0};
    auto* slow = new TestObject(560, &destroyed);
    slow->fBeforeDestruction = [&] {
        destructorEntered.open();
        destructorMayFinish.wait();
    };
    auto* other = new TestObject(561, &destroyed);
    ASSERT_TRUE(SA_ObjectMap::MapObject(560, slow));
    ASSERT_TRUE(SA_ObjectMap::MapObject(561, other));
    std::thread releaser([&] { SA_ObjectMap::UnmapObject(560, slow); });
    destructorEntered.wait();
    for (int call = 0; call < 100; ++call) {
        SA_Object* copied = SA_ObjectMap::CopyObjectByObjectID(561);
        ASSERT_EQ(copied, other);
        SA_ObjectMap::ReleaseObject(copied);
    }
    destructorMayFinish.open();
    releaser.join();
    EXPECT_EQ(destroyed, 1);
    SA_ObjectMap::UnmapObject(561, other);
    EXPECT_EQ(destroyed, 2);
}

TEST(SA_ObjectMapStress, IOEntriesCopyAndReleaseWhileObjectsComeAndGo)
{
    LogLines log;
    constexpr AudioObjectID kStableID = 600;
    constexpr int kRounds = 2000;
    std::atomic<int> destroyed{0};
    auto* stable = new TestObject(kStableID, &destroyed);
    ASSERT_TRUE(SA_ObjectMap::MapObject(kStableID, stable));
    std::atomic<bool> done{false};
    std::atomic<int> missing{0};
    std::vector<std::thread> ioThreads;
    for (int t = 0; t < 4; ++t) {
        ioThreads.emplace_back([&, t] {
            while (!done) {
                for (AudioObjectID id : {kStableID, AudioObjectID(kStableID + 1 + t)}) {
                    if (SA_Object* object = SA_ObjectMap::CopyObjectByObjectID(id)) {
                        if (object->GetObjectID() != id) {
                            ++missing;
                        }
                        SA_ObjectMap::ReleaseObject(object);
                    } else if (id == kStableID) {
                        ++missing;
                    }
                }
            }
        });
    }
    int created = 0;
    for (int round = 0; round < kRounds; ++round) {
        const auto id = AudioObjectID(kStableID + 1 + round % 4);
        auto* object = new TestObject(id, &destroyed);
        ++created;
        if (!SA_ObjectMap::MapObject(id, object)) {
            delete object;
            --created;
            continue;
        }
        SA_ObjectMap::RetainObject(object);
        SA_ObjectMap::UnmapObject(id, object);
        SA_ObjectMap::ReleaseObject(object);
    }
    done = true;
    for (std::thread& thread : ioThreads) {
        thread.join();
    }
    EXPECT_EQ(missing, 0);
    EXPECT_EQ(destroyed, created);
    SA_ObjectMap::UnmapObject(kStableID, stable);
}

// Each object is mapped under its own id and the next, so erased entries come back for other ids
// while the lookups still hold them; a lookup may drop the last reference itself.
TEST(SA_ObjectMapStress, LookupsOnlyHandOutTheObjectOfTheirIdWhileEntriesAreReused)
{
    LogLines log;
    constexpr AudioObjectID kFirstID = 700;
    constexpr int kIDs = 6;
    constexpr int kRounds = 20000;
    std::atomic<int> destroyed{0};
    std::atomic<bool> done{false};
    std::atomic<int> wrong{0};
    auto isObjectOf = [](const SA_Object& object, AudioObjectID id) {
        return object.GetObjectID() == id || object.GetObjectID() + 1 == id;
    };
    // More lookups than cores, so that some are held up between finding an entry and taking it.
    std::vector<std::thread> lookups;
    for (int t = 0; t < 12; ++t) {
        lookups.emplace_back([&] {
            while (!done) {
                for (AudioObjectID id = kFirstID; id < kFirstID + kIDs + 1; ++id) {
                    if (SA_Object* object = SA_ObjectMap::CopyObjectByObjectID(id)) {
                        if (!isObjectOf(*object, id)) {
                            ++wrong;
                        }
                        SA_ObjectMap::ReleaseObject(object);
                    }
                }
            }
        });
    }
    int created = 0;
    for (int round = 0; round < kRounds; ++round) {
        const auto id = AudioObjectID(kFirstID + round % kIDs);
        auto* object = new TestObject(id, &destroyed);
        ++created;
        EXPECT_TRUE(SA_ObjectMap::MapObject(id, object));
        EXPECT_TRUE(SA_ObjectMap::MapObject(id + 1, object));
        if (round % 3 == 0) {
            // The map's reference dropped early: the object goes with whichever release is last.
            SA_ObjectMap::RetainObject(object);
            SA_ObjectMap::UnmapObject(id, object);
            SA_ObjectMap::UnmapObject(id + 1, object);
            SA_ObjectMap::ReleaseObject(object);
        } else {
            SA_ObjectMap::UnmapObject(id + 1, object);
            SA_ObjectMap::UnmapObject(id, object);
        }
    }
    done = true;
    for (std::thread& thread : lookups) {
        thread.join();
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(destroyed, created);
    for (AudioObjectID id = kFirstID; id < kFirstID + kIDs + 1; ++id) {
        EXPECT_EQ(SA_ObjectMap::CopyObjectByObjectID(id), nullptr);
    }
}

} // namespace
