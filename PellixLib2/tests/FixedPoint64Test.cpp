// 32.32 fixed-point multiplication, division, remainder and conversions.

#include "Basics/FixedPoint64.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

namespace {

constexpr int64_t kOne = int64_t(1) << 32;
constexpr int64_t kSmallest = std::numeric_limits<int64_t>::min();
constexpr int64_t kLargest = std::numeric_limits<int64_t>::max();

FixedPoint64 Raw(int64_t raw)
{
    return FixedPoint64::FromRaw(raw);
}

FixedPoint64 Value(double value)
{
    return FixedPoint64::FromDouble(value);
}

struct ArithmeticCase
{
    const char* fName;
    FixedPoint64 (*fOperation)(const FixedPoint64&, const FixedPoint64&);
    FixedPoint64 fA;
    FixedPoint64 fB;
    int64_t fRaw;
};

FixedPoint64 Multiply(const FixedPoint64& a, const FixedPoint64& b)
{
    return a * b;
}

FixedPoint64 Divide(const FixedPoint64& a, const FixedPoint64& b)
{
    return a / b;
}

class FixedPointArithmetic : public testing::TestWithParam<ArithmeticCase>
{};

TEST_P(FixedPointArithmetic, GivesTheRawResult)
{
    const ArithmeticCase& c = GetParam();
    EXPECT_EQ(c.fOperation(c.fA, c.fB).Raw(), c.fRaw);
}

INSTANTIATE_TEST_SUITE_P(
    FixedPoint64, FixedPointArithmetic,
    testing::Values(ArithmeticCase{"OneAndAHalfTimesTwo", Multiply, Value(1.5), Value(2.0), 3 * kOne},
                    ArithmeticCase{"NegativeTimesTwo", Multiply, Value(-1.5), Value(2.0), -3 * kOne},
                    ArithmeticCase{"SmallestStepSquared", Multiply, Raw(1), Raw(1), 0},
                    ArithmeticCase{"NegativeSmallestStepSquared", Multiply, Raw(-1), Raw(1), -1},
                    ArithmeticCase{"SmallestStepTimesAHalf", Multiply, Raw(1), Value(0.5), 0},
                    ArithmeticCase{"ThreeByTwo", Divide, Value(3.0), Value(2.0), kOne + kOne / 2},
                    ArithmeticCase{"NegativeThreeByTwo", Divide, Value(-3.0), Value(2.0), -(kOne + kOne / 2)},
                    ArithmeticCase{"OneByThree", Divide, Value(1.0), Value(3.0), 1431655765},
                    ArithmeticCase{"OneByZero", Divide, Value(1.0), Raw(0), int64_t(1) << 62},
                    ArithmeticCase{"SmallestByMinusOneWraps", Divide, Raw(kSmallest), Raw(-kOne), kSmallest},
                    ArithmeticCase{"FModPositive", FMod, Value(5.5), Value(2.0), kOne + kOne / 2},
                    ArithmeticCase{"FModNegative", FMod, Value(-5.5), Value(2.0), -(kOne + kOne / 2)},
                    ArithmeticCase{"FModByZero", FMod, Value(5.5), Raw(0), 5 * kOne + kOne / 2},
                    ArithmeticCase{"FModSmallestByMinusOne", FMod, Raw(kSmallest), Raw(-1), 0}),
    [](const testing::TestParamInfo<ArithmeticCase>& info) { return info.param.fName; });

TEST(FixedPoint64, MultiplicationMatchesTheWideProductBitForBit)
{
    std::mt19937_64 random(20240501);
    std::uniform_int_distribution<int64_t> any(kSmallest, kLargest);
    for (int i = 0; i < 100000; ++i) {
        int64_t a = any(random);
        int64_t b = any(random);
        // Shifts of the 128-bit product are arithmetic, and the narrowing keeps the low 64 bits.
        auto expected = int64_t(uint64_t((__int128)a * b >> 32));
        ASSERT_EQ((Raw(a) * Raw(b)).Raw(), expected) << a << " * " << b;
    }
}

TEST(FixedPoint64, AdditionAndSubtractionWrap)
{
    EXPECT_EQ((Raw(kLargest) + Raw(1)).Raw(), kSmallest);
    EXPECT_EQ((Raw(kSmallest) - Raw(1)).Raw(), kLargest);
    EXPECT_EQ((-Raw(kSmallest)).Raw(), kSmallest);
    EXPECT_LT(Value(-0.5), Value(0.25));
    EXPECT_EQ(Value(2.0), FixedPoint64(2));
}

struct ConversionCase
{
    const char* fName;
    double fValue;
    int64_t fRaw;
};

class FixedPointFromDouble : public testing::TestWithParam<ConversionCase>
{};

TEST_P(FixedPointFromDouble, RoundsToTheNearestStepAndSaturates)
{
    EXPECT_EQ(Value(GetParam().fValue).Raw(), GetParam().fRaw);
}

INSTANTIATE_TEST_SUITE_P(
    FixedPoint64, FixedPointFromDouble,
    testing::Values(ConversionCase{"Whole", -7.0, -7 * kOne}, ConversionCase{"Exact", 0.75, 3 * kOne / 4},
                    ConversionCase{"BelowHalfAStep", 0.4 / 4294967296.0, 0},
                    ConversionCase{"HalfAStepRoundsAway", 0.5 / 4294967296.0, 1},
                    ConversionCase{"NegativeHalfAStepRoundsAway", -0.5 / 4294967296.0, -1},
                    ConversionCase{"TooLarge", 3e9, kLargest}, ConversionCase{"TooSmall", -3e9, kSmallest},
                    ConversionCase{"Infinite", -INFINITY, kSmallest}, ConversionCase{"NotANumber", NAN, 0}),
    [](const testing::TestParamInfo<ConversionCase>& info) { return info.param.fName; });

TEST(FixedPoint64, ConversionsBackFollowTheRepresentation)
{
    EXPECT_EQ(FixedPoint64(-3).Raw(), -3 * kOne);
    EXPECT_EQ(FixedPoint64(std::numeric_limits<int32_t>::min()).Raw(), kSmallest);
    EXPECT_EQ(Value(2.75).ToInt(), 2);
    EXPECT_EQ(Value(-2.25).ToInt(), -3);
    EXPECT_EQ(Value(-2.25).ToDouble(), -2.25);
    EXPECT_EQ(Raw(1).ToDouble(), std::ldexp(1.0, -32));
}

} // namespace
