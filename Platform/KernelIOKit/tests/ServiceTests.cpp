#include "userspace/UserSpaceNotifications.h"
#include "userspace/UserSpaceRegistry.h"

#include <KernelIOKitTesting/KernelIOKitTesting.h>

#include <IOKit/IOService.h>
#include <libkern/c++/OSArray.h>
#include <libkern/c++/OSBoolean.h>
#include <libkern/c++/OSData.h>
#include <libkern/c++/OSNumber.h>
#include <libkern/c++/OSString.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string>& events()
{
    static std::vector<std::string> recorded;
    return recorded;
}

// Records its termination calls under its "tag" property.
class KernelIOKitToyService : public IOService
{
    OSDeclareDefaultStructors(KernelIOKitToyService)

        public : static KernelIOKitToyService* make(const char* tag)
    {
        auto* service = new KernelIOKitToyService;
        EXPECT_TRUE(service->init());
        service->setProperty("tag", tag);
        return service;
    }

    bool willTerminate(IOService* provider, IOOptionBits options) override
    {
        events().push_back(std::string("willTerminate ") + tag());
        return IOService::willTerminate(provider, options);
    }
    void stop(IOService* provider) override
    {
        events().push_back(std::string("stop ") + tag());
        IOService::stop(provider);
    }

    std::string tag() const { return OSDynamicCast(OSString, getProperty("tag"))->getCStringNoCopy(); }
};

OSDefineMetaClassAndStructors(KernelIOKitToyService, IOService)

    class KernelIOKitToyChildService : public KernelIOKitToyService
{
    OSDeclareDefaultStructors(KernelIOKitToyChildService)
};

OSDefineMetaClassAndStructors(KernelIOKitToyChildService, KernelIOKitToyService)

    using KernelIOKitTesting::liveObjects;

class KernelIOKitServiceTests : public testing::Test
{
protected:
    void SetUp() override
    {
        events().clear();
        fServices = liveObjects("IOService");
        fObjects = liveObjects("OSObject");
    }
    void TearDown() override
    {
        events().clear();
        EXPECT_EQ(liveObjects("IOService"), fServices);
        EXPECT_EQ(liveObjects("OSObject"), fObjects);
    }

    int32_t fServices = 0;
    int32_t fObjects = 0;
};

TEST_F(KernelIOKitServiceTests, PropertiesSetAfterPublicationReachUserSpaceAsTheirCFTypes)
{
    KernelIOKitToyService* service = KernelIOKitToyService::make("published");
    service->registerService();

    OSArray* array = OSArray::withCapacity(1);
    OSString* element = OSString::withCString("element");
    array->setObject(element);
    OSDictionary* dictionary = OSDictionary::withCapacity(1);
    dictionary->setObject("inner", element);
    const uint8_t bytes[] = {0xAB, 0x12};
    OSData* data = OSData::withBytes(bytes, 2);
    OSNumber* number = OSNumber::withNumber(0x1234ABCD, 32);

    struct Case
    {
        const char* key;
        OSObject* value;
        CFTypeID type;
    };
    const Case cases[] = {
        {"string", element, CFStringGetTypeID()},
        {"number", number, CFNumberGetTypeID()},
        {"data", data, CFDataGetTypeID()},
        {"boolean", kOSBooleanTrue, CFBooleanGetTypeID()},
        {"dictionary", dictionary, CFDictionaryGetTypeID()},
        {"array", array, CFArrayGetTypeID()},
    };
    const auto entry = KernelIOKitTesting::registryEntry(service);
    for (const Case& c : cases) {
        ASSERT_TRUE(service->setProperty(c.key, c.value)) << c.key;
        CFTypeRef value = KernelIOKitTestSupport::copyUserSpaceProperty(entry, c.key);
        ASSERT_NE(value, nullptr) << c.key;
        EXPECT_EQ(CFGetTypeID(value), c.type) << c.key;
        CFRelease(value);
    }
    CFTypeRef value = KernelIOKitTestSupport::copyUserSpaceProperty(entry, "number");
    int64_t read = 0;
    CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberSInt64Type, &read);
    EXPECT_EQ(read, 0x1234ABCD);
    CFRelease(value);
    value = KernelIOKitTestSupport::copyUserSpaceProperty(entry, "data");
    EXPECT_EQ(CFDataGetLength(static_cast<CFDataRef>(value)), 2);
    EXPECT_EQ(CFDataGetBytePtr(static_cast<CFDataRef>(value))[0], 0xAB);
    CFRelease(value);
    value = KernelIOKitTestSupport::copyUserSpaceProperty(entry, "dictionary");
    EXPECT_EQ(CFDictionaryGetCount(static_cast<CFDictionaryRef>(value)), 1);
    CFRelease(value);

    service->removeProperty("string");
    EXPECT_EQ(KernelIOKitTestSupport::copyUserSpaceProperty(entry, "string"), nullptr);
    EXPECT_EQ(service->getProperty("string"), nullptr);

    for (OSObject* object : std::initializer_list<OSObject*>{array, element, dictionary, data, number}) {
        object->release();
    }
    service->terminate();
    service->release();
}

