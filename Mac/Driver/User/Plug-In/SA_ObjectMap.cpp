#include "SA_ObjectMap.h"

#include "CAMutex.h"
#include "Log.h"
#include "SA_Object.h"
#include "SA_ObjectIndex.h"

#include <algorithm>
#include <atomic>
#include <limits>
#include <memory>
#include <vector>

std::atomic<void*>& SA_ObjectMapEntry(const SA_Object& object)
{
    return object.fMapEntry;
}

namespace {

constexpr UInt32 kSaturatedCount = std::numeric_limits<UInt32>::max();
constexpr AudioObjectID kFirstObjectID = 32;

// An object's entry. The count changes with atomic operations: copies and retains take a
// reference, releases drop one, and whoever drops the last one erases the entry under the map's
// mutex. An entry whose count has reached 0 hands out nothing more. Erased entries are kept for
// reuse, never freed: a lookup without the lock may still be reading one. Each has a cache line
// of its own, so that one object's references do not slow lookups of another.
struct alignas(64) ObjectInfo
{
    std::atomic<SA_Object*> fObject{nullptr};
    std::atomic<UInt32> fRefCount{0};
    // The rest belongs to the map's mutex.
    std::vector<AudioObjectID> fObjectIDs;
    ObjectInfo* fNextSpare = nullptr;
};

// Takes a reference unless the count is 0 (the object is going) or saturated. Answers the new
// count, or 0.
UInt32 TakeReference(ObjectInfo& info)
{
    UInt32 count = info.fRefCount.load(std::memory_order_relaxed);
    do {
        if (count == 0 || count == kSaturatedCount) {
            return 0;
        }
    } while (!info.fRefCount.compare_exchange_weak(count, count + 1, std::memory_order_acquire,
                                                   std::memory_order_relaxed));
    return count + 1;
}

// Drops a reference; answers the remaining count (0: the caller erases the entry), or
// kSaturatedCount when there was none to drop.
UInt32 DropReference(ObjectInfo& info)
{
    UInt32 count = info.fRefCount.load(std::memory_order_relaxed);
    do {
        if (count == 0) {
            return kSaturatedCount;
        }
    } while (!info.fRefCount.compare_exchange_weak(count, count - 1, std::memory_order_acq_rel,
                                                   std::memory_order_relaxed));
    return count - 1;
}

// The entries in mapping order, with an index by id that lookups read without the mutex. All
// other operations hold the mutex.
class ObjectTable
{
public:
    ObjectTable() { fObjectInfoList.reserve(256); }

    CAMutex& Mutex() { return fMutex; }

    AudioObjectID NextObjectID() { return fNextObjectID++; }

    ObjectInfo* FindByID(AudioObjectID objectID) const { return fIndex.Find(objectID); }

    static ObjectInfo* EntryOf(const SA_Object* object)
    {
        return static_cast<ObjectInfo*>(SA_ObjectMapEntry(*object).load(std::memory_order_acquire));
    }

    void Map(AudioObjectID objectID, SA_Object* object)
    {
        ObjectInfo* info = EntryOf(object);
        if (info == nullptr) {
            info = AddEntry(object);
        } else if (info->fObjectIDs.empty()) {
            // Mapped again after its last id went: the map holds a reference once more.
            info->fRefCount.fetch_add(1, std::memory_order_relaxed);
        }
        info->fObjectIDs.push_back(objectID);
        fIndex.Set(objectID, info);
    }

    // Answers whether the entry's last reference went with its last id.
    bool Unmap(AudioObjectID objectID, ObjectInfo* info)
    {
        info->fObjectIDs.erase(std::find(info->fObjectIDs.begin(), info->fObjectIDs.end(), objectID));
        fIndex.Clear(objectID);
        if (!info->fObjectIDs.empty() || DropReference(*info) != 0) {
            return false;
        }
        Erase(info);
        return true;
    }

    // The entry has no reference left: it goes, and its object is the caller's to destroy.
    void Erase(ObjectInfo* info)
    {
        for (AudioObjectID objectID : info->fObjectIDs) {
            fIndex.Clear(objectID);
        }
        info->fObjectIDs.clear();
        SA_ObjectMapEntry(*info->fObject.load(std::memory_order_relaxed))
            .store(nullptr, std::memory_order_release);
        fObjectInfoList.erase(std::find(fObjectInfoList.begin(), fObjectInfoList.end(), info));
        info->fNextSpare = fSpareEntries;
        fSpareEntries = info;
    }

private:
    // A spare entry, or a new one, for an object with one reference. A lookup still holding the
    // spare from its earlier use sees the new object only once the count is set.
    ObjectInfo* AddEntry(SA_Object* object)
    {
        ObjectInfo* info = fSpareEntries;
        if (info == nullptr) {
            auto created = std::make_unique<ObjectInfo>();
            fObjectInfoList.push_back(created.get());
            info = created.release();
        } else {
            fObjectInfoList.push_back(info);
            fSpareEntries = info->fNextSpare;
        }
        info->fObject.store(object, std::memory_order_relaxed);
        info->fRefCount.store(1, std::memory_order_release);
        SA_ObjectMapEntry(*object).store(info, std::memory_order_release);
        return info;
    }

