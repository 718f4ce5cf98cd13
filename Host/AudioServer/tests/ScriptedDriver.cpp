#include "ScriptedDriver.h"

#include <cstring>

namespace HostTesting {

namespace {

std::string Code(UInt32 code)
{
    return {char(code >> 24), char(code >> 16), char(code >> 8), char(code)};
}

} // namespace

ScriptedDriver& ScriptedDriver::From(void* driver)
{
    return *static_cast<Reference*>(driver)->fOwner;
}

void ScriptedDriver::Record(std::string call)
{
    std::lock_guard<std::mutex> lock(fMutex);
    fCalls.push_back(std::move(call));
}

std::vector<std::string> ScriptedDriver::Calls() const
{
    std::lock_guard<std::mutex> lock(fMutex);
    return fCalls;
}

void ScriptedDriver::ClearCalls()
{
    std::lock_guard<std::mutex> lock(fMutex);
    fCalls.clear();
}

std::vector<AudioServerPlugInIOCycleInfo> ScriptedDriver::Cycles() const
{
    std::lock_guard<std::mutex> lock(fMutex);
    return fCycles;
}

ScriptedDriver::ScriptedDriver() : fInterface{}, fReference{&fInterface, this}
{
    fInterface.AddRef = [](void*) -> ULONG { return 1; };
    fInterface.Release = [](void*) -> ULONG { return 1; };
    fInterface.Initialize = [](AudioServerPlugInDriverRef driver, AudioServerPlugInHostRef) {
        From(driver).Record("Initialize");
        return OSStatus(0);
    };
    fInterface.AddDeviceClient = [](AudioServerPlugInDriverRef driver, AudioObjectID,
                                    const AudioServerPlugInClientInfo* info) {
        From(driver).Record("AddDeviceClient " + std::to_string(info->mClientID));
        return OSStatus(0);
    };
    fInterface.RemoveDeviceClient = [](AudioServerPlugInDriverRef driver, AudioObjectID,
                                       const AudioServerPlugInClientInfo* info) {
        From(driver).Record("RemoveDeviceClient " + std::to_string(info->mClientID));
        return OSStatus(0);
    };
    fInterface.PerformDeviceConfigurationChange = [](AudioServerPlugInDriverRef driver, AudioObjectID,
                                                     UInt64 action, void*) {
        From(driver).Record("Perform " + std::to_string(action));
        return OSStatus(0);
    };
    fInterface.AbortDeviceConfigurationChange = [](AudioServerPlugInDriverRef driver, AudioObjectID,
                                                   UInt64 action, void*) {
        From(driver).Record("Abort " + std::to_string(action));
        return OSStatus(0);
    };
    fInterface.GetPropertyDataSize = GetPropertyDataSize;
    fInterface.GetPropertyData = GetPropertyData;
    fInterface.StartIO = [](AudioServerPlugInDriverRef driver, AudioObjectID, UInt32 client) {
        From(driver).Record("StartIO " + std::to_string(client));
        return OSStatus(0);
    };
    fInterface.StopIO = [](AudioServerPlugInDriverRef driver, AudioObjectID, UInt32 client) {
        From(driver).Record("StopIO " + std::to_string(client));
        return OSStatus(0);
    };
    fInterface.GetZeroTimeStamp = [](AudioServerPlugInDriverRef driver, AudioObjectID, UInt32,
                                     Float64* sampleTime, UInt64* hostTime, UInt64* seed) {
        ScriptedDriver& self = From(driver);
        self.Record("GetZeroTimeStamp");
        std::lock_guard<std::mutex> lock(self.fMutex);
        const UInt64 lastCycle = self.fCycles.empty() ? 0 : self.fCycles.back().mIOCycleCounter;
        const bool stopped = self.fNoTimeStampAfterCycle != 0 && lastCycle >= self.fNoTimeStampAfterCycle;
        const bool restarted = self.fNewTimeLineAfterCycle != 0 && lastCycle >= self.fNewTimeLineAfterCycle;
        *sampleTime = stopped ? 0 : (restarted ? self.fNewZeroSampleTime : self.fZeroSampleTime);
        *hostTime = stopped ? 0 : (restarted ? self.fNewZeroHostTime : self.fZeroHostTime);
        *seed = 1;
        return OSStatus(0);
    };
    fInterface.WillDoIOOperation = [](AudioServerPlugInDriverRef driver, AudioObjectID, UInt32,
                                      UInt32 operation, Boolean* willDo, Boolean* inPlace) {
        ScriptedDriver& self = From(driver);
        self.Record("WillDo " + Code(operation));
        *willDo = self.fWillDo.count(operation) != 0;
        *inPlace = true;
        return OSStatus(0);
    };
    fInterface.BeginIOOperation = [](AudioServerPlugInDriverRef driver, AudioObjectID, UInt32,
                                     UInt32 operation, UInt32, const AudioServerPlugInIOCycleInfo*) {
        From(driver).Record("Begin " + Code(operation));
        return OSStatus(0);
    };
    fInterface.DoIOOperation = [](AudioServerPlugInDriverRef driver, AudioObjectID, AudioObjectID stream,
                                  UInt32, UInt32 operation, UInt32, const AudioServerPlugInIOCycleInfo* cycle,
                                  void*, void*) {
        ScriptedDriver& self = From(driver);
        self.Record("Do " + Code(operation) + " " + std::to_string(stream));
        std::lock_guard<std::mutex> lock(self.fMutex);
        if (self.fCycles.empty() || self.fCycles.back().mIOCycleCounter != cycle->mIOCycleCounter) {
            self.fCycles.push_back(*cycle);
        }
        const bool gone = self.fGoneFromCycle != 0 && cycle->mIOCycleCounter >= self.fGoneFromCycle;
        return gone ? OSStatus(kAudioHardwareBadObjectError) : OSStatus(0);
    };
    fInterface.EndIOOperation = [](AudioServerPlugInDriverRef driver, AudioObjectID, UInt32, UInt32 operation,
                                   UInt32, const AudioServerPlugInIOCycleInfo*) {
        From(driver).Record("End " + Code(operation));
        return OSStatus(0);
    };
}

OSStatus ScriptedDriver::GetPropertyDataSize(AudioServerPlugInDriverRef driver, AudioObjectID objectID, pid_t,
                                             const AudioObjectPropertyAddress* address, UInt32, const void*,
                                             UInt32* size)
{
    UInt32 ignored[4];
    return GetPropertyData(driver, objectID, 0, address, 0, nullptr, sizeof(ignored), size, ignored);
}

OSStatus ScriptedDriver::GetPropertyData(AudioServerPlugInDriverRef driver, AudioObjectID objectID, pid_t,
                                         const AudioObjectPropertyAddress* address, UInt32, const void*,
                                         UInt32 inDataSize, UInt32* size, void* data)
{
    ScriptedDriver& self = From(driver);
    auto write = [&](const void* value, UInt32 valueSize) {
        if (inDataSize < valueSize) {
            return OSStatus(kAudioHardwareBadPropertySizeError);
        }
        std::memcpy(data, value, valueSize);
        *size = valueSize;
        return OSStatus(0);
    };
    const bool input = address->mScope == kAudioObjectPropertyScopeInput;
    switch (address->mSelector) {
    case kAudioDevicePropertyNominalSampleRate:
        return write(&self.fRate, sizeof(self.fRate));
    case kAudioDevicePropertySafetyOffset: {
        const UInt32 offset = input ? self.fInputSafetyOffset : self.fOutputSafetyOffset;
        return write(&offset, sizeof(offset));
    }
    case kAudioDevicePropertyStreams: {
        const AudioObjectID stream = input ? kInputStream : kOutputStream;
        return write(&stream, sizeof(stream));
    }
    case kAudioStreamPropertyVirtualFormat: {
        const UInt32 channels = objectID == kInputStream ? self.fInputChannels : self.fOutputChannels;
        AudioStreamBasicDescription format = {self.fRate,
                                              kAudioFormatLinearPCM,
                                              kAudioFormatFlagsNativeFloatPacked,
                                              4 * channels,
                                              1,
                                              4 * channels,
                                              channels,
                                              32,
                                              0};
        return write(&format, sizeof(format));
    }
    default:
        return kAudioHardwareUnknownPropertyError;
    }
}

} // namespace HostTesting
