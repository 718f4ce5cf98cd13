// Discovery of the unit in either identity on the manual clock: what is printed and reported.

#include "BootLoaderLink.h"
#include "DeviceReplies.h"
#include "WrenDiscovery.h"

#include <IOKitTesting/USBDevices.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace UpdaterTests;
using Face = Wrenlet::WrenletHardware::Face;

namespace {

constexpr uint8_t kSecondPort = 12;

struct DescriptorCase
{
    const char* name;
    std::vector<uint8_t> bytes;
    size_t returned;
    std::string serial;
};

class SerialDescriptor : public testing::TestWithParam<DescriptorCase>
{};

TEST_P(SerialDescriptor, ReadsOnlyWhatCameBack)
{
    const DescriptorCase& c = GetParam();
    std::vector<uint8_t> buffer = c.bytes;
    buffer.resize(256, 0x41);
    EXPECT_EQ(DeviceReplies::SerialFromDescriptor(buffer.data(), c.returned), c.serial);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SerialDescriptor,
    testing::Values(DescriptorCase{"Normal", {8, 3, 'w', 0, 'r', 0, 'n', 0}, 8, "WRN"},
                    DescriptorCase{"LengthZero", {0, 3}, 2, ""}, DescriptorCase{"LengthOne", {1, 3}, 2, ""},
                    DescriptorCase{"LengthTwo", {2, 3}, 2, ""},
                    DescriptorCase{"OddLength", {7, 3, 'a', 0, 'b', 0, 'c'}, 7, "AB"},
                    DescriptorCase{"LongerThanReturned", {200, 3, 'a', 0, 'b', 0}, 6, "AB"},
                    DescriptorCase{"NotAString", {6, 2, 'a', 0, 'b', 0}, 6, ""},
                    DescriptorCase{"NothingReturned", {8, 3}, 1, ""}),
    [](const testing::TestParamInfo<DescriptorCase>& info) { return std::string(info.param.name); });

TEST(VersionReply, EndsAtItsNulOrAtTheBytesTransferred)
{
    const uint8_t full[16] = {'1', '.', '2', 0, 'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x'};
    EXPECT_EQ(DeviceReplies::VersionText(full, 16), "1.2");
    EXPECT_EQ(DeviceReplies::VersionText(full, 2), "1.");
    EXPECT_EQ(DeviceReplies::VersionText(full, 0), "");
    const uint8_t endless[16] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h',
                                 'i', 'j', 'k', 'l', 'm', 'n', 'o', 'p'};
    EXPECT_EQ(DeviceReplies::VersionText(endless, 16), "abcdefghijklmnop");
}

class DiscoveryTest : public testing::Test, public WrenDiscovery::Client
{
protected:
    void SetUp() override
    {
        DriverKitPlatform::startUSB();
        for (auto& unit : {fUnit, fOther}) {
            unit->setSignature(Wrenlet::makeSignature('A', 0, {0x0A, 0x1B, 0x2C}));
            unit->installFirmware(Wrenlet::FirmwareImage::build("2.1", 1301));
        }
        testing::internal::CaptureStdout();
    }
    void TearDown() override
    {
        fDiscovery.reset();
        StopCapture();
        fUnit->powerOff();
        fOther->powerOff();
        SimUSB::Bus::shared().reset();
        SimUSB::Bus::shared().settle();
        if (HasFailure()) {
            fprintf(stderr, "%s", fOutput.c_str());
        }
    }

    void StopCapture()
    {
        if (!fStopped) {
            fflush(stdout);
            fOutput = testing::internal::GetCapturedStdout();
            fStopped = true;
        }
    }
    bool Printed(const std::string& line)
    {
        StopCapture();
        return fOutput.find(line + "\n") != std::string::npos;
    }

    void Start()
    {
        fDiscovery = std::make_unique<WrenDiscovery>(*this);
        ASSERT_TRUE(fDiscovery->Start());
    }
    void Step(std::chrono::nanoseconds time) { CoreFoundationTesting::advanceAndRun(fClock, time); }

    // WrenDiscovery::Client.
    void DeviceConnected(WrenDiscovery::Device device, const std::string& serial) override
    {
        fDevice = std::move(device);
        fEvents.push_back("DeviceConnected " + serial);
    }
    void DeviceRemoved() override { fEvents.push_back("DeviceRemoved"); }
    void SAMBAConnected(SAMBA::Interface interface) override
    {
        fInterface = std::move(interface);
        fEvents.push_back("SAMBAConnected");
    }
    void SAMBARemoved() override { fEvents.push_back("SAMBARemoved"); }

