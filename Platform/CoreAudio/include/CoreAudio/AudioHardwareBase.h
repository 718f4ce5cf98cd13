#pragma once

// Audio objects, property addresses, status codes and the selectors of plug-ins, devices, streams
// and controls.

#include <CoreAudio/CoreAudioTypes.h>

typedef UInt32 AudioObjectID;
typedef UInt32 AudioClassID;
typedef UInt32 AudioObjectPropertySelector;
typedef UInt32 AudioObjectPropertyScope;
typedef UInt32 AudioObjectPropertyElement;

struct AudioObjectPropertyAddress
{
    AudioObjectPropertySelector mSelector;
    AudioObjectPropertyScope mScope;
    AudioObjectPropertyElement mElement;
};

// Status codes.
enum : OSStatus
{
    kAudioHardwareNoError = 0,
    kAudioHardwareNotRunningError = 'stop',
    kAudioHardwareUnspecifiedError = 'what',
    kAudioHardwareUnknownPropertyError = 'who?',
    kAudioHardwareBadPropertySizeError = '!siz',
    kAudioHardwareIllegalOperationError = 'nope',
    kAudioHardwareBadObjectError = '!obj',
    kAudioHardwareBadDeviceError = '!dev',
    kAudioHardwareBadStreamError = '!str',
    kAudioHardwareUnsupportedOperationError = 'unop',
    kAudioDeviceUnsupportedFormatError = '!dat',
    kAudioDevicePermissionsError = '!hog'
};

// Object ids and classes.
enum : AudioObjectID
{
    kAudioObjectUnknown = 0,
    kAudioObjectPlugInObject = 1,
    kAudioObjectSystemObject = 1
};

enum : AudioClassID
{
    kAudioObjectClassID = 'aobj',
    kAudioPlugInClassID = 'aplg',
    kAudioDeviceClassID = 'adev',
    kAudioStreamClassID = 'astr',
    kAudioControlClassID = 'actl',
    kAudioLevelControlClassID = 'levl',
    kAudioVolumeControlClassID = 'vlme',
    kAudioBooleanControlClassID = 'togl',
    kAudioMuteControlClassID = 'mute'
};

// Scopes and elements.
enum : AudioObjectPropertyScope
{
    kAudioObjectPropertyScopeGlobal = 'glob',
    kAudioObjectPropertyScopeInput = 'inpt',
    kAudioObjectPropertyScopeOutput = 'outp',
    kAudioObjectPropertyScopePlayThrough = 'ptru',
    kAudioObjectPropertyScopeWildcard = '****'
};

enum : AudioObjectPropertyElement
{
    kAudioObjectPropertyElementMain = 0,
    kAudioObjectPropertyElementMaster = kAudioObjectPropertyElementMain,
    kAudioObjectPropertyElementWildcard = 0xFFFFFFFF
};

// Object selectors.
enum : AudioObjectPropertySelector
{
    kAudioObjectPropertySelectorWildcard = '****',
    kAudioObjectPropertyBaseClass = 'bcls',
    kAudioObjectPropertyClass = 'clas',
    kAudioObjectPropertyOwner = 'stdv',
    kAudioObjectPropertyName = 'lnam',
    kAudioObjectPropertyModelName = 'lmod',
    kAudioObjectPropertyManufacturer = 'lmak',
    kAudioObjectPropertyElementName = 'lchn',
    kAudioObjectPropertyElementCategoryName = 'lccn',
    kAudioObjectPropertyElementNumberName = 'lcnn',
    kAudioObjectPropertyOwnedObjects = 'ownd',
    kAudioObjectPropertyIdentify = 'iden',
    kAudioObjectPropertySerialNumber = 'snum',
    kAudioObjectPropertyFirmwareVersion = 'fwvn',
    kAudioObjectPropertyControlList = 'ctrl'
};

// Plug-in selectors.
enum : AudioObjectPropertySelector
{
    kAudioPlugInPropertyBundleID = 'piid',
    kAudioPlugInPropertyDeviceList = 'dev#',
    kAudioPlugInPropertyTranslateUIDToDevice = 'uidd',
    kAudioPlugInPropertyBoxList = 'box#',
    kAudioPlugInPropertyTranslateUIDToBox = 'uidb',
    kAudioPlugInPropertyClockDeviceList = 'clk#',
    kAudioPlugInPropertyTranslateUIDToClockDevice = 'uidc',
    kAudioPlugInPropertyResourceBundle = 'rsrc'
};

