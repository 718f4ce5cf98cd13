#pragma once

// The plug-in's calls into the audio server. Each does nothing until Initialize has given the host.

#include <CoreAudio/AudioServerPlugIn.h>

void Host_SetHost(AudioServerPlugInHostRef host);
void Host_PropertiesChanged(AudioObjectID objectID, UInt32 count,
                            const AudioObjectPropertyAddress* addresses);
void Host_RequestDeviceConfigurationChange(AudioObjectID deviceID, UInt64 action, void* info);
// The plug-in object's owned objects and device list changed.
void Host_DeviceAvailChanged();
