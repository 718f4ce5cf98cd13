#include <CFPlatform/Object.h>
#include <CoreFoundation/CoreFoundation.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

CFNumberRef makeNumber(CFNumberType type, const void* value)
{
    return CFNumberCreate(nullptr, type, value);
}

CFNumberRef makeSInt32(int32_t value)
{
    return makeNumber(kCFNumberSInt32Type, &value);
}

CFNumberRef makeFloat64(double value)
{
    return makeNumber(kCFNumberFloat64Type, &value);
}

CFStringRef makeString(const char* utf8)
{
    return CFStringCreateWithCString(nullptr, utf8, kCFStringEncodingUTF8);
}

CFDataRef makeData(const char* text)
{
    return CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(text),
                        static_cast<CFIndex>(std::strlen(text)));
}

CFArrayRef makeArray(std::vector<CFTypeRef> values)
{
    return CFArrayCreate(nullptr, values.data(), static_cast<CFIndex>(values.size()), &kCFTypeArrayCallBacks);
}

CFDictionaryRef makeDictionary(std::vector<CFTypeRef> keys, std::vector<CFTypeRef> values)
{
    return CFDictionaryCreate(nullptr, keys.data(), values.data(), static_cast<CFIndex>(keys.size()),
                              &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
}

CFUUIDBytes sampleUUIDBytes()
{
    return CFUUIDBytes{0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0x4D, 0xEF,
                       0x81, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
}

struct TypeRow
{
    const char* name;
    std::function<CFTypeRef()> create;
    std::function<CFTypeID()> typeID;
};

const std::vector<TypeRow>& everyType()
{
    static const std::vector<TypeRow> rows = {
        {"CFString", [] { return CFTypeRef(makeString("text")); }, CFStringGetTypeID},
        {"CFMutableString", [] { return CFTypeRef(CFStringCreateMutable(nullptr, 0)); }, CFStringGetTypeID},
        {"CFNumber", [] { return CFTypeRef(makeSInt32(7)); }, CFNumberGetTypeID},
        {"CFData", [] { return CFTypeRef(makeData("bytes")); }, CFDataGetTypeID},
        {"CFMutableData", [] { return CFTypeRef(CFDataCreateMutable(nullptr, 0)); }, CFDataGetTypeID},
        {"CFArray", [] { return CFTypeRef(makeArray({CFSTR("a")})); }, CFArrayGetTypeID},
        {"CFMutableArray", [] { return CFTypeRef(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks)); },
         CFArrayGetTypeID},
        {"CFDictionary", [] { return CFTypeRef(makeDictionary({CFSTR("k")}, {CFSTR("v")})); },
         CFDictionaryGetTypeID},
        {"CFMutableDictionary",
         [] {
             return CFTypeRef(CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                                        &kCFTypeDictionaryValueCallBacks));
         },
         CFDictionaryGetTypeID},
        {"CFDate", [] { return CFTypeRef(CFDateCreate(nullptr, 1000.0)); }, CFDateGetTypeID},
        {"CFError", [] { return CFTypeRef(CFErrorCreate(nullptr, kCFErrorDomainPOSIX, 2, nullptr)); },
         CFErrorGetTypeID},
        {"CFUUID", [] { return CFTypeRef(CFUUIDCreate(nullptr)); }, CFUUIDGetTypeID},
        {"CFLocale", [] { return CFTypeRef(CFLocaleCreate(nullptr, CFSTR("en_US"))); }, CFLocaleGetTypeID},
        {"CFDateFormatter",
         [] {
             CFLocaleRef locale = CFLocaleCreate(nullptr, CFSTR("en_US"));
             CFTypeRef formatter = CFDateFormatterCreate(nullptr, locale, kCFDateFormatterShortStyle,
                                                         kCFDateFormatterShortStyle);
             CFRelease(locale);
             return formatter;
         },
         CFDateFormatterGetTypeID},
        {"CFURL", [] { return CFTypeRef(CFURLCreateWithString(nullptr, CFSTR("file:///tmp/"), nullptr)); },
         CFURLGetTypeID},
        {"CFBundle", [] { return CFRetain(CFBundleGetMainBundle()); }, CFBundleGetTypeID},
        {"CFRunLoop", [] { return CFRetain(CFRunLoopGetCurrent()); }, CFRunLoopGetTypeID},
        {"CFRunLoopSource",
         [] {
             CFRunLoopSourceContext context{};
             return CFTypeRef(CFRunLoopSourceCreate(nullptr, 0, &context));
         },
         CFRunLoopSourceGetTypeID},
        {"CFRunLoopTimer",
         [] { return CFTypeRef(CFRunLoopTimerCreate(nullptr, 0.0, 0, 0, 0, nullptr, nullptr)); },
         CFRunLoopTimerGetTypeID},
        {"CFMachPort", [] { return CFTypeRef(CFMachPortCreate(nullptr, nullptr, nullptr, nullptr)); },
         CFMachPortGetTypeID},
    };
    return rows;
}

