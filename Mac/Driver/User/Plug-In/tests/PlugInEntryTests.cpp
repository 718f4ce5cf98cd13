#include "CAException.h"
#include "KorvanService.h"
#include "LogLines.h"
#include "RecordingHost.h"
#include "SA_Device.h"
#include "SA_Host.h"
#include "SA_ObjectMap.h"
#include "SA_PlugIn.h"
#include "SA_PlugInInterface.h"
#include "TestDevice.h"
#include "TestObject.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <unistd.h>

using namespace PlugInTesting;

namespace {

constexpr AudioObjectID kObjectID = 900;
constexpr AudioObjectID kUnmappedID = 901;
constexpr AudioObjectPropertyAddress kClassAddress = {
    kAudioObjectPropertyClass, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};

AudioServerPlugInDriverRef CreateDriver()
{
    return static_cast<AudioServerPlugInDriverRef>(
        VORKtideAudioServerPlugin_Create(nullptr, kAudioServerPlugInTypeUUID));
}

// The factory has run and a test object is mapped.
class PlugInEntries : public testing::Test
{
protected:
    void SetUp() override
    {
        fDriver = CreateDriver();
        ASSERT_NE(fDriver, nullptr);
        fObject = new TestObject(kObjectID, &fDestroyed);
        ASSERT_TRUE(SA_ObjectMap::MapObject(kObjectID, fObject));
        fLog = std::make_unique<LogLines>();
    }

    void TearDown() override
    {
        if (fDestroyed == 0) {
            SA_ObjectMap::UnmapObject(kObjectID, fObject);
        }
    }

    AudioServerPlugInDriverInterface& Table() const { return **fDriver; }

