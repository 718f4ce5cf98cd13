#include <CoreFoundation/CoreFoundation.h>

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

namespace {

// A value of one CFNumber type, kept wide enough to hold every type exactly.
struct Value
{
    CFNumberType type;
    long double value;
};

template <typename T>
CFNumberRef createAs(const Value& v)
{
    auto x = static_cast<T>(v.value);
    return CFNumberCreate(nullptr, v.type, &x);
}

CFNumberRef create(const Value& v)
{
    switch (v.type) {
    case kCFNumberSInt8Type:
        return createAs<int8_t>(v);
    case kCFNumberSInt16Type:
        return createAs<int16_t>(v);
    case kCFNumberSInt32Type:
        return createAs<int32_t>(v);
    case kCFNumberSInt64Type:
        return createAs<int64_t>(v);
    case kCFNumberFloat32Type:
        return createAs<float>(v);
    default:
        return createAs<double>(v);
    }
}

// Reads the number as `type` and widens what was stored.
std::pair<bool, long double> read(CFNumberRef number, CFNumberType type)
{
    alignas(8) unsigned char bytes[8];
    std::memset(bytes, 0xAB, sizeof bytes);
    bool exact = CFNumberGetValue(number, type, bytes);
    auto as = [&bytes]<typename T>(T) {
        T x;
        std::memcpy(&x, bytes, sizeof x);
        return static_cast<long double>(x);
    };
    switch (type) {
    case kCFNumberSInt8Type:
        return {exact, as(int8_t{})};
    case kCFNumberSInt16Type:
        return {exact, as(int16_t{})};
    case kCFNumberSInt32Type:
        return {exact, as(int32_t{})};
    case kCFNumberSInt64Type:
        return {exact, as(int64_t{})};
    case kCFNumberFloat32Type:
        return {exact, as(float{})};
    default:
        return {exact, as(double{})};
    }
}

struct ConversionRow
{
    const char* name;
    Value from;
    CFNumberType to;
    bool exact;
    long double stored;
};

TEST(Number, GetValueAnswersWhetherTheConversionLostAnything)
{
    constexpr long double int64Max = std::numeric_limits<int64_t>::max();
    constexpr long double int64Min = std::numeric_limits<int64_t>::min();
    constexpr long double nan = std::numeric_limits<double>::quiet_NaN();
    std::vector<ConversionRow> rows = {
        {"5.5 to SInt32", {kCFNumberFloat64Type, 5.5L}, kCFNumberSInt32Type, false, 5},
        {"-5.5 to SInt32", {kCFNumberFloat64Type, -5.5L}, kCFNumberSInt32Type, false, -5},
        {"16777217 to Float32", {kCFNumberSInt32Type, 16777217}, kCFNumberFloat32Type, false, 16777216},
        {"0.1 to Float32",
         {kCFNumberFloat64Type, 0.1L},
         kCFNumberFloat32Type,
         false,
         static_cast<long double>(0.1f)},
        {"INT64_MAX to SInt32", {kCFNumberSInt64Type, int64Max}, kCFNumberSInt32Type, false, INT32_MAX},
        {"INT64_MIN to SInt16", {kCFNumberSInt64Type, int64Min}, kCFNumberSInt16Type, false, INT16_MIN},
        {"NaN to SInt32", {kCFNumberFloat64Type, nan}, kCFNumberSInt32Type, false, 0},
        {"1e300 to Float32", {kCFNumberFloat64Type, 1e300L}, kCFNumberFloat32Type, false, FLT_MAX},
        {"-1e300 to SInt64", {kCFNumberFloat64Type, -1e300L}, kCFNumberSInt64Type, false, int64Min},
        {"2^63 to SInt64",
         {kCFNumberFloat64Type, 9223372036854775808.0L},
         kCFNumberSInt64Type,
         false,
         int64Max},
        {"INT64_MAX to Float64",
         {kCFNumberSInt64Type, int64Max},
         kCFNumberFloat64Type,
         false,
         9223372036854775808.0L},
        {"300 to SInt8", {kCFNumberSInt32Type, 300}, kCFNumberSInt8Type, false, 127},
        {"SInt32 5 to Float32", {kCFNumberSInt32Type, 5}, kCFNumberFloat32Type, true, 5},
        {"Float32 0.1 to Float64",
         {kCFNumberFloat32Type, static_cast<long double>(0.1f)},
         kCFNumberFloat64Type,
         true,
         static_cast<long double>(0.1f)},
        {"-3.0 to SInt8", {kCFNumberFloat64Type, -3.0L}, kCFNumberSInt8Type, true, -3},
        {"2^53 to Float64",
         {kCFNumberSInt64Type, 9007199254740992.0L},
         kCFNumberFloat64Type,
         true,
         9007199254740992.0L},
        {"-2^63 as Float64 to SInt64",
         {kCFNumberFloat64Type, -9223372036854775808.0L},
         kCFNumberSInt64Type,
         true,
         int64Min},
        {"SInt8 -128 to SInt64", {kCFNumberSInt8Type, -128}, kCFNumberSInt64Type, true, -128},
        {"1e300 to Float64",
         {kCFNumberFloat64Type, 1e300L},
         kCFNumberFloat64Type,
         true,
         static_cast<long double>(1e300)},
        {"200.0 to SInt8", {kCFNumberFloat64Type, 200.0L}, kCFNumberSInt8Type, false, 127},
    };
    for (const ConversionRow& row : rows) {
        SCOPED_TRACE(row.name);
        CFNumberRef number = create(row.from);
        auto [exact, stored] = read(number, row.to);
        EXPECT_EQ(exact, row.exact);
        EXPECT_EQ(stored, row.stored);
        CFRelease(number);
    }
}

TEST(Number, TypesAreStoredAsTheirFixedSizeType)
{
    struct Row
    {
        CFNumberType created;
        CFNumberType stored;
        bool isFloat;
        CFIndex byteSize;
    };
    std::vector<Row> rows = {
        {kCFNumberCharType, kCFNumberSInt8Type, false, 1},
        {kCFNumberShortType, kCFNumberSInt16Type, false, 2},
        {kCFNumberIntType, kCFNumberSInt32Type, false, 4},
        {kCFNumberLongType, kCFNumberSInt64Type, false, 8},
        {kCFNumberLongLongType, kCFNumberSInt64Type, false, 8},
        {kCFNumberCFIndexType, kCFNumberSInt64Type, false, 8},
        {kCFNumberFloatType, kCFNumberFloat32Type, true, 4},
        {kCFNumberDoubleType, kCFNumberFloat64Type, true, 8},
        {kCFNumberCGFloatType, kCFNumberFloat64Type, true, 8},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.created);
        int64_t storage = 0;
        CFNumberRef number = CFNumberCreate(nullptr, row.created, &storage);
        EXPECT_EQ(CFNumberGetType(number), row.stored);
        EXPECT_EQ(static_cast<bool>(CFNumberIsFloatType(number)), row.isFloat);
        EXPECT_EQ(CFNumberGetByteSize(number), row.byteSize);
        CFRelease(number);
    }
    int zero = 0;
    EXPECT_EQ(CFNumberCreate(nullptr, 0, &zero), nullptr);
    EXPECT_EQ(CFNumberCreate(nullptr, 17, &zero), nullptr);
}

