#pragma once

// The interface between the audio server and a driver plug-in: the plug-in's driver table, which
// the server calls, and the host table, through which the plug-in calls the server.

#include <CoreAudio/AudioHardwareBase.h>
#include <CoreFoundation/CFDictionary.h>
#include <CoreFoundation/CFPlugInCOM.h>
#include <CoreFoundation/CFPropertyList.h>
#include <CoreFoundation/CFUUID.h>

#include <sys/types.h>

// The plug-in type a bundle's factory is registered for.
#define kAudioServerPlugInTypeUUID                                                                           \
    CFUUIDGetConstantUUIDWithBytes(NULL, 0x44, 0x3A, 0xBA, 0xB8, 0xE7, 0xB3, 0x49, 0x1A, 0xB9, 0x85, 0xBE,   \
                                   0xB9, 0x18, 0x70, 0x30, 0xDB)

// The interface QueryInterface hands out for the driver table.
#define kAudioServerPlugInDriverInterfaceUUID                                                                \
    CFUUIDGetConstantUUIDWithBytes(NULL, 0xEE, 0xA5, 0x77, 0x3D, 0xCC, 0x43, 0x49, 0xF1, 0x8E, 0x00, 0x8F,   \
                                   0x96, 0xE7, 0xD2, 0x3B, 0x17)

struct AudioServerPlugInClientInfo
{
    UInt32 mClientID;
    pid_t mProcessID;
    Boolean mIsNativeEndian;
    CFStringRef mBundleID;
};

struct AudioServerPlugInIOCycleInfo
{
    UInt64 mIOCycleCounter;
    UInt32 mNominalIOBufferFrameSize;
    AudioTimeStamp mInputTime;
    AudioTimeStamp mOutputTime;
    AudioTimeStamp mCurrentTime;
    Float64 mMainHostTicksPerFrame;
    Float64 mDeviceHostTicksPerFrame;
};

// The operations of one IO cycle, in the order the server performs them.
enum : UInt32
{
    kAudioServerPlugInIOOperationThread = 'thrd',
    kAudioServerPlugInIOOperationCycle = 'cycl',
    kAudioServerPlugInIOOperationReadInput = 'read',
    kAudioServerPlugInIOOperationConvertInput = 'cinp',
    kAudioServerPlugInIOOperationProcessInput = 'pinp',
    kAudioServerPlugInIOOperationProcessOutput = 'pout',
    kAudioServerPlugInIOOperationMixOutput = 'mixo',
    kAudioServerPlugInIOOperationProcessMix = 'pmix',
    kAudioServerPlugInIOOperationConvertMix = 'cmix',
    kAudioServerPlugInIOOperationWriteMix = 'rite'
};

struct AudioServerPlugInHostInterface;
typedef const AudioServerPlugInHostInterface* AudioServerPlugInHostRef;

struct AudioServerPlugInDriverInterface;
typedef AudioServerPlugInDriverInterface** AudioServerPlugInDriverRef;

struct AudioServerPlugInHostInterface
{
    OSStatus (*PropertiesChanged)(AudioServerPlugInHostRef inHost, AudioObjectID inObjectID,
                                  UInt32 inNumberAddresses, const AudioObjectPropertyAddress* inAddresses);
    OSStatus (*CopyFromStorage)(AudioServerPlugInHostRef inHost, CFStringRef inKey,
                                CFPropertyListRef* outData);
    OSStatus (*WriteToStorage)(AudioServerPlugInHostRef inHost, CFStringRef inKey, CFPropertyListRef inData);
    OSStatus (*DeleteFromStorage)(AudioServerPlugInHostRef inHost, CFStringRef inKey);
    OSStatus (*RequestDeviceConfigurationChange)(AudioServerPlugInHostRef inHost,
                                                 AudioObjectID inDeviceObjectID, UInt64 inChangeAction,
                                                 void* inChangeInfo);
};

