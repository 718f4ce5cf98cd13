#include "DextDevice.h"
#include "DextTestSupport.h"
#include "USBServiceClient.h"

#include <KorvanDeviceIO.h>

#include <DarwinTesting/LogCapture.h>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using namespace KorvanDeviceIO;
using DextTesting::DextDeviceTest;
using KorvanInterface::DescriptorOptions;
using KorvanInterface::Model;

constexpr IOReturn kBadArgument = static_cast<IOReturn>(0xE00002C2);
constexpr IOReturn kError = static_cast<IOReturn>(0xE00002BC);
constexpr uint32_t kAudio = 0x494F494F;
constexpr uint32_t kTest = 0x54455354;

class DextUserClient : public DextDeviceTest
{
protected:
    DescriptorOptions options{Model::Wrenlet, DextTesting::kVendor};

    void SetUp() override
    {
        attach(options);
        connect = open();
    }
};

TEST_F(DextUserClient, DeviceInfoCopiesTheFormTheCallerAskedFor)
{
    std::vector<uint8_t> output(4172, 0xEE);
    size_t outputSize = output.size();
    ASSERT_EQ(call(0, nullptr, 0, output.data(), &outputSize), kIOReturnSuccess);
    DeviceInfoRequest info;
    std::memcpy(&info, output.data(), sizeof(info));
    EXPECT_EQ(NameFieldText(info.fUID), "ab12cd34");
    EXPECT_EQ(NameFieldText(info.fProductName), options.product);
    EXPECT_EQ(info.fProductID, 12u);
    EXPECT_EQ(info.fDeviceRelease, options.bcdDevice);
    EXPECT_EQ(output[4167], 0);
    EXPECT_EQ(output[4168], 0xEE) << "the last four bytes belong to the caller";

    std::vector<uint8_t> input(4172, 0);
    std::fill(output.begin(), output.end(), 0xEE);
    outputSize = output.size();
    ASSERT_EQ(call(0, input.data(), input.size(), output.data(), &outputSize), kIOReturnSuccess);
    EXPECT_EQ(output[4171], 0);

    outputSize = 4170;
    EXPECT_EQ(call(0, nullptr, 0, output.data(), &outputSize), kBadArgument);
}

struct SizeCase
{
    const char* name;
    uint32_t selector;
    size_t input;
    size_t output;
    IOReturn expected;
};

class DextUserClientSizes : public DextUserClient, public testing::WithParamInterface<SizeCase>
{};

TEST_P(DextUserClientSizes, AreCheckedBeforeTheDeviceIsAsked)
{
    const size_t requestsBefore = model->controlLog().size();
    std::vector<uint8_t> input(GetParam().input, 0);
    std::vector<uint8_t> output(GetParam().output, 0);
    size_t outputSize = output.size();

    EXPECT_EQ(call(GetParam().selector, input.empty() ? nullptr : input.data(), input.size(),
                   output.empty() ? nullptr : output.data(), &outputSize),
              GetParam().expected);
    EXPECT_EQ(model->controlLog().size(), requestsBefore);
}

