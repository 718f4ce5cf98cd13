// The model on the bus, with what crosses it decoded by tshark.

#include "KorvanTestSupport.h"

#include <SimUSB/Bus.h>
#include <SimUSBTesting/Tshark.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdio>
#include <string>

#include <unistd.h>

using namespace KorvanInterface;

namespace {

using SimUSBTesting::tshark;

class ArrivalListener : public SimUSB::HostListener
{
public:
    void deviceArrived(const std::shared_ptr<SimUSB::HostDevice>& device) override
    {
        std::lock_guard lock(fLock);
        fDevice = device;
        fChanged.notify_all();
    }
    void deviceLeft(const std::shared_ptr<SimUSB::HostDevice>&) override {}
    std::shared_ptr<SimUSB::HostDevice> wait()
    {
        std::unique_lock lock(fLock);
        fChanged.wait(lock, [&] { return fDevice != nullptr; });
        return fDevice;
    }

private:
    std::mutex fLock;
    std::condition_variable fChanged;
    std::shared_ptr<SimUSB::HostDevice> fDevice;
};

// Enumerates the model on a capturing bus, runs `session` and stops the capture.
template <typename Session>
void captureSession(const std::string& path, std::shared_ptr<KorvanDevice> model, Session session)
{
    SimUSB::Bus bus;
    ArrivalListener listener;
    ASSERT_TRUE(bus.startCapture(path));
    bus.addListener(&listener);
    bus.attach(1, model);
    session(*listener.wait());
    bus.stopCapture();
    bus.reset();
    bus.removeListener(&listener);
}

class ModelCaptureTest : public testing::TestWithParam<Model>
{};

TEST_P(ModelCaptureTest, TsharkDecodesTheDescriptorsAsUac2)
{
    // Named after the process too: builds of other configurations may run the same case at once.
    const std::string path =
        testing::TempDir() + "korvan-" + std::to_string(getpid()) + "-" + modelName(GetParam()) + ".pcap";
    auto model = std::make_shared<KorvanDevice>(DescriptorOptions(GetParam(), KorvanTests::kVendor));
    captureSession(path, model, [](SimUSB::HostDevice&) {});
    const auto lines = tshark(path, "-Y usbaudio.ac_if_clksrc.bClockID -T fields -E separator='|' "
                                    "-e usbaudio.ac_if_clksrc.bClockID -e usbaudio.ac_if_clksel.bClockID "
                                    "-e usb.idProduct");
    ASSERT_EQ(lines.size(), 1u);
    // 0x10 and 0x11, as tshark prints them.
    EXPECT_EQ(lines[0], "16|17|");
    const auto identity =
        tshark(path, "-Y usb.idProduct -T fields -E separator='|' -e usb.idVendor -e usb.idProduct");
    ASSERT_EQ(identity.size(), 1u);
    char expected[32];
    std::snprintf(expected, sizeof(expected), "0x%04x|0x%04x", KorvanTests::kVendor,
                  modelInfo(GetParam()).idProduct);
    EXPECT_EQ(identity[0], expected);
    std::remove(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(Models, ModelCaptureTest, testing::ValuesIn(kModels),
                         [](const testing::TestParamInfo<Model>& info) { return modelName(info.param); });

// A session a developer can read with `tshark -r` in the build folder: enumeration, the rate read
// and set, the selector, the streaming-header requests and the alternates of a start and a stop.
TEST(ModelCapture, SessionIsLeftInTheBuildFolder)
{
    const std::string path = std::string(KORVAN_CAPTURE_DIR) + "/korvan-session.pcap";
    auto model = std::make_shared<KorvanDevice>(DescriptorOptions(Model::Wrenlet, KorvanTests::kVendor));
    captureSession(path, model, [](SimUSB::HostDevice& device) {
        uint8_t data[4];
        device.control({0xA1, 1, 0x0100, 0x1100, 1}, data, 500);
        device.control({0xA1, 1, 0x0100, 0x1000, 4}, data, 500);
        std::vector<uint8_t> rate = KorvanTests::littleEndian(96000);
        device.control({0x21, 1, 0x0100, 0x1000, 4}, rate.data(), 500);
        device.control({0xC0, 2, 0, 0, 1}, data, 500);
        device.control({0x40, 2, 1, 0, 0}, nullptr, 500);
        for (uint16_t alternate : {2, 0}) {
            device.control({0x01, 11, alternate, kRecordInterface, 0}, nullptr, 500);
            device.control({0x01, 11, alternate, kPlaybackInterface, 0}, nullptr, 500);
        }
    });
    EXPECT_EQ(model->sampleRate(), 96000u);
    const auto summary = tshark(path, "");
    EXPECT_EQ(summary.size(), 2u * (6 + 5 + 4));
    const auto setInterface =
        tshark(path, "-Y 'usb.setup.bRequest == 11' -T fields -e usb.bAlternateSetting");
    EXPECT_EQ(setInterface, (std::vector<std::string>{"2", "2", "0", "0"}));
    const auto rates = tshark(path, "-Y 'usb.setup.wIndex == 0x1000' -T fields -e usb.bmRequestType");
    EXPECT_EQ(rates, (std::vector<std::string>{"0xa1", "0x21"}));
}

} // namespace
