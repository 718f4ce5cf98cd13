// The audio server's property calls on the plug-in's driver interface, decoded from the input: the
// entry, the object (none, the plug-in, the device, or any id), the selector (one the plug-in or the
// device answers, or any), scope, element, qualifier and buffer size.

#include "KorvanService.h"
#include "Log.h"
#include "SA_DeviceUSB.h"
#include "SA_ObjectMap.h"
#include "SA_PlugInInterface.h"

#include <CoreAudio/AudioServerPlugIn.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr UInt32 kMaxDataSize = 512;
// The device, its two streams and its 96 controls.
constexpr UInt32 kDeviceIDs = 99;

constexpr AudioObjectPropertySelector kSelectors[] = {
    kAudioObjectPropertyBaseClass,
    kAudioObjectPropertyClass,
    kAudioObjectPropertyOwner,
    kAudioObjectPropertyOwnedObjects,
    kAudioObjectPropertyManufacturer,
    kAudioPlugInPropertyDeviceList,
    kAudioPlugInPropertyResourceBundle,
    kAudioPlugInPropertyTranslateUIDToDevice,
    kAudioDevicePropertyRelatedDevices,
    kAudioDevicePropertyClockAlgorithm,
    kAudioObjectPropertyControlList,
    kAudioDevicePropertyPreferredChannelsForStereo,
    kAudioDevicePropertyDeviceIsRunning,
    kAudioObjectPropertyElementName,
    kAudioObjectPropertyElementCategoryName,
    kAudioObjectPropertyElementNumberName,
    kAudioObjectPropertyName,
    kAudioDevicePropertyAvailableNominalSampleRates,
    kAudioDevicePropertyNominalSampleRate,
    kAudioDevicePropertyZeroTimeStampPeriod,
    kAudioDevicePropertySafetyOffset,
    kAudioDevicePropertyPreferredChannelLayout,
    kAudioDevicePropertyStreams,
    kAudioDevicePropertyTransportType,
    kAudioDevicePropertyDeviceUID,
    kAudioStreamPropertyPhysicalFormat,
    kAudioStreamPropertyAvailablePhysicalFormats,
    kAudioStreamPropertyIsActive,
    kAudioStreamPropertyDirection,
    kAudioControlPropertyElement,
    kAudioControlPropertyScope,
    kAudioLevelControlPropertyScalarValue,
    kAudioLevelControlPropertyDecibelValue,
    kAudioLevelControlPropertyDecibelRange,
    kAudioLevelControlPropertyConvertScalarToDecibels,
    kAudioLevelControlPropertyConvertDecibelsToScalar,
    kAudioBooleanControlPropertyValue,
};

// The device's selectors whose value is a string made for the caller.
bool IsCreatedString(AudioObjectPropertySelector selector)
{
    switch (selector) {
    case kAudioObjectPropertyName:
    case kAudioObjectPropertyElementName:
    case kAudioObjectPropertyElementCategoryName:
    case kAudioObjectPropertyElementNumberName:
    case kAudioDevicePropertyDeviceUID:
        return true;
    default:
        return false;
    }
}

AudioObjectID gDeviceID = 0;

constexpr AudioObjectPropertyScope kScopes[] = {
    kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyScopeInput, kAudioObjectPropertyScopeOutput};

const OSStatus kAllowed[] = {kAudioHardwareNoError,
                             kAudioHardwareBadObjectError,
                             kAudioHardwareIllegalOperationError,
                             kAudioHardwareUnknownPropertyError,
                             kAudioHardwareBadPropertySizeError,
                             kAudioDeviceUnsupportedFormatError,
                             kAudioHardwareUnsupportedOperationError};

class Input
{
public:
    Input(const uint8_t* data, size_t size) : fData(data), fSize(size) {}

    bool Empty() const { return fSize == 0; }

    template <typename T>
    T Take()
    {
        T value = {};
        const size_t count = fSize < sizeof(T) ? fSize : sizeof(T);
        std::memcpy(&value, fData, count);
        fData += count;
        fSize -= count;
        return value;
    }

    // Copies at most `count` bytes; answers how many there were.
    UInt32 TakeInto(uint8_t* destination, size_t count)
    {
        count = count < fSize ? count : fSize;
        std::memcpy(destination, fData, count);
        fData += count;
        fSize -= count;
        return UInt32(count);
    }

private:
    const uint8_t* fData;
    size_t fSize;
};

void Fail(const char* what, OSStatus status)
{
    std::fprintf(stderr, "%s: status %d\n", what, int(status));
    std::abort();
}