INSTANTIATE_TEST_SUITE_P(DextSelectors, DextUserClientSizes,
                         testing::Values(SizeCase{"ShortUACRequest", 4, 19, 4113, kBadArgument},
                                         SizeCase{"ShortUACResponse", 4, 20, 4112, kBadArgument},
                                         SizeCase{"ShortVendorRequest", 5, 35, 4113, kBadArgument},
                                         SizeCase{"ShortRunState", 6, 27, 4100, kBadArgument},
                                         SizeCase{"ShortChannelNames", 8, 3, 6148, kBadArgument},
                                         SizeCase{"NotificationWithoutCompletion", 3, 0, 4132, kBadArgument},
                                         SizeCase{"HeaderVersionOfTheWrongSize", 9, 0, 4100, kBadArgument},
                                         SizeCase{"HeaderEnableOfTheWrongSize", 10, 3, 0, kBadArgument},
                                         SizeCase{"UnknownSelector", 11, 0, 0, kError}),
                         [](const testing::TestParamInfo<SizeCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(DextUserClient, PropertiesAnswerFromTheDriver)
{
    struct Case
    {
        uint32_t property;
        uint32_t value;
    };
    for (const Case& c : {Case{1, 95375}, Case{7, 0x2000000}}) {
        GetPropertyRequest request{c.property};
        std::vector<uint8_t> output(4104, 0xEE);
        size_t outputSize = output.size();
        ASSERT_EQ(call(2, &request, sizeof(request), output.data(), &outputSize), kIOReturnSuccess);
        GetPropertyResult result;
        std::memcpy(&result, output.data(), sizeof(result));
        EXPECT_EQ(result.fStatus, 0u);
        EXPECT_EQ(result.fValue, c.value);
        EXPECT_EQ(output[4103], 0) << "reserved bytes go out as zero";
    }

    SetPropertyRequest set{1, 5};
    std::vector<uint8_t> output(4100, 0);
    size_t outputSize = output.size();
    EXPECT_EQ(call(1, &set, sizeof(set), output.data(), &outputSize), kBadArgument);
    ErrorResult status;
    std::memcpy(&status, output.data(), sizeof(status));
    EXPECT_EQ(status.fStatus, uint32_t(kBadArgument));
}

TEST_F(DextUserClient, RunStateBelongsToTheAudioClient)
{
    io_connect_t test = open(kTest);
    USBAudioRunStateRequest request{1, 2, 1, 24, 1, 1, 16};
    std::vector<uint8_t> output(4100, 0);
    size_t outputSize = output.size();

    EXPECT_EQ(IOConnectCallStructMethod(test, 6, &request, sizeof(request), output.data(), &outputSize),
              kError);
    EXPECT_EQ(model->alternate(KorvanInterface::kRecordInterface), 0);

    request.fRunState = 0;
    outputSize = output.size();
    EXPECT_EQ(call(6, &request, sizeof(request), output.data(), &outputSize), kIOReturnSuccess)
        << "stopping what is not running does nothing";
    IOServiceClose(test);
}

TEST_F(DextUserClient, OneClientOfEachType)
{
    DarwinTesting::LogCapture capture;
    io_connect_t second = 0;
    EXPECT_EQ(IOServiceOpen(service, mach_task_self(), kAudio, &second), kError);
    io_connect_t test = open(kTest);
    io_connect_t secondTest = 0;
    EXPECT_EQ(IOServiceOpen(service, mach_task_self(), kTest, &secondTest), kError);
    io_connect_t other = 0;
    EXPECT_EQ(IOServiceOpen(service, mach_task_self(), 0x41424344, &other), kError);
    EXPECT_TRUE(DextTesting::logged(capture, "!!!Unknown user client type!!!\n ("));

    IOServiceClose(connect);
    connect = open(kAudio);
    EXPECT_NE(connect, 0u);
    IOServiceClose(test);
}

TEST_F(DextUserClient, PublishesTheUIDAndBothRings)
{
    EXPECT_EQ(DextTesting::stringProperty(service, "com_vork_driver_tide_device_UID"), "ab12cd34");

    for (uint32_t type : {1u, 2u}) {
        mach_vm_address_t address = 0;
        mach_vm_size_t size = 0;
        ASSERT_EQ(IOConnectMapMemory64(connect, type, mach_task_self(), &address, &size, 1),
                  kIOReturnSuccess);
        EXPECT_EQ(size, 11'550'080u);
        EXPECT_EQ(IOConnectUnmapMemory64(connect, type, mach_task_self(), address), kIOReturnSuccess);
    }
    mach_vm_address_t address = 0;
    mach_vm_size_t size = 0;
    EXPECT_EQ(IOConnectMapMemory64(connect, 3, mach_task_self(), &address, &size, 1), kError);
}

// A client of the kernel numbering fails loudly on the plain connection rather than misreading it.
TEST_F(DextUserClient, KernelNumberingFailsWithoutTheAdapter)
{
    IOServiceClose(connect);
    connect = 0;
    USBServiceClient client(KorvanService(service, KorvanService::kBusTypeUSB), kAudio, nullptr,
                            [](void*, UInt32, const UInt8*, UInt32) {});
    EXPECT_FALSE(client.Open());

    connect = open(kTest);
    std::vector<uint8_t> output(76, 0);
    size_t outputSize = output.size();
    EXPECT_EQ(call(0, nullptr, 0, output.data(), &outputSize), kBadArgument);
    USBUACControlRequest rateRead{0, 1, 0x10, 4, {}};
    outputSize = 17;
    EXPECT_EQ(call(3, &rateRead, sizeof(rateRead), output.data(), &outputSize), kBadArgument);
}

} // namespace
