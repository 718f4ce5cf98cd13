#include "SA_PlugIn.h"

#include "CAException.h"
#include "Log.h"
#include "ResetUACDevicesTimer.h"
#include "SA_Device.h"
#include "SA_Host.h"
#include "SA_ObjectMap.h"
#include "WorkLoop.h"

#include <CoreFoundation/CFString.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr UInt32 kTranslateUIDQualifierSize = sizeof(CFStringRef);

void WriteString(CFStringRef string, UInt32 inDataSize, UInt32& outDataSize, void* outData)
{
    if (inDataSize < sizeof(CFStringRef)) {
        throw CAException(kAudioHardwareBadPropertySizeError);
    }
    std::memcpy(outData, &string, sizeof(string));
    outDataSize = sizeof(CFStringRef);
}

// The properties the plug-in object adds to an object's; none of them is settable.
bool IsPlugInProperty(AudioObjectPropertySelector selector)
{
    switch (selector) {
    case kAudioPlugInPropertyDeviceList:
    case kAudioObjectPropertyManufacturer:
    case kAudioPlugInPropertyResourceBundle:
    case kAudioPlugInPropertyTranslateUIDToDevice:
        return true;
    default:
        return false;
    }
}

} // namespace

SA_PlugIn::SA_PlugIn(DeviceFactory deviceFactory)
    : SA_Object(kAudioObjectPlugInObject, kAudioPlugInClassID, kAudioObjectClassID, kAudioObjectUnknown),
      fDeviceFactory(deviceFactory)
{}

SA_PlugIn::~SA_PlugIn()
{
    // The thread's stop hook must run while this is still a plug-in object.
    Deactivate();
}

void SA_PlugIn::Activate()
{
    CAMutex::Locker locker(fMutex);
    if (!IsActive()) {
        SA_Object::Activate();
        Start();
    }
}

void SA_PlugIn::Deactivate()
{
    {
        CAMutex::Locker locker(fMutex);
        if (!IsActive()) {
            return;
        }
        SA_Object::Deactivate();
    }
    // Not under the mutex: the thread may be waiting for it in ServiceRegistered.
    Stop();
}

void SA_PlugIn::WorkLoopThreadStarted()
{
    TIDE_LOG(Log::Notice, "%s", "WorkLoopThreadStarted");
    if (!fResetTimer) {
        fResetTimer = std::make_unique<ResetUACDevicesTimer>();
    }
    fResetTimer->Start(fWorkLoop.get());
    EnableServicePnPNotifications(true, fWorkLoop.get());
}

void SA_PlugIn::WorkLoopThreadStopped()
{
    TIDE_LOG(Log::Notice, "%s", "WorkLoopThreadStopped");
    if (fResetTimer) {
        fResetTimer->Stop();
    }
    EnableServicePnPNotifications(false, fWorkLoop.get());
}

void SA_PlugIn::ServiceRegistered(const KorvanService& service)
{
    TIDE_LOG(Log::Notice, "SERVICE REGISTERED");
    const AudioObjectID objectID = SA_ObjectMap::GetNextObjectID();
    TIDE_LOG(Log::Notice, "creating new sa_device id %d", int(objectID));
    SA_Device* device = fDeviceFactory(objectID, service, fWorkLoop.get());
    if (device == nullptr) {
        return;
    }
    SA_ObjectMap::MapObject(objectID, device);
    {
        CAMutex::Locker locker(fMutex);
        fDevices.push_back(device);
    }
    device->Activate();
}

void SA_PlugIn::ServiceTerminated(const KorvanService& service)
{
    TIDE_LOG(Log::Info, "%s", "ServiceTerminated");
    try {
        SA_Device* device = GetDeviceByService(service);
        if (device == nullptr) {
            return;
        }
        RemoveDevice(device);
        Host_DeviceAvailChanged();
        device->Deactivate();
        // The reference just taken, then the map's own: the device goes once no call holds it.
        SA_ObjectMap::ReleaseObject(device);
        SA_ObjectMap::ReleaseObject(device);
    } catch (...) {
        TIDE_LOG(Log::Info, "%s caught exception", "ServiceTerminated");
    }
}