    AudioServerPlugInDriverRef fDriver = nullptr;
    TestObject* fObject = nullptr;
    std::atomic<int> fDestroyed{0};
    std::unique_ptr<LogLines> fLog;
};

TEST_F(PlugInEntries, FactoryAnswersOnlyThePlugInType)
{
    EXPECT_EQ(VORKtideAudioServerPlugin_Create(nullptr, kAudioServerPlugInDriverInterfaceUUID), nullptr);
    EXPECT_EQ(VORKtideAudioServerPlugin_Create(nullptr, IUnknownUUID), nullptr);
    EXPECT_EQ(VORKtideAudioServerPlugin_Create(nullptr, nullptr), nullptr);
    EXPECT_EQ(fDriver, SA_DriverRef());
    SA_Object* plugIn = SA_ObjectMap::CopyObjectByObjectID(kAudioObjectPlugInObject);
    EXPECT_EQ(plugIn, &gInstance);
    SA_ObjectMap::ReleaseObject(plugIn);
}

TEST_F(PlugInEntries, QueryInterfaceHandsOutTheDriverForItsTwoInterfaces)
{
    for (CFUUIDRef uuid : {IUnknownUUID, kAudioServerPlugInDriverInterfaceUUID}) {
        void* answer = nullptr;
        const ULONG before = Table().AddRef(fDriver);
        EXPECT_EQ(Table().QueryInterface(fDriver, CFUUIDGetUUIDBytes(uuid), &answer), S_OK);
        EXPECT_EQ(answer, fDriver);
        EXPECT_EQ(Table().Release(fDriver), before) << "QueryInterface raises the count";
        Table().Release(fDriver);
    }
    void* answer = nullptr;
    EXPECT_EQ(Table().QueryInterface(fDriver, CFUUIDGetUUIDBytes(kAudioServerPlugInTypeUUID), &answer),
              E_NOINTERFACE);
    EXPECT_EQ(answer, nullptr);
    EXPECT_TRUE(fLog->contains("SA_QueryInterface"));
}

TEST_F(PlugInEntries, ReleasePastZeroMarksTheInterfaceGone)
{
    // The mark stays for the life of the process, so a child process shows it.
    EXPECT_EXIT(
        {
            while (Table().Release(fDriver) > 0) {
            }
            Table().Release(fDriver);
            void* answer = nullptr;
            const bool gone =
                Table().QueryInterface(fDriver, CFUUIDGetUUIDBytes(IUnknownUUID), &answer) == E_NOINTERFACE &&
                Table().AddRef(fDriver) == 0 && Table().Release(fDriver) == 0;
            _exit(gone ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

// One row per entry that takes an object id: the call, with a choice of driver reference, id and
// whether its required pointers are null.
struct EntryCall
{
    const char* fName;
    bool fDeviceEntry;
    std::function<OSStatus(AudioServerPlugInDriverRef, AudioObjectID, bool nullPointers)> fCall;
};

std::vector<EntryCall> EntryCalls()
{
    static AudioServerPlugInIOCycleInfo cycle = {};
    static AudioObjectPropertyAddress address = kClassAddress;
    auto table = [](AudioServerPlugInDriverRef) -> AudioServerPlugInDriverInterface& {
        return **SA_DriverRef();
    };
    return {
        {"IsPropertySettable", false,
         [=](AudioServerPlugInDriverRef driver, AudioObjectID id, bool null) {
             Boolean settable = true;
             return table(driver).IsPropertySettable(driver, id, 0, &address, null ? nullptr : &settable);
         }},
        {"GetPropertyDataSize", false,
         [=](AudioServerPlugInDriverRef driver, AudioObjectID id, bool null) {
             UInt32 size = 0;
             return table(driver).GetPropertyDataSize(driver, id, 0, &address, 0, nullptr,
                                                      null ? nullptr : &size);
         }},
        {"GetPropertyData", false,
         [=](AudioServerPlugInDriverRef driver, AudioObjectID id, bool null) {
             UInt32 size = 0;
             UInt32 value = 0;
             return table(driver).GetPropertyData(driver, id, 0, &address, 0, nullptr, sizeof(value), &size,
                                                  null ? nullptr : &value);
         }},
        {"GetZeroTimeStamp", true,
         [=](AudioServerPlugInDriverRef driver, AudioObjectID id, bool null) {
             Float64 sampleTime = 0;
             UInt64 hostTime = 0;
             UInt64 seed = 0;
             return table(driver).GetZeroTimeStamp(driver, id, 0, &sampleTime, &hostTime,
                                                   null ? nullptr : &seed);
         }},
        {"WillDoIOOperation", true,
         [=](AudioServerPlugInDriverRef driver, AudioObjectID id, bool null) {
             Boolean willDo = false;
             Boolean inPlace = false;
             return table(driver).WillDoIOOperation(driver, id, 0, kAudioServerPlugInIOOperationReadInput,
                                                    null ? nullptr : &willDo, &inPlace);
         }},
        {"DoIOOperation", true,
         [=](AudioServerPlugInDriverRef driver, AudioObjectID id, bool null) {
             return table(driver).DoIOOperation(driver, id, 0, 0, kAudioServerPlugInIOOperationReadInput, 32,
                                                null ? nullptr : &cycle, nullptr, nullptr);
         }},
        {"StartIO", true,
         [=](AudioServerPlugInDriverRef driver, AudioObjectID id, bool) {
             return table(driver).StartIO(driver, id, 0);
         }},
        {"StopIO", true,
         [=](AudioServerPlugInDriverRef driver, AudioObjectID id, bool) {
             return table(driver).StopIO(driver, id, 0);
         }},
        {"PerformDeviceConfigurationChange", true,
         [=](AudioServerPlugInDriverRef driver, AudioObjectID id, bool) {
             return table(driver).PerformDeviceConfigurationChange(driver, id, 0, nullptr);
         }},
        {"AbortDeviceConfigurationChange", true,
         [=](AudioServerPlugInDriverRef driver, AudioObjectID id, bool) {
             return table(driver).AbortDeviceConfigurationChange(driver, id, 0, nullptr);
         }},
    };
}

bool TakesPointers(const EntryCall& entry)
{
    const std::string name = entry.fName;
    return name != "StartIO" && name != "StopIO" && name.find("Configuration") == std::string::npos;
}

TEST_F(PlugInEntries, EveryEntryChecksItsDriverPointersAndObject)
{
    AudioServerPlugInDriverInterface* otherTable = *fDriver;
    const auto foreign = reinterpret_cast<AudioServerPlugInDriverRef>(&otherTable);
    for (const EntryCall& entry : EntryCalls()) {
        SCOPED_TRACE(entry.fName);
        EXPECT_EQ(entry.fCall(foreign, kObjectID, false), kAudioHardwareBadObjectError) << "foreign driver";
        EXPECT_EQ(entry.fCall(fDriver, kUnmappedID, false), kAudioHardwareBadObjectError) << "unmapped id";
        EXPECT_EQ(entry.fCall(fDriver, kAudioObjectUnknown, false), kAudioHardwareBadObjectError) << "id 0";
        if (TakesPointers(entry)) {
            EXPECT_EQ(entry.fCall(fDriver, kObjectID, true), kAudioHardwareIllegalOperationError)
                << "null pointer";
        }
        if (entry.fDeviceEntry) {
            // Neither the plug-in object nor any other non-device answers a device entry.
            EXPECT_EQ(entry.fCall(fDriver, kAudioObjectPlugInObject, false), kAudioHardwareBadObjectError);
            EXPECT_EQ(entry.fCall(fDriver, kObjectID, false), kAudioHardwareBadObjectError);
        } else {
            EXPECT_EQ(entry.fCall(fDriver, kObjectID, false), kAudioHardwareNoError);
        }
    }
    EXPECT_FALSE(Table().HasProperty(foreign, kObjectID, 0, &kClassAddress));
    EXPECT_FALSE(Table().HasProperty(fDriver, kUnmappedID, 0, &kClassAddress));
    EXPECT_FALSE(Table().HasProperty(fDriver, kObjectID, 0, nullptr));
    EXPECT_TRUE(Table().HasProperty(fDriver, kObjectID, 0, &kClassAddress));
    EXPECT_EQ(Table().AddRef(foreign), 0u);
    EXPECT_EQ(Table().Release(foreign), 0u);
    void* answer = nullptr;
    EXPECT_EQ(Table().QueryInterface(foreign, CFUUIDGetUUIDBytes(IUnknownUUID), &answer),
              kAudioHardwareBadObjectError);
    EXPECT_EQ(Table().QueryInterface(fDriver, CFUUIDGetUUIDBytes(IUnknownUUID), nullptr),
              kAudioHardwareIllegalOperationError);
    // Every entry released what it copied: the map's reference is the last.
    EXPECT_EQ(SA_ObjectMap::RetainObject(fObject), 2u);
    SA_ObjectMap::ReleaseObject(fObject);
}

TEST_F(PlugInEntries, UnknownSelectorIsWhoWithItsLogLine)
{
    const AudioObjectPropertyAddress unknown = {'zzzz', kAudioObjectPropertyScopeGlobal, 0};
    UInt32 size = 0;
    UInt32 value = 0;
    EXPECT_EQ(Table().GetPropertyData(fDriver, kObjectID, 0, &unknown, 0, nullptr, 4, &size, &value),
              kAudioHardwareUnknownPropertyError);
    EXPECT_TRUE(fLog->contains("SA_GetPropertyData id 900 zzzz returning does not have property"));
    EXPECT_EQ(Table().GetPropertyDataSize(fDriver, kObjectID, 0, &unknown, 0, nullptr, &size),
              kAudioHardwareUnknownPropertyError);
    Boolean settable = false;
    EXPECT_EQ(Table().IsPropertySettable(fDriver, kObjectID, 0, &unknown, &settable),
              kAudioHardwareUnknownPropertyError);
    EXPECT_FALSE(Table().HasProperty(fDriver, kObjectID, 0, &unknown));
}

TEST_F(PlugInEntries, DeviceCreationIsUnsupported)
{
    AudioObjectID created = 0;
    EXPECT_EQ(Table().CreateDevice(fDriver, nullptr, nullptr, &created),
              kAudioHardwareUnsupportedOperationError);
    EXPECT_EQ(Table().DestroyDevice(fDriver, kObjectID), kAudioHardwareUnsupportedOperationError);
    EXPECT_EQ(Table().AddDeviceClient(fDriver, kObjectID, nullptr), kAudioHardwareNoError);
    EXPECT_EQ(Table().RemoveDeviceClient(fDriver, kObjectID, nullptr), kAudioHardwareNoError);
    EXPECT_EQ(Table().BeginIOOperation(fDriver, kObjectID, 0, 0, 0, nullptr), kAudioHardwareNoError);
    EXPECT_EQ(Table().EndIOOperation(fDriver, kObjectID, 0, 0, 0, nullptr), kAudioHardwareNoError);
}

struct ThrowCase
{
    const char* fName;
    std::function<void()> fThrow;
    OSStatus fResult;
    const char* fLine;
};

TEST_F(PlugInEntries, ThrownFailuresBecomeTheirStatusWithTheirLogLine)
{
    const AudioObjectPropertyAddress manufacturer = {
        kAudioObjectPropertyManufacturer, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
    const ThrowCase cases[] = {
        {"status code", [] { throw CAException(kAudioHardwareBadPropertySizeError); },
         kAudioHardwareBadPropertySizeError,
         "SA_GetPropertyData caught exception 561211770 : 2173697a : !siz for prop {.mSelector: 1819107691 "
         "(lmak) "
         ".mScope: 1735159650 (glob) .mElement: 0}"},
        {"other exception", [] { throw std::runtime_error("broken"); }, kAudioHardwareUnspecifiedError,
         "SA_GetPropertyData caught unknown exception"},
    };
    // The test object claims every selector it is asked about through 'clas'; 'lmak' is asked
    // through an object that has it.
    class Manufacturer : public TestObject
    {
    public:
        using TestObject::TestObject;
        bool HasProperty(AudioObjectID, pid_t, const AudioObjectPropertyAddress&) override { return true; }
    };
    for (const ThrowCase& c : cases) {
        SCOPED_TRACE(c.fName);
        std::atomic<int> destroyed{0};
        auto* object = new Manufacturer(kObjectID + 10, &destroyed);
        object->fThrow = c.fThrow;
        ASSERT_TRUE(SA_ObjectMap::MapObject(kObjectID + 10, object));
        UInt32 size = 0;
        UInt32 value = 0;
        EXPECT_EQ(
            Table().GetPropertyData(fDriver, kObjectID + 10, 0, &manufacturer, 0, nullptr, 4, &size, &value),
            c.fResult);
        EXPECT_TRUE(fLog->contains(c.fLine)) << fLog->text();
        // The entry's reference went with the throw: unmapping destroys the object.
        SA_ObjectMap::UnmapObject(kObjectID + 10, object);
        EXPECT_EQ(destroyed, 1);
    }
}

TEST_F(PlugInEntries, DeviceEntriesReachTheDevice)
{
    constexpr AudioObjectID kDeviceID = 950;
    SA_Device* device = TestDevice::Create(kDeviceID, KorvanService(0, KorvanService::kBusTypeUSB), nullptr);
    ASSERT_TRUE(SA_ObjectMap::MapObject(kDeviceID, device));
    ClearDeviceEvents();
    struct Operation
    {
        UInt32 fID;
        bool fWillDo;
    };
    const Operation operations[] = {{kAudioServerPlugInIOOperationReadInput, true},
                                    {kAudioServerPlugInIOOperationWriteMix, true},
                                    {'mix ', false},
                                    {kAudioServerPlugInIOOperationMixOutput, false},
                                    {kAudioServerPlugInIOOperationCycle, false}};
    for (const Operation& operation : operations) {
        Boolean willDo = !operation.fWillDo;
        Boolean inPlace = false;
        EXPECT_EQ(Table().WillDoIOOperation(fDriver, kDeviceID, 0, operation.fID, &willDo, &inPlace), 0);
        EXPECT_EQ(bool(willDo), operation.fWillDo) << operation.fID;
        EXPECT_TRUE(inPlace);
    }
    AudioServerPlugInIOCycleInfo cycle = {};
    Float64 sampleTime = -1;
    UInt64 hostTime = 1;
    UInt64 seed = 0;
    EXPECT_EQ(Table().StartIO(fDriver, kDeviceID, 7), 0);
    EXPECT_EQ(Table().GetZeroTimeStamp(fDriver, kDeviceID, 7, &sampleTime, &hostTime, &seed), 0);
    EXPECT_EQ(Table().DoIOOperation(fDriver, kDeviceID, 951, 7, kAudioServerPlugInIOOperationReadInput, 512,
                                    &cycle, nullptr, nullptr),
              0);
    EXPECT_EQ(Table().StopIO(fDriver, kDeviceID, 7), 0);
    EXPECT_EQ(Table().PerformDeviceConfigurationChange(fDriver, kDeviceID, 'vork', nullptr), 0);
    EXPECT_EQ(Table().AbortDeviceConfigurationChange(fDriver, kDeviceID, 'vork', nullptr), 0);
    const std::vector<std::string> expected = {
        "StartIO 950 7",
        "DoIOOperation 950 951 " + std::to_string(kAudioServerPlugInIOOperationReadInput) + " 512",
        "StopIO 950 7",
        "PerformConfigChange 950 " + std::to_string(UInt64('vork')),
        "AbortConfigChange 950 " + std::to_string(UInt64('vork')),
    };
    EXPECT_EQ(DeviceEvents(), expected);
    EXPECT_EQ(seed, 1u);
    // The IO entries log nothing on their normal path.
    EXPECT_FALSE(fLog->contains("SA_DoIOOperation"));
    EXPECT_FALSE(fLog->contains("SA_GetZeroTimeStamp"));
    SA_ObjectMap::UnmapObject(kDeviceID, device);
    EXPECT_EQ(DeviceEvents().back(), "destroy 950");
}

} // namespace

namespace {

TEST(PlugInHostWrappers, DoNothingBeforeInitializeThenAnnounceTheDeviceList)
{
    // No host yet: each wrapper returns without a call.
    Host_DeviceAvailChanged();
    Host_PropertiesChanged(kAudioObjectPlugInObject, 1, &kClassAddress);
    Host_RequestDeviceConfigurationChange(32, 'vork', nullptr);

    RecordingHost host;
    Host_SetHost(host.Ref());
    Host_DeviceAvailChanged();
    Host_SetHost(nullptr);
    const std::vector<PropertiesChange> changes = host.Changes();
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_TRUE(IsDeviceListChange(changes[0]));
}

} // namespace
