#include "BusTestSupport.h"

#include <SimUSBTesting/Tshark.h>

#include <gtest/gtest.h>

#include <pcap/pcap.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>

#include <unistd.h>

using SimUSBTesting::EchoDevice;

namespace {

// The output of tshark on `path`, one line per packet, fields separated by '|'.
std::vector<std::string> tsharkFields(const std::string& path, const std::vector<std::string>& fields,
                                      const std::string& filter = {})
{
    std::string arguments = "-T fields -E separator='|' -E occurrence=a -E aggregator=,";
    for (const auto& field : fields) {
        arguments += " -e " + field;
    }
    if (!filter.empty()) {
        arguments += " -Y '" + filter + "'";
    }
    return SimUSBTesting::tshark(path, arguments);
}

size_t pcapRecords(const std::string& path)
{
    char error[PCAP_ERRBUF_SIZE];
    pcap_t* capture = pcap_open_offline(path.c_str(), error);
    if (capture == nullptr) {
        return 0;
    }
    EXPECT_EQ(pcap_datalink(capture), 220);
    size_t count = 0;
    pcap_pkthdr* header;
    const u_char* data;
    while (pcap_next_ex(capture, &header, &data) == 1) {
        ++count;
    }
    pcap_close(capture);
    return count;
}

class CaptureTest : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(bus.startCapture(path));
        bus.addListener(&listener);
        bus.attach(1, echo);
        device = listener.waitForArrival(1);
        // SET_INTERFACE and a vendor request, both captured.
        device->control({0x01, 11, 1, 1, 0}, nullptr, 500);
        uint8_t data[3] = {7, 8, 9};
        device->control({0x40, 1, 0x1234, 0x5678, 3}, data, 500);
        bus.stopCapture();
    }
    void TearDown() override
    {
        bus.reset();
        bus.removeListener(&listener);
        std::remove(path.c_str());
    }

    // Named after the process too: builds of other configurations may run the same case at once.
    std::string path = testing::TempDir() + "simusb-capture-" + std::to_string(getpid()) + "-" +
                       testing::UnitTest::GetInstance()->current_test_info()->name() + ".pcap";
    SimUSB::Bus bus;
    SimUSBTests::RecordingListener listener;
    std::shared_ptr<EchoDevice> echo = std::make_shared<EchoDevice>();
    std::shared_ptr<SimUSB::HostDevice> device;
};

TEST_F(CaptureTest, TsharkReadsTheDeviceDescriptor)
{
    const auto lines = tsharkFields(path, {"usb.idVendor", "usb.idProduct"}, "usb.idVendor");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "0x1209|0x0001");
}

TEST_F(CaptureTest, TsharkReadsInterfacesAndEndpoints)
{
    const auto lines = tsharkFields(
        path, {"usb.bInterfaceClass", "usb.bEndpointAddress", "usb.wMaxPacketSize"}, "usb.bEndpointAddress");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "0xff,0xff,0xff|0x01,0x81,0x82,0x03,0x83|512,512,8,512,512");
}

TEST_F(CaptureTest, TsharkReadsTheSetupOfSetInterface)
{
    const auto lines =
        tsharkFields(path, {"usb.bmRequestType", "usb.bAlternateSetting", "usb.setup.wInterface"},
                     "usb.setup.bRequest == 11");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "0x01|1|1");
}

TEST_F(CaptureTest, TsharkReadsTheSetupOfAVendorRequest)
{
    const auto lines = tsharkFields(path,
                                    {"usb.bmRequestType", "usb.setup.bRequest", "usb.setup.wValue",
                                     "usb.setup.wIndex", "usb.setup.wLength"},
                                    "usb.bmRequestType == 0x40");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "0x40|1|0x1234|22136|3");
}

TEST_F(CaptureTest, LibpcapReadsEveryRecord)
{
    // Six enumeration requests and two more, each a submission and a completion.
    EXPECT_EQ(pcapRecords(path), 16u);
    EXPECT_EQ(tsharkFields(path, {"frame.number"}).size(), 16u);
}

} // namespace