void CheckStatus(const char* entry, OSStatus status)
{
    for (OSStatus allowed : kAllowed) {
        if (status == allowed) {
            return;
        }
    }
    Fail(entry, status);
}

AudioServerPlugInDriverRef Driver()
{
    static AudioServerPlugInDriverRef driver = [] {
        auto ref = static_cast<AudioServerPlugInDriverRef>(
            VORKtideAudioServerPlugin_Create(nullptr, kAudioServerPlugInTypeUUID));
        // The real device, without a driver service behind it: it takes its streams' and
        // controls' ids after its own, which are mapped here as activation would.
        gDeviceID = SA_ObjectMap::GetNextObjectID();
        SA_Device* device =
            SA_DeviceUSB::Create(gDeviceID, KorvanService(0, KorvanService::kBusTypeUSB), nullptr);
        for (UInt32 id = 0; id < kDeviceIDs; ++id) {
            SA_ObjectMap::MapObject(gDeviceID + id, device);
        }
        return ref;
    }();
    return driver;
}

AudioObjectID ObjectOf(UInt8 choice, UInt32 any)
{
    switch (choice % 4) {
    case 0:
        return kAudioObjectUnknown;
    case 1:
        return kAudioObjectPlugInObject;
    case 2:
        return gDeviceID + any % kDeviceIDs;
    default:
        return any;
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    Log::SetLevel(Log::None);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    AudioServerPlugInDriverRef driver = Driver();
    AudioServerPlugInDriverInterface& table = **driver;
    Input input(data, size);
    while (!input.Empty()) {
        const UInt8 entry = input.Take<UInt8>();
        const AudioObjectID objectID = ObjectOf(input.Take<UInt8>(), input.Take<UInt32>());
        const UInt8 selectorChoice = input.Take<UInt8>();
        const UInt32 anySelector = input.Take<UInt32>();
        const AudioObjectPropertySelector selector =
            selectorChoice < 128 ? kSelectors[selectorChoice % std::size(kSelectors)] : anySelector;
        const UInt8 scopeChoice = input.Take<UInt8>();
        const AudioObjectPropertyScope scope =
            scopeChoice < 192 ? kScopes[scopeChoice % std::size(kScopes)] : input.Take<UInt32>();
        const AudioObjectPropertyElement element = input.Take<UInt8>() < 200 ? 0 : input.Take<UInt32>();
        UInt8 qualifier[16] = {};
        const UInt32 qualifierSize = input.TakeInto(qualifier, input.Take<UInt8>() % (sizeof(qualifier) + 1));
        const UInt32 inDataSize = input.Take<UInt16>() % (kMaxDataSize + 1);
        const AudioObjectPropertyAddress address = {selector, scope, element};

        const bool has = table.HasProperty(driver, objectID, 0, &address);
        alignas(8) UInt8 buffer[kMaxDataSize + 8] = {};
        UInt32 outSize = 0;
        OSStatus status = kAudioHardwareNoError;
        switch (entry % 4) {
        case 0: {
            Boolean settable = false;
            status = table.IsPropertySettable(driver, objectID, 0, &address, &settable);
            CheckStatus("IsPropertySettable", status);
            break;
        }
        case 1:
            status =
                table.GetPropertyDataSize(driver, objectID, 0, &address, qualifierSize, qualifier, &outSize);
            CheckStatus("GetPropertyDataSize", status);
            outSize = 0;
            break;
        case 2:
            outSize = 0;
            status = table.GetPropertyData(driver, objectID, 0, &address, qualifierSize, qualifier,
                                           inDataSize, &outSize, buffer);
            CheckStatus("GetPropertyData", status);
            if (status == kAudioHardwareNoError && outSize > inDataSize) {
                Fail("GetPropertyData wrote past the buffer", status);
            }
            if (status == kAudioHardwareNoError && objectID == gDeviceID && IsCreatedString(selector)) {
                CFStringRef string = nullptr;
                std::memcpy(&string, buffer, sizeof(string));
                CFRelease(string);
            }
            break;
        default:
            status = table.SetPropertyData(driver, objectID, 0, &address, qualifierSize, qualifier,
                                           inDataSize, buffer);
            CheckStatus("SetPropertyData", status);
            break;
        }
        if (!has && status != kAudioHardwareUnknownPropertyError && status != kAudioHardwareBadObjectError) {
            Fail("an entry answered a property that HasProperty denies", status);
        }
    }
    return 0;
}
