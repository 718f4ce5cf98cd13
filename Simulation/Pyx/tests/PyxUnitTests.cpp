// The simulated Pyx driven through DeviceRequest: its loader's requests, the boot rule, the
// run-mode requests and its knobs.

#include <PyxTesting/PyxBusSupport.h>

#include <Pyx/PyxUnit.h>
#include <Pyx/RunImage.h>

#include <KorvanDeviceIdentities.h>
#include <SimUSB/Bus.h>
#include <SimUSBTesting/Tshark.h>

#include <gtest/gtest.h>

#include <sstream>

#include <unistd.h>

using namespace Pyx;
using PyxTests::Reply;
using PyxTests::UserDevice;

namespace {

constexpr uint8_t kPort = 9;
constexpr IOReturn kStalled = kIOUSBPipeStalled;
// How long the unit stays off the bus when it reboots or loses power: the tests see the port empty
// by polling it, which a busy machine can keep from running for a few milliseconds.
constexpr uint64_t kAwayTime = 500'000'000;

std::vector<uint8_t> image(size_t size)
{
    return buildRunImage({.major = 1, .minor = 1, .patch = 0, .build = "test", .size = size});
}

class PyxUnitTest : public testing::Test
{
protected:
    void SetUp() override { DriverKitPlatform::startUSB(); }
    void TearDown() override
    {
        unit->powerOff();
        SimUSB::Bus::shared().reset();
        SimUSB::Bus::shared().settle();
    }

    // Powers the unit on and opens what enumerates.
    std::unique_ptr<UserDevice> start(uint16_t product)
    {
        unit->powerOn();
        EXPECT_TRUE(PyxTests::appears(kPort, product));
        return std::make_unique<UserDevice>(kPort);
    }

    static Reply upload(UserDevice& device, uint16_t block) { return device.in(0xA1, 0x02, block, 0, 1024); }
    static Reply download(UserDevice& device, uint16_t block, std::vector<uint8_t> bytes)
    {
        return device.request(0x21, 0x01, block, 0, std::move(bytes));
    }
    static Reply status(UserDevice& device) { return device.in(0xA1, 0x03, 0, 0, 6); }

    // Downloads `bytes` block by block, the last one short (0 bytes for a multiple of 1024).
    static void downloadAll(UserDevice& device, const std::vector<uint8_t>& bytes)
    {
        for (size_t offset = 0, block = 0;; offset += kBlockSize, ++block) {
            const size_t length = std::min(kBlockSize, bytes.size() - offset);
            ASSERT_EQ(
                download(device, uint16_t(block),
                         {bytes.begin() + ptrdiff_t(offset), bytes.begin() + ptrdiff_t(offset + length)})
                    .result,
                kIOReturnSuccess);
            if (length < kBlockSize)
                return;
        }
    }

    std::shared_ptr<PyxUnit> unit = PyxUnit::create(SimUSB::Bus::shared(), kPort,
                                                    {.vendorID = KorvanDeviceIdentities::kVendorID,
                                                     .rebootDelay = 1'000'000,
                                                     .reEnumerationDelay = kAwayTime});
};

} // namespace

TEST_F(PyxUnitTest, DownloadedImageReadsBackWithShortLastBlockAndNothingPastTheEnd)
{
    auto device = start(kRecoveryProductID);
    const auto bytes = image(3000);
    downloadAll(*device, bytes);
    EXPECT_TRUE(unit->downloadComplete());
    std::vector<uint8_t> readBack;
    for (uint16_t block = 0; block < 3; ++block) {
        const Reply reply = upload(*device, block);
        ASSERT_EQ(reply.result, kIOReturnSuccess);
        EXPECT_EQ(reply.bytes.size(), block < 2 ? 1024u : 952u);
        readBack.insert(readBack.end(), reply.bytes.begin(), reply.bytes.end());
    }
    EXPECT_EQ(readBack, bytes);
    EXPECT_EQ(upload(*device, 3).bytes.size(), 0u);
    EXPECT_EQ(upload(*device, 0).bytes, std::vector<uint8_t>(bytes.begin(), bytes.begin() + 1024));
    EXPECT_EQ(unit->storedImage(), bytes);
}

