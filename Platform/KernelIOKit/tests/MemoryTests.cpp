#include <KernelIOKitTesting/KernelIOKitTesting.h>

#include <IOKit/IOBufferMemoryDescriptor.h>
#include <IOKit/IOSubMemoryDescriptor.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>

namespace {

class KernelIOKitMemoryTests : public testing::Test
{
protected:
    void SetUp() override { fLive = KernelIOKitTesting::liveObjects("OSObject"); }
    void TearDown() override { EXPECT_EQ(KernelIOKitTesting::liveObjects("OSObject"), fLive); }

    int32_t fLive = 0;
};

TEST_F(KernelIOKitMemoryTests, BuffersAreZeroFilledAndPageAligned)
{
    constexpr size_t kLength = 11'550'080;
    IOBufferMemoryDescriptor* buffer = IOBufferMemoryDescriptor::inTaskWithPhysicalMask(
        current_task(), kIODirectionInOut, kLength, 0xFFFFF000);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(buffer->getLength(), kLength);
    const auto* bytes = static_cast<const uint8_t*>(buffer->getBytesNoCopy());
    EXPECT_EQ(reinterpret_cast<uintptr_t>(bytes) % size_t(sysconf(_SC_PAGESIZE)), 0u);
    EXPECT_EQ(bytes[0], 0);
    EXPECT_EQ(bytes[kLength - 1], 0);
    buffer->release();
    EXPECT_EQ(IOBufferMemoryDescriptor::withCapacity(0, kIODirectionIn), nullptr);
}

TEST_F(KernelIOKitMemoryTests, MappingsAtDifferentAddressesShareTheBytesAndOutliveTheDescriptor)
{
    IOBufferMemoryDescriptor* buffer = IOBufferMemoryDescriptor::withCapacity(10'000, kIODirectionInOut);
    IOMemoryMap* first = buffer->map();
    IOMemoryMap* second = buffer->map();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first->getAddress(), second->getAddress());
    EXPECT_NE(first->getAddress(), buffer->getBytesNoCopy());
    EXPECT_EQ(first->getLength(), 10'000u);

    static_cast<uint8_t*>(first->getAddress())[9'999] = 0x5A;
    EXPECT_EQ(static_cast<uint8_t*>(second->getAddress())[9'999], 0x5A);
    EXPECT_EQ(static_cast<uint8_t*>(buffer->getBytesNoCopy())[9'999], 0x5A);

    buffer->release();
    static_cast<uint8_t*>(second->getAddress())[0] = 0xA5;
    EXPECT_EQ(static_cast<uint8_t*>(first->getAddress())[0], 0xA5);
    first->release();
    second->release();
}

TEST_F(KernelIOKitMemoryTests, SubRangesReachTheirParentsBytes)
{
    IOBufferMemoryDescriptor* buffer = IOBufferMemoryDescriptor::withCapacity(3 * 577'504, kIODirectionInOut);
    IOSubMemoryDescriptor* range = IOSubMemoryDescriptor::withSubRange(buffer, 577'504 + 3'264, 574'240, 0);
    ASSERT_NE(range, nullptr);
    EXPECT_EQ(range->getLength(), 574'240u);
    EXPECT_EQ(range->getKernelAddress(), static_cast<uint8_t*>(buffer->getBytesNoCopy()) + 577'504 + 3'264);

    const uint32_t marker = 0xC0FFEE;
    EXPECT_EQ(range->writeBytes(574'240 - 2, &marker, sizeof(marker)), 2u);
    uint32_t read = 0;
    EXPECT_EQ(range->readBytes(574'240 - 2, &read, sizeof(read)), 2u);
    EXPECT_EQ(read, marker & 0xFFFF);
    EXPECT_EQ(range->readBytes(574'240, &read, sizeof(read)), 0u);

    IOMemoryMap* mapping = range->map();
    ASSERT_NE(mapping, nullptr);
    EXPECT_EQ(std::memcmp(static_cast<uint8_t*>(mapping->getAddress()) + 574'240 - 2, &marker, 2), 0);
    mapping->release();

    EXPECT_EQ(IOSubMemoryDescriptor::withSubRange(buffer, 3 * 577'504 - 10, 11, 0), nullptr);
    EXPECT_EQ(IOSubMemoryDescriptor::withSubRange(nullptr, 0, 1, 0), nullptr);
    buffer->release();
    EXPECT_EQ(range->getParent()->getLength(), 3u * 577'504);
    range->release();
}

} // namespace