SA_Device* SA_PlugIn::GetDeviceByService(const KorvanService& service)
{
    CAMutex::Locker locker(fMutex);
    const auto found = std::find_if(fDevices.begin(), fDevices.end(), [&service](SA_Device* device) {
        return device->GetService() == service;
    });
    if (found == fDevices.end() || SA_ObjectMap::RetainObject(*found) == 0) {
        return nullptr;
    }
    return *found;
}

void SA_PlugIn::RemoveDevice(SA_Device* device)
{
    CAMutex::Locker locker(fMutex);
    const auto found = std::find(fDevices.begin(), fDevices.end(), device);
    if (found != fDevices.end()) {
        fDevices.erase(found);
    }
}

bool SA_PlugIn::HasProperty(AudioObjectID objectID, pid_t clientPID,
                            const AudioObjectPropertyAddress& address)
{
    return IsPlugInProperty(address.mSelector) || SA_Object::HasProperty(objectID, clientPID, address);
}

bool SA_PlugIn::IsPropertySettable(AudioObjectID objectID, pid_t clientPID,
                                   const AudioObjectPropertyAddress& address)
{
    return !IsPlugInProperty(address.mSelector) &&
           SA_Object::IsPropertySettable(objectID, clientPID, address);
}

UInt32 SA_PlugIn::GetPropertyDataSize(AudioObjectID objectID, pid_t clientPID,
                                      const AudioObjectPropertyAddress& address, UInt32 qualifierSize,
                                      const void* qualifier)
{
    switch (address.mSelector) {
    case kAudioPlugInPropertyDeviceList:
    case kAudioObjectPropertyOwnedObjects: {
        CAMutex::Locker locker(fMutex);
        return UInt32(fDevices.size() * sizeof(AudioObjectID));
    }
    case kAudioObjectPropertyManufacturer:
    case kAudioPlugInPropertyResourceBundle:
        return sizeof(CFStringRef);
    case kAudioPlugInPropertyTranslateUIDToDevice:
        return sizeof(AudioObjectID);
    default:
        return SA_Object::GetPropertyDataSize(objectID, clientPID, address, qualifierSize, qualifier);
    }
}

void SA_PlugIn::GetPropertyData(AudioObjectID objectID, pid_t clientPID,
                                const AudioObjectPropertyAddress& address, UInt32 qualifierSize,
                                const void* qualifier, UInt32 inDataSize, UInt32& outDataSize, void* outData)
{
    switch (address.mSelector) {
    case kAudioPlugInPropertyDeviceList:
    case kAudioObjectPropertyOwnedObjects: {
        CAMutex::Locker locker(fMutex);
        const size_t count = std::min<size_t>(fDevices.size(), inDataSize / sizeof(AudioObjectID));
        auto* ids = static_cast<AudioObjectID*>(outData);
        for (size_t index = 0; index < count; ++index) {
            const AudioObjectID deviceID = fDevices[index]->GetObjectID();
            std::memcpy(ids + index, &deviceID, sizeof(deviceID));
        }
        outDataSize = UInt32(count * sizeof(AudioObjectID));
        break;
    }
    case kAudioObjectPropertyManufacturer:
        WriteString(CFSTR("VORK, Inc."), inDataSize, outDataSize, outData);
        break;
    case kAudioPlugInPropertyResourceBundle:
        WriteString(CFSTR(""), inDataSize, outDataSize, outData);
        break;
    case kAudioPlugInPropertyTranslateUIDToDevice:
        if (qualifierSize < kTranslateUIDQualifierSize || inDataSize < sizeof(AudioObjectID)) {
            throw CAException(kAudioHardwareBadPropertySizeError);
        }
        TIDE_LOG(Log::Notice, "kAudioPlugInPropertyTranslateUIDToDevice called, not implemented!");
        // No device is found for a UID; the caller reads that answer, not stale memory.
        WriteUInt32(kAudioObjectUnknown, inDataSize, outDataSize, outData);
        break;
    default:
        SA_Object::GetPropertyData(objectID, clientPID, address, qualifierSize, qualifier, inDataSize,
                                   outDataSize, outData);
        break;
    }
}

void SA_PlugIn::SetPropertyData(AudioObjectID, pid_t, const AudioObjectPropertyAddress&, UInt32, const void*,
                                UInt32, const void*)
{
    throw CAException(kAudioHardwareUnknownPropertyError);
}
