#include "TestText.h"

#include "UUID/UUIDObj.h"

#include <gtest/gtest.h>

namespace {

using Pellix::UUIDObj;

const UUIDObj kSample(0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54,
                      0x32, 0x10);

TEST(UUIDObjTest, TextFormRoundTrips)
{
    const UString clear = UUIDObj::kClear.GetUString();
    EXPECT_EQ(clear, U(u"00-00-00-00-00-00-00-00-00-00-00-00-00-00-00-00"));
    EXPECT_EQ(clear.length(), 47u);
    UUIDObj value = kSample;
    EXPECT_TRUE(value.SetFromUString(clear));
    EXPECT_EQ(value, UUIDObj::kClear);

    EXPECT_EQ(kSample.GetUString(), U(u"01-23-45-67-89-AB-CD-EF-FE-DC-BA-98-76-54-32-10"));
    EXPECT_EQ(UUIDObj(kSample.GetUString()), kSample);
}

class UUIDForms : public testing::TestWithParam<std::u16string>
{};

TEST_P(UUIDForms, ReadAsTheirBytes)
{
    UUIDObj value;
    EXPECT_TRUE(value.SetFromUString(U(GetParam())));
    EXPECT_EQ(value, kSample);
}

INSTANTIATE_TEST_SUITE_P(UUIDObjTest, UUIDForms,
                         testing::Values(u"01234567-89aB-CdEf-fEDC-ba9876543210",
                                         u"{01234567-89AB-CDEF-FEDC-BA9876543210}",
                                         u"0123456789abcdeffedcba9876543210",
                                         // Units after the 16th byte are ignored.
                                         u"0123456789abcdeffedcba9876543210 trailing"));

TEST(UUIDObjTest, ABadLengthKeepsTheValue)
{
    UUIDObj value = kSample;
    EXPECT_FALSE(value.SetFromUString(U(u"0123456789abcdeffedcba987654321")));
    EXPECT_EQ(value, kSample);
    EXPECT_FALSE(value.SetFromUString(UString(UTF16String(65, 'a'))));
    EXPECT_EQ(value, kSample);
}

TEST(UUIDObjTest, ABadTextClearsTheValue)
{
    for (const std::u16string text :
         {u"0-123456789abcdeffedcba9876543210", u"0123456789abcdeffedcba9876543-210",
          u"0123456789abcdeffedcba98765432 1", u"0123456789abcdeffedcba987654321x"}) {
        UUIDObj value = kSample;
        EXPECT_FALSE(value.SetFromUString(U(text)));
        EXPECT_EQ(value, UUIDObj::kClear);
    }
    EXPECT_EQ(UUIDObj(U(u"not an identifier at all, really")), UUIDObj::kClear);
}

TEST(UUIDObjTest, ValidityAndOrder)
{
    EXPECT_TRUE(UUIDObj::kOutOfBounds.IsValid());
    EXPECT_FALSE(UUIDObj().IsValid());
    EXPECT_TRUE(UUIDObj().IsClear());
    const UUIDObj low(0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                      0xFF, 0xFF);
    const UUIDObj high(0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
    EXPECT_TRUE(low < high);
    EXPECT_FALSE(high < low);
    EXPECT_FALSE(low < low);
}

TEST(UUIDObjTest, NewIdentifiersDifferAndAreValid)
{
    const UUIDObj a = UUIDObj::GetNewUUID();
    const UUIDObj b = UUIDObj::GetNewUUID();
    EXPECT_FALSE(a == b);
    EXPECT_TRUE(a.IsValid());
    EXPECT_TRUE(b.IsValid());
    // A random identifier carries version 4.
    EXPECT_EQ(a.GetUString()[18], '4');
}

} // namespace