    DarwinTesting::ManualClock fClock;
    std::shared_ptr<Wrenlet::WrenletHardware> fUnit = Wrenlet::WrenletHardware::create(
        SimUSB::Bus::shared(), kPort, {.vendorID = kVendor, .rebootDelay = 5'000'000});
    std::shared_ptr<Wrenlet::WrenletHardware> fOther = Wrenlet::WrenletHardware::create(
        SimUSB::Bus::shared(), kSecondPort, {.vendorID = kVendor, .rebootDelay = 5'000'000});
    std::unique_ptr<WrenDiscovery> fDiscovery;
    std::vector<std::string> fEvents;
    WrenDiscovery::Device fDevice;
    SAMBA::Interface fInterface;
    std::string fOutput;
    bool fStopped = false;
};

} // namespace

TEST_F(DiscoveryTest, PresentAtStartIsHandledOneSecondLater)
{
    fUnit->powerOn();
    SimUSB::Bus::shared().settle();
    Start();
    Step(999ms);
    EXPECT_TRUE(fEvents.empty());
    Step(2ms);
    EXPECT_EQ(fEvents, std::vector<std::string>{"DeviceConnected WRNA0A1B2C"});
    EXPECT_TRUE(Printed("Config already set"));
}

TEST_F(DiscoveryTest, SerialIsUpperCased)
{
    fUnit->setRunModeOptions({.serial = std::nullopt,
                              .lowerCaseSerial = true,
                              .rawSerialDescriptor = std::nullopt,
                              .serialDescriptorLength = std::nullopt,
                              .versionsWithoutNul = false});
    Start();
    fUnit->powerOn();
    Step(1500ms);
    EXPECT_EQ(fEvents, std::vector<std::string>{"DeviceConnected WRNA0A1B2C"});
}

TEST_F(DiscoveryTest, SecondWrenletIsIgnored)
{
    Start();
    fUnit->powerOn();
    fOther->powerOn();
    Step(1500ms);
    EXPECT_EQ(fEvents.size(), 1u);
    EXPECT_TRUE(Printed("Error: service and d_device"));
}

TEST_F(DiscoveryTest, ReEnumerationWithinASecondIsReportedOnce)
{
    Start();
    fUnit->powerOn();
    Step(300ms);
    SimUSB::Bus::shared().reEnumerate(kPort, 200'000'000);
    Step(3s);
    EXPECT_EQ(fEvents, std::vector<std::string>{"DeviceConnected WRNA0A1B2C"});
}

TEST_F(DiscoveryTest, DeviceHeldWithItsConfigurationSetIsUsedWithoutOpening)
{
    fUnit->powerOn();
    SimUSB::Bus::shared().settle();
    const io_service_t nub = copyNub(kPort);
    vork::IOCFComPtr<IOUSBDeviceInterface300> holder(
        QueryPlugIn<IOUSBDeviceInterface300>(nub, kIOUSBDeviceUserClientTypeID, kIOUSBDeviceInterfaceID300));
    IOObjectRelease(nub);
    ASSERT_EQ((*holder.get())->USBDeviceOpen(holder.get()), kIOReturnSuccess);
    Start();
    Step(1500ms);
    EXPECT_EQ(fEvents, std::vector<std::string>{"DeviceConnected WRNA0A1B2C"});
    (*holder.get())->USBDeviceClose(holder.get());
}

// A unit that no driver has configured, in either face: discovery sets the configuration itself,
// which publishes the boot loader's interfaces, after another client holding the device has let
// it go.
struct UnconfiguredCase
{
    const char* name;
    bool bootLoader;
    bool held;
    const char* event;
};

class UnconfiguredDiscovery : public DiscoveryTest, public testing::WithParamInterface<UnconfiguredCase>
{};

