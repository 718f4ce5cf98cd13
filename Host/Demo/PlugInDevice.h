#pragma once

// One of the plug-in's devices as an application sees it through the host: what it reports of
// itself, and the settings an application makes (rate, output volume).

#include <AudioServerHost.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace Demo {

struct DeviceFacts
{
    AudioObjectID id = 0;
    std::string uid;
    std::string name;
    double rate = 0;
    uint32_t inputChannels = 0;
    uint32_t outputChannels = 0;
    uint32_t inputSafetyOffset = 0;
    uint32_t outputSafetyOffset = 0;
    uint32_t inputLatency = 0;
    uint32_t outputLatency = 0;
    uint32_t zeroTimeStampPeriod = 0;
};

// The device whose UID is `uid` (or ends in ":" and `uid`), once the plug-in lists it, or nothing after
// `seconds`.
std::optional<AudioObjectID> WaitForDevice(const AudioServerHost& host, const std::string& uid,
                                           double seconds);
// Whether the device left the plug-in's list before `seconds` passed.
bool WaitForDeviceGone(const AudioServerHost& host, AudioObjectID device, double seconds);

DeviceFacts ReadDeviceFacts(const AudioServerHost& host, AudioObjectID device);

// Asks for a nominal rate ('nsrt') as an application does; true once the device runs at it.
bool SetNominalRate(AudioServerHost& host, AudioObjectID device, double rate, double seconds);
// Every output channel's volume at full scale, so that played samples pass unchanged.
void SetOutputVolumesToFullScale(AudioServerHost& host, AudioObjectID device);

struct ClientStart
{
    OSStatus status = kAudioHardwareNoError;
    // The tries the plug-in refused before the last.
    uint32_t refused = 0;
};

// Starts a client's IO as an application does, asking again for up to 10 s while the plug-in refuses
// (see DarwinTesting::startedWithin): a driver that missed the bus's frame boundary on every try of its
// first look at the frame clock refuses the start ("DoGetFrameSnapshot FAIL"). `refused` runs after
// each refusal.
ClientStart StartClientIO(AudioServerHost& host, AudioObjectID device, UInt32 client, UInt32 bufferFrames,
                          const IOCallback& callback, const IOCycleObserver& observer = {},
                          const IOStartObserver& startObserver = {},
                          const std::function<void()>& refused = {});

} // namespace Demo