    CAMutex fMutex{"SA_ObjectMap"};
    AudioObjectID fNextObjectID = kFirstObjectID;
    std::vector<ObjectInfo*> fObjectInfoList;
    ObjectInfo* fSpareEntries = nullptr;
    // Apart from what the writers change, so that lookups keep it in their cache.
    alignas(64) SA_ObjectIndex<ObjectInfo> fIndex;
};

// Created on first use and never destroyed: audio-server calls may arrive until the process ends.
ObjectTable& Table()
{
    static ObjectTable* const sTable = new ObjectTable;
    return *sTable;
}

// Drops a reference to the object of an entry; the last one erases the entry under the mutex
// and destroys the object after it. Answers the remaining count, 0 when there was none.
UInt32 Release(ObjectInfo& info, SA_Object* object)
{
    const UInt32 remaining = DropReference(info);
    if (remaining == kSaturatedCount) {
        return 0;
    }
    if (remaining == 0) {
        {
            ObjectTable& table = Table();
            CAMutex::Locker locker(table.Mutex());
            table.Erase(&info);
        }
        SA_ObjectMap::DestroyObject(object);
    }
    return remaining;
}

} // namespace

AudioObjectID SA_ObjectMap::GetNextObjectID()
{
    ObjectTable& table = Table();
    CAMutex::Locker locker(table.Mutex());
    return table.NextObjectID();
}

bool SA_ObjectMap::MapObject(AudioObjectID objectID, SA_Object* object)
{
    if (objectID == kAudioObjectUnknown || object == nullptr) {
        return false;
    }
    ObjectTable& table = Table();
    CAMutex::Locker locker(table.Mutex());
    if (table.FindByID(objectID) != nullptr) {
        return false;
    }
    table.Map(objectID, object);
    return true;
}

void SA_ObjectMap::UnmapObject(AudioObjectID objectID, SA_Object* object)
{
    if (objectID == kAudioObjectUnknown || object == nullptr) {
        return;
    }
    ObjectTable& table = Table();
    bool destroy = false;
    {
        CAMutex::Locker locker(table.Mutex());
        ObjectInfo* info = table.FindByID(objectID);
        if (info == nullptr || info->fObject.load(std::memory_order_relaxed) != object) {
            return;
        }
        destroy = table.Unmap(objectID, info);
    }
    if (destroy) {
        DestroyObject(object);
    }
}

SA_Object* SA_ObjectMap::CopyObjectByObjectID(AudioObjectID objectID)
{
    if (objectID == kAudioObjectUnknown) {
        return nullptr;
    }
    // Without the mutex: the entry found may be erased and reused for another object before the
    // reference is taken. It is the id's only while the index still has it afterwards.
    const ObjectTable& table = Table();
    while (ObjectInfo* info = table.FindByID(objectID)) {
        const bool taken = TakeReference(*info) != 0;
        SA_Object* object = info->fObject.load(std::memory_order_relaxed);
        if (table.FindByID(objectID) == info) {
            return taken ? object : nullptr;
        }
        if (taken) {
            Release(*info, object);
        }
    }
    return nullptr;
}

UInt32 SA_ObjectMap::RetainObject(SA_Object* object)
{
    // The caller holds a reference, so the entry stays while this runs.
    ObjectInfo* info = object != nullptr ? ObjectTable::EntryOf(object) : nullptr;
    return info != nullptr ? TakeReference(*info) : 0;
}

UInt32 SA_ObjectMap::ReleaseObject(SA_Object* object)
{
    ObjectInfo* info = object != nullptr ? ObjectTable::EntryOf(object) : nullptr;
    return info != nullptr ? Release(*info, object) : 0;
}

void SA_ObjectMap::DestroyObject(SA_Object* object)
{
    if (object == nullptr) {
        return;
    }
    TIDE_LOG(Log::Info, "Deleting %p objID %d", static_cast<void*>(object), int(object->GetObjectID()));
    delete object;
}

void SA_ObjectMap::SetRefCountForTesting(SA_Object* object, UInt32 count)
{
    ObjectTable& table = Table();
    CAMutex::Locker locker(table.Mutex());
    if (ObjectInfo* info = ObjectTable::EntryOf(object)) {
        info->fRefCount.store(count, std::memory_order_relaxed);
    }
}