TEST_F(PyxUnitTest, StatusIsBusyForTheSetPollsAfterEachBlock)
{
    auto device = start(kRecoveryProductID);
    unit->setBusyPolls(2);
    unit->setStatusCode(0);
    ASSERT_EQ(download(*device, 0, std::vector<uint8_t>(1024, 1)).result, kIOReturnSuccess);
    const std::vector<uint8_t> busy{0, 0, 0, 0, kStateBusy, 0};
    const std::vector<uint8_t> idle{0, 0, 0, 0, kStateIdle, 0};
    EXPECT_EQ(status(*device).bytes, busy);
    EXPECT_EQ(status(*device).bytes, busy);
    EXPECT_EQ(status(*device).bytes, idle);
    unit->setStatusCode(0x0A);
    EXPECT_EQ(status(*device).bytes, (std::vector<uint8_t>{0x0A, 0, 0, 0, kStateIdle, 0}));
}

TEST_F(PyxUnitTest, OutOfSequenceAndOverCapacityDownloadsStall)
{
    unit = PyxUnit::create(SimUSB::Bus::shared(), kPort,
                           {.vendorID = KorvanDeviceIdentities::kVendorID, .flashCapacity = 2048});
    auto device = start(kRecoveryProductID);
    EXPECT_EQ(download(*device, 1, std::vector<uint8_t>(1024)).result, kStalled);
    ASSERT_EQ(download(*device, 0, std::vector<uint8_t>(1024)).result, kIOReturnSuccess);
    EXPECT_EQ(download(*device, 2, std::vector<uint8_t>(1024)).result, kStalled);
    ASSERT_EQ(download(*device, 1, std::vector<uint8_t>(1024)).result, kIOReturnSuccess);
    EXPECT_EQ(download(*device, 2, std::vector<uint8_t>(1)).result, kStalled);
    EXPECT_EQ(download(*device, 2, {}).result, kIOReturnSuccess);
    EXPECT_TRUE(unit->downloadComplete());
}

struct BootCase
{
    const char* name;
    size_t imageSize;
    // Blocks sent of the image; all of them when absent.
    std::optional<size_t> blocksSent;
    bool holdBack;
    uint16_t expected;
};

class PyxBootRule : public PyxUnitTest, public testing::WithParamInterface<BootCase>
{};

TEST_P(PyxBootRule, RebootToApplicationComesUpByTheRule)
{
    const BootCase& boot = GetParam();
    auto device = start(kRecoveryProductID);
    const auto bytes = image(boot.imageSize);
    if (boot.blocksSent) {
        for (size_t block = 0; block < *boot.blocksSent; ++block)
            download(
                *device, uint16_t(block),
                {bytes.begin() + ptrdiff_t(block * 1024), bytes.begin() + ptrdiff_t(block * 1024 + 1024)});
    } else {
        downloadAll(*device, bytes);
    }
    unit->holdBack(boot.holdBack);
    EXPECT_EQ(device->request(0x21, 0xF0, 0, 0, {}).result, kIOReturnSuccess);
    ASSERT_TRUE(PyxTests::leaves(kPort));
    EXPECT_TRUE(PyxTests::appears(kPort, boot.expected));
    EXPECT_EQ(unit->mode(), boot.expected == kRunModeProductID ? Mode::Run : Mode::Recovery);
}