TEST(ObjectModel, RetainAndReleaseEveryType)
{
    for (const TypeRow& row : everyType()) {
        SCOPED_TRACE(row.name);
        // Created objects start at 1; the loop and the main bundle are held by the layer as well.
        CFTypeRef object = row.create();
        ASSERT_NE(object, nullptr);
        EXPECT_EQ(CFGetTypeID(object), row.typeID());
        CFIndex count = CFGetRetainCount(object);
        EXPECT_GE(count, 1);
        EXPECT_EQ(CFRetain(object), object);
        EXPECT_EQ(CFGetRetainCount(object), count + 1);
        EXPECT_TRUE(CFEqual(object, object));
        CFRelease(object);
        EXPECT_EQ(CFGetRetainCount(object), count);
        CFRelease(object);
    }
}

TEST(ObjectModel, EveryTypeHasItsOwnTypeID)
{
    std::vector<CFTypeID> ids = {
        CFStringGetTypeID(),        CFNumberGetTypeID(),        CFBooleanGetTypeID(),
        CFDataGetTypeID(),          CFArrayGetTypeID(),         CFDictionaryGetTypeID(),
        CFDateGetTypeID(),          CFErrorGetTypeID(),         CFUUIDGetTypeID(),
        CFLocaleGetTypeID(),        CFDateFormatterGetTypeID(), CFAllocatorGetTypeID(),
        CFURLGetTypeID(),           CFBundleGetTypeID(),        CFRunLoopGetTypeID(),
        CFRunLoopSourceGetTypeID(), CFRunLoopTimerGetTypeID(),  CFMachPortGetTypeID()};
    for (size_t i = 0; i < ids.size(); ++i) {
        for (size_t j = i + 1; j < ids.size(); ++j) {
            EXPECT_NE(ids[i], ids[j]) << i << " and " << j;
        }
    }
}

std::atomic<int> gReleasedValues{0};

const void* keepValue(CFAllocatorRef, const void* value)
{
    return value;
}

void countRelease(CFAllocatorRef, const void*)
{
    gReleasedValues.fetch_add(1);
}

