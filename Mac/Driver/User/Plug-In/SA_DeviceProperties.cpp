#include "SA_Device.h"

#include "CAException.h"
#include "Log.h"
#include "PropAddressString.h"
#include "SA_Host.h"
#include "VolumeCurve.h"

#include <CoreFoundation/CFString.h>
#include <libproc.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

namespace {

constexpr Float64 kSupportedRates[] = {44100, 48000, 88200, 96000, 176400, 192000};
constexpr std::size_t kRateCount = sizeof(kSupportedRates) / sizeof(kSupportedRates[0]);
constexpr UInt32 kDeviceLatency = 8;
constexpr UInt32 kStringBytes = sizeof(CFStringRef);
constexpr UInt32 kFormatBytes = sizeof(AudioStreamBasicDescription);
constexpr UInt32 kRangedFormatBytes = sizeof(AudioStreamRangedDescription);
constexpr UInt32 kLayoutHeaderBytes = offsetof(AudioChannelLayout, mChannelDescriptions);
constexpr UInt32 kUnknownChannelLabel = 0xFFFFFFFF;
constexpr const char* kModelUID = "com_vork_driver_tide_control_interface";

// Clients whose transport type must read as unknown.
const char* const kUnknownTransportClients[] = {
    "Marrowtrack", "Postwave",         "Marrowpad", "Tinyloop",  "Scorewise", "Beat Keeper",
    "mixPanelFX",  "Session Relay Go", "Specterra", "Stagehand", "Clipforge"};

bool IsInOrOut(AudioObjectPropertyScope scope)
{
    return scope == kAudioObjectPropertyScopeInput || scope == kAudioObjectPropertyScopeOutput;
}

void RequireSize(UInt32 inDataSize, UInt32 size)
{
    if (inDataSize < size) {
        throw CAException(kAudioHardwareBadPropertySizeError);
    }
}

void WriteValue(const void* value, UInt32 size, UInt32 inDataSize, UInt32& outDataSize, void* outData)
{
    RequireSize(inDataSize, size);
    std::memcpy(outData, value, size);
    outDataSize = size;
}

template <typename T>
void Write(const T& value, UInt32 inDataSize, UInt32& outDataSize, void* outData)
{
    WriteValue(&value, sizeof(T), inDataSize, outDataSize, outData);
}

// As many whole ids as fit.
void WriteIDs(const std::vector<AudioObjectID>& ids, UInt32 inDataSize, UInt32& outDataSize, void* outData)
{
    const std::size_t count = std::min<std::size_t>(ids.size(), inDataSize / sizeof(AudioObjectID));
    std::memcpy(outData, ids.data(), count * sizeof(AudioObjectID));
    outDataSize = UInt32(count * sizeof(AudioObjectID));
}

void WriteString(const std::string& text, UInt32 inDataSize, UInt32& outDataSize, void* outData)
{
    RequireSize(inDataSize, kStringBytes);
    const CFStringRef string =
        CFStringCreateWithCString(kCFAllocatorDefault, text.c_str(), kCFStringEncodingUTF8);
    Write(string, inDataSize, outDataSize, outData);
}

void WriteConstantString(CFStringRef string, UInt32 inDataSize, UInt32& outDataSize, void* outData)
{
    Write(string, inDataSize, outDataSize, outData);
}

template <typename T>
T ReadExactly(UInt32 inDataSize, const void* inData)
{
    if (inDataSize != sizeof(T)) {
        throw CAException(kAudioHardwareBadPropertySizeError);
    }
    T value;
    std::memcpy(&value, inData, sizeof(T));
    return value;
}

AudioStreamBasicDescription StreamFormat(Float64 rate, UInt32 channels)
{
    AudioStreamBasicDescription format{};
    format.mSampleRate = rate;
    format.mFormatID = kAudioFormatLinearPCM;
    format.mFormatFlags = kAudioFormatFlagsNativeFloatPacked;
    format.mBytesPerPacket = 4 * channels;
    format.mFramesPerPacket = 1;
    format.mBytesPerFrame = 4 * channels;
    format.mChannelsPerFrame = channels;
    format.mBitsPerChannel = 32;
    return format;
}

bool SameFormatApartFromRate(const AudioStreamBasicDescription& a, const AudioStreamBasicDescription& b)
{
    return a.mFormatID == b.mFormatID && a.mFormatFlags == b.mFormatFlags &&
           a.mBytesPerPacket == b.mBytesPerPacket && a.mFramesPerPacket == b.mFramesPerPacket &&
           a.mBytesPerFrame == b.mBytesPerFrame && a.mChannelsPerFrame == b.mChannelsPerFrame &&
           a.mBitsPerChannel == b.mBitsPerChannel;
}

// The client's executable path; empty when it cannot be read.
std::string ClientPath(pid_t clientPID)
{
    char path[PROC_PIDPATHINFO_MAXSIZE];
    return proc_pidpath(clientPID, path, sizeof(path)) > 0 ? std::string(path) : std::string();
}

bool IsNamesAddress(const AudioObjectPropertyAddress& address)
{
    if (address.mScope == kAudioObjectPropertyScopeGlobal) {
        return address.mElement == 0;
    }
    return IsInOrOut(address.mScope) && address.mElement <= SA_Device::kMaxChannels;
}

} // namespace

