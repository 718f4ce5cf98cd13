#include "SA_Host.h"

#include <atomic>

namespace {

std::atomic<AudioServerPlugInHostRef> sHost{nullptr};

} // namespace

void Host_SetHost(AudioServerPlugInHostRef host)
{
    sHost = host;
}

void Host_PropertiesChanged(AudioObjectID objectID, UInt32 count, const AudioObjectPropertyAddress* addresses)
{
    if (AudioServerPlugInHostRef host = sHost) {
        host->PropertiesChanged(host, objectID, count, addresses);
    }
}

void Host_RequestDeviceConfigurationChange(AudioObjectID deviceID, UInt64 action, void* info)
{
    if (AudioServerPlugInHostRef host = sHost) {
        host->RequestDeviceConfigurationChange(host, deviceID, action, info);
    }
}

void Host_DeviceAvailChanged()
{
    const AudioObjectPropertyAddress addresses[] = {
        {kAudioObjectPropertyOwnedObjects, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain},
        {kAudioPlugInPropertyDeviceList, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain},
    };
    Host_PropertiesChanged(kAudioObjectPlugInObject, 2, addresses);
}
