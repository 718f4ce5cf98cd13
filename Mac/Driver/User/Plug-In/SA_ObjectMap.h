#pragma once

// The process-wide table from object ids to the plug-in's objects. Every audio-server call copies
// its object out (taking a reference) and releases it afterwards, so an object stays alive while a
// call uses it. The map's own reference lasts while the object has any id. Lookups by id, and
// retains and releases of a reference the caller holds, take no lock: the IO thread looks its
// device up several times a cycle. Mapping, unmapping and erasing an entry take the map's mutex.
//
// Objects are destroyed after the map's lock is released: a device's destructor joins threads, and
// IO calls for other devices must not wait for that.

#include <CoreAudio/AudioHardwareBase.h>

class SA_Object;

class SA_ObjectMap
{
public:
    // 32, 33, ...; never reused.
    static AudioObjectID GetNextObjectID();

    // False for id 0, a null object, or an id already mapped. A new object gets one reference.
    static bool MapObject(AudioObjectID objectID, SA_Object* object);
    // Removing the object's last id drops the map's reference.
    static void UnmapObject(AudioObjectID objectID, SA_Object* object);

    // The object with a new reference the caller releases; null for 0, an unmapped id, or a
    // saturated count.
    static SA_Object* CopyObjectByObjectID(AudioObjectID objectID);
    // The new count; 0 for a null, unknown or saturated object.
    static UInt32 RetainObject(SA_Object* object);
    // The remaining count; 0 for a null or unknown object, and when the object was destroyed.
    static UInt32 ReleaseObject(SA_Object* object);

    // Logs "Deleting %p objID %d" and deletes the object.
    static void DestroyObject(SA_Object* object);

    // Sets a mapped object's count, so tests reach the saturated count without 2^32 calls.
    static void SetRefCountForTesting(SA_Object* object, UInt32 count);
};
