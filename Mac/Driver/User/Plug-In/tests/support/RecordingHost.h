#pragma once

// A host interface that records what the plug-in tells the audio server.

#include <CoreAudio/AudioServerPlugIn.h>

#include <condition_variable>
#include <mutex>
#include <vector>

namespace PlugInTesting {

struct PropertiesChange
{
    AudioObjectID fObjectID;
    std::vector<AudioObjectPropertyAddress> fAddresses;
};

class RecordingHost
{
public:
    RecordingHost();

    AudioServerPlugInHostRef Ref() const { return &fInterface; }

    std::vector<PropertiesChange> Changes() const;
    // Waits (real time, 30 s at most) until `count` changes have been recorded.
    bool WaitForChanges(size_t count) const;

private:
    static OSStatus PropertiesChanged(AudioServerPlugInHostRef host, AudioObjectID objectID, UInt32 count,
                                      const AudioObjectPropertyAddress* addresses);
    static OSStatus RequestDeviceConfigurationChange(AudioServerPlugInHostRef host, AudioObjectID deviceID,
                                                     UInt64 action, void* info);

    // First, so that the host reference leads back to this object.
    AudioServerPlugInHostInterface fInterface;
    mutable std::mutex fMutex;
    mutable std::condition_variable fChanged;
    std::vector<PropertiesChange> fChanges;
};

// The two changes that announce a new or removed device.
bool IsDeviceListChange(const PropertiesChange& change);

} // namespace PlugInTesting