SA_Device::Kind SA_Device::KindOf(AudioObjectID objectID, const char* operation,
                                  const AudioObjectPropertyAddress& address) const
{
    if (objectID == fObjectID) {
        return Kind::Device;
    }
    if (objectID == fInputStreamID) {
        return Kind::InputStream;
    }
    if (objectID == fOutputStreamID) {
        return Kind::OutputStream;
    }
    for (UInt32 channel = 0; channel < kMaxChannels; ++channel) {
        if (fInputControlIDs[channel] == objectID) {
            return Kind::InputMute;
        }
        if (fOutputControls[channel].fVolumeID == objectID) {
            return Kind::OutputVolume;
        }
        if (fOutputControls[channel].fMuteID == objectID) {
            return Kind::OutputMute;
        }
    }
    TIDE_LOG(Log::Info, "%s - bad object ID for property %s\n", operation,
             PropAddressString(address).c_str());
    throw CAException(kAudioHardwareBadObjectError);
}

SA_Device::Kind SA_Device::KindOfProperty(AudioObjectID objectID, pid_t clientPID, const char* operation,
                                          const AudioObjectPropertyAddress& address)
{
    const Kind kind = KindOf(objectID, operation, address);
    if (!HasProperty(objectID, clientPID, address)) {
        throw CAException(kAudioHardwareUnknownPropertyError);
    }
    return kind;
}

bool SA_Device::HasProperty(AudioObjectID objectID, pid_t clientPID,
                            const AudioObjectPropertyAddress& address)
{
    switch (KindOf(objectID, "HasProperty", address)) {
    case Kind::Device:
        return HasDeviceProperty(address) || SA_Object::HasProperty(objectID, clientPID, address);
    case Kind::InputStream:
    case Kind::OutputStream:
        return HasStreamProperty(address);
    case Kind::InputMute:
    case Kind::OutputVolume:
    case Kind::OutputMute:
        return HasControlProperty(KindOf(objectID, "HasProperty", address), address);
    }
    return false;
}

bool SA_Device::IsPropertySettable(AudioObjectID objectID, pid_t clientPID,
                                   const AudioObjectPropertyAddress& address)
{
    const Kind kind = KindOfProperty(objectID, clientPID, "IsPropertySettable", address);
    const AudioObjectPropertySelector selector = address.mSelector;
    switch (kind) {
    case Kind::Device:
        return selector == kAudioDevicePropertyNominalSampleRate;
    case Kind::InputStream:
    case Kind::OutputStream:
        return selector == kAudioStreamPropertyPhysicalFormat || selector == kAudioStreamPropertyIsActive;
    case Kind::OutputVolume:
        return selector == kAudioLevelControlPropertyScalarValue ||
               selector == kAudioLevelControlPropertyDecibelValue;
    case Kind::OutputMute:
        return selector == kAudioBooleanControlPropertyValue;
    case Kind::InputMute:
        return selector == kAudioBooleanControlPropertyValue &&
               ClientPath(clientPID).find("zoom") == std::string::npos;
    }
    return false;
}

