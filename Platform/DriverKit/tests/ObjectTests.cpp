#include <DriverKit/DriverKit.h>
#include <DriverKitTesting/DriverKitTesting.h>

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(OSData, GrowsAsBytesAreAppended)
{
    OSSharedPtr<OSData> data(OSData::withBytes("ab", 2), OSNoRetain);
    EXPECT_TRUE(data->appendBytes("cde", 3));
    EXPECT_EQ(data->getLength(), 5u);
    EXPECT_EQ(std::memcmp(data->getBytesNoCopy(), "abcde", 5), 0);
}

TEST(OSDictionary, KeepsAReferenceAndReplacesByKey)
{
    OSSharedPtr<OSDictionary> dictionary(OSDictionary::withCapacity(2), OSNoRetain);
    OSSharedPtr<OSString> first(OSString::withCString("first"), OSNoRetain);
    OSSharedPtr<OSString> second(OSString::withCString("second"), OSNoRetain);
    dictionary->setObject("key", first.get());
    dictionary->setObject("key", second.get());
    EXPECT_EQ(dictionary->getCount(), 1u);
    EXPECT_EQ(OSDynamicCast(OSString, dictionary->getObject("key"))->getCStringNoCopy(),
              std::string("second"));
    EXPECT_EQ(dictionary->getObject("missing"), nullptr);
}

TEST(OSArray, HoldsItsObjectsInOrder)
{
    OSSharedPtr<OSArray> array(OSArray::withCapacity(2), OSNoRetain);
    OSSharedPtr<OSNumber> number(OSNumber::withNumber(0x1234, 16), OSNoRetain);
    array->setObject(number.get());
    array->setObject(kOSBooleanTrue);
    EXPECT_EQ(array->getCount(), 2u);
    EXPECT_EQ(OSDynamicCast(OSNumber, array->getObject(0))->unsigned16BitValue(), 0x1234);
    EXPECT_EQ(array->getObject(1), kOSBooleanTrue);
    EXPECT_EQ(array->getObject(2), nullptr);
}

TEST(OSSharedPtr, ReleasesItsReference)
{
    struct Counted : OSObject
    {
        explicit Counted(bool* freed) : fFreed(freed) {}
        void free() override
        {
            *fFreed = true;
            OSObject::free();
        }
        bool* fFreed;
    };
    bool freed = false;
    {
        OSSharedPtr<Counted> held(new Counted(&freed), OSNoRetain);
        OSSharedPtr<Counted> copy = held;
        held.reset();
        EXPECT_FALSE(freed);
    }
    EXPECT_TRUE(freed);
}

TEST(CreationFailures, TheNextCreationsFail)
{
    DriverKitTesting::failNextCreations(4);
    EXPECT_EQ(OSData::withCapacity(1), nullptr);
    EXPECT_EQ(OSString::withCString("x"), nullptr);
    IODispatchQueue* queue = nullptr;
    EXPECT_EQ(IODispatchQueue::Create("q", 0, 0, &queue), kIOReturnNoMemory);
    IOBufferMemoryDescriptor* buffer = nullptr;
    EXPECT_EQ(IOBufferMemoryDescriptor::Create(0, 16, 0, &buffer), kIOReturnNoMemory);
    OSSharedPtr<OSArray> array(OSArray::withCapacity(1), OSNoRetain);
    EXPECT_TRUE(array);
}

} // namespace
