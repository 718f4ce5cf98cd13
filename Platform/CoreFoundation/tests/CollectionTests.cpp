#include <CoreFoundation/CoreFoundation.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

CFStringRef makeString(const std::string& utf8)
{
    return CFStringCreateWithCString(nullptr, utf8.c_str(), kCFStringEncodingUTF8);
}

CFNumberRef makeSInt32(int32_t value)
{
    return CFNumberCreate(nullptr, kCFNumberSInt32Type, &value);
}

CFMutableDictionaryRef makeTypeDictionary()
{
    return CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                     &kCFTypeDictionaryValueCallBacks);
}

TEST(CollectionDictionary, KeysAreFoundByEqualityNotIdentity)
{
    CFMutableDictionaryRef dictionary = makeTypeDictionary();
    CFStringRef key = makeString("volume");
    CFDictionarySetValue(dictionary, key, CFSTR("loud"));
    double fiveAsDouble = 5.0;
    CFNumberRef five = CFNumberCreate(nullptr, kCFNumberFloat64Type, &fiveAsDouble);
    CFDictionarySetValue(dictionary, five, CFSTR("five"));

    CFMutableStringRef mutableKey = CFStringCreateMutable(nullptr, 0);
    CFStringAppendCString(mutableKey, "volume", kCFStringEncodingASCII);
    CFNumberRef intFive = makeSInt32(5);
    EXPECT_EQ(CFDictionaryGetValue(dictionary, CFSTR("volume")), CFSTR("loud"));
    EXPECT_EQ(CFDictionaryGetValue(dictionary, mutableKey), CFSTR("loud"));
    EXPECT_EQ(CFDictionaryGetValue(dictionary, intFive), CFSTR("five"));
    EXPECT_EQ(CFDictionaryGetValue(dictionary, CFSTR("Volume")), nullptr);

    // Setting an equal key replaces the value instead of adding an entry.
    CFDictionarySetValue(dictionary, intFive, CFSTR("cinq"));
    EXPECT_EQ(CFDictionaryGetCount(dictionary), 2);
    EXPECT_EQ(CFDictionaryGetValue(dictionary, five), CFSTR("cinq"));
    CFDictionaryAddValue(dictionary, mutableKey, CFSTR("quiet"));
    EXPECT_EQ(CFDictionaryGetValue(dictionary, key), CFSTR("loud"));

    const void* value = nullptr;
    EXPECT_TRUE(CFDictionaryGetValueIfPresent(dictionary, mutableKey, &value));
    EXPECT_EQ(value, CFSTR("loud"));
    EXPECT_FALSE(CFDictionaryContainsKey(dictionary, CFSTR("missing")));
    CFDictionaryRemoveValue(dictionary, mutableKey);
    EXPECT_FALSE(CFDictionaryContainsKey(dictionary, key));
    EXPECT_EQ(CFDictionaryGetCount(dictionary), 1);

    for (CFTypeRef object : std::vector<CFTypeRef>{dictionary, key, five, mutableKey, intFive}) {
        CFRelease(object);
    }
}

TEST(CollectionDictionary, TypeCallBacksRetainWhatTheyHold)
{
    CFMutableDictionaryRef dictionary = makeTypeDictionary();
    CFStringRef key = makeString("key");
    CFNumberRef value = makeSInt32(1);
    CFDictionarySetValue(dictionary, key, value);
    EXPECT_EQ(CFGetRetainCount(key), 2);
    EXPECT_EQ(CFGetRetainCount(value), 2);
    CFNumberRef other = makeSInt32(2);
    CFDictionarySetValue(dictionary, key, other);
    EXPECT_EQ(CFGetRetainCount(value), 1);
    EXPECT_EQ(CFGetRetainCount(other), 2);
    CFRelease(dictionary);
    EXPECT_EQ(CFGetRetainCount(key), 1);
    EXPECT_EQ(CFGetRetainCount(other), 1);
    for (CFTypeRef object : std::vector<CFTypeRef>{key, value, other}) {
        CFRelease(object);
    }
}

