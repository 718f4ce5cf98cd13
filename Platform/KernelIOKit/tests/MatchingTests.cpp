#include "userspace/DriverKitToys.h"
#include "userspace/ToyEvents.h"
#include "userspace/UserSpaceNotifications.h"
#include "userspace/UserSpacePower.h"

#include <KernelIOKitTesting/KernelIOKitTesting.h>

#include <IOKit/usb/IOUSBHostInterface.h>
#include <libkern/c++/OSNumber.h>
#include <libkern/c++/OSString.h>

#include <DarwinTesting/Eventually.h>
#include <SimUSB/Bus.h>
#include <SimUSBTesting/EchoDevice.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

using KernelIOKitTestSupport::recordToyEvent;
using KernelIOKitTestSupport::toyEvents;
using SimUSBTesting::EchoDevice;

namespace {

std::string textProperty(const IOService* service, const char* key)
{
    const auto* text = OSDynamicCast(OSString, service->getProperty(key));
    return text ? text->getCStringNoCopy() : std::string();
}

// A kernel driver whose personality says how it probes and starts: "ToyRefuses" makes probe
// refuse, "ToyProbeScore" is the score probe gives, "ToyFailsStart" makes start fail, and
// "ToyWithChild" makes it start a power-managed child of its own, "ToyResets" makes its first start
// ask for the device's reset.
class KernelMatchingToy : public IOService
{
    OSDeclareDefaultStructors(KernelMatchingToy)

        public : IOService* probe(IOService* provider, SInt32* score) override
    {
        recordToyEvent("probe " + name());
        if (getProperty("ToyRefuses")) {
            return nullptr;
        }
        if (const auto* probeScore = OSDynamicCast(OSNumber, getProperty("ToyProbeScore"))) {
            *score = SInt32(probeScore->unsigned32BitValue());
        }
        return IOService::probe(provider, score);
    }

    bool start(IOService* provider) override
    {
        recordToyEvent("start " + name());
        if (getProperty("ToyFailsStart") || !IOService::start(provider)) {
            return false;
        }
        static IOPMPowerState states[3] = {
            {kIOPMPowerStateVersion1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
            {kIOPMPowerStateVersion1, kIOPMLowPower, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0},
            {kIOPMPowerStateVersion1, kIOPMDeviceUsable, 2, 2, 0, 0, 0, 0, 0, 0, 0, 0},
        };
        PMinit();
        provider->joinPMtree(this);
        registerPowerDriver(this, states, 3);
        if (getProperty("ToyWithChild")) {
            auto* child = new KernelMatchingToy;
            OSDictionary* properties = OSDictionary::withCapacity(1);
            OSString* childName = OSString::withCString((name() + " child").c_str());
            properties->setObject("ToyName", childName);
            if (child->init(properties) && child->attach(this) && !child->start(this)) {
                child->detach(this);
            }
            childName->release();
            properties->release();
            child->release();
        }
        if (getProperty("ToyResets") && !sReset.exchange(true)) {
            OSDynamicCast(IOUSBHostInterface, provider)->getDevice()->reset();
            recordToyEvent("reset asked by " + name());
        }
        registerService();
        recordToyEvent("started " + name());
        return true;
    }

    void stop(IOService* provider) override
    {
        recordToyEvent("stop " + name());
        IOService::stop(provider);
    }

    IOReturn setPowerState(unsigned long ordinal, IOService*) override
    {
        sPowerThread = std::this_thread::get_id();
        recordToyEvent("power " + name() + " " + std::to_string(ordinal));
        return kIOPMAckImplied;
    }

    void free() override
    {
        recordToyEvent("free " + name());
        IOService::free();
    }

    std::string name() const { return textProperty(this, "ToyName"); }

    static std::thread::id sPowerThread;
    static std::atomic<bool> sReset;
};

std::thread::id KernelMatchingToy::sPowerThread;
std::atomic<bool> KernelMatchingToy::sReset{false};

OSDefineMetaClassAndStructors(KernelMatchingToy, IOService)

