// What an announced device offers: string and device descriptors, control transfers from several
// threads, and its interfaces with their pipes and asynchronous reads.

#include "PnpManagerFixture.h"

#include <map>
#include <optional>

using namespace PnpTests;
using SimUSBTesting::EchoDevice;

namespace {

constexpr uint8_t kPort = 13;
constexpr uint8_t kTableString = 7;

// The echo device with one more string descriptor, index 7, served byte for byte as given (none:
// the request STALLs).
class StringsDevice : public EchoDevice
{
public:
    explicit StringsDevice(std::optional<std::vector<uint8_t>> table) : fTable(std::move(table)) {}

    std::optional<std::vector<uint8_t>> stringDescriptor(uint8_t index, uint16_t language) override
    {
        return index == kTableString ? fTable : EchoDevice::stringDescriptor(index, language);
    }

private:
    const std::optional<std::vector<uint8_t>> fTable;
};

std::vector<uint8_t> stringOfLength(uint8_t length)
{
    std::vector<uint8_t> bytes(length, 'x');
    bytes[0] = length;
    bytes[1] = 3;
    for (size_t i = 3; i < bytes.size(); i += 2)
        bytes[i] = 0;
    return bytes;
}

class DeviceAccess : public PnpManagerFixture
{
protected:
    std::shared_ptr<USBDevice> announce(std::shared_ptr<EchoDevice> echo)
    {
        fEcho = echo;
        plugEcho(kPort, std::move(echo));
        startManager(echoMatching());
        advance(1000ms);
        return announcedDevice();
    }

    // Steps the clock in microframes until `done`.
    bool runUntil(const std::function<bool()>& done)
    {
        return DarwinTesting::eventually([&] {
            if (done())
                return true;
            advance(125us);
            return false;
        });
    }

    std::shared_ptr<EchoDevice> fEcho;
};

struct StringCase
{
    const char* name;
    std::optional<std::vector<uint8_t>> descriptor;
    std::string expected;
};

class StringDescriptor : public DeviceAccess, public testing::WithParamInterface<StringCase>
{};

} // namespace

TEST_P(StringDescriptor, IsTheLowByteOfEachUnit)
{
    auto device = announce(std::make_shared<StringsDevice>(GetParam().descriptor));
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->getStringDescriptor(kTableString), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, StringDescriptor,
    testing::Values(StringCase{"Length10", std::vector<uint8_t>{10, 3, 'a', 0, 'b', 0, 'c', 0, 'd', 0},
                               "abcd"},
                    StringCase{"Length0", std::vector<uint8_t>{0, 3, 'a', 0}, ""},
                    StringCase{"Length1", std::vector<uint8_t>{1, 3, 'a', 0}, ""},
                    StringCase{"Length2", std::vector<uint8_t>{2, 3, 'a', 0}, ""},
                    StringCase{"Length255", stringOfLength(255), std::string(126, 'x')},
                    StringCase{"FirstReadFails", std::nullopt, ""},
                    StringCase{"LatinUnit", std::vector<uint8_t>{4, 3, 0xE9, 0x00}, "\xE9"},
                    StringCase{"WideUnit", std::vector<uint8_t>{4, 3, 0x2D, 0x4E}, "\x2D"}),
    [](const testing::TestParamInfo<StringCase>& info) { return std::string(info.param.name); });

TEST_F(DeviceAccess, DescriptorOfADeviceThatHasGoneIsEighteenZeros)
{
    auto device = announce(std::make_shared<EchoDevice>());
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->getDeviceDescriptor()[8], uint8_t(EchoDevice::kVendor));
    fEcho->unplug();
    SimUSB::Bus::shared().settle();
    EXPECT_EQ(device->getDeviceDescriptor(), std::vector<uint8_t>(18, 0));
    EXPECT_EQ(PnpManager::construct_usbDevice()->getDeviceDescriptor(), std::vector<uint8_t>(18, 0));
}

TEST_F(DeviceAccess, FailedControlTransferLeavesTheCountAlone)
{
    auto device = announce(std::make_shared<EchoDevice>());
    ASSERT_NE(device, nullptr);
    uint8_t reply[4] = {};
    USBControlTransfer stalled{0xC0, 9, 0, 0, sizeof(reply), reply, 77};
    EXPECT_FALSE(device->controlTransfer(stalled));
    EXPECT_EQ(stalled.transferred, 77u);
    USBControlTransfer answered{0xC0, 2, 0, 0, sizeof(reply), reply, 77};
    EXPECT_TRUE(device->controlTransfer(answered));
    EXPECT_EQ(answered.transferred, 1u);
}

TEST_F(DeviceAccess, FoundInterfaceSplitsItsPipesByDirection)
{
    auto device = announce(std::make_shared<EchoDevice>());
    ASSERT_NE(device, nullptr);
    std::shared_ptr<USBDeviceInterface> interface;
    onUSBThread([&] { interface = device->findInterface(0xFF, 0, 0); });
    ASSERT_NE(interface, nullptr);
    EXPECT_EQ(interface->getInterfaceClass(), 0xFF);
    EXPECT_EQ(interface->getInterfaceSubClass(), 0);
    EXPECT_EQ(interface->getInterfaceProtocol(), 0);
    EXPECT_EQ(interface->getInputPipes(),
              (std::vector<USBPipeInfo>{{EchoDevice::kBulkIn, 512}, {EchoDevice::kInterruptIn, 8}}));
    EXPECT_EQ(interface->getOutputPipes(), (std::vector<USBPipeInfo>{{EchoDevice::kBulkOut, 512}}));
    onUSBThread([&] { interface->close(); });
    EXPECT_TRUE(interface->getInputPipes().size() == 2);
}

