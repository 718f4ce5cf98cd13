#include "DriverKitTestSupport.h"

#include <DriverKit/platform/UserClientConnection.h>

#include <cstring>

using DriverKitTests::EchoDeviceTest;

namespace {

class ConnectedTest : public EchoDeviceTest
{
protected:
    void SetUp() override
    {
        EchoDeviceTest::SetUp();
        service = findService();
        ASSERT_EQ(IOServiceOpen(service, 0, 7, &connection), kIOReturnSuccess);
    }
    void TearDown() override
    {
        IOServiceClose(connection);
        IOObjectRelease(service);
        EchoDeviceTest::TearDown();
    }

    io_service_t service = 0;
    io_connect_t connection = 0;
};

struct MarshalCase
{
    size_t input;
    size_t output;
    const char* inputForm;
    const char* outputForm;
    size_t returned;
};

class MarshallingTest : public ConnectedTest, public testing::WithParamInterface<MarshalCase>
{};

TEST_P(MarshallingTest, SmallArgumentsAreDataLargeOnesDescriptors)
{
    const MarshalCase& c = GetParam();
    std::vector<uint8_t> input(c.input, 0x5A);
    std::vector<uint8_t> output(c.output, 0);
    size_t outputSize = c.output;
    ASSERT_EQ(IOConnectCallStructMethod(connection, 1, c.input ? input.data() : nullptr, c.input,
                                        c.output ? output.data() : nullptr, &outputSize),
              kIOReturnSuccess);
    const ToyDrivers::CallRecord call = ToyDrivers::lastCall();
    EXPECT_EQ(call.input, c.inputForm);
    EXPECT_EQ(call.inputLength, c.input);
    EXPECT_EQ(call.output, c.outputForm);
    EXPECT_EQ(call.outputLength, c.output);
    EXPECT_EQ(outputSize, c.returned);
    EXPECT_TRUE(std::all_of(output.begin(), output.end(), [](uint8_t b) { return b == 0xC3; }));
}

INSTANTIATE_TEST_SUITE_P(Sizes, MarshallingTest,
                         testing::Values(MarshalCase{0, 0, "none", "none", 0},
                                         MarshalCase{1, 1, "data", "data", 1},
                                         MarshalCase{4096, 4096, "data", "data", 4096},
                                         MarshalCase{4097, 4097, "descriptor", "descriptor", 4097},
                                         MarshalCase{20, 6148, "data", "descriptor", 6148},
                                         MarshalCase{6148, 4100, "descriptor", "descriptor", 4100},
                                         MarshalCase{6148, 100, "descriptor", "data", 100},
                                         MarshalCase{0, 4113, "none", "descriptor", 4113}));

TEST_F(ConnectedTest, MappedMemoryIsTheDriversAtAnotherAddressAndOutlivesItsRelease)
{
    mach_vm_address_t address = 0;
    mach_vm_size_t size = 0;
    ASSERT_EQ(IOConnectMapMemory64(connection, 1, 0, &address, &size, kIOMapAnywhere), kIOReturnSuccess);
    EXPECT_EQ(size, 11'550'080u);
    IOAddressSegment range{};
    toy->ring()->GetAddressRange(&range);
    EXPECT_NE(address, range.address);
    const auto* mapped = reinterpret_cast<const uint8_t*>(address);
    EXPECT_EQ(mapped[0], 0x11);
    EXPECT_EQ(mapped[11'550'079], 0x22);
    reinterpret_cast<uint8_t*>(range.address)[5] = 0x77;
    EXPECT_EQ(mapped[5], 0x77);
    toy->dropRing();
    EXPECT_EQ(mapped[11'550'079], 0x22);
    EXPECT_EQ(IOConnectUnmapMemory64(connection, 1, 0, address), kIOReturnSuccess);
}

TEST_F(ConnectedTest, NotificationPortIsUnsupported)
{
    EXPECT_EQ(IOConnectSetNotificationPort(connection, 0, 1, 0), kIOReturnUnsupported);
}

TEST_F(ConnectedTest, UnknownSelectorReachesTheSystemsPart)
{
    size_t outputSize = 0;
    EXPECT_EQ(IOConnectCallStructMethod(connection, 9, nullptr, 0, nullptr, &outputSize),
              kIOReturnUnsupported);
}

TEST_F(ConnectedTest, ClosingStopsTheClient)
{
    IOServiceClose(connection);
    connection = 0;
    ToyDrivers::log().waitFor("EchoToyClient stop");
}

} // namespace
