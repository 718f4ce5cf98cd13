#pragma once

// The audio device the plug-in shows for one driver service: what the plug-in object and the
// driver-interface entries call on it. The plug-in object makes devices through the factory it is
// given.

#include "SA_Object.h"

#include <CoreAudio/AudioServerPlugIn.h>

class KorvanService;

class SA_Device : public SA_Object
{
public:
    virtual const KorvanService& GetService() const = 0;

    virtual OSStatus StartIO(UInt32 clientID) = 0;
    virtual OSStatus StopIO(UInt32 clientID) = 0;
    virtual void GetZeroTimeStamp(Float64& sampleTime, UInt64& hostTime, UInt64& seed) = 0;
    virtual void DoIOOperation(AudioObjectID streamID, UInt32 operationID, UInt32 ioBufferFrameSize,
                               const AudioServerPlugInIOCycleInfo& cycleInfo, void* buffer) = 0;
    virtual void PerformConfigChange(UInt64 action, void* info) = 0;
    virtual void AbortConfigChange(UInt64 action, void* info) = 0;

protected:
    explicit SA_Device(AudioObjectID objectID)
        : SA_Object(objectID, kAudioDeviceClassID, kAudioObjectClassID, kAudioObjectPlugInObject)
    {}
};
