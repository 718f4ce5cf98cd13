#include <DriverKit/DriverKit.h>

#include <gtest/gtest.h>

#include <cstring>
#include <unistd.h>

namespace {

OSSharedPtr<IOBufferMemoryDescriptor> makeBuffer(uint64_t capacity)
{
    IOBufferMemoryDescriptor* buffer = nullptr;
    EXPECT_EQ(IOBufferMemoryDescriptor::Create(kIOMemoryDirectionInOut, capacity, 0, &buffer),
              kIOReturnSuccess);
    return OSSharedPtr<IOBufferMemoryDescriptor>(buffer, OSNoRetain);
}

TEST(BufferMemoryDescriptor, LengthIsTheCapacityNotThePages)
{
    auto buffer = makeBuffer(11'550'080);
    uint64_t length = 0;
    EXPECT_EQ(buffer->GetLength(&length), kIOReturnSuccess);
    EXPECT_EQ(length, 11'550'080u);
    IOAddressSegment range{};
    EXPECT_EQ(buffer->GetAddressRange(&range), kIOReturnSuccess);
    EXPECT_NE(range.address, 0u);
    EXPECT_EQ(range.address % uint64_t(sysconf(_SC_PAGESIZE)), 0u);
    const auto* bytes = reinterpret_cast<const uint8_t*>(range.address);
    EXPECT_TRUE(std::all_of(bytes, bytes + 11'550'080, [](uint8_t b) { return b == 0; }));
}

TEST(BufferMemoryDescriptor, SetLengthUpToTheCapacityOnly)
{
    auto buffer = makeBuffer(100);
    EXPECT_EQ(buffer->SetLength(16), kIOReturnSuccess);
    uint64_t length = 0;
    buffer->GetLength(&length);
    EXPECT_EQ(length, 16u);
    EXPECT_NE(buffer->SetLength(101), kIOReturnSuccess);
    EXPECT_EQ(buffer->SetLength(100), kIOReturnSuccess);
}

struct MappingCase
{
    uint64_t offset;
    uint64_t length;
    bool accepted;
    uint64_t mappedLength;
};

class MappingTest : public testing::TestWithParam<MappingCase>
{};

TEST_P(MappingTest, CoversTheRangeOrRefusesIt)
{
    auto buffer = makeBuffer(8192);
    IOAddressSegment range{};
    buffer->GetAddressRange(&range);
    IOMemoryMap* map = nullptr;
    const kern_return_t status = buffer->CreateMapping(0, 0, GetParam().offset, GetParam().length, 0, &map);
    EXPECT_EQ(status == kIOReturnSuccess, GetParam().accepted);
    if (status == kIOReturnSuccess) {
        EXPECT_EQ(map->GetAddress(), range.address + GetParam().offset);
        EXPECT_EQ(map->GetLength(), GetParam().mappedLength);
        EXPECT_EQ(map->GetOffset(), GetParam().offset);
        map->release();
    }
}

INSTANTIATE_TEST_SUITE_P(Ranges, MappingTest,
                         testing::Values(MappingCase{0, 0, true, 8192}, MappingCase{100, 0, true, 8092},
                                         MappingCase{100, 200, true, 200}, MappingCase{8192, 0, true, 0},
                                         MappingCase{8000, 193, false, 0}, MappingCase{8193, 0, false, 0}));

TEST(MemoryDescriptor, SubDescriptorLiesAtItsOffset)
{
    auto buffer = makeBuffer(4 * 577'504);
    IOMemoryDescriptor* sub = nullptr;
    ASSERT_EQ(IOMemoryDescriptor::CreateSubMemoryDescriptor(kIOMemoryDirectionIn, 577'504 + 3264, 574'240,
                                                            buffer.get(), &sub),
              kIOReturnSuccess);
    OSSharedPtr<IOMemoryDescriptor> held(sub, OSNoRetain);
    uint64_t length = 0;
    sub->GetLength(&length);
    EXPECT_EQ(length, 574'240u);
    IOAddressSegment range{};
    buffer->GetAddressRange(&range);
    EXPECT_EQ(sub->platformBytes(), reinterpret_cast<uint8_t*>(range.address) + 577'504 + 3264);
    IOMemoryMap* map = nullptr;
    ASSERT_EQ(sub->CreateMapping(0, 0, 0, 0, 0, &map), kIOReturnSuccess);
    EXPECT_EQ(map->GetAddress(), range.address + 577'504 + 3264);
    map->release();
    EXPECT_NE(IOMemoryDescriptor::CreateSubMemoryDescriptor(0, 4 * 577'504 - 10, 11, buffer.get(), &sub),
              kIOReturnSuccess);
}

TEST(MemoryDescriptor, MappingOutlivesTheDescriptor)
{
    IOMemoryMap* map = nullptr;
    {
        auto buffer = makeBuffer(4096);
        buffer->CreateMapping(0, 0, 0, 0, 0, &map);
        std::memset(reinterpret_cast<void*>(map->GetAddress()), 0x5A, 4096);
    }
    EXPECT_EQ(*reinterpret_cast<const uint8_t*>(map->GetAddress() + 4095), 0x5A);
    map->release();
}

} // namespace