UInt32 SA_Device::GetPropertyDataSize(AudioObjectID objectID, pid_t clientPID,
                                      const AudioObjectPropertyAddress& address, UInt32 qualifierSize,
                                      const void* qualifier)
{
    const Kind kind = KindOfProperty(objectID, clientPID, "GetPropertyDataSize", address);
    CAMutex::Locker locker(fStateMutex);
    switch (kind) {
    case Kind::Device:
        if (HasDeviceProperty(address)) {
            return DevicePropertySize(address);
        }
        return SA_Object::GetPropertyDataSize(objectID, clientPID, address, qualifierSize, qualifier);
    case Kind::InputStream:
    case Kind::OutputStream:
        switch (address.mSelector) {
        case kAudioObjectPropertyName:
        case kAudioObjectPropertyElementName:
            return kStringBytes;
        case kAudioStreamPropertyPhysicalFormat:
        case kAudioStreamPropertyVirtualFormat:
            return kFormatBytes;
        case kAudioStreamPropertyAvailablePhysicalFormats:
        case kAudioStreamPropertyAvailableVirtualFormats:
            return UInt32(kRateCount) * kRangedFormatBytes;
        default:
            return sizeof(UInt32);
        }
    default:
        return ControlPropertySize(kind, address);
    }
}

void SA_Device::GetPropertyData(AudioObjectID objectID, pid_t clientPID,
                                const AudioObjectPropertyAddress& address, UInt32 qualifierSize,
                                const void* qualifier, UInt32 inDataSize, UInt32& outDataSize, void* outData)
{
    TIDE_LOG(Log::Info, "GetPropertyDataSize %d %4.4s %4.4s inQualifierDataSize %d", int(objectID),
             FourCharacters(address.mSelector).c_str(), FourCharacters(address.mScope).c_str(),
             int(qualifierSize));
    const Kind kind = KindOfProperty(objectID, clientPID, "GetPropertyData", address);
    CAMutex::Locker locker(fStateMutex);
    switch (kind) {
    case Kind::Device:
        if (HasDeviceProperty(address)) {
            GetDeviceProperty(clientPID, address, inDataSize, outDataSize, outData);
        } else {
            SA_Object::GetPropertyData(objectID, clientPID, address, qualifierSize, qualifier, inDataSize,
                                       outDataSize, outData);
        }
        return;
    case Kind::InputStream:
    case Kind::OutputStream:
        GetStreamProperty(kind == Kind::InputStream, address, inDataSize, outDataSize, outData);
        return;
    default:
        GetControlProperty(kind, GetCtrlIndex(objectID), address, inDataSize, outDataSize, outData);
        return;
    }
}

void SA_Device::SetPropertyData(AudioObjectID objectID, pid_t clientPID,
                                const AudioObjectPropertyAddress& address, UInt32, const void*,
                                UInt32 inDataSize, const void* inData)
{
    const Kind kind = KindOfProperty(objectID, clientPID, "SetPropertyData", address);
    switch (kind) {
    case Kind::Device:
        SetDeviceProperty(address, inDataSize, inData);
        return;
    case Kind::InputStream:
    case Kind::OutputStream:
        SetStreamProperty(kind == Kind::InputStream, address, inDataSize, inData);
        return;
    default:
        SetControlProperty(kind, objectID, GetCtrlIndex(objectID), address, inDataSize, inData);
        return;
    }
}

bool SA_Device::HasDeviceProperty(const AudioObjectPropertyAddress& address) const
{
    switch (address.mSelector) {
    case kAudioDevicePropertyRelatedDevices:
    case kAudioDevicePropertyClockDomain:
    case kAudioDevicePropertyClockAlgorithm:
    case kAudioObjectPropertyControlList:
    case kAudioDevicePropertyDeviceIsRunning:
    case kAudioDevicePropertyIsHidden:
    case kAudioDevicePropertyDeviceIsAlive:
    case kAudioObjectPropertyManufacturer:
    case kAudioObjectPropertyName:
    case kAudioDevicePropertyModelUID:
    case kAudioDevicePropertyAvailableNominalSampleRates:
    case kAudioDevicePropertyNominalSampleRate:
    case kAudioObjectPropertyOwnedObjects:
    case kAudioDevicePropertyZeroTimeStampPeriod:
    case kAudioDevicePropertyStreams:
    case kAudioDevicePropertyTransportType:
    case kAudioDevicePropertyDeviceUID:
        return true;
    case kAudioDevicePropertyPreferredChannelsForStereo:
    case kAudioDevicePropertyDeviceCanBeDefaultDevice:
    case kAudioDevicePropertyLatency:
    case kAudioDevicePropertySafetyOffset:
    case kAudioDevicePropertyDeviceCanBeDefaultSystemDevice:
    case kAudioDevicePropertyPreferredChannelLayout:
        return IsInOrOut(address.mScope);
    case kAudioObjectPropertyElementCategoryName:
    case kAudioObjectPropertyElementName:
    case kAudioObjectPropertyElementNumberName:
        return IsNamesAddress(address);
    default:
        return false;
    }
}