TEST(CollectionDictionary, CopyStringKeysKeepTheTextTheyWereGiven)
{
    CFMutableDictionaryRef dictionary = CFDictionaryCreateMutable(
        nullptr, 0, &kCFCopyStringDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    CFMutableStringRef key = CFStringCreateMutable(nullptr, 0);
    CFStringAppendCString(key, "before", kCFStringEncodingASCII);
    CFDictionarySetValue(dictionary, key, kCFBooleanTrue);
    CFStringAppendCString(key, " and after", kCFStringEncodingASCII);
    EXPECT_EQ(CFDictionaryGetValue(dictionary, CFSTR("before")), kCFBooleanTrue);
    EXPECT_EQ(CFDictionaryGetValue(dictionary, key), nullptr);
    EXPECT_EQ(CFGetRetainCount(key), 1);
    CFRelease(dictionary);
    CFRelease(key);
}

TEST(CollectionDictionary, NullCallBacksKeepPointerIdentityAndRetainNothing)
{
    CFMutableDictionaryRef dictionary = CFDictionaryCreateMutable(nullptr, 0, nullptr, nullptr);
    CFStringRef key = makeString("key");
    CFStringRef equalKey = makeString("key");
    CFStringRef value = makeString("value");
    CFDictionarySetValue(dictionary, key, value);
    EXPECT_EQ(CFGetRetainCount(key), 1);
    EXPECT_EQ(CFGetRetainCount(value), 1);
    EXPECT_EQ(CFDictionaryGetValue(dictionary, key), value);
    EXPECT_EQ(CFDictionaryGetValue(dictionary, equalKey), nullptr);

    // Plain pointers, not CF objects, work as keys and values.
    static int a = 0;
    static int b = 0;
    CFDictionarySetValue(dictionary, &a, &b);
    EXPECT_EQ(CFDictionaryGetValue(dictionary, &a), &b);

    CFArrayRef array = CFArrayCreate(nullptr, reinterpret_cast<const void**>(&key), 1, nullptr);
    EXPECT_EQ(CFGetRetainCount(key), 1);
    EXPECT_TRUE(CFArrayContainsValue(array, CFRangeMake(0, 1), key));
    EXPECT_FALSE(CFArrayContainsValue(array, CFRangeMake(0, 1), equalKey));

    CFRelease(array);
    CFRelease(dictionary);
    EXPECT_EQ(CFGetRetainCount(key), 1);
    for (CFTypeRef object : std::vector<CFTypeRef>{key, equalKey, value}) {
        CFRelease(object);
    }
}

TEST(CollectionDictionary, ManyInsertionsAndRemovalsKeepEveryKeyReachable)
{
    CFMutableDictionaryRef dictionary = makeTypeDictionary();
    std::map<int, bool> present;
    for (int i = 0; i < 2000; ++i) {
        CFNumberRef key = makeSInt32(i);
        CFDictionarySetValue(dictionary, key, key);
        CFRelease(key);
        present[i] = true;
    }
    for (int i = 0; i < 2000; i += 3) {
        CFNumberRef key = makeSInt32(i);
        CFDictionaryRemoveValue(dictionary, key);
        CFRelease(key);
        present[i] = false;
    }
    EXPECT_EQ(CFDictionaryGetCount(dictionary), 1333);
    for (const auto& [i, isPresent] : present) {
        CFNumberRef key = makeSInt32(i);
        EXPECT_EQ(CFDictionaryContainsKey(dictionary, key), isPresent) << i;
        CFRelease(key);
    }
    std::vector<const void*> keys(1333);
    std::vector<const void*> values(1333);
    CFDictionaryGetKeysAndValues(dictionary, keys.data(), values.data());
    EXPECT_EQ(keys, values);
    CFRelease(dictionary);
}

TEST(CollectionDictionary, ApplyFunctionVisitsEveryPairOnce)
{
    CFMutableDictionaryRef dictionary = makeTypeDictionary();
    for (int32_t i = 0; i < 10; ++i) {
        CFNumberRef key = makeSInt32(i);
        CFNumberRef value = makeSInt32(i * i);
        CFDictionarySetValue(dictionary, key, value);
        CFRelease(key);
        CFRelease(value);
    }
    std::map<int32_t, std::vector<int32_t>> visited;
    CFDictionaryApplyFunction(
        dictionary,
        [](const void* key, const void* value, void* context) {
            int32_t k = 0;
            int32_t v = 0;
            CFNumberGetValue(static_cast<CFNumberRef>(key), kCFNumberSInt32Type, &k);
            CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberSInt32Type, &v);
            (*static_cast<std::map<int32_t, std::vector<int32_t>>*>(context))[k].push_back(v);
        },
        &visited);
    ASSERT_EQ(visited.size(), 10u);
    for (const auto& [key, values] : visited) {
        EXPECT_EQ(values, std::vector<int32_t>{key * key}) << key;
    }
    CFRelease(dictionary);
}