TEST(Number, CompareOrdersValuesAcrossTypes)
{
    struct Row
    {
        Value a;
        Value b;
        CFComparisonResult expected;
    };
    constexpr long double nan = std::numeric_limits<double>::quiet_NaN();
    std::vector<Row> rows = {
        {{kCFNumberSInt32Type, 5}, {kCFNumberFloat64Type, 5.0L}, kCFCompareEqualTo},
        {{kCFNumberSInt32Type, 5}, {kCFNumberFloat64Type, 5.5L}, kCFCompareLessThan},
        {{kCFNumberSInt64Type, 9007199254740993.0L},
         {kCFNumberFloat64Type, 9007199254740992.0L},
         kCFCompareGreaterThan},
        {{kCFNumberSInt64Type, -1}, {kCFNumberFloat32Type, -0.5L}, kCFCompareLessThan},
        {{kCFNumberFloat64Type, nan}, {kCFNumberSInt8Type, -100}, kCFCompareLessThan},
        {{kCFNumberFloat64Type, nan}, {kCFNumberFloat32Type, nan}, kCFCompareEqualTo},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "row " << (&row - rows.data()));
        CFNumberRef a = create(row.a);
        CFNumberRef b = create(row.b);
        EXPECT_EQ(CFNumberCompare(a, b, nullptr), row.expected);
        EXPECT_EQ(CFNumberCompare(b, a, nullptr), -row.expected);
        EXPECT_EQ(static_cast<bool>(CFEqual(a, b)), row.expected == kCFCompareEqualTo);
        if (row.expected == kCFCompareEqualTo) {
            EXPECT_EQ(CFHash(a), CFHash(b));
        }
        CFRelease(a);
        CFRelease(b);
    }
}

} // namespace