UInt32 SA_Device::DevicePropertySize(const AudioObjectPropertyAddress& address) const
{
    const UInt32 in = InputStreamChannels();
    const UInt32 out = fOutNumCh;
    switch (address.mSelector) {
    case kAudioObjectPropertyControlList:
        return 4 * in + 8 * out;
    case kAudioDevicePropertyPreferredChannelsForStereo:
        return 8;
    case kAudioObjectPropertyElementCategoryName:
    case kAudioObjectPropertyElementName:
    case kAudioObjectPropertyElementNumberName:
    case kAudioObjectPropertyManufacturer:
    case kAudioObjectPropertyName:
    case kAudioDevicePropertyModelUID:
    case kAudioDevicePropertyDeviceUID:
        return kStringBytes;
    case kAudioDevicePropertyAvailableNominalSampleRates:
        return UInt32(kRateCount * sizeof(AudioValueRange));
    case kAudioDevicePropertyNominalSampleRate:
        return sizeof(Float64);
    case kAudioObjectPropertyOwnedObjects:
        switch (address.mScope) {
        case kAudioObjectPropertyScopeGlobal:
            return 8 + 4 * in + 8 * out;
        case kAudioObjectPropertyScopeInput:
            return 4 + 4 * in;
        case kAudioObjectPropertyScopeOutput:
            return 4 + 8 * out;
        default:
            return 0;
        }
    case kAudioDevicePropertyPreferredChannelLayout:
        return kLayoutHeaderBytes + UInt32(sizeof(AudioChannelDescription)) *
                                        (address.mScope == kAudioObjectPropertyScopeInput ? in : out);
    case kAudioDevicePropertyStreams:
        switch (address.mScope) {
        case kAudioObjectPropertyScopeGlobal:
            return 8;
        case kAudioObjectPropertyScopeInput:
        case kAudioObjectPropertyScopeOutput:
            return 4;
        default:
            return 0;
        }
    default:
        return sizeof(UInt32);
    }
}