TEST(CollectionDictionary, MutableCopyIsIndependent)
{
    CFMutableDictionaryRef original = makeTypeDictionary();
    CFDictionarySetValue(original, CFSTR("a"), CFSTR("1"));
    CFMutableDictionaryRef copy = CFDictionaryCreateMutableCopy(nullptr, 0, original);
    CFDictionarySetValue(copy, CFSTR("b"), CFSTR("2"));
    CFDictionarySetValue(copy, CFSTR("a"), CFSTR("changed"));
    CFDictionaryRemoveValue(original, CFSTR("a"));
    EXPECT_EQ(CFDictionaryGetCount(original), 0);
    EXPECT_EQ(CFDictionaryGetCount(copy), 2);
    EXPECT_EQ(CFDictionaryGetValue(copy, CFSTR("a")), CFSTR("changed"));
    CFDictionaryRef frozen = CFDictionaryCreateCopy(nullptr, copy);
    CFDictionaryRemoveAllValues(copy);
    EXPECT_EQ(CFDictionaryGetCount(frozen), 2);
    for (CFTypeRef object : std::vector<CFTypeRef>{original, copy, frozen}) {
        CFRelease(object);
    }
}

TEST(CollectionArray, EditsKeepOrderAndRetainCounts)
{
    CFMutableArrayRef array = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
    CFStringRef b = makeString("b");
    CFArrayAppendValue(array, b);
    CFArrayInsertValueAtIndex(array, 0, CFSTR("a"));
    CFArrayInsertValueAtIndex(array, 2, CFSTR("d"));
    CFArrayInsertValueAtIndex(array, 2, CFSTR("c"));
    EXPECT_EQ(CFGetRetainCount(b), 2);
    std::string order;
    for (CFIndex i = 0; i < CFArrayGetCount(array); ++i) {
        char text[2];
        CFStringGetCString(static_cast<CFStringRef>(CFArrayGetValueAtIndex(array, i)), text, 2,
                           kCFStringEncodingASCII);
        order += text;
    }
    EXPECT_EQ(order, "abcd");
    EXPECT_TRUE(CFArrayContainsValue(array, CFRangeMake(1, 2), CFSTR("c")));
    EXPECT_FALSE(CFArrayContainsValue(array, CFRangeMake(0, 2), CFSTR("c")));

    CFMutableArrayRef copy = CFArrayCreateMutableCopy(nullptr, 0, array);
    CFArrayRemoveValueAtIndex(array, 1);
    EXPECT_EQ(CFGetRetainCount(b), 2);
    EXPECT_EQ(CFArrayGetCount(copy), 4);
    CFArrayRemoveAllValues(copy);
    EXPECT_EQ(CFGetRetainCount(b), 1);
    EXPECT_EQ(CFArrayGetCount(array), 3);
    EXPECT_EQ(CFArrayGetValueAtIndex(array, 1), CFSTR("c"));

    CFArrayRef frozen = CFArrayCreateCopy(nullptr, array);
    CFArrayRemoveAllValues(array);
    EXPECT_EQ(CFArrayGetCount(frozen), 3);
    EXPECT_EQ(CFArrayGetValueAtIndex(frozen, 1), CFSTR("c"));
    for (CFTypeRef object : std::vector<CFTypeRef>{array, copy, frozen, b}) {
        CFRelease(object);
    }
}