INSTANTIATE_TEST_SUITE_P(Cases, PyxBootRule,
                         testing::Values(BootCase{"Complete", 3000, std::nullopt, false, kRunModeProductID},
                                         BootCase{"Partial", 3000, 2, false, kRecoveryProductID},
                                         BootCase{"Empty", 0, std::nullopt, false, kRecoveryProductID},
                                         BootCase{"HeaderOnlyPart", 63, std::nullopt, false,
                                                  kRecoveryProductID},
                                         BootCase{"HoldBack", 3000, std::nullopt, true, kRecoveryProductID}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PyxUnitTest, RunModeAnswersTheHeaderAndRebootsIntoRecoveryWithEachSerial)
{
    for (const auto& serials : {std::pair{kDefaultRunSerial, kDefaultRecoverySerial},
                                std::pair{std::string("PYX0000042"), std::string("PYX0000042")}}) {
        unit = PyxUnit::create(SimUSB::Bus::shared(), kPort,
                               {.vendorID = KorvanDeviceIdentities::kVendorID,
                                .rebootDelay = 1'000'000,
                                .reEnumerationDelay = kAwayTime,
                                .runSerial = serials.first,
                                .recoverySerial = serials.second});
        const auto bytes = image(2000);
        unit->installImage(bytes);
        auto device = start(kRunModeProductID);
        ASSERT_NE(unit->runModeDevice(), nullptr);
        EXPECT_EQ(device->in(0xC1, 0x05, 0, 7, 64).bytes,
                  std::vector<uint8_t>(bytes.begin(), bytes.begin() + 64));
        EXPECT_EQ(device->in(0xA1, 0xF1, 0, 0, 1).result, kStalled);
        // The audio interface's own streaming-header request stays the model's.
        EXPECT_EQ(device->in(0xC1, 0x02, 0, 0, 4).result, kIOReturnSuccess);
        EXPECT_EQ(device->request(0x41, 0x03, 0, 7, {}).result, kIOReturnSuccess);
        ASSERT_TRUE(PyxTests::leaves(kPort));
        ASSERT_TRUE(PyxTests::appears(kPort, kRecoveryProductID));
        UserDevice recovery(kPort);
        const Reply serial = recovery.in(0x80, 0x06, 0x0303, 0x0409, 255);
        ASSERT_EQ(serial.result, kIOReturnSuccess);
        std::string text;
        for (size_t i = 2; i + 1 < serial.bytes.size(); i += 2)
            text += char(serial.bytes[i]);
        EXPECT_EQ(text, serials.second);
        unit->powerOff();
    }
}

TEST_F(PyxUnitTest, ShortHeaderIsZeroPadded)
{
    auto device = start(kRecoveryProductID);
    unit->installImage(std::vector<uint8_t>(10, 7));
    unit->powerOff();
    unit->installImage(image(100));
    auto runMode = start(kRunModeProductID);
    EXPECT_EQ(runMode->in(0xC1, 0x05, 0, 7, 64).bytes.size(), 64u);
}

TEST_F(PyxUnitTest, KnobsActOnTheirRequestAndAreLogged)
{
    auto device = start(kRecoveryProductID);
    const auto bytes = image(2048);
    downloadAll(*device, bytes);

    unit->failNext(RequestKind::Upload, 1, PyxUnit::Failure::Stall);
    EXPECT_EQ(upload(*device, 0).result, kStalled);
    EXPECT_EQ(upload(*device, 0).result, kIOReturnSuccess);

    unit->shortenReplies(RequestKind::GetStatus, 3);
    EXPECT_EQ(status(*device).bytes.size(), 3u);
    unit->shortenReplies(RequestKind::GetStatus, std::nullopt);
    EXPECT_EQ(status(*device).bytes.size(), 6u);

    unit->garbleUpload(1, 5);
    const Reply garbled = upload(*device, 1);
    EXPECT_EQ(garbled.bytes[5], uint8_t(bytes[1024 + 5] ^ 0xFF));
    EXPECT_EQ(upload(*device, 1).bytes[5], bytes[1024 + 5]);
    EXPECT_EQ(unit->storedImage(), bytes);

    unit->corruptStoredBlock(0, 3);
    downloadAll(*device, bytes);
    EXPECT_EQ(unit->storedImage()[3], uint8_t(bytes[3] ^ 0xFF));

    // Dropped writes are acknowledged and leave the flash as it was.
    const auto before = unit->storedImage();
    unit->dropWrites(true);
    EXPECT_EQ(download(*device, 0, std::vector<uint8_t>(1024, 0x5A)).result, kIOReturnSuccess);
    unit->dropWrites(false);
    const auto after = unit->storedImage();
    ASSERT_EQ(after.size(), 1024u);
    EXPECT_TRUE(std::equal(after.begin(), after.end(), before.begin()));

    const auto log = unit->requestLog();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[0].kind, RequestKind::Download);
    EXPECT_EQ(log[0].bytes, 1024u);
    EXPECT_EQ(log[0].mode, Mode::Recovery);
    EXPECT_EQ(log[3].kind, RequestKind::Upload);
    EXPECT_EQ(log[3].outcome, SimUSB::ControlAnswer::Kind::Stall);
    EXPECT_EQ(unit->overlappingRequests(), 0u);
}

TEST_F(PyxUnitTest, PowerLossAtARequestLeavesAPartialImageAndComesBackInRecovery)
{
    auto device = start(kRecoveryProductID);
    const auto bytes = image(3000);
    unit->powerLossAtRequest(1, kAwayTime);
    EXPECT_EQ(download(*device, 0, {bytes.begin(), bytes.begin() + 1024}).result, kIOReturnSuccess);
    EXPECT_NE(download(*device, 1, {bytes.begin() + 1024, bytes.begin() + 2048}).result, kIOReturnSuccess);
    ASSERT_TRUE(PyxTests::leaves(kPort));
    ASSERT_TRUE(PyxTests::appears(kPort, kRecoveryProductID));
    EXPECT_FALSE(unit->downloadComplete());
    EXPECT_EQ(unit->storedImage(), std::vector<uint8_t>(bytes.begin(), bytes.begin() + 1024));
}