void SA_Device::GetDeviceProperty(pid_t clientPID, const AudioObjectPropertyAddress& address,
                                  UInt32 inDataSize, UInt32& outDataSize, void* outData)
{
    const UInt32 in = InputStreamChannels();
    const UInt32 out = fOutNumCh;
    switch (address.mSelector) {
    case kAudioDevicePropertyRelatedDevices:
        WriteUInt32(fObjectID, inDataSize, outDataSize, outData);
        return;
    case kAudioDevicePropertyClockDomain:
    case kAudioDevicePropertyIsHidden:
        WriteUInt32(0, inDataSize, outDataSize, outData);
        return;
    case kAudioDevicePropertyClockAlgorithm:
        TIDE_LOG(Log::Info, "Read kAudioDevicePropertyClockAlgorithm");
        WriteUInt32(kAudioDeviceClockAlgorithmSimpleIIR, inDataSize, outDataSize, outData);
        return;
    case kAudioObjectPropertyControlList: {
        std::vector<AudioObjectID> ids(fInputControlIDs, fInputControlIDs + in);
        for (UInt32 channel = 0; channel < out; ++channel) {
            ids.push_back(fOutputControls[channel].fVolumeID);
            ids.push_back(fOutputControls[channel].fMuteID);
        }
        WriteIDs(ids, inDataSize, outDataSize, outData);
        return;
    }
    case kAudioDevicePropertyPreferredChannelsForStereo: {
        const UInt32 pair[2] = {1, 2};
        Write(pair, inDataSize, outDataSize, outData);
        return;
    }
    case kAudioDevicePropertyDeviceCanBeDefaultDevice:
    case kAudioDevicePropertyDeviceCanBeDefaultSystemDevice:
    case kAudioDevicePropertyDeviceIsAlive:
        WriteUInt32(1, inDataSize, outDataSize, outData);
        return;
    case kAudioDevicePropertyDeviceIsRunning:
        TIDE_LOG(Log::Info, "Reading kAudioDevicePropertyDeviceIsRunning");
        WriteUInt32(fStartCount == 0 ? 0 : UInt32(IsAudioRunning()), inDataSize, outDataSize, outData);
        return;
    case kAudioObjectPropertyElementCategoryName:
    case kAudioObjectPropertyElementName:
    case kAudioObjectPropertyElementNumberName: {
        const bool input = address.mScope == kAudioObjectPropertyScopeInput;
        const bool output = address.mScope == kAudioObjectPropertyScopeOutput;
        const std::vector<std::string>* names = nullptr;
        switch (address.mSelector) {
        case kAudioObjectPropertyElementCategoryName:
            names = input ? &fChannelNames.fInCategory : &fChannelNames.fOutCategory;
            break;
        case kAudioObjectPropertyElementName:
            names = input ? &fChannelNames.fInFull : &fChannelNames.fOutFull;
            break;
        default:
            names = input ? &fChannelNames.fInNumber : &fChannelNames.fOutNumber;
            break;
        }
        const UInt32 element = address.mElement;
        const UInt32 channels = input ? UInt32(fInNumCh) : out;
        if ((input || output) && element >= 1 && element <= channels && element <= names->size()) {
            WriteString((*names)[element - 1], inDataSize, outDataSize, outData);
        } else if (address.mSelector == kAudioObjectPropertyElementName) {
            WriteString(fModelName, inDataSize, outDataSize, outData);
        } else {
            WriteString("", inDataSize, outDataSize, outData);
        }
        return;
    }
    case kAudioObjectPropertyManufacturer:
        WriteConstantString(CFSTR("VORK, Inc"), inDataSize, outDataSize, outData);
        return;
    case kAudioObjectPropertyName:
        WriteString(fModelName, inDataSize, outDataSize, outData);
        return;
    case kAudioDevicePropertyLatency:
        WriteUInt32(kDeviceLatency, inDataSize, outDataSize, outData);
        return;
    case kAudioDevicePropertyModelUID:
        WriteConstantString(CFSTR("com_vork_driver_tide_control_interface"), inDataSize, outDataSize,
                            outData);
        return;
    case kAudioDevicePropertyAvailableNominalSampleRates: {
        const std::size_t count = std::min<std::size_t>(kRateCount, inDataSize / sizeof(AudioValueRange));
        auto* ranges = static_cast<AudioValueRange*>(outData);
        for (std::size_t index = 0; index < count; ++index) {
            ranges[index] = {kSupportedRates[index], kSupportedRates[index]};
        }
        outDataSize = UInt32(count * sizeof(AudioValueRange));
        return;
    }
    case kAudioDevicePropertyNominalSampleRate:
        Write(Float64(fSampleRate), inDataSize, outDataSize, outData);
        return;
    case kAudioObjectPropertyOwnedObjects: {
        std::vector<AudioObjectID> ids;
        const bool global = address.mScope == kAudioObjectPropertyScopeGlobal;
        const bool input = global || address.mScope == kAudioObjectPropertyScopeInput;
        const bool output = global || address.mScope == kAudioObjectPropertyScopeOutput;
        if (input) {
            ids.push_back(fInputStreamID);
        }
        if (output) {
            ids.push_back(fOutputStreamID);
        }
        if (input) {
            ids.insert(ids.end(), fInputControlIDs, fInputControlIDs + in);
        }
        for (UInt32 channel = 0; output && channel < out; ++channel) {
            ids.push_back(fOutputControls[channel].fVolumeID);
            ids.push_back(fOutputControls[channel].fMuteID);
        }
        WriteIDs(ids, inDataSize, outDataSize, outData);
        TIDE_LOG(Log::Info, "GETTING %d OWNED OBJECTS\n", int(outDataSize / sizeof(AudioObjectID)));
        return;
    }
    case kAudioDevicePropertyZeroTimeStampPeriod:
        TIDE_LOG(Log::Info, "zt ring buffer size %u", unsigned(fZeroTimeSamplePeriod));
        WriteUInt32(fZeroTimeSamplePeriod, inDataSize, outDataSize, outData);
        return;
    case kAudioDevicePropertySafetyOffset: {
        const UInt32 rate = fSampleRate;
        const UInt32 offset = rate <= 48000 ? 16 : (rate <= 96000 ? 32 : 64);
        TIDE_LOG(Log::Info, "SAFETY OFFSET %u", unsigned(offset));
        WriteUInt32(offset, inDataSize, outDataSize, outData);
        return;
    }
    case kAudioDevicePropertyPreferredChannelLayout: {
        const UInt32 channels = address.mScope == kAudioObjectPropertyScopeInput ? in : out;
        const UInt32 size = kLayoutHeaderBytes + UInt32(sizeof(AudioChannelDescription)) * channels;
        RequireSize(inDataSize, size);
        std::memset(outData, 0, size);
        auto* layout = static_cast<AudioChannelLayout*>(outData);
        layout->mNumberChannelDescriptions = channels;
        for (UInt32 channel = 0; channel < channels; ++channel) {
            layout->mChannelDescriptions[channel].mChannelLabel = kUnknownChannelLabel;
        }
        outDataSize = size;
        return;
    }
    case kAudioDevicePropertyStreams: {
        std::vector<AudioObjectID> ids;
        if (address.mScope != kAudioObjectPropertyScopeOutput) {
            ids.push_back(fInputStreamID);
        }
        if (address.mScope != kAudioObjectPropertyScopeInput) {
            ids.push_back(fOutputStreamID);
        }
        if (!IsInOrOut(address.mScope) && address.mScope != kAudioObjectPropertyScopeGlobal) {
            ids.clear();
        }
        WriteIDs(ids, inDataSize, outDataSize, outData);
        return;
    }
    case kAudioDevicePropertyTransportType:
        WriteUInt32(TransportType(clientPID), inDataSize, outDataSize, outData);
        return;
    case kAudioDevicePropertyDeviceUID:
        WriteString(std::string(kModelUID) + ":" + fService.GetUID(), inDataSize, outDataSize, outData);
        return;
    default:
        throw CAException(kAudioHardwareUnknownPropertyError);
    }
}

