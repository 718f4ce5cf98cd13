#include "PlugInDevice.h"

#include <DarwinTesting/Eventually.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>
#include <vector>

namespace Demo {

namespace {

constexpr auto kPoll = std::chrono::milliseconds(5);

AudioObjectPropertyAddress Address(AudioObjectPropertySelector selector,
                                   AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal)
{
    return {selector, scope, kAudioObjectPropertyElementMain};
}

template <typename Predicate>
bool WaitFor(double seconds, Predicate predicate)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!predicate()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(kPoll);
    }
    return true;
}

uint32_t StreamChannels(const AudioServerHost& host, AudioObjectID device, AudioObjectPropertyScope scope)
{
    std::vector<AudioObjectID> streams;
    host.GetIDs(device, Address(kAudioDevicePropertyStreams, scope), streams);
    uint32_t channels = 0;
    for (const AudioObjectID stream : streams) {
        AudioStreamBasicDescription format = {};
        UInt32 size = 0;
        if (host.GetPropertyData(stream, Address(kAudioStreamPropertyVirtualFormat), sizeof(format), size,
                                 &format) == kAudioHardwareNoError) {
            channels += format.mChannelsPerFrame;
        }
    }
    return channels;
}

double NominalRate(const AudioServerHost& host, AudioObjectID device)
{
    Float64 rate = 0;
    UInt32 size = 0;
    host.GetPropertyData(device, Address(kAudioDevicePropertyNominalSampleRate), sizeof(rate), size, &rate);
    return rate;
}

} // namespace

std::optional<AudioObjectID> WaitForDevice(const AudioServerHost& host, const std::string& uid,
                                           double seconds)
{
    std::optional<AudioObjectID> found;
    WaitFor(seconds, [&] {
        for (const AudioObjectID device : host.DeviceList()) {
            std::string text;
            if (host.GetString(device, Address(kAudioDevicePropertyDeviceUID), text) !=
                kAudioHardwareNoError) {
                continue;
            }
            // The plug-in prefixes the serial with the driver's class: "<class>:<serial>".
            if (text == uid || text.ends_with(":" + uid)) {
                found = device;
                return true;
            }
        }
        return false;
    });
    return found;
}

bool WaitForDeviceGone(const AudioServerHost& host, AudioObjectID device, double seconds)
{
    return WaitFor(seconds, [&] {
        const std::vector<AudioObjectID> devices = host.DeviceList();
        return std::find(devices.begin(), devices.end(), device) == devices.end();
    });
}

DeviceFacts ReadDeviceFacts(const AudioServerHost& host, AudioObjectID device)
{
    DeviceFacts facts;
    facts.id = device;
    host.GetString(device, Address(kAudioDevicePropertyDeviceUID), facts.uid);
    host.GetString(device, Address(kAudioObjectPropertyName), facts.name);
    facts.rate = NominalRate(host, device);
    facts.inputChannels = StreamChannels(host, device, kAudioObjectPropertyScopeInput);
    facts.outputChannels = StreamChannels(host, device, kAudioObjectPropertyScopeOutput);
    host.GetUInt32(device, Address(kAudioDevicePropertySafetyOffset, kAudioObjectPropertyScopeInput),
                   facts.inputSafetyOffset);
    host.GetUInt32(device, Address(kAudioDevicePropertySafetyOffset, kAudioObjectPropertyScopeOutput),
                   facts.outputSafetyOffset);
    host.GetUInt32(device, Address(kAudioDevicePropertyLatency, kAudioObjectPropertyScopeInput),
                   facts.inputLatency);
    host.GetUInt32(device, Address(kAudioDevicePropertyLatency, kAudioObjectPropertyScopeOutput),
                   facts.outputLatency);
    host.GetUInt32(device, Address(kAudioDevicePropertyZeroTimeStampPeriod), facts.zeroTimeStampPeriod);
    return facts;
}

bool SetNominalRate(AudioServerHost& host, AudioObjectID device, double rate, double seconds)
{
    if (NominalRate(host, device) == rate) {
        return true;
    }
    const AudioObjectPropertyAddress address = Address(kAudioDevicePropertyNominalSampleRate);
    const Float64 value = rate;
    AudioServerPlugInDriverRef driver = host.Driver();
    if ((**driver).SetPropertyData(driver, device, 0, &address, 0, nullptr, sizeof(value), &value) !=
        kAudioHardwareNoError) {
        return false;
    }
    return WaitFor(seconds, [&] { return NominalRate(host, device) == rate; });
}

void SetOutputVolumesToFullScale(AudioServerHost& host, AudioObjectID device)
{
    std::vector<AudioObjectID> owned;
    host.GetIDs(device, Address(kAudioObjectPropertyOwnedObjects, kAudioObjectPropertyScopeOutput), owned);
    AudioServerPlugInDriverRef driver = host.Driver();
    for (const AudioObjectID object : owned) {
        UInt32 objectClass = 0;
        if (host.GetUInt32(object, Address(kAudioObjectPropertyClass), objectClass) !=
                kAudioHardwareNoError ||
            objectClass != kAudioVolumeControlClassID) {
            continue;
        }
        const AudioObjectPropertyAddress address = Address(kAudioLevelControlPropertyScalarValue);
        const Float32 fullScale = 1.0f;
        (**driver).SetPropertyData(driver, object, 0, &address, 0, nullptr, sizeof(fullScale), &fullScale);
    }
}

ClientStart StartClientIO(AudioServerHost& host, AudioObjectID device, UInt32 client, UInt32 bufferFrames,
                          const IOCallback& callback, const IOCycleObserver& observer,
                          const IOStartObserver& startObserver, const std::function<void()>& refused)
{
    ClientStart start;
    bool tried = false;
    (void)DarwinTesting::startedWithin([&] {
        if (std::exchange(tried, true)) {
            ++start.refused;
            if (refused) {
                refused();
            }
        }
        start.status = host.StartIO(device, client, bufferFrames, callback, observer, startObserver);
        return start.status == kAudioHardwareNoError;
    });
    return start;
}

} // namespace Demo