TEST_F(DeviceAccess, InterfaceOnlyInAlternateOneIsNotFound)
{
    auto echo = std::make_shared<EchoDevice>();
    echo->setAlternateOneClass(0x01);
    auto device = announce(echo);
    ASSERT_NE(device, nullptr);
    std::shared_ptr<USBDeviceInterface> interface = std::make_shared<USBDeviceInterface>();
    onUSBThread([&] { interface = device->findInterface(0x01, 0, 0); });
    EXPECT_EQ(interface, nullptr);
    EXPECT_EQ(PnpManager::construct_usbDevice()->findInterface(0xFF, 0, 0), nullptr);
}

TEST_F(DeviceAccess, ReadCompletesOnceOnTheUSBThread)
{
    auto device = announce(std::make_shared<EchoDevice>());
    ASSERT_NE(device, nullptr);
    std::shared_ptr<USBDeviceInterface> interface;
    std::thread::id usbThread;
    onUSBThread([&] {
        usbThread = std::this_thread::get_id();
        interface = device->findInterface(0xFF, 0, 0);
    });
    ASSERT_NE(interface, nullptr);
    uint8_t buffer[8] = {};
    EXPECT_FALSE(interface->readPipeAsync(0x85, buffer, sizeof(buffer), [](bool, unsigned int) {}));
    EXPECT_FALSE(
        interface->readPipeAsync(EchoDevice::kBulkOut, buffer, sizeof(buffer), [](bool, unsigned int) {}));

    struct Completions
    {
        std::mutex lock;
        std::vector<std::pair<bool, unsigned int>> calls;
        std::vector<std::thread::id> threads;
    } completions;
    fEcho->postInterrupt({1, 2, 3});
    // Reads are queued on the USB thread, which the manual clock serves.
    bool queued = false;
    onUSBThread([&] {
        queued = interface->readPipeAsync(EchoDevice::kInterruptIn, buffer, sizeof(buffer),
                                          [&](bool ok, unsigned int count) {
                                              std::lock_guard lock(completions.lock);
                                              completions.calls.emplace_back(ok, count);
                                              completions.threads.push_back(std::this_thread::get_id());
                                          });
    });
    ASSERT_TRUE(queued);
    const auto calls = [&] {
        std::lock_guard lock(completions.lock);
        return completions.calls.size();
    };
    ASSERT_TRUE(runUntil([&] { return calls() == 1; }));
    for (int step = 0; step < 80; ++step)
        advance(125us);
    onUSBThread([] {});
    std::lock_guard lock(completions.lock);
    EXPECT_EQ(completions.calls, (std::vector<std::pair<bool, unsigned int>>{{true, 3u}}));
    EXPECT_EQ(completions.threads, std::vector<std::thread::id>{usbThread});
    EXPECT_EQ(buffer[2], 3);
}

TEST_F(DeviceAccess, UnplugCompletesAPendingReadWithFailure)
{
    auto device = announce(std::make_shared<EchoDevice>());
    ASSERT_NE(device, nullptr);
    std::shared_ptr<USBDeviceInterface> interface;
    onUSBThread([&] { interface = device->findInterface(0xFF, 0, 0); });
    ASSERT_NE(interface, nullptr);
    uint8_t buffer[64];
    std::atomic<int> calls{0};
    std::atomic<bool> succeeded{true};
    bool queued = false;
    onUSBThread([&] {
        queued =
            interface->readPipeAsync(EchoDevice::kBulkIn, buffer, sizeof(buffer), [&](bool ok, unsigned int) {
                succeeded = ok;
                ++calls;
            });
    });
    ASSERT_TRUE(queued);
    advance(1ms);
    EXPECT_EQ(calls.load(), 0);
    fEcho->unplug();
    SimUSB::Bus::shared().settle();
    ASSERT_TRUE(runUntil([&] { return calls.load() == 1; }));
    EXPECT_FALSE(succeeded.load());
}

TEST_F(DeviceAccess, DescriptorsReadWhileAnotherThreadSendsControlTransfers)
{
    auto device = announce(std::make_shared<EchoDevice>());
    ASSERT_NE(device, nullptr);
    constexpr int kRounds = 200;
    std::atomic<int> failures{0};
    std::thread reader([&] {
        for (int round = 0; round < kRounds; ++round) {
            if (device->getStringDescriptor(3) != "ECHO0001" ||
                device->getDeviceDescriptor()[8] != uint8_t(EchoDevice::kVendor))
                ++failures;
        }
    });
    for (int round = 0; round < kRounds; ++round) {
        uint8_t stored[2] = {uint8_t(round), uint8_t(round >> 8)};
        USBControlTransfer store{0x40, 1, 0, 0, sizeof(stored), stored, 0};
        uint8_t back[2] = {};
        USBControlTransfer read{0xC0, 1, 0, 0, sizeof(back), back, 0};
        if (!device->controlTransfer(store) || !device->controlTransfer(read) || back[0] != stored[0] ||
            back[1] != stored[1])
            ++failures;
    }
    reader.join();
    EXPECT_EQ(failures.load(), 0);
}
