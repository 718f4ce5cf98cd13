#include <KextTestSupport.h>

#include "com_vork_driver_tide_proxyEventSource.h"
#include "com_vork_driver_tide_stream_interface.h"

#include <libkern/c++/OSNumber.h>
#include <libkern/c++/OSString.h>

#include <atomic>

namespace KextTesting {
namespace {

// The system's class driver as it sits on an interface nub.
class AppleUSBAudioDevice : public IOService
{
    OSDeclareDefaultStructors(AppleUSBAudioDevice)
};

OSDefineMetaClassAndStructors(AppleUSBAudioDevice, IOService)

    IOService* serviceWith(std::initializer_list<std::pair<const char*, uint32_t>> properties)
{
    auto* service = new IOService;
    service->init();
    for (const auto& [key, value] : properties) {
        service->setProperty(key, value, 32);
    }
    return service;
}

using KextServiceTests = KextFixture;

TEST_F(KextServiceTests, ProbeAcceptsOnlyTheMakersProductTwelve)
{
    constexpr uint32_t kMaker = KorvanDeviceIdentities::kVendorID;
    struct Case
    {
        const char* name;
        std::initializer_list<std::pair<const char*, uint32_t>> properties;
        bool matches;
    };
    const Case cases[] = {
        {"Wrenlet", {{"idVendor", kMaker}, {"idProduct", 12}}, true},
        {"product 14", {{"idVendor", kMaker}, {"idProduct", 14}}, false},
        {"foreign vendor", {{"idVendor", 0x1209}, {"idProduct", 12}}, false},
        {"no product", {{"idVendor", kMaker}}, false},
    };
    auto* driver = new com_vork_driver_tide_stream_interface;
    ASSERT_TRUE(driver->init());
    for (const Case& c : cases) {
        IOService* provider = serviceWith(c.properties);
        SInt32 score = 0;
        EXPECT_EQ(driver->probe(provider, &score), c.matches ? driver : nullptr) << c.name;
        EXPECT_EQ(score, c.matches ? 1000001 : 0) << c.name;
        provider->release();
    }
    const std::vector<std::string> lines = logLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "VORK PROBED BASE IFACE\n"), 1);
    SInt32 score = 0;
    EXPECT_EQ(driver->probe(nullptr, &score), nullptr);
    IOService* provider = serviceWith({{"idVendor", kMaker}, {"idProduct", 12}});
    EXPECT_EQ(driver->probe(provider, nullptr), nullptr);
    provider->release();
    driver->release();
}

TEST_F(KextServiceTests, StartPublishesFirstAndSetsTheUIDLast)
{
    plugIn(wrenlet());
    ASSERT_NE(startControl(false), nullptr);
    const auto* uid = OSDynamicCast(OSString, fControl->getProperty("com_vork_driver_tide_device_UID"));
    ASSERT_NE(uid, nullptr);
    EXPECT_STREQ(uid->getCStringNoCopy(), "ab12cd34");
    std::vector<std::string> lines = logLines();
    const std::vector<std::string> order{"KorvanUAC_Control::start\n", "KorvanUAC_Base::Registered Power\n",
                                         "It's a VORK USB device!\n", "USBProvider::init\n",
                                         "USBProvider UID ab12cd34\n"};
    auto at = lines.begin();
    for (const std::string& line : order) {
        at = std::find(at, lines.end(), line);
        ASSERT_NE(at, lines.end()) << line;
    }
    EXPECT_TRUE(logged("Looking for Apple UAC services matching: 14500000\n"));
    EXPECT_EQ(KernelIOKitTesting::powerRecord(fControl).fStates.size(), 3u);
    EXPECT_EQ(KernelIOKitTesting::powerRecord(fControl).fPowerParent, fControlNub);
}

TEST_F(KextServiceTests, InstanceNumbersCountEveryStart)
{
    plugIn(wrenlet());
    auto* stream = new com_vork_driver_tide_stream_interface;
    ASSERT_TRUE(stream->init());
    ASSERT_TRUE(stream->attach(KernelIOKitTesting::interfaceNub(fDevice, 1)));
    ASSERT_TRUE(stream->start(KernelIOKitTesting::interfaceNub(fDevice, 1)));
    ASSERT_NE(startControl(), nullptr);
    unsigned first = 0;
    unsigned second = 0;
    for (const std::string& line : logLines()) {
        unsigned number = 0;
        if (std::sscanf(line.c_str(), "VORK STARTED BASE IFACE %u", &number) == 1) {
            (first == 0 ? first : second) = number;
        }
    }
    EXPECT_EQ(second, first + 1);
    stream->release();
}

struct EvictionCase
{
    const char* name;
    bool onOurInterface;
    std::vector<std::pair<const char*, uint32_t>> host;
    bool evicts;
};

void PrintTo(const EvictionCase& c, std::ostream* out)
{
    *out << c.name;
}

class KextEvictionTests : public KextFixture, public testing::WithParamInterface<EvictionCase>
{};