void SA_Device::SetDeviceProperty(const AudioObjectPropertyAddress& address, UInt32 inDataSize,
                                  const void* inData)
{
    switch (address.mSelector) {
    case kAudioDevicePropertyNominalSampleRate:
        SetSampleRate(ReadExactly<Float64>(inDataSize, inData));
        return;
    case kAudioDevicePropertyPreferredChannelsForStereo: {
        const AudioObjectPropertyAddress changed{kAudioDevicePropertyPreferredChannelsForStereo,
                                                 kAudioObjectPropertyScopeGlobal,
                                                 kAudioObjectPropertyElementMain};
        Host_PropertiesChanged(fObjectID, 1, &changed);
        return;
    }
    default:
        throw CAException(kAudioHardwareUnknownPropertyError);
    }
}

bool SA_Device::HasStreamProperty(const AudioObjectPropertyAddress& address) const
{
    switch (address.mSelector) {
    case kAudioObjectPropertyBaseClass:
    case kAudioObjectPropertyClass:
    case kAudioObjectPropertyOwner:
    case kAudioObjectPropertyElementName:
    case kAudioObjectPropertyName:
    case kAudioStreamPropertyLatency:
    case kAudioStreamPropertyPhysicalFormat:
    case kAudioStreamPropertyVirtualFormat:
    case kAudioStreamPropertyAvailablePhysicalFormats:
    case kAudioStreamPropertyAvailableVirtualFormats:
    case kAudioStreamPropertyIsActive:
    case kAudioStreamPropertyStartingChannel:
    case kAudioStreamPropertyDirection:
    case kAudioStreamPropertyTerminalType:
        return true;
    default:
        return false;
    }
}

void SA_Device::GetStreamProperty(bool input, const AudioObjectPropertyAddress& address, UInt32 inDataSize,
                                  UInt32& outDataSize, void* outData)
{
    const UInt32 channels = input ? InputStreamChannels() : UInt32(fOutNumCh);
    switch (address.mSelector) {
    case kAudioObjectPropertyBaseClass:
        WriteUInt32(kAudioObjectClassID, inDataSize, outDataSize, outData);
        return;
    case kAudioObjectPropertyClass:
        WriteUInt32(kAudioStreamClassID, inDataSize, outDataSize, outData);
        return;
    case kAudioObjectPropertyOwner:
        WriteUInt32(fObjectID, inDataSize, outDataSize, outData);
        return;
    case kAudioObjectPropertyElementName:
    case kAudioObjectPropertyName:
        WriteConstantString(input ? CFSTR("To Computer") : CFSTR("From Computer"), inDataSize, outDataSize,
                            outData);
        return;
    case kAudioStreamPropertyLatency:
    case kAudioStreamPropertyTerminalType:
        WriteUInt32(0, inDataSize, outDataSize, outData);
        return;
    case kAudioStreamPropertyPhysicalFormat:
    case kAudioStreamPropertyVirtualFormat:
        Write(StreamFormat(fSampleRate, channels), inDataSize, outDataSize, outData);
        return;
    case kAudioStreamPropertyAvailablePhysicalFormats:
    case kAudioStreamPropertyAvailableVirtualFormats: {
        const std::size_t count = std::min<std::size_t>(kRateCount, inDataSize / kRangedFormatBytes);
        auto* formats = static_cast<AudioStreamRangedDescription*>(outData);
        for (std::size_t index = 0; index < count; ++index) {
            formats[index].mFormat = StreamFormat(kSupportedRates[index], channels);
            formats[index].mSampleRateRange = {kSupportedRates[index], kSupportedRates[index]};
        }
        outDataSize = UInt32(count * kRangedFormatBytes);
        return;
    }
    case kAudioStreamPropertyIsActive:
        WriteUInt32(input ? fInputStreamActive : fOutputStreamActive, inDataSize, outDataSize, outData);
        return;
    case kAudioStreamPropertyStartingChannel:
        WriteUInt32(1, inDataSize, outDataSize, outData);
        return;
    case kAudioStreamPropertyDirection:
        WriteUInt32(input ? 1 : 0, inDataSize, outDataSize, outData);
        return;
    default:
        throw CAException(kAudioHardwareUnknownPropertyError);
    }
}

