#include "SA_ObjectMap.h"

#include "CAMutex.h"
#include "Log.h"
#include "SA_Object.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <unordered_map>
#include <vector>

namespace {

constexpr UInt32 kSaturatedCount = std::numeric_limits<UInt32>::max();
constexpr AudioObjectID kFirstObjectID = 32;

struct ObjectInfo
{
    SA_Object* fObject;
    UInt32 fRefCount;
    std::vector<AudioObjectID> fObjectIDs;
};

// The entries in mapping order, with two indexes so that the per-call lookups of the IO thread
// cost one hash probe each.
class ObjectTable
{
public:
    ObjectTable() { fObjectInfoList.reserve(256); }

    CAMutex& Mutex() { return fMutex; }

    AudioObjectID NextObjectID() { return fNextObjectID++; }

    ObjectInfo* FindByID(AudioObjectID objectID) const
    {
        const auto found = fByID.find(objectID);
        return found == fByID.end() ? nullptr : found->second;
    }

    ObjectInfo* FindByObject(const SA_Object* object) const
    {
        const auto found = fByObject.find(object);
        return found == fByObject.end() ? nullptr : found->second;
    }

    void Map(AudioObjectID objectID, SA_Object* object)
    {
        ObjectInfo* info = FindByObject(object);
        if (info == nullptr) {
            fObjectInfoList.push_back(std::make_unique<ObjectInfo>(ObjectInfo{object, 1, {}}));
            info = fObjectInfoList.back().get();
            fByObject.emplace(object, info);
        } else if (info->fObjectIDs.empty()) {
            // Mapped again after its last id went: the map holds a reference once more.
            ++info->fRefCount;
        }
        info->fObjectIDs.push_back(objectID);
        fByID.emplace(objectID, info);
    }

    // Answers whether the entry's last reference went with it.
    bool Unmap(AudioObjectID objectID, ObjectInfo* info)
    {
        info->fObjectIDs.erase(std::find(info->fObjectIDs.begin(), info->fObjectIDs.end(), objectID));
        fByID.erase(objectID);
        return info->fObjectIDs.empty() && Release(info) == 0;
    }

    // The remaining count; at 0 the entry is gone and its object is the caller's to destroy.
    UInt32 Release(ObjectInfo* info)
    {
        if (--info->fRefCount > 0) {
            return info->fRefCount;
        }
        for (AudioObjectID objectID : info->fObjectIDs) {
            fByID.erase(objectID);
        }
        fByObject.erase(info->fObject);
        fObjectInfoList.erase(std::find_if(fObjectInfoList.begin(), fObjectInfoList.end(),
                                           [info](const auto& entry) { return entry.get() == info; }));
        return 0;
    }

private:
    CAMutex fMutex{"SA_ObjectMap"};
    AudioObjectID fNextObjectID = kFirstObjectID;
    std::vector<std::unique_ptr<ObjectInfo>> fObjectInfoList;
    std::unordered_map<AudioObjectID, ObjectInfo*> fByID;
    std::unordered_map<const SA_Object*, ObjectInfo*> fByObject;
};

// Created on first use and never destroyed: audio-server calls may arrive until the process ends.
ObjectTable& Table()
{
    static ObjectTable* const sTable = new ObjectTable;
    return *sTable;
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
        if (info == nullptr || info->fObject != object) {
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
    ObjectTable& table = Table();
    CAMutex::Locker locker(table.Mutex());
    ObjectInfo* info = table.FindByID(objectID);
    if (info == nullptr || info->fRefCount == kSaturatedCount) {
        return nullptr;
    }
    ++info->fRefCount;
    return info->fObject;
}

UInt32 SA_ObjectMap::RetainObject(SA_Object* object)
{
    if (object == nullptr) {
        return 0;
    }
    ObjectTable& table = Table();
    CAMutex::Locker locker(table.Mutex());
    ObjectInfo* info = table.FindByObject(object);
    if (info == nullptr || info->fRefCount == kSaturatedCount) {
        return 0;
    }
    return ++info->fRefCount;
}

UInt32 SA_ObjectMap::ReleaseObject(SA_Object* object)
{
    if (object == nullptr) {
        return 0;
    }
    ObjectTable& table = Table();
    UInt32 remaining = 0;
    {
        CAMutex::Locker locker(table.Mutex());
        ObjectInfo* info = table.FindByObject(object);
        if (info == nullptr || info->fRefCount == 0) {
            return 0;
        }
        remaining = table.Release(info);
    }
    if (remaining == 0) {
        DestroyObject(object);
    }
    return remaining;
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
    if (ObjectInfo* info = table.FindByObject(object)) {
        info->fRefCount = count;
    }
}
