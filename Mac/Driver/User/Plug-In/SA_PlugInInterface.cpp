#include "SA_PlugInInterface.h"

#include "CAException.h"
#include "Log.h"
#include "PropAddressString.h"
#include "SA_Device.h"
#include "SA_Host.h"
#include "SA_ObjectMap.h"
#include "SA_PlugIn.h"

#include <atomic>
#include <limits>

namespace {

constexpr UInt32 kInterfaceGone = std::numeric_limits<UInt32>::max();

std::atomic<UInt32> gAudioServerPlugInDriverRefCount{1};

HRESULT SA_QueryInterface(void* driver, REFIID uuid, LPVOID* outInterface);
ULONG SA_AddRef(void* driver);
ULONG SA_Release(void* driver);
OSStatus SA_Initialize(AudioServerPlugInDriverRef driver, AudioServerPlugInHostRef host);
OSStatus SA_CreateDevice(AudioServerPlugInDriverRef driver, CFDictionaryRef description,
                         const AudioServerPlugInClientInfo* clientInfo, AudioObjectID* outDeviceObjectID);
OSStatus SA_DestroyDevice(AudioServerPlugInDriverRef driver, AudioObjectID deviceID);
OSStatus SA_AddDeviceClient(AudioServerPlugInDriverRef driver, AudioObjectID deviceID,
                            const AudioServerPlugInClientInfo* clientInfo);
OSStatus SA_RemoveDeviceClient(AudioServerPlugInDriverRef driver, AudioObjectID deviceID,
                               const AudioServerPlugInClientInfo* clientInfo);
OSStatus SA_PerformDeviceConfigurationChange(AudioServerPlugInDriverRef driver, AudioObjectID deviceID,
                                             UInt64 action, void* info);
OSStatus SA_AbortDeviceConfigurationChange(AudioServerPlugInDriverRef driver, AudioObjectID deviceID,
                                           UInt64 action, void* info);
Boolean SA_HasProperty(AudioServerPlugInDriverRef driver, AudioObjectID objectID, pid_t clientPID,
                       const AudioObjectPropertyAddress* address);
OSStatus SA_IsPropertySettable(AudioServerPlugInDriverRef driver, AudioObjectID objectID, pid_t clientPID,
                               const AudioObjectPropertyAddress* address, Boolean* outIsSettable);
OSStatus SA_GetPropertyDataSize(AudioServerPlugInDriverRef driver, AudioObjectID objectID, pid_t clientPID,
                                const AudioObjectPropertyAddress* address, UInt32 qualifierSize,
                                const void* qualifier, UInt32* outDataSize);
OSStatus SA_GetPropertyData(AudioServerPlugInDriverRef driver, AudioObjectID objectID, pid_t clientPID,
                            const AudioObjectPropertyAddress* address, UInt32 qualifierSize,
                            const void* qualifier, UInt32 inDataSize, UInt32* outDataSize, void* outData);
OSStatus SA_SetPropertyData(AudioServerPlugInDriverRef driver, AudioObjectID objectID, pid_t clientPID,
                            const AudioObjectPropertyAddress* address, UInt32 qualifierSize,
                            const void* qualifier, UInt32 inDataSize, const void* inData);
OSStatus SA_StartIO(AudioServerPlugInDriverRef driver, AudioObjectID deviceID, UInt32 clientID);
OSStatus SA_StopIO(AudioServerPlugInDriverRef driver, AudioObjectID deviceID, UInt32 clientID);
OSStatus SA_GetZeroTimeStamp(AudioServerPlugInDriverRef driver, AudioObjectID deviceID, UInt32 clientID,
                             Float64* outSampleTime, UInt64* outHostTime, UInt64* outSeed);
OSStatus SA_WillDoIOOperation(AudioServerPlugInDriverRef driver, AudioObjectID deviceID, UInt32 clientID,
                              UInt32 operationID, Boolean* outWillDo, Boolean* outWillDoInPlace);
OSStatus SA_BeginIOOperation(AudioServerPlugInDriverRef driver, AudioObjectID deviceID, UInt32 clientID,
                             UInt32 operationID, UInt32 ioBufferFrameSize,
                             const AudioServerPlugInIOCycleInfo* cycleInfo);
OSStatus SA_DoIOOperation(AudioServerPlugInDriverRef driver, AudioObjectID deviceID, AudioObjectID streamID,
                          UInt32 clientID, UInt32 operationID, UInt32 ioBufferFrameSize,
                          const AudioServerPlugInIOCycleInfo* cycleInfo, void* ioMainBuffer,
                          void* ioSecondaryBuffer);
OSStatus SA_EndIOOperation(AudioServerPlugInDriverRef driver, AudioObjectID deviceID, UInt32 clientID,
                           UInt32 operationID, UInt32 ioBufferFrameSize,
                           const AudioServerPlugInIOCycleInfo* cycleInfo);

AudioServerPlugInDriverInterface gAudioServerPlugInDriverInterface = {
    nullptr,
    SA_QueryInterface,
    SA_AddRef,
    SA_Release,
    SA_Initialize,
    SA_CreateDevice,
    SA_DestroyDevice,
    SA_AddDeviceClient,
    SA_RemoveDeviceClient,
    SA_PerformDeviceConfigurationChange,
    SA_AbortDeviceConfigurationChange,
    SA_HasProperty,
    SA_IsPropertySettable,
    SA_GetPropertyDataSize,
    SA_GetPropertyData,
    SA_SetPropertyData,
    SA_StartIO,
    SA_StopIO,
    SA_GetZeroTimeStamp,
    SA_WillDoIOOperation,
    SA_BeginIOOperation,
    SA_DoIOOperation,
    SA_EndIOOperation,
};

AudioServerPlugInDriverInterface* gAudioServerPlugInDriverInterfacePtr = &gAudioServerPlugInDriverInterface;

bool IsOurDriver(const void* driver)
{
    return driver == &gAudioServerPlugInDriverInterfacePtr;
}

// Counts a reference more or less; returns the count before, or kInterfaceGone (counting nothing)
// once the interface is gone. A release past zero leaves the count at that mark.
UInt32 StepRefCount(bool more)
{
    UInt32 count = gAudioServerPlugInDriverRefCount;
    do {
        if (count == kInterfaceGone) {
            return kInterfaceGone;
        }
    } while (!gAudioServerPlugInDriverRefCount.compare_exchange_weak(count, more ? count + 1 : count - 1));
    return count;
}

// The four characters of a code for "%4.4s".
struct FourCC
{
    explicit FourCC(UInt32 code) : fText{char(code >> 24), char(code >> 16), char(code >> 8), char(code), 0}
    {}