TEST(CollectionData, BytesCopiedBorrowedAndGrown)
{
    static const UInt8 source[] = {1, 2, 3, 4};
    CFDataRef borrowed = CFDataCreateWithBytesNoCopy(nullptr, source, 4, kCFAllocatorNull);
    EXPECT_EQ(CFDataGetBytePtr(borrowed), source);
    CFMutableDataRef data = CFDataCreateMutableCopy(nullptr, 0, borrowed);
    CFDataAppendBytes(data, CFDataGetBytePtr(data), 2);
    CFDataSetLength(data, 8);
    std::vector<UInt8> bytes(8);
    CFDataGetBytes(data, CFRangeMake(0, 8), bytes.data());
    EXPECT_EQ(bytes, (std::vector<UInt8>{1, 2, 3, 4, 1, 2, 0, 0}));
    CFDataGetMutableBytePtr(data)[0] = 9;
    EXPECT_EQ(source[0], 1);
    CFDataRef snapshot = CFDataCreateCopy(nullptr, data);
    CFDataSetLength(data, 2);
    EXPECT_EQ(CFDataGetLength(snapshot), 8);
    EXPECT_EQ(CFDataGetBytePtr(snapshot)[0], 9);
    EXPECT_EQ(CFDataGetMutableBytePtr(const_cast<CFMutableDataRef>(borrowed)), nullptr);

    // Bytes handed over with the default deallocator are freed with the data.
    auto* owned = static_cast<UInt8*>(std::malloc(3));
    std::memcpy(owned, "abc", 3);
    CFDataRef adopted = CFDataCreateWithBytesNoCopy(nullptr, owned, 3, kCFAllocatorDefault);
    EXPECT_EQ(CFDataGetLength(adopted), 3);
    for (CFTypeRef object : std::vector<CFTypeRef>{borrowed, data, snapshot, adopted}) {
        CFRelease(object);
    }
}

using CollectionDeathTest = testing::Test;

TEST_F(CollectionDeathTest, IndexOutsideAnArrayEndsTheProcess)
{
    CFArrayRef array = CFArrayCreate(nullptr, nullptr, 0, &kCFTypeArrayCallBacks);
    EXPECT_DEATH(CFArrayGetValueAtIndex(array, 0), "CFArrayGetValueAtIndex: index outside the array");
    EXPECT_DEATH(CFArrayGetValueAtIndex(array, -1), "CFArrayGetValueAtIndex");
    CFMutableArrayRef mutableArray = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
    EXPECT_DEATH(CFArrayInsertValueAtIndex(mutableArray, 1, CFSTR("x")), "CFArrayInsertValueAtIndex");
    EXPECT_DEATH(CFArrayRemoveValueAtIndex(mutableArray, 0), "CFArrayRemoveValueAtIndex");
    EXPECT_DEATH(CFArrayAppendValue(const_cast<CFMutableArrayRef>(array), CFSTR("x")), "immutable");
    CFRelease(array);
    CFRelease(mutableArray);
}

TEST_F(CollectionDeathTest, RangeOutsideDataEndsTheProcess)
{
    CFDataRef data = CFDataCreate(nullptr, reinterpret_cast<const UInt8*>("ab"), 2);
    UInt8 buffer[4];
    EXPECT_DEATH(CFDataGetBytes(data, CFRangeMake(1, 2), buffer), "CFDataGetBytes");
    CFRelease(data);
}

} // namespace