TEST(ObjectModel, ConcurrentRetainsFreeOnceAtTheLastRelease)
{
    // The array's release callback runs for its one value when the array is freed.
    CFArrayCallBacks callBacks{0, keepValue, countRelease, nullptr, nullptr};
    int value = 0;
    const void* values[] = {&value};
    CFArrayRef array = CFArrayCreate(nullptr, values, 1, &callBacks);
    const int releasedBefore = gReleasedValues.load();

    constexpr int kThreads = 8;
    constexpr int kRounds = 100000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([array] {
            for (int i = 0; i < kRounds; ++i) {
                CFRetain(array);
                CFRelease(array);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(gReleasedValues.load(), releasedBefore);
    EXPECT_EQ(CFGetRetainCount(array), 1);
    CFRelease(array);
    EXPECT_EQ(gReleasedValues.load(), releasedBefore + 1);
}

// A type of another Platform layer (a colour space, a data provider) built on this layer's base.
class ForeignObject final : public CFPlatform::Object
{
public:
    ForeignObject(int value, int& destroyed) : fValue(value), fDestroyed(destroyed) {}

    static CFTypeID staticTypeID()
    {
        static const CFTypeID type = CFPlatform::registerType("ForeignObject");
        return type;
    }
    CFTypeID typeID() const override { return staticTypeID(); }
    bool equals(const Object& other) const override
    {
        return static_cast<const ForeignObject&>(other).fValue == fValue;
    }
    CFHashCode hash() const override { return CFHashCode(fValue); }

private:
    ~ForeignObject() override { ++fDestroyed; }

    const int fValue;
    int& fDestroyed;
};

CFTypeRef makeForeign(int value, int& destroyed)
{
    return static_cast<const CFPlatform::Object*>(new ForeignObject(value, destroyed));
}

TEST(ObjectModel, TypesOfOtherLayersAreRetainedComparedAndHashedAlike)
{
    int destroyed = 0;
    CFTypeRef three = makeForeign(3, destroyed);
    CFTypeRef otherThree = makeForeign(3, destroyed);
    CFTypeRef four = makeForeign(4, destroyed);
    EXPECT_EQ(CFGetTypeID(three), ForeignObject::staticTypeID());
    EXPECT_NE(CFGetTypeID(three), CFStringGetTypeID());
    EXPECT_TRUE(CFEqual(three, otherThree));
    EXPECT_EQ(CFHash(three), CFHash(otherThree));
    EXPECT_FALSE(CFEqual(three, four));
    EXPECT_FALSE(CFEqual(three, CFSTR("3")));

    CFRetain(three);
    CFRelease(three);
    EXPECT_EQ(destroyed, 0);
    for (CFTypeRef object : {three, otherThree, four}) {
        CFRelease(object);
    }
    EXPECT_EQ(destroyed, 3);
}

TEST(ObjectModel, ConstantsAreImmortalAndUniqued)
{
    CFStringRef first = CFSTR("uniqued constant");
    CFStringRef second = CFSTR("uniqued constant");
    EXPECT_EQ(first, second);
    CFUUIDRef uuid =
        CFUUIDGetConstantUUIDWithBytes(nullptr, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16);
    std::vector<CFTypeRef> immortals = {first, kCFBooleanTrue, kCFBooleanFalse, uuid};
    for (CFTypeRef object : immortals) {
        CFIndex count = CFGetRetainCount(object);
        for (int i = 0; i < 10; ++i) {
            CFRelease(object);
        }
        EXPECT_EQ(CFGetRetainCount(object), count);
    }
    EXPECT_EQ(CFStringGetLength(CFSTR("uniqued constant")), 16);
    EXPECT_TRUE(CFBooleanGetValue(kCFBooleanTrue));
    EXPECT_FALSE(CFBooleanGetValue(kCFBooleanFalse));
}

const CFStringRef kStaticallyInitialised = CFSTR("set before main");

TEST(ObjectModel, ConstantStringsWorkInStaticInitialisers)
{
    EXPECT_EQ(kStaticallyInitialised, CFSTR("set before main"));
    EXPECT_STREQ(CFStringGetCStringPtr(kStaticallyInitialised, kCFStringEncodingUTF8), "set before main");
}

struct EqualPair
{
    const char* name;
    std::function<std::pair<CFTypeRef, CFTypeRef>()> make;
};

std::u16string u16(const char16_t* text)
{
    return text;
}

TEST(ObjectModel, EqualPairsAcrossTypesHashAlike)
{
    std::vector<EqualPair> pairs = {
        {"SInt32 5 and Float64 5.0",
         [] { return std::pair<CFTypeRef, CFTypeRef>(makeSInt32(5), makeFloat64(5.0)); }},
        {"SInt8 -1 and SInt64 -1",
         [] {
             int8_t small = -1;
             int64_t large = -1;
             return std::pair<CFTypeRef, CFTypeRef>(makeNumber(kCFNumberSInt8Type, &small),
                                                    makeNumber(kCFNumberSInt64Type, &large));
         }},
        {"Float32 0.5 and Float64 0.5",
         [] {
             float half = 0.5f;
             return std::pair<CFTypeRef, CFTypeRef>(makeNumber(kCFNumberFloat32Type, &half),
                                                    makeFloat64(0.5));
         }},
        {"string from UTF-8 and from UTF-16",
         [] {
             std::u16string units = u16(u"Gr\u00FC\u00DFe \u6771\u4EAC \U0001F600");
             return std::pair<CFTypeRef, CFTypeRef>(
                 makeString(reinterpret_cast<const char*>(u8"Gr\u00FC\u00DFe \u6771\u4EAC \U0001F600")),
                 CFStringCreateWithCharacters(nullptr, reinterpret_cast<const UniChar*>(units.data()),
                                              static_cast<CFIndex>(units.size())));
         }},
        {"constant and created string",
         [] { return std::pair<CFTypeRef, CFTypeRef>(CFSTR("abc"), makeString("abc")); }},
        {"mutable and immutable string",
         [] {
             CFMutableStringRef mutableString = CFStringCreateMutable(nullptr, 0);
             CFStringAppendCString(mutableString, "abc", kCFStringEncodingASCII);
             return std::pair<CFTypeRef, CFTypeRef>(mutableString, makeString("abc"));
         }},
        {"copied and borrowed data",
         [] {
             static const UInt8 bytes[] = {1, 2, 3};
             return std::pair<CFTypeRef, CFTypeRef>(
                 CFDataCreate(nullptr, bytes, 3),
                 CFDataCreateWithBytesNoCopy(nullptr, bytes, 3, kCFAllocatorNull));
         }},
        {"arrays of equal values",
         [] {
             CFNumberRef five = makeFloat64(5.0);
             CFArrayRef a = makeArray({CFSTR("x"), five});
             CFMutableArrayRef b = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
             CFStringRef x = makeString("x");
             CFNumberRef otherFive = makeSInt32(5);
             CFArrayAppendValue(b, x);
             CFArrayAppendValue(b, otherFive);
             CFRelease(five);
             CFRelease(x);
             CFRelease(otherFive);
             return std::pair<CFTypeRef, CFTypeRef>(a, b);
         }},
        {"dictionaries filled in different orders",
         [] {
             return std::pair<CFTypeRef, CFTypeRef>(
                 makeDictionary({CFSTR("a"), CFSTR("b")}, {CFSTR("1"), CFSTR("2")}),
                 makeDictionary({CFSTR("b"), CFSTR("a")}, {CFSTR("2"), CFSTR("1")}));
         }},
        {"UUID from bytes and constant UUID",
         [] {
             CFUUIDBytes b = sampleUUIDBytes();
             return std::pair<CFTypeRef, CFTypeRef>(
                 CFUUIDCreateFromUUIDBytes(nullptr, b),
                 CFRetain(CFUUIDGetConstantUUIDWithBytes(
                     nullptr, b.byte0, b.byte1, b.byte2, b.byte3, b.byte4, b.byte5, b.byte6, b.byte7, b.byte8,
                     b.byte9, b.byte10, b.byte11, b.byte12, b.byte13, b.byte14, b.byte15)));
         }},
        {"dates",
         [] {
             return std::pair<CFTypeRef, CFTypeRef>(CFDateCreate(nullptr, 12.5), CFDateCreate(nullptr, 12.5));
         }},
    };
    for (const EqualPair& pair : pairs) {
        SCOPED_TRACE(pair.name);
        auto [a, b] = pair.make();
        EXPECT_TRUE(CFEqual(a, b));
        EXPECT_TRUE(CFEqual(b, a));
        EXPECT_EQ(CFHash(a), CFHash(b));
        CFRelease(a);
        CFRelease(b);
    }
}

TEST(ObjectModel, UnequalPairs)
{
    CFNumberRef five = makeSInt32(5);
    CFNumberRef fiveAndAHalf = makeFloat64(5.5);
    CFNumberRef one = makeSInt32(1);
    CFStringRef lower = makeString("a");
    CFStringRef upper = makeString("A");
    EXPECT_FALSE(CFEqual(five, fiveAndAHalf));
    EXPECT_FALSE(CFEqual(kCFBooleanTrue, one));
    EXPECT_FALSE(CFEqual(kCFBooleanTrue, kCFBooleanFalse));
    EXPECT_FALSE(CFEqual(lower, upper));
    EXPECT_FALSE(CFEqual(lower, five));
    EXPECT_FALSE(CFEqual(nullptr, five));
    EXPECT_FALSE(CFEqual(five, nullptr));
    EXPECT_FALSE(CFEqual(nullptr, nullptr));
    for (CFTypeRef object : std::vector<CFTypeRef>{five, fiveAndAHalf, one, lower, upper}) {
        CFRelease(object);
    }
}

TEST(ObjectModel, ErrorsKeepDomainCodeAndDescription)
{
    CFErrorRef plain = CFErrorCreate(nullptr, kCFErrorDomainPOSIX, 2, nullptr);
    EXPECT_TRUE(CFEqual(CFErrorGetDomain(plain), CFSTR("NSPOSIXErrorDomain")));
    EXPECT_EQ(CFErrorGetCode(plain), 2);
    CFDictionaryRef empty = CFErrorCopyUserInfo(plain);
    EXPECT_EQ(CFDictionaryGetCount(empty), 0);

    CFDictionaryRef info = makeDictionary({kCFErrorDescriptionKey}, {CFSTR("No such file")});
    CFErrorRef described = CFErrorCreate(nullptr, kCFErrorDomainPOSIX, 2, info);
    CFStringRef description = CFErrorCopyDescription(described);
    EXPECT_TRUE(CFEqual(description, CFSTR("No such file")));
    EXPECT_EQ(CFErrorCreate(nullptr, nullptr, 1, nullptr), nullptr);

    for (CFTypeRef object : std::vector<CFTypeRef>{plain, empty, info, described, description}) {
        CFRelease(object);
    }
}

using ObjectModelDeathTest = testing::Test;

TEST_F(ObjectModelDeathTest, NullReferencesEndTheProcessNamingTheCall)
{
    EXPECT_DEATH(CFRetain(nullptr), "CFRetain");
    EXPECT_DEATH(CFRelease(nullptr), "CFRelease");
    EXPECT_DEATH(CFGetTypeID(nullptr), "CFGetTypeID");
}

} // namespace