void SA_Device::SetStreamProperty(bool input, const AudioObjectPropertyAddress& address, UInt32 inDataSize,
                                  const void* inData)
{
    switch (address.mSelector) {
    case kAudioStreamPropertyPhysicalFormat: {
        const auto format = ReadExactly<AudioStreamBasicDescription>(inDataSize, inData);
        const UInt32 channels = input ? InputStreamChannels() : UInt32(fOutNumCh);
        if (!SameFormatApartFromRate(format, StreamFormat(0, channels))) {
            throw CAException(kAudioDeviceUnsupportedFormatError);
        }
        SetSampleRate(format.mSampleRate);
        return;
    }
    case kAudioStreamPropertyIsActive: {
        const bool active = ReadExactly<UInt32>(inDataSize, inData) != 0;
        bool changed = false;
        {
            CAMutex::Locker locker(fStateMutex);
            bool& stored = input ? fInputStreamActive : fOutputStreamActive;
            changed = stored != active;
            stored = active;
        }
        if (changed) {
            Host_PropertiesChanged(input ? fInputStreamID : fOutputStreamID, 1, &address);
        }
        return;
    }
    default:
        throw CAException(kAudioHardwareUnknownPropertyError);
    }
}

bool SA_Device::HasControlProperty(Kind kind, const AudioObjectPropertyAddress& address) const
{
    switch (address.mSelector) {
    case kAudioObjectPropertyBaseClass:
    case kAudioObjectPropertyClass:
    case kAudioObjectPropertyOwner:
    case kAudioControlPropertyElement:
    case kAudioControlPropertyScope:
        return true;
    case kAudioLevelControlPropertyScalarValue:
    case kAudioLevelControlPropertyDecibelValue:
    case kAudioLevelControlPropertyDecibelRange:
    case kAudioLevelControlPropertyConvertScalarToDecibels:
    case kAudioLevelControlPropertyConvertDecibelsToScalar:
        return kind == Kind::OutputVolume;
    case kAudioBooleanControlPropertyValue:
        return kind != Kind::OutputVolume;
    default:
        return false;
    }
}

UInt32 SA_Device::ControlPropertySize(Kind, const AudioObjectPropertyAddress& address) const
{
    return address.mSelector == kAudioLevelControlPropertyDecibelRange ? UInt32(sizeof(AudioValueRange))
                                                                       : UInt32(sizeof(UInt32));
}