// Device selectors.
enum : AudioObjectPropertySelector
{
    kAudioDevicePropertyConfigurationApplication = 'capp',
    kAudioDevicePropertyDeviceUID = 'uid ',
    kAudioDevicePropertyModelUID = 'muid',
    kAudioDevicePropertyTransportType = 'tran',
    kAudioDevicePropertyRelatedDevices = 'akin',
    kAudioDevicePropertyClockDomain = 'clkd',
    kAudioDevicePropertyDeviceIsAlive = 'livn',
    kAudioDevicePropertyDeviceIsRunning = 'goin',
    kAudioDevicePropertyDeviceCanBeDefaultDevice = 'dflt',
    kAudioDevicePropertyDeviceCanBeDefaultSystemDevice = 'sflt',
    kAudioDevicePropertyLatency = 'ltnc',
    kAudioDevicePropertyStreams = 'stm#',
    kAudioDevicePropertySafetyOffset = 'saft',
    kAudioDevicePropertyNominalSampleRate = 'nsrt',
    kAudioDevicePropertyAvailableNominalSampleRates = 'nsr#',
    kAudioDevicePropertyIcon = 'icon',
    kAudioDevicePropertyIsHidden = 'hidn',
    kAudioDevicePropertyPreferredChannelsForStereo = 'dch2',
    kAudioDevicePropertyPreferredChannelLayout = 'srnd',
    kAudioDevicePropertyZeroTimeStampPeriod = 'ring',
    kAudioDevicePropertyClockAlgorithm = 'clok',
    kAudioDevicePropertyClockIsStable = 'cstb'
};

// Transport types and clock algorithms.
enum : UInt32
{
    kAudioDeviceTransportTypeUnknown = 0,
    kAudioDeviceTransportTypeBuiltIn = 'bltn',
    kAudioDeviceTransportTypeAggregate = 'grup',
    kAudioDeviceTransportTypeVirtual = 'virt',
    kAudioDeviceTransportTypePCI = 'pci ',
    kAudioDeviceTransportTypeUSB = 'usb ',
    kAudioDeviceTransportTypeFireWire = '1394',
    kAudioDeviceTransportTypeBluetooth = 'blue',
    kAudioDeviceTransportTypeHDMI = 'hdmi',
    kAudioDeviceTransportTypeDisplayPort = 'dprt',
    kAudioDeviceTransportTypeAirPlay = 'airp',
    kAudioDeviceTransportTypeAVB = 'eavb',
    kAudioDeviceTransportTypeThunderbolt = 'thun'
};

enum : UInt32
{
    kAudioDeviceClockAlgorithmRaw = 'raww',
    kAudioDeviceClockAlgorithmSimpleIIR = 'iirf',
    kAudioDeviceClockAlgorithm12PtMovingWindowAverage = 'mavg'
};

// Stream selectors and values.
enum : AudioObjectPropertySelector
{
    kAudioStreamPropertyIsActive = 'sact',
    kAudioStreamPropertyDirection = 'sdir',
    kAudioStreamPropertyTerminalType = 'term',
    kAudioStreamPropertyStartingChannel = 'schn',
    kAudioStreamPropertyLatency = kAudioDevicePropertyLatency,
    kAudioStreamPropertyVirtualFormat = 'sfmt',
    kAudioStreamPropertyAvailableVirtualFormats = 'sfma',
    kAudioStreamPropertyPhysicalFormat = 'pft ',
    kAudioStreamPropertyAvailablePhysicalFormats = 'pfta'
};

enum : UInt32
{
    kAudioStreamTerminalTypeUnknown = 0
};

// Control selectors.
enum : AudioObjectPropertySelector
{
    kAudioControlPropertyScope = 'cscp',
    kAudioControlPropertyElement = 'celm',
    kAudioLevelControlPropertyScalarValue = 'lcsv',
    kAudioLevelControlPropertyDecibelValue = 'lcdv',
    kAudioLevelControlPropertyDecibelRange = 'lcdr',
    kAudioLevelControlPropertyConvertScalarToDecibels = 'lcsd',
    kAudioLevelControlPropertyConvertDecibelsToScalar = 'lcds',
    kAudioBooleanControlPropertyValue = 'bcvl'
};