constexpr uint32_t kMaker = KorvanDeviceIdentities::kVendorID;

INSTANTIATE_TEST_SUITE_P(
    Stand, KextEvictionTests,
    testing::Values(EvictionCase{"OurInterface", true, {}, true},
                    EvictionCase{"AnotherDevice",
                                 false,
                                 {{"locationID", 0x14200000}, {"idVendor", kMaker}, {"idProduct", 12}},
                                 false},
                    EvictionCase{"SameLocationProduct14",
                                 false,
                                 {{"locationID", 0x14500000}, {"idVendor", kMaker}, {"idProduct", 14}},
                                 false},
                    EvictionCase{"NoLocation", false, {{"idVendor", kMaker}, {"idProduct", 12}}, false}),
    [](const testing::TestParamInfo<EvictionCase>& info) { return std::string(info.param.name); });

TEST_P(KextEvictionTests, TheClassDriverOnOurDeviceIsEvictedByAReset)
{
    const EvictionCase& c = GetParam();
    plugIn(wrenlet());
    const std::shared_ptr<SimUSB::HostDevice> before = SimUSB::Bus::shared().device(kPort);
    IOService* host = fControlNub;
    if (!c.onOurInterface) {
        host = new IOService;
        host->init();
        for (const auto& [key, value] : c.host) {
            host->setProperty(key, value, 32);
        }
    }
    auto* standIn = new AppleUSBAudioDevice;
    standIn->init();
    ASSERT_TRUE(standIn->attach(host));
    standIn->registerService();
    KextTestControl* control = startControl();
    EXPECT_EQ(control != nullptr, !c.evicts);
    EXPECT_EQ(KernelIOKitTesting::resetCount(fDevice), c.evicts ? 1 : 0);
    EXPECT_EQ(logged("Apple UAC driver is loaded: 14500000\n"), c.evicts);
    EXPECT_EQ(logged("Reset USB to unload Apple UAC\n"), c.evicts);
    if (c.evicts) {
        // The device comes back as a new enumeration.
        EXPECT_TRUE(DarwinTesting::eventually([&] {
            auto now = SimUSB::Bus::shared().device(kPort);
            return now && now != before && now->connected();
        }));
    }
    standIn->terminate();
    standIn->release();
    if (!c.onOurInterface) {
        host->release();
    }
}

TEST_F(KextServiceTests, StartFailsWithoutAUSBInterfaceOrAProvider)
{
    plugIn(wrenlet());
    auto* control = new KextTestControl;
    control->init();
    IOService* notUSB = serviceWith({});
    ASSERT_TRUE(control->attach(notUSB));
    EXPECT_FALSE(control->start(notUSB));
    control->terminate();
    control->release();
    notUSB->release();

    KextTestControl::sFailProviderCreation = true;
    EXPECT_EQ(startControl(), nullptr);
    bool loadFailure = false;
    for (const std::string& line : logLines()) {
        loadFailure |=
            line.rfind("VORK Korvan Driver: Couldn't load.  File Kernel/KorvanDevice, line ", 0) == 0;
    }
    EXPECT_TRUE(loadFailure);
    EXPECT_FALSE(fControlNub->isOpen());
}

TEST_F(KextServiceTests, OneClientOfEachTypeAtATime)
{
    plugIn(wrenlet());
    ASSERT_NE(startControl(), nullptr);
    IOUserClient* audio = nullptr;
    IOUserClient* test = nullptr;
    IOUserClient* refused = nullptr;
    constexpr UInt32 kAudio = com_vork_driver_tide_userClient::kAudioClientType;
    constexpr UInt32 kTest = com_vork_driver_tide_userClient::kTestClientType;
    ASSERT_EQ(fControl->newUserClient(current_task(), nullptr, kAudio, nullptr, &audio), kIOReturnSuccess);
    EXPECT_EQ(fControl->newUserClient(current_task(), nullptr, kAudio, nullptr, &refused),
              kIOReturnUnsupported);
    EXPECT_TRUE(logged("KorvanUAC_Control::newUserClient can't create multiple audio user clients\n"));
    ASSERT_EQ(fControl->newUserClient(current_task(), nullptr, kTest, nullptr, &test), kIOReturnSuccess);
    EXPECT_EQ(fControl->newUserClient(current_task(), nullptr, 0x41424344, nullptr, &refused),
              kIOReturnUnsupported);
    EXPECT_TRUE(logged("!!!Unknown user client type!!!\n"));
    EXPECT_TRUE(logged("newUserClient type IOIO\n"));
    EXPECT_EQ(refused, nullptr);

    audio->clientClose();
    audio->release();
    ASSERT_EQ(fControl->newUserClient(current_task(), nullptr, kAudio, nullptr, &audio), kIOReturnSuccess);
    audio->clientClose();
    audio->release();
    test->clientClose();
    test->release();
}