void SA_Device::GetControlProperty(Kind kind, UInt32 channel, const AudioObjectPropertyAddress& address,
                                   UInt32 inDataSize, UInt32& outDataSize, void* outData)
{
    const bool volume = kind == Kind::OutputVolume;
    switch (address.mSelector) {
    case kAudioObjectPropertyBaseClass:
        WriteUInt32(volume ? kAudioLevelControlClassID : kAudioBooleanControlClassID, inDataSize, outDataSize,
                    outData);
        return;
    case kAudioObjectPropertyClass:
        WriteUInt32(volume ? kAudioVolumeControlClassID : kAudioMuteControlClassID, inDataSize, outDataSize,
                    outData);
        return;
    case kAudioObjectPropertyOwner:
        WriteUInt32(fObjectID, inDataSize, outDataSize, outData);
        return;
    case kAudioControlPropertyElement:
        WriteUInt32(channel + 1, inDataSize, outDataSize, outData);
        return;
    case kAudioControlPropertyScope:
        WriteUInt32(kind == Kind::InputMute ? kAudioObjectPropertyScopeInput
                                            : kAudioObjectPropertyScopeOutput,
                    inDataSize, outDataSize, outData);
        return;
    case kAudioLevelControlPropertyScalarValue:
        Write(fOutputControls[channel].fScalar, inDataSize, outDataSize, outData);
        return;
    case kAudioLevelControlPropertyDecibelValue:
        Write(ScalarToDecibels(fOutputControls[channel].fScalar), inDataSize, outDataSize, outData);
        return;
    case kAudioLevelControlPropertyDecibelRange: {
        const AudioValueRange range{ScalarToDecibels(0.0f), ScalarToDecibels(1.0f)};
        Write(range, inDataSize, outDataSize, outData);
        return;
    }
    case kAudioLevelControlPropertyConvertScalarToDecibels: {
        RequireSize(inDataSize, sizeof(Float32));
        Float32 value;
        std::memcpy(&value, outData, sizeof(value));
        Write(ScalarToDecibels(value), inDataSize, outDataSize, outData);
        return;
    }
    case kAudioLevelControlPropertyConvertDecibelsToScalar: {
        RequireSize(inDataSize, sizeof(Float32));
        Float32 value;
        std::memcpy(&value, outData, sizeof(value));
        Write(Float32(DecibelsToScalar(value)), inDataSize, outDataSize, outData);
        return;
    }
    case kAudioBooleanControlPropertyValue: {
        const bool on = kind == Kind::OutputMute ? fOutputControls[channel].fMuted
                                                 : (fInputMuteMask.load() & (1u << channel)) != 0;
        WriteUInt32(on ? 1 : 0, inDataSize, outDataSize, outData);
        return;
    }
    default:
        throw CAException(kAudioHardwareUnknownPropertyError);
    }
}

void SA_Device::SetControlProperty(Kind kind, AudioObjectID objectID, UInt32 channel,
                                   const AudioObjectPropertyAddress& address, UInt32 inDataSize,
                                   const void* inData)
{
    const AudioObjectPropertySelector selector = address.mSelector;
    const bool level = selector == kAudioLevelControlPropertyScalarValue ||
                       selector == kAudioLevelControlPropertyDecibelValue;
    if (kind == Kind::OutputVolume ? !level : selector != kAudioBooleanControlPropertyValue) {
        throw CAException(kAudioHardwareUnknownPropertyError);
    }
    {
        CAMutex::Locker locker(fStateMutex);
        if (selector == kAudioLevelControlPropertyScalarValue) {
            SetVolumeScalar(channel, ReadExactly<Float32>(inDataSize, inData));
        } else if (selector == kAudioLevelControlPropertyDecibelValue) {
            // A level above 0 dB, +infinity included, is full scale.
            SetVolumeScalar(
                channel, Float32(std::min(1.0, DecibelsToScalar(ReadExactly<Float32>(inDataSize, inData)))));
        } else if (kind == Kind::OutputMute) {
            fOutputControls[channel].fMuted = ReadExactly<UInt32>(inDataSize, inData) != 0;
            UpdateOutputGain(channel);
        } else {
            const UInt32 value = ReadExactly<UInt32>(inDataSize, inData);
            const UInt32 bit = 1u << channel;
            if (value != 0) {
                fInputMuteMask |= bit;
            } else {
                fInputMuteMask &= ~bit;
            }
            TIDE_LOG(Log::Info, "L %d Set MUTE %d", int(channel), int(value));
        }
    }
    Host_PropertiesChanged(objectID, 1, &address);
}

void SA_Device::SetVolumeScalar(UInt32 channel, Float32 scalar)
{
    OutCtrlInfo& control = fOutputControls[channel];
    control.fScalar = ClampScalar(scalar);
    control.fGain = LinearGain(control.fScalar) * kFullGainScaleFactor;
    UpdateOutputGain(channel);
}

void SA_Device::UpdateOutputGain(UInt32 channel)
{
    const OutCtrlInfo& control = fOutputControls[channel];
    fOutputGains[channel].store(control.fMuted ? 0.0f : control.fGain, std::memory_order_relaxed);
}

UInt32 SA_Device::TransportType(pid_t clientPID) const
{
    const std::string path = ClientPath(clientPID);
    for (const char* client : kUnknownTransportClients) {
        if (path.find(client) != std::string::npos) {
            return kAudioDeviceTransportTypeUnknown;
        }
    }
    return fService.GetBusType() == KorvanService::kBusTypeUSB ? UInt32(kAudioDeviceTransportTypeUSB)
                                                               : UInt32(kAudioDeviceTransportTypeThunderbolt);
}
