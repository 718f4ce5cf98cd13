#include <com_vork_driver_tide_userBuffer.h>

#include <DriverKit/IOBufferMemoryDescriptor.h>

#include <gtest/gtest.h>

#include <vector>

namespace {

using UserBuffer = com_vork_driver_tide_userBuffer;

TEST(DextUserBuffer, DescriptorViewTakesWhatFits)
{
    IOBufferMemoryDescriptor* raw = nullptr;
    ASSERT_EQ(IOBufferMemoryDescriptor::Create(kIOMemoryDirectionInOut, 4104, 0, &raw), kIOReturnSuccess);
    OSSharedPtr<IOBufferMemoryDescriptor> descriptor(raw, OSNoRetain);
    OSSharedPtr<UserBuffer> view(UserBuffer::NewUserBuffer(descriptor.get()), OSNoRetain);
    ASSERT_TRUE(view);
    const std::vector<uint8_t> bytes(4113, 0x5A);

    EXPECT_FALSE(view->copyOutData(bytes.data(), 4113));
    EXPECT_EQ(descriptor->platformBytes()[0], 0);
    EXPECT_TRUE(view->copyOutData(bytes.data(), 4104));
    EXPECT_EQ(descriptor->platformBytes()[0], 0x5A);
    EXPECT_EQ(descriptor->platformBytes()[4103], 0x5A);
    EXPECT_EQ(view->getBytes()[4103], 0x5A);
}

TEST(DextUserBuffer, DataViewGrowsByWhatIsCopied)
{
    OSSharedPtr<OSData> data(OSData::withBytes("ab", 2), OSNoRetain);
    OSSharedPtr<UserBuffer> view(UserBuffer::NewUserBuffer(data.get()), OSNoRetain);
    ASSERT_TRUE(view);

    EXPECT_TRUE(view->copyOutData("cde", 3));

    ASSERT_EQ(data->getLength(), 5u);
    EXPECT_EQ(std::string(static_cast<const char*>(data->getBytesNoCopy()), 5), "abcde");
    EXPECT_EQ(view->getBytes(), data->getBytesNoCopy());
    EXPECT_EQ(UserBuffer::NewUserBuffer(static_cast<OSData*>(nullptr)), nullptr);
}

TEST(DextUserBuffer, ScalarViewFillsTheScalars)
{
    uint64_t scalars[3] = {};
    OSSharedPtr<UserBuffer> view(UserBuffer::NewUserBuffer(scalars, 3), OSNoRetain);
    ASSERT_TRUE(view);
    const uint64_t values[4] = {1, 2, 3, 4};

    EXPECT_EQ(view->getBytes(), reinterpret_cast<uint8_t*>(scalars));
    EXPECT_FALSE(view->copyOutData(values, 32));
    EXPECT_TRUE(view->copyOutData(values, 24));
    EXPECT_EQ(scalars[0], 1u);
    EXPECT_EQ(scalars[2], 3u);
}

TEST(DextUserBuffer, ViewWithoutDescriptorRefusesEveryCopy)
{
    OSSharedPtr<UserBuffer> view(UserBuffer::NewUserBuffer(static_cast<IOMemoryDescriptor*>(nullptr)),
                                 OSNoRetain);
    ASSERT_TRUE(view);
    const uint8_t byte = 1;

    EXPECT_EQ(view->getBytes(), nullptr);
    EXPECT_FALSE(view->copyOutData(&byte, 0));
    EXPECT_FALSE(view->copyOutData(&byte, 1));
}

} // namespace