TEST_P(UnconfiguredDiscovery, SetsTheConfigurationOnceTheDeviceIsFree)
{
    const UnconfiguredCase& c = GetParam();
    auto unit = Wrenlet::WrenletHardware::create(
        SimUSB::Bus::shared(), kSecondPort,
        {.vendorID = kVendor, .rebootDelay = 5'000'000, .enumeratedUnconfigured = true});
    unit->setSignature(Wrenlet::makeSignature('A', 0, {0x0A, 0x1B, 0x2C}));
    unit->installFirmware(Wrenlet::FirmwareImage::build("2.1", 1301));
    unit->setBootFlag(!c.bootLoader);
    unit->powerOn();
    SimUSB::Bus::shared().settle();
    ASSERT_EQ(SimUSB::Bus::shared().device(kSecondPort)->configurationValue(), 0);
    const io_service_t nub = copyNub(kSecondPort);
    vork::IOCFComPtr<IOUSBDeviceInterface300> holder(
        QueryPlugIn<IOUSBDeviceInterface300>(nub, kIOUSBDeviceUserClientTypeID, kIOUSBDeviceInterfaceID300));
    IOObjectRelease(nub);
    if (c.held) {
        ASSERT_EQ((*holder.get())->USBDeviceOpen(holder.get()), kIOReturnSuccess);
    }

    Start();
    Step(1500ms);
    if (c.held) {
        EXPECT_TRUE(fEvents.empty());
        (*holder.get())->USBDeviceClose(holder.get());
        // The next try, a second after the last.
        Step(1s);
    }
    EXPECT_EQ(fEvents, std::vector<std::string>{c.event});
    EXPECT_EQ(SimUSB::Bus::shared().device(kSecondPort)->configurationValue(), 1);
    EXPECT_EQ(Printed("kIOReturnExclusiveAccess retrying..."), c.held);
    EXPECT_TRUE(Printed("Setting Config"));
    EXPECT_FALSE(Printed("Config already set"));
    fDiscovery.reset();
    unit->powerOff();
}

INSTANTIATE_TEST_SUITE_P(
    Faces, UnconfiguredDiscovery,
    testing::Values(UnconfiguredCase{"RunMode", false, false, "DeviceConnected WRNA0A1B2C"},
                    UnconfiguredCase{"RunModeHeldByAnotherClient", false, true, "DeviceConnected WRNA0A1B2C"},
                    UnconfiguredCase{"BootLoader", true, false, "SAMBAConnected"},
                    UnconfiguredCase{"BootLoaderHeldByAnotherClient", true, true, "SAMBAConnected"}),
    [](const testing::TestParamInfo<UnconfiguredCase>& info) { return std::string(info.param.name); });

TEST_F(DiscoveryTest, AnotherOpenErrorGivesUpTheDevice)
{
    IOKitTesting::USBDeviceScript script;
    script.failOpen(kPort, kIOReturnNotPermitted);
    Start();
    fUnit->powerOn();
    Step(1500ms);
    EXPECT_TRUE(fEvents.empty());
    EXPECT_TRUE(Printed("Could not open device (error: e00002e2)"));
}

TEST_F(DiscoveryTest, BootLoaderWithItsDataInterfaceAndItsRemoval)
{
    fUnit->setBootFlag(false);
    Start();
    fUnit->powerOn();
    Step(1500ms);
    ASSERT_EQ(fEvents, std::vector<std::string>{"SAMBAConnected"});
    ASSERT_TRUE(fInterface);
    fUnit->powerOff();
    Step(10ms);
    EXPECT_EQ(fEvents, (std::vector<std::string>{"SAMBAConnected", "SAMBARemoved"}));
    EXPECT_TRUE(Printed("Releasing Device"));
}

TEST_F(DiscoveryTest, RunModeRemoval)
{
    Start();
    fUnit->powerOn();
    Step(1500ms);
    fUnit->powerOff();
    Step(10ms);
    EXPECT_EQ(fEvents, (std::vector<std::string>{"DeviceConnected WRNA0A1B2C", "DeviceRemoved"}));
    EXPECT_TRUE(Printed("Releasing Device"));
}

TEST_F(DiscoveryTest, BootLoaderWithoutDataInterface)
{
    auto bare = Wrenlet::WrenletHardware::create(
        SimUSB::Bus::shared(), kSecondPort,
        {.vendorID = kVendor, .rebootDelay = 5'000'000, .bootLoaderDataInterface = false});
    bare->setBootFlag(false);
    Start();
    bare->powerOn();
    Step(1500ms);
    EXPECT_TRUE(fEvents.empty());
    EXPECT_TRUE(Printed("Unable to find samba interface"));
    bare->powerOff();
}

TEST_F(DiscoveryTest, DataInterfaceHeldOpenIsRetried)
{
    fUnit->setBootFlag(false);
    fUnit->powerOn();
    SimUSB::Bus::shared().settle();
    vork::IOCFComPtr<IOUSBInterfaceInterface300> holder(CopyDataInterface(kPort));
    ASSERT_TRUE(holder);
    ASSERT_EQ((*holder.get())->USBInterfaceOpen(holder.get()), kIOReturnSuccess);

    Start();
    Step(1500ms);
    EXPECT_TRUE(fEvents.empty());
    (*holder.get())->USBInterfaceClose(holder.get());
    Step(1s);
    EXPECT_EQ(fEvents, std::vector<std::string>{"SAMBAConnected"});
    EXPECT_TRUE(Printed("Unable to open samba interface (e00002c5)"));
    EXPECT_TRUE(Printed("Retrying Interface..."));
}
