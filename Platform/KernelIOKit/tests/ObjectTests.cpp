#include <KernelIOKitTesting/KernelIOKitTesting.h>

#include <libkern/c++/OSArray.h>
#include <libkern/c++/OSBoolean.h>
#include <libkern/c++/OSData.h>
#include <libkern/c++/OSDictionary.h>
#include <libkern/c++/OSIterator.h>
#include <libkern/c++/OSNumber.h>
#include <libkern/c++/OSString.h>
#include <libkern/c++/OSSymbol.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// An object whose last release leaves its memory in place, so a release too many can be seen.
class KernelIOKitKeptObject : public OSObject
{
    OSDeclareDefaultStructors(KernelIOKitKeptObject)

        public : void free() override
    {}
};

OSDefineMetaClassAndStructors(KernelIOKitKeptObject, OSObject)

    using KernelIOKitTesting::liveObjects;

TEST(KernelIOKitObjectTests, RetainsAndReleasesBalanceAndTheLiveCountReturns)
{
    const int32_t strings = liveObjects("OSString");
    const int32_t objects = liveObjects("OSObject");
    OSString* text = OSString::withCString("tide");
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(liveObjects("OSString"), strings + 1);
    EXPECT_EQ(liveObjects("OSObject"), objects + 1);
    text->retain();
    EXPECT_EQ(text->getRetainCount(), 2);
    text->release();
    EXPECT_EQ(text->getRetainCount(), 1);
    text->release();
    EXPECT_EQ(liveObjects("OSString"), strings);
    EXPECT_EQ(liveObjects("OSObject"), objects);
}

TEST(KernelIOKitObjectTests, AReleaseWithNoReferenceLeftEndsTheProcessNamingTheClass)
{
    EXPECT_DEATH(
        {
            auto* kept = new KernelIOKitKeptObject;
            kept->release();
            kept->release();
        },
        "over-release of KernelIOKitKeptObject");
}

TEST(KernelIOKitObjectTests, ContainersHoldOneReferencePerEntryAndLetGoWhenFreed)
{
    const int32_t numbers = liveObjects("OSNumber");
    const int32_t symbols = liveObjects("OSSymbol");
    OSNumber* first = OSNumber::withNumber(1, 32);
    OSNumber* second = OSNumber::withNumber(2, 32);
    OSArray* array = OSArray::withCapacity(1);
    OSDictionary* dictionary = OSDictionary::withCapacity(1);
    ASSERT_TRUE(array->setObject(first));
    ASSERT_TRUE(dictionary->setObject("key", first));
    EXPECT_EQ(first->getRetainCount(), 3);
    ASSERT_TRUE(dictionary->setObject("key", second));
    EXPECT_EQ(first->getRetainCount(), 2);
    EXPECT_EQ(dictionary->getObject("key"), second);
    EXPECT_EQ(dictionary->getCount(), 1u);
    first->release();
    second->release();
    array->release();
    dictionary->release();
    EXPECT_EQ(liveObjects("OSNumber"), numbers);
    EXPECT_EQ(liveObjects("OSSymbol"), symbols);
}

TEST(KernelIOKitObjectTests, DynamicCastFollowsTheClassChain)
{
    const OSSymbol* symbol = OSSymbol::withCString("key");
    OSObject* object = const_cast<OSSymbol*>(symbol);
    EXPECT_EQ(OSDynamicCast(OSString, object), symbol);
    EXPECT_EQ(OSDynamicCast(OSObject, object), object);
    EXPECT_EQ(OSDynamicCast(OSNumber, object), nullptr);
    OSObject* none = nullptr;
    EXPECT_EQ(OSDynamicCast(OSString, none), nullptr);
    EXPECT_STREQ(symbol->getMetaClass()->getClassName(), "OSSymbol");
    EXPECT_EQ(symbol->getMetaClass()->getSuperClass(), &OSString::gMetaClass);
    symbol->release();
}