TEST_F(PyxUnitTest, HeldRequestWaitsForItsRelease)
{
    auto device = start(kRecoveryProductID);
    unit->holdRequest(0);
    std::thread requester([&] { EXPECT_EQ(status(*device).result, kIOReturnSuccess); });
    EXPECT_TRUE(DarwinTesting::eventually([&] { return unit->requestHeld(); }));
    EXPECT_EQ(unit->requestLog().at(0).outcome, SimUSB::ControlAnswer::Kind::Hang);
    unit->releaseHeldRequest();
    requester.join();
    EXPECT_EQ(unit->requestLog().at(0).outcome, SimUSB::ControlAnswer::Kind::Data);
}

TEST_F(PyxUnitTest, ComesBackAsAnotherProductOrNotAtAll)
{
    unit->installImage(image(3000));
    auto device = start(kRunModeProductID);
    unit->setComeBackAs(0x000D, std::string("OTHER00001"));
    EXPECT_EQ(device->request(0x41, 0x03, 0, 7, {}).result, kIOReturnSuccess);
    ASSERT_TRUE(PyxTests::leaves(kPort));
    ASSERT_TRUE(PyxTests::appears(kPort, 0x000D));
    unit->setNeverComeBack(true);
    UserDevice other(kPort);
    EXPECT_EQ(other.request(0x21, 0xF0, 0, 0, {}).result, kIOReturnSuccess);
    ASSERT_TRUE(PyxTests::leaves(kPort));
    EXPECT_EQ(unit->mode(), Mode::Rebooting);
}

TEST_F(PyxUnitTest, CaptureOfAnUpdateDecodesAsDFU)
{
    const std::string capture = testing::TempDir() + "pyx-dfu-" + std::to_string(getpid()) + ".pcap";
    ASSERT_TRUE(SimUSB::Bus::shared().startCapture(capture));
    unit->setBusyPolls(1);
    auto device = start(kRecoveryProductID);
    const auto bytes = image(3000);
    for (uint16_t block = 0; block < 3; ++block) {
        const size_t offset = block * kBlockSize;
        const size_t length = std::min(kBlockSize, bytes.size() - offset);
        ASSERT_EQ(download(*device, block,
                           {bytes.begin() + ptrdiff_t(offset), bytes.begin() + ptrdiff_t(offset + length)})
                      .result,
                  kIOReturnSuccess);
        for (uint8_t state = 0; state != kStateIdle;) {
            const Reply reply = status(*device);
            ASSERT_EQ(reply.bytes.size(), 6u);
            state = reply.bytes[4];
        }
    }
    for (uint16_t block = 0; block < 3; ++block)
        ASSERT_EQ(upload(*device, block).result, kIOReturnSuccess);
    const uint8_t address = SimUSB::Bus::shared().device(kPort)->address();
    SimUSB::Bus::shared().stopCapture();

    // tshark knows the DFU requests of listed products only; the loader is named by its address.
    const auto lines = SimUSBTesting::tshark(
        capture, "-d usb.device==" + std::to_string(0x10000 | address) +
                     ",usbdfu -Y usbdfu -T fields -E separator=, -e usb.urb_type -e usbdfu.command "
                     "-e usbdfu.block_number -e usbdfu.state");
    const auto transferSizes = SimUSBTesting::tshark(
        capture, "-Y usbdfu.descriptor.wTransferSize -T fields -e usbdfu.descriptor.wTransferSize");
    unlink(capture.c_str());
    std::vector<std::string> blocks;
    std::vector<std::string> states;
    for (const std::string& line : lines) {
        std::vector<std::string> fields;
        std::stringstream stream(line);
        for (std::string field; std::getline(stream, field, ',');)
            fields.push_back(field);
        fields.resize(4);
        const bool submitted = fields[0] == "'S'";
        if (submitted && (fields[1] == "1" || fields[1] == "2"))
            blocks.push_back(fields[1] + "/" + fields[2]);
        if (!fields[3].empty())
            states.push_back(fields[3]);
    }
    EXPECT_EQ(blocks, (std::vector<std::string>{"1/0", "1/1", "1/2", "2/0", "2/1", "2/2"}));
    EXPECT_EQ(states, (std::vector<std::string>{"4", "2", "4", "2", "4", "2"}));
    EXPECT_EQ(transferSizes, std::vector<std::string>{"1024"});
}