TEST_F(KernelIOKitServiceTests, PropertiesAnotherLayerSetReadAsKernelObjects)
{
    KernelIOKitToyService* service = KernelIOKitToyService::make("nub");
    const auto entry = KernelIOKitTesting::registryEntry(service);
    const int32_t product = 12;
    CFNumberRef cfProduct = CFNumberCreate(nullptr, kCFNumberSInt32Type, &product);
    entry->setProperty(CFSTR("idProduct"), cfProduct);
    CFRelease(cfProduct);
    entry->setProperty(CFSTR("USB Serial Number"), CFSTR("AB12cd34"));

    const auto* number = OSDynamicCast(OSNumber, service->getProperty("idProduct"));
    ASSERT_NE(number, nullptr);
    EXPECT_EQ(number->unsigned32BitValue(), 12u);
    const auto* serial = OSDynamicCast(OSString, service->getProperty("USB Serial Number"));
    ASSERT_NE(serial, nullptr);
    EXPECT_STREQ(serial->getCStringNoCopy(), "AB12cd34");
    EXPECT_EQ(service->getProperty("idVendor"), nullptr);
    EXPECT_STREQ(service->getName(), "KernelIOKitToyService");
    service->release();
}

TEST_F(KernelIOKitServiceTests, MatchingFindsPublishedActiveServicesOfTheClassOrASubclass)
{
    KernelIOKitToyService* parent = KernelIOKitToyService::make("parent");
    KernelIOKitToyService* hidden = KernelIOKitToyService::make("hidden");
    auto* child = new KernelIOKitToyChildService;
    ASSERT_TRUE(child->init());
    child->setProperty("tag", "child");
    ASSERT_TRUE(child->attach(parent));
    ASSERT_TRUE(hidden->attach(parent));
    parent->registerService();
    child->registerService();

    auto tagsOf = [](const char* className) {
        std::vector<std::string> tags;
        OSDictionary* matching = IOService::serviceMatching(className);
        OSIterator* iterator = IOService::getMatchingServices(matching);
        while (OSObject* object = iterator->getNextObject()) {
            tags.push_back(OSDynamicCast(KernelIOKitToyService, object)->tag());
        }
        iterator->release();
        matching->release();
        return tags;
    };
    EXPECT_EQ(tagsOf("KernelIOKitToyService"), (std::vector<std::string>{"parent", "child"}));
    EXPECT_EQ(tagsOf("KernelIOKitToyChildService"), (std::vector<std::string>{"child"}));
    EXPECT_EQ(KernelIOKitTestSupport::countUserSpaceServices("KernelIOKitToyService"), 2);
    EXPECT_EQ(KernelIOKitTestSupport::countUserSpaceServices("KernelIOKitToyChildService"), 1);
    EXPECT_EQ(IOService::getMatchingServices(nullptr), nullptr);

    child->release();
    hidden->release();
    parent->terminate();
    EXPECT_TRUE(tagsOf("KernelIOKitToyService").empty());
    EXPECT_EQ(KernelIOKitTestSupport::countUserSpaceServices("KernelIOKitToyService"), 0);
    parent->release();
}

TEST_F(KernelIOKitServiceTests, TerminationWarnsFromTheTopDownThenStopsLeafFirst)
{
    KernelIOKitToyService* device = KernelIOKitToyService::make("device");
    KernelIOKitToyService* nub = KernelIOKitToyService::make("nub");
    KernelIOKitToyService* driver = KernelIOKitToyService::make("driver");
    KernelIOKitToyService* client = KernelIOKitToyService::make("client");
    ASSERT_TRUE(nub->attach(device));
    ASSERT_TRUE(driver->attach(nub));
    ASSERT_TRUE(client->attach(driver));
    EXPECT_EQ(client->getProvider(), driver);
    EXPECT_EQ(driver->getRetainCount(), 3);
    for (KernelIOKitToyService* service : {nub, driver, client}) {
        service->registerService();
        service->release();
    }

    KernelIOKitTestSupport::UserSpaceNotifications terminated("IOServiceTerminate", "KernelIOKitToyService");
    EXPECT_TRUE(device->terminate());
    // The three published ones; the device was never published.
    EXPECT_EQ(terminated.waitForNames(3).size(), 3u);
    EXPECT_EQ(events(),
              (std::vector<std::string>{"willTerminate nub", "willTerminate driver", "willTerminate client",
                                        "stop client", "stop driver", "stop nub"}));
    EXPECT_TRUE(device->isInactive());
    EXPECT_FALSE(device->terminate());
    EXPECT_EQ(KernelIOKitTestSupport::countUserSpaceServices("KernelIOKitToyService"), 0);
    OSIterator* children = device->getChildIterator(gIOServicePlane);
    EXPECT_EQ(children->getNextObject(), nullptr);
    children->release();
    device->release();
}

