#include <CoreAudio/AudioServerPlugIn.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

// The audio server and the plug-in exchange these structures by address, so their layout is fixed.
static_assert(sizeof(AudioObjectPropertyAddress) == 12);
static_assert(sizeof(AudioValueRange) == 16);
static_assert(sizeof(AudioStreamBasicDescription) == 40);
static_assert(offsetof(AudioStreamBasicDescription, mFormatID) == 8);
static_assert(offsetof(AudioStreamBasicDescription, mBitsPerChannel) == 32);
static_assert(sizeof(AudioStreamRangedDescription) == 56);
static_assert(offsetof(AudioStreamRangedDescription, mSampleRateRange) == 40);
static_assert(sizeof(AudioChannelDescription) == 20);
static_assert(offsetof(AudioChannelLayout, mChannelDescriptions) == 12);
static_assert(sizeof(AudioChannelLayout) == 12 + 20 * 1);
static_assert(sizeof(SMPTETime) == 24);
static_assert(sizeof(AudioTimeStamp) == 64);
static_assert(offsetof(AudioTimeStamp, mHostTime) == 8);
static_assert(offsetof(AudioTimeStamp, mRateScalar) == 16);
static_assert(offsetof(AudioTimeStamp, mWordClockTime) == 24);
static_assert(offsetof(AudioTimeStamp, mSMPTETime) == 32);
static_assert(offsetof(AudioTimeStamp, mFlags) == 56);
static_assert(offsetof(AudioTimeStamp, mReserved) == 60);
static_assert(offsetof(AudioServerPlugInIOCycleInfo, mNominalIOBufferFrameSize) == 8);
static_assert(offsetof(AudioServerPlugInIOCycleInfo, mInputTime) == 16);
static_assert(offsetof(AudioServerPlugInIOCycleInfo, mOutputTime) == 80);