TEST_F(KextServiceTests, AClientThatCannotBeMadeIsReportedAndLeavesTheSlotFree)
{
    plugIn(wrenlet());
    ASSERT_NE(startControl(), nullptr);
    KernelIOKitTesting::failNextCreations(1);
    IOUserClient* client = nullptr;
    EXPECT_EQ(fControl->newUserClient(current_task(), nullptr,
                                      com_vork_driver_tide_userClient::kAudioClientType, nullptr, &client),
              kIOReturnError);
    bool reported = false;
    for (const std::string& line : logLines()) {
        reported |= line.rfind("ReportError(Kernel/KorvanDevice ", 0) == 0 &&
                    line.find(": E00002BC)\n") != std::string::npos;
    }
    EXPECT_TRUE(reported);
    ASSERT_EQ(fControl->newUserClient(current_task(), nullptr,
                                      com_vork_driver_tide_userClient::kAudioClientType, nullptr, &client),
              kIOReturnSuccess);
    client->clientClose();
    client->release();
}

TEST_F(KextServiceTests, StartFailsWhenTheUSBProviderCannotBeMade)
{
    plugIn(wrenlet());
    KernelIOKitTesting::failNextCreations(1);
    EXPECT_EQ(startControl(false), nullptr);
    bool loadFailure = false;
    for (const std::string& line : logLines()) {
        loadFailure |=
            line.rfind("VORK Korvan Driver: Couldn't load.  File Kernel/KorvanDevice, line ", 0) == 0;
    }
    EXPECT_TRUE(loadFailure);
    EXPECT_FALSE(fControlNub->isOpen());
    EXPECT_EQ(KernelIOKitTesting::liveObjects("KextTestControl"), 0);
}

TEST_F(KextServiceTests, BufferDescriptorsComeFromTheProviderRetained)
{
    plugIn(wrenlet());
    ASSERT_NE(startControl(), nullptr);
    for (int type : {1, 2}) {
        IOMemoryDescriptor* ring = fControl->GetBufferDesc(type);
        ASSERT_NE(ring, nullptr) << type;
        EXPECT_EQ(ring->getLength(), KorvanDeviceIO::kRequestRingSizeBytes);
        EXPECT_EQ(ring->getRetainCount(), 2);
        ring->release();
    }
    EXPECT_EQ(fControl->GetBufferDesc(3), nullptr);
    auto* unstarted = new KextTestControl;
    unstarted->init();
    EXPECT_EQ(unstarted->GetBufferDesc(1), nullptr);
    unstarted->release();
}

TEST_F(KextServiceTests, PowerStatesSleepAndWakeThroughTheProvider)
{
    plugIn(wrenlet());
    ASSERT_NE(startControl(), nullptr);
    KextRecordingProvider* provider = recording();
    struct Step
    {
        unsigned long state;
        bool initSucceeds;
        std::vector<std::string> calls;
    };
    const Step steps[] = {
        {1, true, {"HardwareStop"}},
        {1, true, {}},
        {0, true, {}},
        {2, true, {"HardwareInit"}},
        {2, true, {}},
        {1, true, {"HardwareStop"}},
        {2, false, {"HardwareInit", "HardwareStop"}},
        {2, true, {"HardwareInit"}},
    };
    for (const Step& step : steps) {
        provider->fCalls.clear();
        provider->fHardwareInitResult = step.initSucceeds;
        EXPECT_EQ(fControl->setPowerState(step.state, fControl), kIOPMAckImplied);
        EXPECT_EQ(provider->fCalls, step.calls) << step.state;
    }
    EXPECT_TRUE(logged("KorvanUAC_Base::setPowerState 1\n"));
    EXPECT_TRUE(logged("FAILED TO WAKE\n"));
}

TEST_F(KextServiceTests, TheProxyEventSourceRunsItsActionOnTheLoopThread)
{
    static std::atomic<OSObject*> seenOwner{nullptr};
    static std::atomic<IOWorkLoop*> seenLoop{nullptr};
    static std::atomic<bool> onThread{false};
    seenOwner = nullptr;
    seenLoop = nullptr;
    IOWorkLoop* loop = IOWorkLoop::workLoop();
    OSString* owner = OSString::withCString("owner");
    auto* source = com_vork_driver_tide_proxyEventSource::proxyEventSource(
        owner, [](OSObject* actionOwner, IOWorkLoop* workLoop) {
            onThread = workLoop->onThread() && workLoop->inGate();
            seenOwner = actionOwner;
            seenLoop = workLoop;
        });
    ASSERT_NE(source, nullptr);
    loop->addEventSource(source);
    source->signal();
    ASSERT_TRUE(DarwinTesting::eventually([&] { return seenLoop.load() != nullptr; }));
    EXPECT_EQ(seenOwner.load(), owner);
    EXPECT_EQ(seenLoop.load(), loop);
    EXPECT_TRUE(onThread.load());
    loop->removeEventSource(source);
    source->release();
    loop->release();
    owner->release();
}

} // namespace
} // namespace KextTesting
