#include <DriverKitTesting/DriverKitTesting.h>
#include <USBDriverKit/USBTypes.h>

#include <gtest/gtest.h>

#include <vector>

namespace {

// A configuration of an interface with two endpoints, then a second interface.
std::vector<uint8_t> configuration()
{
    std::vector<uint8_t> bytes{9,    2, 0,    0,    2, 1, 0, 0x80, 50, 9,    4,    0, 0, 2, 0xFF, 0,
                               0,    0, 5,    0x24, 1, 2, 3, 7,    5,  0x81, 3,    8, 0, 4, 7,    5,
                               0x02, 1, 0x00, 0x14, 1, 9, 4, 1,    0,  0,    0xFF, 0, 0, 0};
    bytes[2] = uint8_t(bytes.size());
    return bytes;
}

std::vector<uint8_t> types(const IOUSBConfigurationDescriptor* configuration)
{
    std::vector<uint8_t> seen;
    for (const IOUSBDescriptorHeader* d = IOUSBGetNextDescriptor(configuration, nullptr); d != nullptr;
         d = IOUSBGetNextDescriptor(configuration, d)) {
        seen.push_back(d->bDescriptorType);
    }
    return seen;
}

struct Walk
{
    const IOUSBConfigurationDescriptor* configuration;
    explicit Walk(const std::vector<uint8_t>& bytes)
        : configuration(DriverKitTesting::copyConfiguration(bytes.data(), bytes.size()))
    {}
    ~Walk() { IOUSBHostFreeDescriptor(configuration); }
};

TEST(DescriptorWalks, VisitEveryDescriptorInOrder)
{
    Walk walk(configuration());
    EXPECT_EQ(types(walk.configuration), (std::vector<uint8_t>{4, 0x24, 5, 5, 4}));
}

TEST(DescriptorWalks, StopAtBLengthZero)
{
    std::vector<uint8_t> bytes = configuration();
    bytes[18] = 0;
    Walk walk(bytes);
    EXPECT_EQ(types(walk.configuration), (std::vector<uint8_t>{4}));
}

TEST(DescriptorWalks, StopAtWTotalLength)
{
    std::vector<uint8_t> bytes = configuration();
    bytes[2] = 30;
    Walk walk(bytes);
    EXPECT_EQ(types(walk.configuration), (std::vector<uint8_t>{4, 0x24, 5}));
}

TEST(DescriptorWalks, StopAtTheEndOfWhatTheDeviceGave)
{
    std::vector<uint8_t> bytes = configuration();
    bytes[2] = 0xFF;
    bytes[3] = 0x0F;
    bytes.resize(37);
    Walk walk(bytes);
    EXPECT_EQ(types(walk.configuration), (std::vector<uint8_t>{4, 0x24, 5, 5}));
}

TEST(DescriptorWalks, AssociatedDescriptorsEndAtTheNextInterface)
{
    Walk walk(configuration());
    const IOUSBInterfaceDescriptor* interface = IOUSBGetNextInterfaceDescriptor(walk.configuration, nullptr);
    ASSERT_NE(interface, nullptr);
    const auto* parent = reinterpret_cast<const IOUSBDescriptorHeader*>(interface);
    std::vector<uint8_t> seen;
    for (const IOUSBDescriptorHeader* d =
             IOUSBGetNextAssociatedDescriptor(walk.configuration, parent, nullptr);
         d != nullptr; d = IOUSBGetNextAssociatedDescriptor(walk.configuration, parent, d)) {
        seen.push_back(d->bDescriptorType);
    }
    EXPECT_EQ(seen, (std::vector<uint8_t>{0x24, 5, 5}));
    const IOUSBDescriptorHeader* classSpecific =
        IOUSBGetNextAssociatedDescriptorWithType(walk.configuration, parent, nullptr, 0x24);
    ASSERT_NE(classSpecific, nullptr);
    EXPECT_EQ(classSpecific->bLength, 5);

    const IOUSBEndpointDescriptor* first =
        IOUSBGetNextEndpointDescriptor(walk.configuration, interface, nullptr);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(IOUSBGetEndpointAddress(first), 0x81);
    EXPECT_EQ(IOUSBGetEndpointType(first), kIOUSBEndpointTypeInterrupt);
    EXPECT_EQ(IOUSBGetEndpointDirection(first), kIOUSBEndpointDirectionIn);
    const IOUSBEndpointDescriptor* second = IOUSBGetNextEndpointDescriptor(
        walk.configuration, interface, reinterpret_cast<const IOUSBDescriptorHeader*>(first));
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(IOUSBGetEndpointMaxPacketSize(second), 3072u);
    EXPECT_EQ(IOUSBGetEndpointDirection(second), kIOUSBEndpointDirectionOut);
    EXPECT_EQ(IOUSBGetNextEndpointDescriptor(walk.configuration, interface,
                                             reinterpret_cast<const IOUSBDescriptorHeader*>(second)),
              nullptr);
    const IOUSBInterfaceDescriptor* next = IOUSBGetNextInterfaceDescriptor(
        walk.configuration, reinterpret_cast<const IOUSBDescriptorHeader*>(interface));
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(next->bInterfaceNumber, 1);
}

} // namespace