    struct ToyPersonality
{
    std::string fName;
    uint32_t fScore;
    // "", "ToyRefuses", "ToyFailsStart", "ToyWithChild", "ToyResets" or "ToyProbeScore N"
    std::string fBehaviour;
};

// A bundle with no library: its personalities name classes already in the process.
std::string writeBundle(uint16_t product, const std::vector<ToyPersonality>& personalities)
{
    const std::filesystem::path bundle =
        std::filesystem::temp_directory_path() /
        ("kernel-matching-" + std::to_string(getpid()) + "-" + std::to_string(product) + ".kext");
    std::filesystem::create_directories(bundle / "Contents");
    std::ofstream plist(bundle / "Contents" / "Info.plist");
    plist << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
          << "<key>CFBundleIdentifier</key><string>com.vork.test.toys</string>\n"
          << "<key>IOKitPersonalities</key>\n<dict>\n";
    for (const ToyPersonality& toy : personalities) {
        plist << "<key>" << toy.fName << "</key><dict>\n"
              << "<key>CFBundleIdentifier</key><string>com.vork.test.toys</string>\n"
              << "<key>IOClass</key><string>KernelMatchingToy</string>\n"
              << "<key>IOProviderClass</key><string>IOUSBHostInterface</string>\n"
              << "<key>ToyName</key><string>" << toy.fName << "</string>\n"
              << "<key>IOProbeScore</key><integer>" << toy.fScore << "</integer>\n"
              << "<key>idVendor</key><integer>" << EchoDevice::kVendor << "</integer>\n"
              << "<key>idProduct</key><integer>" << product << "</integer>\n"
              << "<key>bInterfaceNumber</key><integer>0</integer>\n";
        const size_t space = toy.fBehaviour.find(' ');
        if (space != std::string::npos) {
            plist << "<key>" << toy.fBehaviour.substr(0, space) << "</key><integer>"
                  << toy.fBehaviour.substr(space + 1) << "</integer>\n";
        } else if (!toy.fBehaviour.empty()) {
            plist << "<key>" << toy.fBehaviour << "</key><true/>\n";
        }
        plist << "</dict>\n";
    }
    plist << "</dict>\n</dict>\n</plist>\n";
    return bundle.string();
}

std::vector<std::string> eventsStartingWith(const std::string& prefix)
{
    std::vector<std::string> found;
    for (const std::string& event : toyEvents()) {
        if (event.rfind(prefix, 0) == 0) {
            found.push_back(event);
        }
    }
    return found;
}

// The published toys, by name, with their provider's idProduct.
std::vector<std::string> publishedToys()
{
    OSDictionary* matching = IOService::serviceMatching("KernelMatchingToy");
    OSIterator* services = IOService::getMatchingServices(matching);
    std::vector<std::string> names;
    while (OSObject* object = services->getNextObject()) {
        auto* toy = OSDynamicCast(KernelMatchingToy, object);
        IOService* provider = toy->getProvider();
        const auto* product =
            provider ? OSDynamicCast(OSNumber, provider->getProperty("idProduct")) : nullptr;
        names.push_back(toy->name() + " on " +
                        (OSDynamicCast(IOUSBHostInterface, provider) ? "interface " : "") +
                        std::to_string(product ? product->unsigned32BitValue() : 0));
    }
    services->release();
    matching->release();
    return names;
}

class KernelIOKitMatchingTests : public testing::Test
{
protected:
    void SetUp() override { KernelIOKitTestSupport::clearToyEvents(); }
    void TearDown() override
    {
        for (uint8_t port : fPorts) {
            SimUSB::Bus::shared().detach(port);
        }
        EXPECT_TRUE(DarwinTesting::eventually([] {
            return KernelIOKitTesting::liveObjects("KernelMatchingToy") == 0 &&
                   KernelIOKitTesting::liveObjects("IOUSBHostDevice") == 0 &&
                   KernelIOKitTesting::liveObjects("IOUSBHostInterface") == 0;
        })) << KernelIOKitTesting::liveObjects("KernelMatchingToy")
            << " toys, " << KernelIOKitTesting::liveObjects("IOUSBHostDevice") << " devices left";
        for (const std::string& bundle : fBundles) {
            std::filesystem::remove_all(bundle);
        }
        KernelIOKitTestSupport::clearToyEvents();
    }

    void load(uint16_t product, const std::vector<ToyPersonality>& personalities)
    {
        fBundles.push_back(writeBundle(product, personalities));
        ASSERT_TRUE(KernelIOKitTesting::loadKernelExtension(fBundles.back().c_str()));
    }

    void plugIn(uint8_t port, uint16_t product)
    {
        fPorts.push_back(port);
        SimUSB::Bus::shared().attach(port, std::make_shared<EchoDevice>(product));
    }

