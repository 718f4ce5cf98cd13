#include "CAException.h"
#include "FakeKernelUserClient.h"
#include "LogLines.h"
#include "RecordingHost.h"
#include "SA_Device.h"
#include "SA_Host.h"
#include "SA_ObjectMap.h"
#include "SA_PlugIn.h"
#include "SA_PlugInInterface.h"
#include "TestDevice.h"
#include "TestObject.h"
#include "WorkLoop.h"
#include <DarwinTesting/Eventually.h>

#include <CoreFoundationTesting/RunLoop.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <thread>

using namespace PlugInTesting;

namespace {

AudioObjectPropertyAddress Global(AudioObjectPropertySelector selector)
{
    return {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
}

std::vector<AudioObjectID> DeviceList()
{
    UInt32 size = 0;
    AudioObjectID ids[8] = {};
    gInstance.GetPropertyData(kAudioObjectPlugInObject, 0, Global(kAudioPlugInPropertyDeviceList), 0, nullptr,
                              sizeof(ids), size, ids);
    return {ids, ids + size / sizeof(AudioObjectID)};
}

bool HasEvent(const std::string& event)
{
    const std::vector<std::string> events = DeviceEvents();
    return std::find(events.begin(), events.end(), event) != events.end();
}

// Removes every device the plug-in still lists, as their services' termination would.
void RemoveDevices()
{
    for (AudioObjectID deviceID : DeviceList()) {
        SA_Object* device = SA_ObjectMap::CopyObjectByObjectID(deviceID);
        gInstance.ServiceTerminated(static_cast<SA_Device*>(device)->GetService());
        SA_ObjectMap::ReleaseObject(device);
    }
}

// The plug-in initialised through its driver interface with a recording host; its work-loop
// thread runs until the test ends, and the plug-in is left without devices, as it was found.
class PlugInObject : public testing::Test
{
protected:
    void SetUp() override
    {
        fDriver = static_cast<AudioServerPlugInDriverRef>(
            VORKtideAudioServerPlugin_Create(nullptr, kAudioServerPlugInTypeUUID));
        fLog = std::make_unique<LogLines>();
        ClearDeviceEvents();
    }

    void TearDown() override
    {
        gInstance.Deactivate();
        RemoveDevices();
        Host_SetHost(nullptr);
    }

    void Initialize() { ASSERT_EQ((**fDriver).Initialize(fDriver, fHost.Ref()), 0); }

    AudioServerPlugInDriverRef fDriver = nullptr;
    RecordingHost fHost;
    std::unique_ptr<LogLines> fLog;
};

TEST_F(PlugInObject, InitializeStartsTheThreadOnceAndAsksForReenumerationBeforeMatching)
{
    FakeKernelService present("present1");
    present.publish();
    Initialize();
    Initialize();
    ASSERT_TRUE(DarwinTesting::eventually([&] { return fLog->contains("SERVICE REGISTERED"); }));
    const std::string log = fLog->text();
    EXPECT_EQ(fLog->count("WorkLoopThreadStarted"), 1);
    const size_t started = log.find("WorkLoopThreadStarted");
    const size_t request = log.find("void ResetUACDevicesTimer::Impl::ResetUAC()");
    const size_t registered = log.find("SERVICE REGISTERED");
    EXPECT_LT(started, request);
    EXPECT_LT(request, registered);
}

TEST_F(PlugInObject, PublishedServiceBecomesAnActiveDeviceAndTerminationRemovesIt)
{
    const size_t before = DeviceList().size();
    Initialize();
    FakeKernelService service("device01");
    service.publish();
    ASSERT_TRUE(fHost.WaitForChanges(1));
    ASSERT_TRUE(DarwinTesting::eventually([&] { return DeviceList().size() == before + 1; }));
    const AudioObjectID deviceID = DeviceList().back();
    EXPECT_TRUE(fLog->contains("SERVICE REGISTERED"));
    EXPECT_TRUE(fLog->contains("creating new sa_device id " + std::to_string(deviceID)));
    EXPECT_TRUE(HasEvent("activate " + std::to_string(deviceID)));
    EXPECT_EQ(service.openCount(kAudioClientType), 1);
    std::vector<PropertiesChange> changes = fHost.Changes();
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_TRUE(IsDeviceListChange(changes[0]));

    // An audio-server call still holds the device when its service goes.
    SA_Object* held = SA_ObjectMap::CopyObjectByObjectID(deviceID);
    ASSERT_NE(held, nullptr);
    service.terminate();
    ASSERT_TRUE(fHost.WaitForChanges(2));
    ASSERT_TRUE(
        DarwinTesting::eventually([&] { return HasEvent("deactivate " + std::to_string(deviceID)); }));
    changes = fHost.Changes();
    EXPECT_TRUE(IsDeviceListChange(changes[1]));
    EXPECT_EQ(DeviceList().size(), before);
    // The plug-in has dropped its references; the held one keeps the device.
    ASSERT_TRUE(DarwinTesting::eventually([&] {
        const UInt32 count = SA_ObjectMap::RetainObject(held);
        SA_ObjectMap::ReleaseObject(held);
        return count == 2;
    }));
    EXPECT_FALSE(HasEvent("destroy " + std::to_string(deviceID)));
    char deleting[64];
    std::snprintf(deleting, sizeof(deleting), "Deleting %p objID %u", static_cast<void*>(held), deviceID);
    SA_ObjectMap::ReleaseObject(held);
    EXPECT_TRUE(HasEvent("destroy " + std::to_string(deviceID)));
    EXPECT_TRUE(fLog->contains(deleting));
    EXPECT_EQ(service.openCount(kAudioClientType), 0);
}

TEST_F(PlugInObject, TerminatedServiceWithoutDeviceNotifiesNothing)
{
    Host_SetHost(fHost.Ref());
    FakeKernelService service("nodevice");
    service.publish();
    const io_service_t handle = service.copyHandle();
    gInstance.ServiceTerminated(KorvanService(handle, KorvanService::kBusTypeUSB));
    IOObjectRelease(handle);
    EXPECT_TRUE(fHost.Changes().empty());
    EXPECT_TRUE(fLog->contains("ServiceTerminated"));
}

// Devices added on the test's own thread, without the work-loop thread.
class PlugInProperties : public PlugInObject
{
protected:
    void AddDevices(int count)
    {
        for (int index = 0; index < count; ++index) {
            fServices.push_back(std::make_unique<FakeKernelService>("props" + std::to_string(index)));
            fServices.back()->publish();
            const io_service_t handle = fServices.back()->copyHandle();
            gInstance.ServiceRegistered(KorvanService(handle, KorvanService::kBusTypeUSB));
            IOObjectRelease(handle);
        }
    }

    OSStatus Get(AudioObjectPropertySelector selector, UInt32 inDataSize, void* data, UInt32& size,
                 UInt32 qualifierSize = 0, const void* qualifier = nullptr)
    {
        const AudioObjectPropertyAddress address = Global(selector);
        return (**fDriver).GetPropertyData(fDriver, kAudioObjectPlugInObject, 0, &address, qualifierSize,
                                           qualifier, inDataSize, &size, data);
    }

    std::vector<std::unique_ptr<FakeKernelService>> fServices;
};

TEST_F(PlugInProperties, DeviceListAndOwnedObjectsFollowTheDevices)
{
    struct ListCase
    {
        int fDevices;
        UInt32 fBuffer;
        size_t fExpected;
    };
    const ListCase cases[] = {{0, 32, 0}, {1, 32, 1}, {2, 32, 2}, {2, 4, 1}, {2, 7, 1}, {2, 0, 0}};
    int added = 0;
    for (const ListCase& c : cases) {
        AddDevices(c.fDevices - added);
        added = c.fDevices;
        for (AudioObjectPropertySelector selector :
             {AudioObjectPropertySelector(kAudioPlugInPropertyDeviceList),
              AudioObjectPropertySelector(kAudioObjectPropertyOwnedObjects)}) {
            SCOPED_TRACE(std::to_string(c.fDevices) + " devices, buffer " + std::to_string(c.fBuffer));
            AudioObjectID ids[8] = {};
            UInt32 size = 99;
            UInt32 fullSize = 0;
            const AudioObjectPropertyAddress address = Global(selector);
            EXPECT_EQ((**fDriver).GetPropertyDataSize(fDriver, 1, 0, &address, 0, nullptr, &fullSize), 0);
            EXPECT_EQ(fullSize, c.fDevices * sizeof(AudioObjectID));
            EXPECT_EQ(Get(selector, c.fBuffer, ids, size), 0);
            EXPECT_EQ(size, c.fExpected * sizeof(AudioObjectID));
            for (size_t index = 0; index < c.fExpected; ++index) {
                EXPECT_TRUE(HasEvent("create " + std::to_string(ids[index])));
            }
            if (c.fExpected == 2) {
                EXPECT_LT(ids[0], ids[1]) << "in order of creation";
            }
        }
    }
}

TEST_F(PlugInProperties, ValuesSizesAndFailures)
{
    CFStringRef text = nullptr;
    UInt32 size = 0;
    EXPECT_EQ(Get(kAudioObjectPropertyManufacturer, sizeof(text), &text, size), 0);
    EXPECT_EQ(size, sizeof(CFStringRef));
    EXPECT_TRUE(CFEqual(text, CFSTR("VORK, Inc.")));
    EXPECT_EQ(Get(kAudioObjectPropertyManufacturer, 4, &text, size), kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(Get(kAudioPlugInPropertyResourceBundle, sizeof(text), &text, size), 0);
    EXPECT_TRUE(CFEqual(text, CFSTR("")));
    EXPECT_EQ(Get(kAudioPlugInPropertyResourceBundle, 4, &text, size), kAudioHardwareBadPropertySizeError);

    // Fault: 'uidd' reported success and left the caller's id unwritten.
    CFStringRef uid = CFSTR("someUID");
    AudioObjectID found = 12345;
    EXPECT_EQ(Get(kAudioPlugInPropertyTranslateUIDToDevice, sizeof(found), &found, size, sizeof(uid), &uid),
              0);
    EXPECT_EQ(size, sizeof(AudioObjectID));
    EXPECT_EQ(found, kAudioObjectUnknown);
    EXPECT_TRUE(fLog->contains("kAudioPlugInPropertyTranslateUIDToDevice called, not implemented!"));
    EXPECT_EQ(Get(kAudioPlugInPropertyTranslateUIDToDevice, 2, &found, size, sizeof(uid), &uid),
              kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(Get(kAudioPlugInPropertyTranslateUIDToDevice, sizeof(found), &found, size, 4, &uid),
              kAudioHardwareBadPropertySizeError);

    struct ValueCase
    {
        AudioObjectPropertySelector fSelector;
        UInt32 fValue;
    };
    for (const ValueCase& c : {ValueCase{kAudioObjectPropertyClass, kAudioPlugInClassID},
                               ValueCase{kAudioObjectPropertyBaseClass, kAudioObjectClassID},
                               ValueCase{kAudioObjectPropertyOwner, kAudioObjectUnknown}}) {
        UInt32 value = 0xDEAD;
        EXPECT_EQ(Get(c.fSelector, sizeof(value), &value, size), 0);
        EXPECT_EQ(value, c.fValue);
    }

    for (AudioObjectPropertySelector selector :
         {AudioObjectPropertySelector(kAudioPlugInPropertyDeviceList),
          AudioObjectPropertySelector(kAudioObjectPropertyManufacturer),
          AudioObjectPropertySelector(kAudioObjectPropertyClass), AudioObjectPropertySelector('zzzz')}) {
        const AudioObjectPropertyAddress address = Global(selector);
        UInt32 value = 0;
        EXPECT_EQ((**fDriver).SetPropertyData(fDriver, 1, 0, &address, 0, nullptr, sizeof(value), &value),
                  kAudioHardwareUnknownPropertyError);
        Boolean settable = true;
        if (selector != 'zzzz') {
            EXPECT_EQ((**fDriver).IsPropertySettable(fDriver, 1, 0, &address, &settable), 0);
            EXPECT_FALSE(settable);
        }
    }
}

// A work item that waits for its gate, then registers a service: the device is made, and the
// work-loop thread then needs the plug-in's mutex to list it.
struct GatedRegistration : WorkItem
{
    static bool Run(WorkLoopItem*, void* userData)
    {
        auto* self = static_cast<GatedRegistration*>(userData);
        self->fWaiting = true;
        self->fGate.wait();
        // The loop goes when its thread stops, before the test destroys the item.
        self->Detach();
        gInstance.ServiceRegistered(KorvanService(self->fService, KorvanService::kBusTypeUSB));
        return true;
    }

    io_service_t fService = 0;
    Gate fGate;
    std::atomic<bool> fWaiting{false};
};

// Fault: Deactivate stopped the thread while holding the mutex that the thread waited for.
TEST_F(PlugInObject, DeactivateFinishesWhileServiceRegisteredWaitsForTheMutex)
{
    Initialize();
    FakeKernelService service("waiting1");
    GatedRegistration registration;
    registration.fService = service.copyHandle();
    registration.Init(gInstance.fWorkLoop.get(), GatedRegistration::Run, &registration);
    registration.Queue();
    ASSERT_TRUE(DarwinTesting::eventually([&] { return registration.fWaiting.load(); }));

    std::atomic<bool> deactivated{false};
    std::thread deactivator([&] {
        gInstance.Deactivate();
        deactivated = true;
    });
    // Deactivate has marked the plug-in inactive, under the mutex, and goes on to stop the thread.
    EXPECT_TRUE(DarwinTesting::eventually([] { return !gInstance.IsActive(); }));
    registration.fGate.open();
    if (!DarwinTesting::eventually([&] { return deactivated.load(); })) {
        ADD_FAILURE() << "Deactivate and the work-loop thread wait for each other";
        std::abort();
    }
    deactivator.join();
    EXPECT_EQ(DeviceList().size(), 1u);
    IOObjectRelease(registration.fService);
}

} // namespace