struct AudioServerPlugInDriverInterface
{
    IUNKNOWN_C_GUTS;
    OSStatus (*Initialize)(AudioServerPlugInDriverRef inDriver, AudioServerPlugInHostRef inHost);
    OSStatus (*CreateDevice)(AudioServerPlugInDriverRef inDriver, CFDictionaryRef inDescription,
                             const AudioServerPlugInClientInfo* inClientInfo,
                             AudioObjectID* outDeviceObjectID);
    OSStatus (*DestroyDevice)(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID);
    OSStatus (*AddDeviceClient)(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                                const AudioServerPlugInClientInfo* inClientInfo);
    OSStatus (*RemoveDeviceClient)(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                                   const AudioServerPlugInClientInfo* inClientInfo);
    OSStatus (*PerformDeviceConfigurationChange)(AudioServerPlugInDriverRef inDriver,
                                                 AudioObjectID inDeviceObjectID, UInt64 inChangeAction,
                                                 void* inChangeInfo);
    OSStatus (*AbortDeviceConfigurationChange)(AudioServerPlugInDriverRef inDriver,
                                               AudioObjectID inDeviceObjectID, UInt64 inChangeAction,
                                               void* inChangeInfo);
    Boolean (*HasProperty)(AudioServerPlugInDriverRef inDriver, AudioObjectID inObjectID,
                           pid_t inClientProcessID, const AudioObjectPropertyAddress* inAddress);
    OSStatus (*IsPropertySettable)(AudioServerPlugInDriverRef inDriver, AudioObjectID inObjectID,
                                   pid_t inClientProcessID, const AudioObjectPropertyAddress* inAddress,
                                   Boolean* outIsSettable);
    OSStatus (*GetPropertyDataSize)(AudioServerPlugInDriverRef inDriver, AudioObjectID inObjectID,
                                    pid_t inClientProcessID, const AudioObjectPropertyAddress* inAddress,
                                    UInt32 inQualifierDataSize, const void* inQualifierData,
                                    UInt32* outDataSize);
    OSStatus (*GetPropertyData)(AudioServerPlugInDriverRef inDriver, AudioObjectID inObjectID,
                                pid_t inClientProcessID, const AudioObjectPropertyAddress* inAddress,
                                UInt32 inQualifierDataSize, const void* inQualifierData, UInt32 inDataSize,
                                UInt32* outDataSize, void* outData);
    OSStatus (*SetPropertyData)(AudioServerPlugInDriverRef inDriver, AudioObjectID inObjectID,
                                pid_t inClientProcessID, const AudioObjectPropertyAddress* inAddress,
                                UInt32 inQualifierDataSize, const void* inQualifierData, UInt32 inDataSize,
                                const void* inData);
    OSStatus (*StartIO)(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                        UInt32 inClientID);
    OSStatus (*StopIO)(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                       UInt32 inClientID);
    OSStatus (*GetZeroTimeStamp)(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                                 UInt32 inClientID, Float64* outSampleTime, UInt64* outHostTime,
                                 UInt64* outSeed);
    OSStatus (*WillDoIOOperation)(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                                  UInt32 inClientID, UInt32 inOperationID, Boolean* outWillDo,
                                  Boolean* outWillDoInPlace);
    OSStatus (*BeginIOOperation)(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                                 UInt32 inClientID, UInt32 inOperationID, UInt32 inIOBufferFrameSize,
                                 const AudioServerPlugInIOCycleInfo* inIOCycleInfo);
    OSStatus (*DoIOOperation)(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                              AudioObjectID inStreamObjectID, UInt32 inClientID, UInt32 inOperationID,
                              UInt32 inIOBufferFrameSize, const AudioServerPlugInIOCycleInfo* inIOCycleInfo,
                              void* ioMainBuffer, void* ioSecondaryBuffer);
    OSStatus (*EndIOOperation)(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                               UInt32 inClientID, UInt32 inOperationID, UInt32 inIOBufferFrameSize,
                               const AudioServerPlugInIOCycleInfo* inIOCycleInfo);
};