TEST_F(KernelIOKitServiceTests, FirstPublishReachesUserSpaceAtRegisterService)
{
    KernelIOKitTestSupport::UserSpaceNotifications published("IOServiceFirstPublish",
                                                             "KernelIOKitToyService");
    KernelIOKitToyService* first = KernelIOKitToyService::make("first");
    KernelIOKitToyService* second = KernelIOKitToyService::make("second");
    second->registerService();
    EXPECT_EQ(published.waitForNames(1), std::vector<std::string>{"KernelIOKitToyService"});
    first->registerService();
    EXPECT_EQ(published.waitForNames(2).size(), 2u);
    for (KernelIOKitToyService* service : {first, second}) {
        service->terminate();
        service->release();
    }
}

TEST_F(KernelIOKitServiceTests, OneClientOpensAServiceAtATime)
{
    KernelIOKitToyService* service = KernelIOKitToyService::make("service");
    KernelIOKitToyService* first = KernelIOKitToyService::make("first");
    KernelIOKitToyService* second = KernelIOKitToyService::make("second");
    EXPECT_TRUE(service->open(first));
    EXPECT_TRUE(service->isOpen(first));
    EXPECT_FALSE(service->open(second));
    service->close(second);
    EXPECT_TRUE(service->isOpen(first));
    service->close(first);
    EXPECT_FALSE(service->isOpen());
    EXPECT_TRUE(service->open(second));
    service->close(second);
    service->terminate();
    EXPECT_FALSE(service->open(first));
    for (KernelIOKitToyService* object : {service, first, second}) {
        object->release();
    }
}

TEST_F(KernelIOKitServiceTests, PowerAndLatencyDemandsAreRecorded)
{
    KernelIOKitToyService* provider = KernelIOKitToyService::make("provider");
    KernelIOKitToyService* driver = KernelIOKitToyService::make("driver");
    IOPMPowerState states[3] = {
        {kIOPMPowerStateVersion1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
        {kIOPMPowerStateVersion1, kIOPMLowPower, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0},
        {kIOPMPowerStateVersion1, kIOPMDeviceUsable, 2, 2, 0, 0, 0, 0, 0, 0, 0, 0},
    };
    driver->PMinit();
    provider->joinPMtree(driver);
    EXPECT_EQ(driver->registerPowerDriver(driver, states, 3), kIOReturnSuccess);
    EXPECT_EQ(driver->registerPowerDriver(driver, nullptr, 3), kIOReturnBadArgument);
    const KernelIOKitTesting::PowerRecord record = KernelIOKitTesting::powerRecord(driver);
    EXPECT_TRUE(record.fPMInitialised);
    EXPECT_EQ(record.fPowerParent, provider);
    EXPECT_EQ(record.fPowerDriver, driver);
    ASSERT_EQ(record.fStates.size(), 3u);
    EXPECT_EQ(record.fStates[2].capabilityFlags, static_cast<IOPMPowerFlags>(kIOPMDeviceUsable));
    EXPECT_EQ(record.fStates[1].outputPowerCharacter, 1u);
    EXPECT_EQ(driver->setPowerState(2, driver), kIOPMAckImplied);
    driver->PMstop();
    EXPECT_FALSE(KernelIOKitTesting::powerRecord(driver).fPMInitialised);

    driver->requireMaxBusStall(1);
    driver->requireMaxInterruptDelay(1);
    EXPECT_EQ(KernelIOKitTesting::maxBusStall(driver), 1u);
    EXPECT_EQ(KernelIOKitTesting::maxInterruptDelay(driver), 1u);
    driver->requireMaxBusStall(0);
    EXPECT_EQ(KernelIOKitTesting::maxBusStall(driver), 0u);
    driver->release();
    provider->release();
}

TEST_F(KernelIOKitServiceTests, TheDefaultServiceMakesNoUserClients)
{
    KernelIOKitToyService* service = KernelIOKitToyService::make("service");
    IOUserClient* client = nullptr;
    EXPECT_EQ(service->newUserClient(current_task(), nullptr, 0, nullptr, &client), kIOReturnUnsupported);
    EXPECT_EQ(client, nullptr);
    EXPECT_EQ(service->getWorkLoop(), nullptr);
    service->release();
}

} // namespace