    std::vector<uint8_t> fPorts;
    std::vector<std::string> fBundles;
};

struct MatchingCase
{
    const char* fName;
    uint16_t fProduct;
    std::vector<ToyPersonality> fKernel;
    uint32_t fDriverKitScore; // 0: no driver-extension personality
    std::vector<std::string> fStarts;
    std::string fWinner; // a kernel toy's name, or "DriverKitToy"
};

std::ostream& operator<<(std::ostream& out, const MatchingCase& c)
{
    return out << c.fName;
}

class KernelIOKitMatchingTableTests : public KernelIOKitMatchingTests,
                                      public testing::WithParamInterface<MatchingCase>
{};

// Every kernel candidate is probed before any starts; they start by score, highest first, until one
// runs, and the others are freed.
TEST_P(KernelIOKitMatchingTableTests, CandidatesStartByScoreUntilOneRuns)
{
    const MatchingCase& c = GetParam();
    if (c.fDriverKitScore != 0) {
        KernelIOKitTestSupport::registerDriverKitToy(EchoDevice::kVendor, c.fProduct, c.fDriverKitScore);
    }
    load(c.fProduct, c.fKernel);
    KernelIOKitTestSupport::UserSpaceNotifications published("IOServiceFirstPublish", "KernelMatchingToy");
    plugIn(4, c.fProduct);

    // Matching has ended once the winner runs and only it is left.
    const bool kernelWins = c.fWinner != "DriverKitToy";
    ASSERT_TRUE(DarwinTesting::eventually([&] {
        return !eventsStartingWith("start " + c.fWinner).empty() &&
               KernelIOKitTesting::liveObjects("KernelMatchingToy") == (kernelWins ? 1 : 0) &&
               publishedToys().size() == (kernelWins ? 1 : 0);
    })) << "the winner never started alone; "
        << KernelIOKitTesting::liveObjects("KernelMatchingToy") << " kernel toys live";
    std::vector<std::string> expectedProbes;
    for (const ToyPersonality& toy : c.fKernel) {
        expectedProbes.push_back("probe " + toy.fName);
    }
    std::vector<std::string> probes = eventsStartingWith("probe ");
    std::sort(probes.begin(), probes.end());
    std::sort(expectedProbes.begin(), expectedProbes.end());
    EXPECT_EQ(probes, expectedProbes);
    const std::vector<std::string> events = toyEvents();
    const auto firstStart = std::find_if(
        events.begin(), events.end(), [](const std::string& event) { return event.rfind("start ", 0) == 0; });
    EXPECT_TRUE(std::all_of(firstStart, events.end(), [](const std::string& event) {
        return event.rfind("probe ", 0) != 0;
    })) << "a candidate was probed after the first start";
    EXPECT_EQ(eventsStartingWith("start "), c.fStarts);

    if (kernelWins) {
        EXPECT_EQ(publishedToys(),
                  std::vector<std::string>{c.fWinner + " on interface " + std::to_string(c.fProduct)});
        EXPECT_EQ(published.waitForNames(1), std::vector<std::string>{"KernelMatchingToy"});
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, KernelIOKitMatchingTableTests,
                         testing::Values(MatchingCase{"ProbeRefusalLeadsToTheNext",
                                                      0x7101,
                                                      {{"A", 3000, "ToyRefuses"}, {"B", 2000, ""}},
                                                      0,
                                                      {"start B"},
                                                      "B"},
                                         MatchingCase{"AProbeRaisingItsScoreStartsFirst",
                                                      0x7102,
                                                      {{"A", 1000, "ToyProbeScore 5000"}, {"B", 2000, ""}},
                                                      0,
                                                      {"start A"},
                                                      "A"},
                                         MatchingCase{"AFailedStartIsFreedAndTheNextStarts",
                                                      0x7103,
                                                      {{"A", 3000, "ToyFailsStart"}, {"B", 2000, ""}},
                                                      0,
                                                      {"start A", "start B"},
                                                      "B"},
                                         MatchingCase{"AKernelProbeScoreOutranksADriverExtension",
                                                      0x7104,
                                                      {{"A", 1000, "ToyProbeScore 1000001"}},
                                                      5000,
                                                      {"start A"},
                                                      "A"},
                                         MatchingCase{"AHigherDriverExtensionOutranksTheKernel",
                                                      0x7105,
                                                      {{"A", 1000, ""}},
                                                      5000,
                                                      {"start DriverKitToy"},
                                                      "DriverKitToy"}),
                         [](const testing::TestParamInfo<MatchingCase>& info) {
                             return std::string(info.param.fName);
                         });

TEST_F(KernelIOKitMatchingTests, TheKernelDriverSeesTheRegistryEntryUserSpaceSees)
{
    load(0x7106, {{"A", 1000, ""}});
    plugIn(4, 0x7106);
    ASSERT_TRUE(DarwinTesting::eventually([] { return publishedToys().size() == 1; }));

    OSDictionary* matching = IOService::serviceMatching("KernelMatchingToy");
    OSIterator* services = IOService::getMatchingServices(matching);
    auto* toy = OSDynamicCast(KernelMatchingToy, services->getNextObject());
    ASSERT_NE(toy, nullptr);
    EXPECT_EQ(textProperty(toy, "CFBundleIdentifier"), "com.vork.test.toys") << "the personality is copied";
    IOService* interface = toy->getProvider();
    const auto* location = OSDynamicCast(OSNumber, interface->getProperty("locationID"));
    ASSERT_NE(location, nullptr) << "the bus's nub properties are the kernel nub's";
    EXPECT_EQ(location->unsigned32BitValue(), 0x01000000u | 4u << 20);
    const auto interfaceEntry = KernelIOKitTesting::registryEntry(interface);
    const auto toyEntry = KernelIOKitTesting::registryEntry(toy);
    EXPECT_EQ(interfaceEntry->classChain().front(), "IOUSBHostInterface");
    EXPECT_EQ(toyEntry->classChain().front(), "KernelMatchingToy");
    services->release();
    matching->release();
}

TEST_F(KernelIOKitMatchingTests, SleepReachesUserSpaceThenChildrenFirstAndWakeParentsFirst)
{
    KernelIOKitTestSupport::registerDriverKitToy(EchoDevice::kVendor, 0x7107, 5000);
    load(0x7108, {{"K", 1000, "ToyWithChild"}});
    plugIn(4, 0x7107);
    plugIn(6, 0x7108);
    // K starts its child inside its own start, and records that it started last.
    ASSERT_TRUE(DarwinTesting::eventually([] {
        const std::vector<std::string> events = toyEvents();
        return !eventsStartingWith("start DriverKitToy").empty() &&
               std::find(events.begin(), events.end(), "started K") != events.end();
    }));
    KernelIOKitTestSupport::UserSpacePower userSpace;
    KernelIOKitTestSupport::clearToyEvents();

    KernelIOKitTestSupport::sleepSystem();
    KernelIOKitTestSupport::wakeSystem();

    const std::vector<std::string> expected{"user space will sleep", "power K child 1",      "power K 1",
                                            "power DriverKitToy 0",  "power DriverKitToy 2", "power K 2",
                                            "power K child 2",       "user space powered on"};
    EXPECT_TRUE(DarwinTesting::eventually([&] { return toyEvents().size() >= expected.size(); }));
    EXPECT_EQ(toyEvents(), expected);
}

TEST_F(KernelIOKitMatchingTests, ATestDrivesOneServicesPowerOnThePowerThread)
{
    load(0x7109, {{"P", 1000, ""}});
    plugIn(4, 0x7109);
    ASSERT_TRUE(DarwinTesting::eventually([] { return publishedToys().size() == 1; }));
    // P is published before it records its start: the events are cleared once that came too.
    ASSERT_TRUE(DarwinTesting::eventually([] {
        const std::vector<std::string> events = toyEvents();
        return std::find(events.begin(), events.end(), "started P") != events.end();
    }));
    OSDictionary* matching = IOService::serviceMatching("KernelMatchingToy");
    OSIterator* services = IOService::getMatchingServices(matching);
    auto* toy = OSDynamicCast(IOService, services->getNextObject());
    KernelIOKitTestSupport::clearToyEvents();

    KernelIOKitTesting::setPowerState(toy, 1);

    EXPECT_EQ(toyEvents(), std::vector<std::string>{"power P 1"});
    EXPECT_NE(KernelMatchingToy::sPowerThread, std::this_thread::get_id());
    services->release();
    matching->release();
}

// The re-enumeration a start asks for begins once that start has returned; the driver then starts
// on the device's new nubs.
TEST_F(KernelIOKitMatchingTests, AResetAskedForInStartReEnumeratesAfterTheStartReturned)
{
    load(0x710A, {{"R", 1000, "ToyResets"}});
    plugIn(4, 0x710A);
    ASSERT_TRUE(DarwinTesting::eventually([] { return eventsStartingWith("started R").size() == 2; }))
        << "the driver never started on the new nubs";
    const std::vector<std::string> lifecycle = eventsStartingWith("st");
    EXPECT_EQ(lifecycle,
              (std::vector<std::string>{"start R", "started R", "stop R", "start R", "started R"}));
}

} // namespace
