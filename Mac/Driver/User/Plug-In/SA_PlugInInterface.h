#pragma once

// The plug-in's factory and its driver interface, as the audio server reaches them.

#include <CoreAudio/AudioServerPlugIn.h>

extern "C" void* VORKtideAudioServerPlugin_Create(CFAllocatorRef allocator, CFUUIDRef requestedTypeUUID);

// The driver reference the factory hands out.
AudioServerPlugInDriverRef SA_DriverRef();