TEST(KernelIOKitObjectTests, AClassFoundByNameMakesItsObjects)
{
    const OSMetaClass* metaClass = OSMetaClass::getMetaClassWithName("OSData");
    ASSERT_NE(metaClass, nullptr);
    OSObject* object = metaClass->alloc();
    EXPECT_NE(OSDynamicCast(OSData, object), nullptr);
    object->release();
    EXPECT_EQ(OSMetaClass::getMetaClassWithName("OSCollection")->alloc(), nullptr);
    EXPECT_EQ(OSMetaClass::getMetaClassWithName("NoSuchClass"), nullptr);
}

TEST(KernelIOKitObjectTests, NumbersKeepTheirWidth)
{
    struct Case
    {
        unsigned long long value;
        unsigned int bits;
        uint64_t expected;
    };
    for (const Case& c : {Case{0x1FF, 8, 0xFF}, Case{0x12345, 16, 0x2345}, Case{0x1'0000'0001, 32, 1},
                          Case{~0ull, 64, ~0ull}}) {
        OSNumber* number = OSNumber::withNumber(c.value, c.bits);
        ASSERT_NE(number, nullptr);
        EXPECT_EQ(number->unsigned64BitValue(), c.expected) << c.bits;
        EXPECT_EQ(number->numberOfBits(), c.bits);
        number->release();
    }
    EXPECT_EQ(OSNumber::withNumber(1, 0), nullptr);
    EXPECT_EQ(OSNumber::withNumber(1, 65), nullptr);
}

TEST(KernelIOKitObjectTests, StringsDataAndBooleansKeepTheirValues)
{
    OSString* text = OSString::withCString("Wrenlet");
    EXPECT_STREQ(text->getCStringNoCopy(), "Wrenlet");
    EXPECT_EQ(text->getLength(), 7u);
    EXPECT_TRUE(text->isEqualTo("Wrenlet"));
    EXPECT_FALSE(text->isEqualTo("wrenlet"));
    EXPECT_FALSE(text->isEqualTo(static_cast<const char*>(nullptr)));
    EXPECT_EQ(OSString::withCString(nullptr), nullptr);
    text->release();

    const uint8_t bytes[] = {1, 2, 3};
    OSData* data = OSData::withBytes(bytes, 2);
    ASSERT_TRUE(data->appendBytes(bytes + 2, 1));
    ASSERT_EQ(data->getLength(), 3u);
    EXPECT_EQ(std::memcmp(data->getBytesNoCopy(), bytes, 3), 0);
    EXPECT_EQ(OSData::withBytes(nullptr, 1), nullptr);
    data->release();

    EXPECT_TRUE(OSBoolean::withBoolean(true)->isTrue());
    EXPECT_EQ(OSBoolean::withBoolean(false), kOSBooleanFalse);
    kOSBooleanTrue->release();
    EXPECT_EQ(kOSBooleanTrue->getRetainCount(), 1);
}

TEST(KernelIOKitObjectTests, IteratorsWalkArrayObjectsAndDictionaryKeysInOrder)
{
    OSArray* array = OSArray::withCapacity(2);
    OSDictionary* dictionary = OSDictionary::withCapacity(2);
    for (const char* name : {"idVendor", "idProduct"}) {
        OSString* text = OSString::withCString(name);
        array->setObject(text);
        dictionary->setObject(name, text);
        text->release();
    }
    auto walk = [](const OSCollection* collection) {
        std::vector<std::string> seen;
        OSCollectionIterator* iterator = OSCollectionIterator::withCollection(collection);
        for (int pass = 0; pass < 2; ++pass) {
            while (OSObject* object = iterator->getNextObject()) {
                seen.push_back(OSDynamicCast(OSString, object)->getCStringNoCopy());
            }
            iterator->reset();
        }
        iterator->release();
        return seen;
    };
    const std::vector<std::string> expected{"idVendor", "idProduct", "idVendor", "idProduct"};
    EXPECT_EQ(walk(array), expected);
    EXPECT_EQ(walk(dictionary), expected);
    dictionary->removeObject("idVendor");
    EXPECT_EQ(dictionary->getObject("idVendor"), nullptr);
    EXPECT_EQ(dictionary->getCount(), 1u);
    array->removeObject(0);
    EXPECT_EQ(array->getCount(), 1u);
    array->release();
    dictionary->release();
}

} // namespace
