#pragma once

// The base of every object the plug-in shows to the audio server. Subclasses answer their own
// selectors and pass the others here. Failures are thrown as CAException status codes.

#include <CoreAudio/AudioHardwareBase.h>

#include <atomic>
#include <sys/types.h>

class SA_Object
{
public:
    SA_Object(AudioObjectID objectID, AudioClassID classID, AudioClassID baseClassID,
              AudioObjectID ownerObjectID);
    SA_Object(const SA_Object&) = delete;
    SA_Object& operator=(const SA_Object&) = delete;

    virtual void Activate();
    virtual void Deactivate();
    virtual ~SA_Object();

    virtual bool HasProperty(AudioObjectID objectID, pid_t clientPID,
                             const AudioObjectPropertyAddress& address);
    virtual bool IsPropertySettable(AudioObjectID objectID, pid_t clientPID,
                                    const AudioObjectPropertyAddress& address);
    virtual UInt32 GetPropertyDataSize(AudioObjectID objectID, pid_t clientPID,
                                       const AudioObjectPropertyAddress& address, UInt32 qualifierSize,
                                       const void* qualifier);
    virtual void GetPropertyData(AudioObjectID objectID, pid_t clientPID,
                                 const AudioObjectPropertyAddress& address, UInt32 qualifierSize,
                                 const void* qualifier, UInt32 inDataSize, UInt32& outDataSize,
                                 void* outData);
    virtual void SetPropertyData(AudioObjectID objectID, pid_t clientPID,
                                 const AudioObjectPropertyAddress& address, UInt32 qualifierSize,
                                 const void* qualifier, UInt32 inDataSize, const void* inData);

    AudioObjectID GetObjectID() const { return fObjectID; }
    AudioClassID GetClassID() const { return fClassID; }
    bool IsActive() const { return fIsActive; }

protected:
    // Writes a 4-byte value, or throws '!siz' for a smaller buffer.
    static void WriteUInt32(UInt32 value, UInt32 inDataSize, UInt32& outDataSize, void* outData);

    const AudioObjectID fObjectID;
    const AudioClassID fClassID;
    const AudioClassID fBaseClassID;
    const AudioObjectID fOwnerObjectID;
    std::atomic<bool> fIsActive{false};

private:
    // The object's entry in the object map while it has one, so a release finds it without a lookup.
    friend std::atomic<void*>& SA_ObjectMapEntry(const SA_Object& object);
    mutable std::atomic<void*> fMapEntry{nullptr};
};