namespace {

using Driver = AudioServerPlugInDriverInterface;
using Host = AudioServerPlugInHostInterface;

constexpr std::size_t kSlot = sizeof(void*);

struct TableEntry
{
    const char* fName;
    std::size_t fOffset;
};

#define ENTRY(table, name)                                                                                   \
    TableEntry                                                                                               \
    {                                                                                                        \
#name, offsetof(table, name)                                                                         \
    }

TEST(CoreAudioDriverInterface, EntriesFollowTheServersOrder)
{
    const TableEntry entries[] = {
        ENTRY(Driver, _reserved),
        ENTRY(Driver, QueryInterface),
        ENTRY(Driver, AddRef),
        ENTRY(Driver, Release),
        ENTRY(Driver, Initialize),
        ENTRY(Driver, CreateDevice),
        ENTRY(Driver, DestroyDevice),
        ENTRY(Driver, AddDeviceClient),
        ENTRY(Driver, RemoveDeviceClient),
        ENTRY(Driver, PerformDeviceConfigurationChange),
        ENTRY(Driver, AbortDeviceConfigurationChange),
        ENTRY(Driver, HasProperty),
        ENTRY(Driver, IsPropertySettable),
        ENTRY(Driver, GetPropertyDataSize),
        ENTRY(Driver, GetPropertyData),
        ENTRY(Driver, SetPropertyData),
        ENTRY(Driver, StartIO),
        ENTRY(Driver, StopIO),
        ENTRY(Driver, GetZeroTimeStamp),
        ENTRY(Driver, WillDoIOOperation),
        ENTRY(Driver, BeginIOOperation),
        ENTRY(Driver, DoIOOperation),
        ENTRY(Driver, EndIOOperation),
    };
    for (std::size_t slot = 0; slot < std::size(entries); ++slot) {
        EXPECT_EQ(entries[slot].fOffset, slot * kSlot) << entries[slot].fName;
    }
    EXPECT_EQ(sizeof(Driver), std::size(entries) * kSlot);
}

TEST(CoreAudioDriverInterface, HostEntriesFollowTheServersOrder)
{
    const TableEntry entries[] = {
        ENTRY(Host, PropertiesChanged),
        ENTRY(Host, CopyFromStorage),
        ENTRY(Host, WriteToStorage),
        ENTRY(Host, DeleteFromStorage),
        ENTRY(Host, RequestDeviceConfigurationChange),
    };
    for (std::size_t slot = 0; slot < std::size(entries); ++slot) {
        EXPECT_EQ(entries[slot].fOffset, slot * kSlot) << entries[slot].fName;
    }
    EXPECT_EQ(sizeof(Host), std::size(entries) * kSlot);
}

struct UUIDCase
{
    const char* fName;
    CFUUIDRef fUUID;
    UInt8 fBytes[16];
};

TEST(CoreAudioUUIDs, BytesAreThePlatformsInOrder)
{
    const UUIDCase cases[] = {
        {"kAudioServerPlugInTypeUUID",
         kAudioServerPlugInTypeUUID,
         {0x44, 0x3A, 0xBA, 0xB8, 0xE7, 0xB3, 0x49, 0x1A, 0xB9, 0x85, 0xBE, 0xB9, 0x18, 0x70, 0x30, 0xDB}},
        {"kAudioServerPlugInDriverInterfaceUUID",
         kAudioServerPlugInDriverInterfaceUUID,
         {0xEE, 0xA5, 0x77, 0x3D, 0xCC, 0x43, 0x49, 0xF1, 0x8E, 0x00, 0x8F, 0x96, 0xE7, 0xD2, 0x3B, 0x17}},
        {"IUnknownUUID",
         IUnknownUUID,
         {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}},
    };
    for (const UUIDCase& c : cases) {
        ASSERT_NE(c.fUUID, nullptr) << c.fName;
        const CFUUIDBytes bytes = CFUUIDGetUUIDBytes(c.fUUID);
        EXPECT_EQ(std::memcmp(&bytes, c.fBytes, sizeof(bytes)), 0) << c.fName;
    }
    EXPECT_EQ(kAudioServerPlugInTypeUUID, kAudioServerPlugInTypeUUID);
}

TEST(CoreAudioUUIDs, ComResultsHaveThePlatformsValues)
{
    EXPECT_EQ(S_OK, 0);
    EXPECT_EQ(uint32_t(E_NOINTERFACE), 0x80000004u);
}

struct CodeCase
{
    const char* fName;
    uint32_t fValue;
    uint32_t fExpected;
};

#define CODE(name, expected)                                                                                 \
    CodeCase                                                                                                 \
    {                                                                                                        \
#name, uint32_t(name), expected                                                                      \
    }

TEST(CoreAudioConstants, FourCharacterCodesHaveTheirValues)
{
    const CodeCase cases[] = {
        CODE(kAudioHardwareNoError, 0),
        CODE(kAudioHardwareUnspecifiedError, 0x77686174),
        CODE(kAudioHardwareUnknownPropertyError, 0x77686F3F),
        CODE(kAudioHardwareBadPropertySizeError, 0x2173697A),
        CODE(kAudioHardwareIllegalOperationError, 0x6E6F7065),
        CODE(kAudioHardwareBadObjectError, 0x216F626A),
        CODE(kAudioHardwareUnsupportedOperationError, 0x756E6F70),
        CODE(kAudioDeviceUnsupportedFormatError, 0x21646174),
        CODE(kAudioObjectClassID, 0x616F626A),
        CODE(kAudioPlugInClassID, 0x61706C67),
        CODE(kAudioDeviceClassID, 0x61646576),
        CODE(kAudioStreamClassID, 0x61737472),
        CODE(kAudioLevelControlClassID, 0x6C65766C),
        CODE(kAudioVolumeControlClassID, 0x766C6D65),
        CODE(kAudioBooleanControlClassID, 0x746F676C),
        CODE(kAudioMuteControlClassID, 0x6D757465),
        CODE(kAudioObjectPropertyScopeGlobal, 0x676C6F62),
        CODE(kAudioObjectPropertyScopeInput, 0x696E7074),
        CODE(kAudioObjectPropertyScopeOutput, 0x6F757470),
        CODE(kAudioObjectPropertyElementMain, 0),
        CODE(kAudioObjectUnknown, 0),
        CODE(kAudioObjectPlugInObject, 1),
        CODE(kAudioObjectPropertyOwnedObjects, 0x6F776E64),
        CODE(kAudioObjectPropertyManufacturer, 0x6C6D616B),
        CODE(kAudioPlugInPropertyDeviceList, 0x64657623),
        CODE(kAudioPlugInPropertyTranslateUIDToDevice, 0x75696464),
        CODE(kAudioPlugInPropertyResourceBundle, 0x72737263),
        CODE(kAudioDevicePropertyDeviceUID, 0x75696420),
        CODE(kAudioDevicePropertyStreams, 0x73746D23),
        CODE(kAudioDevicePropertyZeroTimeStampPeriod, 0x72696E67),
        CODE(kAudioStreamPropertyPhysicalFormat, 0x70667420),
        CODE(kAudioBooleanControlPropertyValue, 0x6263766C),
        CODE(kAudioDeviceClockAlgorithmSimpleIIR, 0x69697266),
        CODE(kAudioDeviceTransportTypeUSB, 0x75736220),
        CODE(kAudioDeviceTransportTypeThunderbolt, 0x7468756E),
        CODE(kAudioFormatLinearPCM, 0x6C70636D),
        CODE(kAudioFormatFlagIsFloat, 1),
        CODE(kAudioFormatFlagIsPacked, 8),
        CODE(kAudioChannelLayoutTag_UseChannelDescriptions, 0),
        CODE(kAudioChannelLabel_Unknown, 0xFFFFFFFF),
        CODE(kAudioServerPlugInIOOperationReadInput, 0x72656164),
        CODE(kAudioServerPlugInIOOperationWriteMix, 0x72697465),
    };
    for (const CodeCase& c : cases) {
        EXPECT_EQ(c.fValue, c.fExpected) << c.fName;
    }
}

} // namespace
