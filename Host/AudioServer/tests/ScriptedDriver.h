#pragma once

// A driver table whose answers a test scripts and whose calls it reads back: one device (id 10)
// with one input stream (11) and one output stream (12).

#include <CoreAudio/AudioServerPlugIn.h>

#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace HostTesting {

inline constexpr AudioObjectID kDevice = 10;
inline constexpr AudioObjectID kInputStream = 11;
inline constexpr AudioObjectID kOutputStream = 12;

class ScriptedDriver
{
public:
    ScriptedDriver();
    ScriptedDriver(const ScriptedDriver&) = delete;
    ScriptedDriver& operator=(const ScriptedDriver&) = delete;

    AudioServerPlugInDriverRef Ref() { return &fReference.fTable; }

    // What the device answers.
    Float64 fRate = 48000;
    UInt32 fInputSafetyOffset = 16;
    UInt32 fOutputSafetyOffset = 24;
    UInt32 fInputChannels = 2;
    UInt32 fOutputChannels = 4;
    std::set<UInt32> fWillDo = {kAudioServerPlugInIOOperationReadInput,
                                kAudioServerPlugInIOOperationWriteMix};
    Float64 fZeroSampleTime = 0;
    UInt64 fZeroHostTime = 0;
    // From this cycle on, DoIOOperation answers '!obj'.
    UInt64 fGoneFromCycle = 0;
    // Once this cycle ran, GetZeroTimeStamp answers no timestamp (host time 0), as a device whose
    // audio stopped does.
    UInt64 fNoTimeStampAfterCycle = 0;
    // Once this cycle ran, GetZeroTimeStamp answers this timestamp instead, as a device whose audio
    // started again does.
    UInt64 fNewTimeLineAfterCycle = 0;
    Float64 fNewZeroSampleTime = 0;
    UInt64 fNewZeroHostTime = 0;

    std::vector<std::string> Calls() const;
    void ClearCalls();
    std::vector<AudioServerPlugInIOCycleInfo> Cycles() const;

private:
    static ScriptedDriver& From(void* driver);
    void Record(std::string call);

    static OSStatus GetPropertyDataSize(AudioServerPlugInDriverRef, AudioObjectID, pid_t,
                                        const AudioObjectPropertyAddress*, UInt32, const void*, UInt32*);
    static OSStatus GetPropertyData(AudioServerPlugInDriverRef, AudioObjectID, pid_t,
                                    const AudioObjectPropertyAddress*, UInt32, const void*, UInt32, UInt32*,
                                    void*);

    // The driver reference: the table pointer, followed by the way back to this object.
    struct Reference
    {
        AudioServerPlugInDriverInterface* fTable;
        ScriptedDriver* fOwner;
    };

    AudioServerPlugInDriverInterface fInterface;
    Reference fReference;
    mutable std::mutex fMutex;
    std::vector<std::string> fCalls;
    std::vector<AudioServerPlugInIOCycleInfo> fCycles;
};

} // namespace HostTesting
