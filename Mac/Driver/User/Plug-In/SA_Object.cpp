#include "SA_Object.h"

#include "CAException.h"

#include <cstring>

SA_Object::SA_Object(AudioObjectID objectID, AudioClassID classID, AudioClassID baseClassID,
                     AudioObjectID ownerObjectID)
    : fObjectID(objectID), fClassID(classID), fBaseClassID(baseClassID), fOwnerObjectID(ownerObjectID)
{}

SA_Object::~SA_Object() = default;

void SA_Object::Activate()
{
    fIsActive = true;
}

void SA_Object::Deactivate()
{
    fIsActive = false;
}

bool SA_Object::HasProperty(AudioObjectID, pid_t, const AudioObjectPropertyAddress& address)
{
    switch (address.mSelector) {
    case kAudioObjectPropertyBaseClass:
    case kAudioObjectPropertyClass:
    case kAudioObjectPropertyOwner:
    case kAudioObjectPropertyOwnedObjects:
        return true;
    default:
        return false;
    }
}

bool SA_Object::IsPropertySettable(AudioObjectID objectID, pid_t clientPID,
                                   const AudioObjectPropertyAddress& address)
{
    if (!SA_Object::HasProperty(objectID, clientPID, address)) {
        throw CAException(kAudioHardwareUnknownPropertyError);
    }
    return false;
}

UInt32 SA_Object::GetPropertyDataSize(AudioObjectID, pid_t, const AudioObjectPropertyAddress& address, UInt32,
                                      const void*)
{
    switch (address.mSelector) {
    case kAudioObjectPropertyBaseClass:
    case kAudioObjectPropertyClass:
    case kAudioObjectPropertyOwner:
        return sizeof(UInt32);
    case kAudioObjectPropertyOwnedObjects:
        return 0;
    default:
        throw CAException(kAudioHardwareUnknownPropertyError);
    }
}

void SA_Object::GetPropertyData(AudioObjectID, pid_t, const AudioObjectPropertyAddress& address, UInt32,
                                const void*, UInt32 inDataSize, UInt32& outDataSize, void* outData)
{
    switch (address.mSelector) {
    case kAudioObjectPropertyBaseClass:
        WriteUInt32(fBaseClassID, inDataSize, outDataSize, outData);
        break;
    case kAudioObjectPropertyClass:
        WriteUInt32(fClassID, inDataSize, outDataSize, outData);
        break;
    case kAudioObjectPropertyOwner:
        WriteUInt32(fOwnerObjectID, inDataSize, outDataSize, outData);
        break;
    case kAudioObjectPropertyOwnedObjects:
        outDataSize = 0;
        break;
    default:
        throw CAException(kAudioHardwareUnknownPropertyError);
    }
}

void SA_Object::SetPropertyData(AudioObjectID, pid_t, const AudioObjectPropertyAddress&, UInt32, const void*,
                                UInt32, const void*)
{
    throw CAException(kAudioHardwareUnknownPropertyError);
}

void SA_Object::WriteUInt32(UInt32 value, UInt32 inDataSize, UInt32& outDataSize, void* outData)
{
    if (inDataSize < sizeof(UInt32)) {
        throw CAException(kAudioHardwareBadPropertySizeError);
    }
    std::memcpy(outData, &value, sizeof(value));
    outDataSize = sizeof(UInt32);
}