    const char* c_str() const { return fText; }

    char fText[5];
};

// A reference to the object of an id, taken for one entry and released on every way out of it.
class ObjectReference
{
public:
    explicit ObjectReference(AudioObjectID objectID) : fObject(SA_ObjectMap::CopyObjectByObjectID(objectID))
    {}

    ~ObjectReference()
    {
        if (fObject != nullptr) {
            SA_ObjectMap::ReleaseObject(fObject);
        }
    }

    ObjectReference(const ObjectReference&) = delete;
    ObjectReference& operator=(const ObjectReference&) = delete;

    SA_Object& Object() const
    {
        if (fObject == nullptr) {
            throw CAException(kAudioHardwareBadObjectError);
        }
        return *fObject;
    }

    // Only a device answers the device entries; devices alone have the device class.
    SA_Device& Device() const
    {
        SA_Object& object = Object();
        if (object.GetClassID() != kAudioDeviceClassID) {
            throw CAException(kAudioHardwareBadObjectError);
        }
        return static_cast<SA_Device&>(object);
    }

private:
    SA_Object* fObject;
};

void Check(bool condition, OSStatus error)
{
    if (!condition) {
        throw CAException(error);
    }
}

// Runs an entry's body and turns what it throws into the entry's result, with the log lines of a
// failure. The normal path logs nothing: the IO entries come from the audio server's IO thread.
template <typename Body>
OSStatus RunEntry(const char* name, const AudioObjectPropertyAddress* address, Body&& body)
{
    OSStatus result = kAudioHardwareNoError;
    try {
        body();
    } catch (const CAException& exception) {
        result = exception.GetError();
        const FourCC code{UInt32(result)};
        if (address != nullptr) {
            TIDE_LOG(Log::Notice, "%s caught exception %d : %08x : %4.4s for prop %s", name, int(result),
                     unsigned(result), code.c_str(), PropAddressString(*address).c_str());
        } else {
            TIDE_LOG(Log::Notice, "%s caught exception %d : %08x : %4.4s", name, int(result),
                     unsigned(result), code.c_str());
        }
    } catch (...) {
        TIDE_LOG(Log::Notice, "%s caught unknown exception", name);
        result = kAudioHardwareUnspecifiedError;
    }
    return result;
}

template <typename Body>
OSStatus RunLoggedEntry(const char* name, const AudioObjectPropertyAddress* address, Body&& body)
{
    const OSStatus result = RunEntry(name, address, body);
    if (result != kAudioHardwareNoError) {
        TIDE_LOG(Log::Notice, "%s returning err %4.4s (%08x)", name, FourCC(UInt32(result)).c_str(),
                 unsigned(result));
    }
    return result;
}

bool IsKnownInterface(CFUUIDRef uuid)
{
    return CFEqual(uuid, IUnknownUUID) || CFEqual(uuid, kAudioServerPlugInDriverInterfaceUUID);
}

HRESULT SA_QueryInterface(void* driver, REFIID uuidBytes, LPVOID* outInterface)
{
    TIDE_LOG(Log::Notice, "%s", "SA_QueryInterface");
    HRESULT result = S_OK;
    const OSStatus status = RunLoggedEntry("SA_QueryInterface", nullptr, [&] {
        Check(IsOurDriver(driver), kAudioHardwareBadObjectError);
        Check(outInterface != nullptr, kAudioHardwareIllegalOperationError);
        CFUUIDRef uuid = CFUUIDCreateFromUUIDBytes(kCFAllocatorDefault, uuidBytes);
        Check(uuid != nullptr, kAudioHardwareIllegalOperationError);
        const bool known = IsKnownInterface(uuid);
        CFRelease(uuid);
        if (!known || StepRefCount(true) == kInterfaceGone) {
            result = E_NOINTERFACE;
            return;
        }
        *outInterface = &gAudioServerPlugInDriverInterfacePtr;
    });
    return status != kAudioHardwareNoError ? status : result;
}

ULONG SA_AddRef(void* driver)
{
    if (!IsOurDriver(driver)) {
        return 0;
    }
    const UInt32 count = StepRefCount(true);
    return count == kInterfaceGone ? 0 : count + 1;
}

ULONG SA_Release(void* driver)
{
    if (!IsOurDriver(driver)) {
        return 0;
    }
    const UInt32 count = StepRefCount(false);
    return count == kInterfaceGone || count == 0 ? 0 : count - 1;
}

OSStatus SA_Initialize(AudioServerPlugInDriverRef driver, AudioServerPlugInHostRef host)
{
    TIDE_LOG(Log::Notice, "%s", "SA_Initialize");
    return RunLoggedEntry("SA_Initialize", nullptr, [&] {
        Check(IsOurDriver(driver), kAudioHardwareBadObjectError);
        if (!gInstance.IsActive()) {
            Host_SetHost(host);
            gInstance.Activate();
        }
    });
}

OSStatus SA_CreateDevice(AudioServerPlugInDriverRef, CFDictionaryRef, const AudioServerPlugInClientInfo*,
                         AudioObjectID*)
{
    TIDE_LOG(Log::Notice, "%s", "SA_CreateDevice");
    return kAudioHardwareUnsupportedOperationError;
}

OSStatus SA_DestroyDevice(AudioServerPlugInDriverRef, AudioObjectID)
{
    TIDE_LOG(Log::Notice, "%s", "SA_DestroyDevice");
    return kAudioHardwareUnsupportedOperationError;
}

OSStatus SA_AddDeviceClient(AudioServerPlugInDriverRef, AudioObjectID, const AudioServerPlugInClientInfo*)
{
    return kAudioHardwareNoError;
}

OSStatus SA_RemoveDeviceClient(AudioServerPlugInDriverRef, AudioObjectID, const AudioServerPlugInClientInfo*)
{
    return kAudioHardwareNoError;
}

OSStatus SA_PerformDeviceConfigurationChange(AudioServerPlugInDriverRef driver, AudioObjectID deviceID,
                                             UInt64 action, void* info)
{
    TIDE_LOG(Log::Notice, "%s", "SA_PerformDeviceConfigurationChange");
    return RunLoggedEntry("SA_PerformDeviceConfigurationChange", nullptr, [&] {
        Check(IsOurDriver(driver), kAudioHardwareBadObjectError);
        ObjectReference reference(deviceID);
        reference.Device().PerformConfigChange(action, info);
    });
}

OSStatus SA_AbortDeviceConfigurationChange(AudioServerPlugInDriverRef driver, AudioObjectID deviceID,
                                           UInt64 action, void* info)
{
    TIDE_LOG(Log::Notice, "%s", "SA_AbortDeviceConfigurationChange");
    return RunLoggedEntry("SA_AbortDeviceConfigurationChange", nullptr, [&] {
        Check(IsOurDriver(driver), kAudioHardwareBadObjectError);
        ObjectReference reference(deviceID);
        reference.Device().AbortConfigChange(action, info);
    });
}

Boolean SA_HasProperty(AudioServerPlugInDriverRef driver, AudioObjectID objectID, pid_t clientPID,
                       const AudioObjectPropertyAddress* address)
{
    if (!IsOurDriver(driver) || address == nullptr) {
        return false;
    }
    try {
        ObjectReference reference(objectID);
        return reference.Object().HasProperty(objectID, clientPID, *address);
    } catch (...) {
        return false;
    }
}

// The checks every property entry makes before it asks the object: the caller's pointers, the
// object, and that the object has the property at all.
SA_Object& PropertyObject(const ObjectReference& reference, AudioObjectID objectID, pid_t clientPID,
                          const AudioObjectPropertyAddress* address)
{
    SA_Object& object = reference.Object();
    Check(object.HasProperty(objectID, clientPID, *address), kAudioHardwareUnknownPropertyError);
    return object;
}

OSStatus SA_IsPropertySettable(AudioServerPlugInDriverRef driver, AudioObjectID objectID, pid_t clientPID,
                               const AudioObjectPropertyAddress* address, Boolean* outIsSettable)
{
    return RunLoggedEntry("SA_IsPropertySettable", address, [&] {
        Check(IsOurDriver(driver), kAudioHardwareBadObjectError);
        Check(address != nullptr && outIsSettable != nullptr, kAudioHardwareIllegalOperationError);
        ObjectReference reference(objectID);
        *outIsSettable = PropertyObject(reference, objectID, clientPID, address)
                             .IsPropertySettable(objectID, clientPID, *address);
    });
}

OSStatus SA_GetPropertyDataSize(AudioServerPlugInDriverRef driver, AudioObjectID objectID, pid_t clientPID,
                                const AudioObjectPropertyAddress* address, UInt32 qualifierSize,
                                const void* qualifier, UInt32* outDataSize)
{
    return RunLoggedEntry("SA_GetPropertyDataSize", address, [&] {
        Check(IsOurDriver(driver), kAudioHardwareBadObjectError);
        Check(address != nullptr && outDataSize != nullptr, kAudioHardwareIllegalOperationError);
        ObjectReference reference(objectID);
        *outDataSize = PropertyObject(reference, objectID, clientPID, address)
                           .GetPropertyDataSize(objectID, clientPID, *address, qualifierSize, qualifier);
    });
}

OSStatus SA_GetPropertyData(AudioServerPlugInDriverRef driver, AudioObjectID objectID, pid_t clientPID,
                            const AudioObjectPropertyAddress* address, UInt32 qualifierSize,
                            const void* qualifier, UInt32 inDataSize, UInt32* outDataSize, void* outData)
{
    bool missing = false;
    const OSStatus result = RunEntry("SA_GetPropertyData", address, [&] {
        Check(IsOurDriver(driver), kAudioHardwareBadObjectError);
        Check(address != nullptr && outDataSize != nullptr && outData != nullptr,
              kAudioHardwareIllegalOperationError);
        ObjectReference reference(objectID);
        SA_Object& object = reference.Object();
        if (!object.HasProperty(objectID, clientPID, *address)) {
            missing = true;
            return;
        }
        object.GetPropertyData(objectID, clientPID, *address, qualifierSize, qualifier, inDataSize,
                               *outDataSize, outData);
    });
    if (missing) {
        TIDE_LOG(Log::Notice, "SA_GetPropertyData id %d %4.4s returning does not have property",
                 int(objectID), FourCC(address->mSelector).c_str());
        return kAudioHardwareUnknownPropertyError;
    }
    if (result != kAudioHardwareNoError) {
        TIDE_LOG(Log::Notice, "SA_GetPropertyData id %d %4.4s returning err %4.4s", int(objectID),
                 FourCC(address != nullptr ? address->mSelector : 0).c_str(), FourCC(UInt32(result)).c_str());
    }
    return result;
}

OSStatus SA_SetPropertyData(AudioServerPlugInDriverRef driver, AudioObjectID objectID, pid_t clientPID,
                            const AudioObjectPropertyAddress* address, UInt32 qualifierSize,
                            const void* qualifier, UInt32 inDataSize, const void* inData)
{
    return RunLoggedEntry("SA_SetPropertyData", address, [&] {
        Check(IsOurDriver(driver), kAudioHardwareBadObjectError);
        Check(address != nullptr && inData != nullptr, kAudioHardwareIllegalOperationError);
        ObjectReference reference(objectID);
        PropertyObject(reference, objectID, clientPID, address)
            .SetPropertyData(objectID, clientPID, *address, qualifierSize, qualifier, inDataSize, inData);
    });
}

// Runs `call` on the device for an entry that starts or stops IO; the device's own status stands
// when nothing was thrown.
template <typename Call>
OSStatus RunDeviceIOEntry(const char* name, AudioServerPlugInDriverRef driver, AudioObjectID deviceID,
                          Call&& call)
{
    OSStatus result = kAudioHardwareNoError;
    const OSStatus status = RunLoggedEntry(name, nullptr, [&] {
        Check(IsOurDriver(driver), kAudioHardwareBadObjectError);
        ObjectReference reference(deviceID);
        result = call(reference.Device());
    });
    return status != kAudioHardwareNoError ? status : result;
}

OSStatus SA_StartIO(AudioServerPlugInDriverRef driver, AudioObjectID deviceID, UInt32 clientID)
{
    return RunDeviceIOEntry("SA_StartIO", driver, deviceID,
                            [&](SA_Device& device) { return device.StartIO(clientID); });
}

OSStatus SA_StopIO(AudioServerPlugInDriverRef driver, AudioObjectID deviceID, UInt32 clientID)
{
    return RunDeviceIOEntry("SA_StopIO", driver, deviceID,
                            [&](SA_Device& device) { return device.StopIO(clientID); });
}

OSStatus SA_GetZeroTimeStamp(AudioServerPlugInDriverRef driver, AudioObjectID deviceID, UInt32,
                             Float64* outSampleTime, UInt64* outHostTime, UInt64* outSeed)
{
    return RunLoggedEntry("SA_GetZeroTimeStamp", nullptr, [&] {
        Check(IsOurDriver(driver), kAudioHardwareBadObjectError);
        Check(outSampleTime != nullptr && outHostTime != nullptr && outSeed != nullptr,
              kAudioHardwareIllegalOperationError);
        ObjectReference reference(deviceID);
        reference.Device().GetZeroTimeStamp(*outSampleTime, *outHostTime, *outSeed);
    });
}

OSStatus SA_WillDoIOOperation(AudioServerPlugInDriverRef driver, AudioObjectID deviceID, UInt32,
                              UInt32 operationID, Boolean* outWillDo, Boolean* outWillDoInPlace)
{
    return RunLoggedEntry("SA_WillDoIOOperation", nullptr, [&] {
        Check(IsOurDriver(driver), kAudioHardwareBadObjectError);
        Check(outWillDo != nullptr && outWillDoInPlace != nullptr, kAudioHardwareIllegalOperationError);
        ObjectReference reference(deviceID);
        reference.Device();
        *outWillDo = operationID == kAudioServerPlugInIOOperationReadInput ||
                     operationID == kAudioServerPlugInIOOperationWriteMix;
        *outWillDoInPlace = true;
    });
}

OSStatus SA_BeginIOOperation(AudioServerPlugInDriverRef, AudioObjectID, UInt32, UInt32, UInt32,
                             const AudioServerPlugInIOCycleInfo*)
{
    return kAudioHardwareNoError;
}

OSStatus SA_DoIOOperation(AudioServerPlugInDriverRef driver, AudioObjectID deviceID, AudioObjectID streamID,
                          UInt32, UInt32 operationID, UInt32 ioBufferFrameSize,
                          const AudioServerPlugInIOCycleInfo* cycleInfo, void* ioMainBuffer, void*)
{
    return RunLoggedEntry("SA_DoIOOperation", nullptr, [&] {
        Check(IsOurDriver(driver), kAudioHardwareBadObjectError);
        Check(cycleInfo != nullptr, kAudioHardwareIllegalOperationError);
        ObjectReference reference(deviceID);
        reference.Device().DoIOOperation(streamID, operationID, ioBufferFrameSize, *cycleInfo, ioMainBuffer);
    });
}

OSStatus SA_EndIOOperation(AudioServerPlugInDriverRef, AudioObjectID, UInt32, UInt32, UInt32,
                           const AudioServerPlugInIOCycleInfo*)
{
    return kAudioHardwareNoError;
}

} // namespace

AudioServerPlugInDriverRef SA_DriverRef()
{
    return &gAudioServerPlugInDriverInterfacePtr;
}

extern "C" void* VORKtideAudioServerPlugin_Create(CFAllocatorRef, CFUUIDRef requestedTypeUUID)
{
    Log::UseSyslog("VORK_Korvan_PLUGIN");
    TIDE_LOG(Log::Notice, "%s", "VORKtideAudioServerPlugin_Create");
    if (requestedTypeUUID == nullptr || !CFEqual(requestedTypeUUID, kAudioServerPlugInTypeUUID)) {
        return nullptr;
    }
    SA_ObjectMap::MapObject(kAudioObjectPlugInObject, &gInstance);
    return SA_DriverRef();
}
