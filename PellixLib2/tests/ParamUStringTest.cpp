#include "TestText.h"

#include "UString/ParamUString.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

struct ExpansionCase
{
    std::u16string format;
    std::vector<std::u16string> parameters;
    std::u16string expected;
};

class ParamUStringExpansion : public testing::TestWithParam<ExpansionCase>
{};

TEST_P(ParamUStringExpansion, ReplacesNumberedParameters)
{
    std::vector<UString> parameters;
    for (const auto& p : GetParam().parameters) {
        parameters.push_back(U(p));
    }
    EXPECT_EQ(ParamUString().MakeParamString(U(GetParam().format), parameters), U(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(
    ParamUStringTest, ParamUStringExpansion,
    testing::Values(
        ExpansionCase{u"%1 of %0", {u"a", u"b"}, u"b of a"}, ExpansionCase{u"100%%", {}, u"100%"},
        ExpansionCase{u"%0%0", {u"x"}, u"xx"},
        // Inserted text is not expanded again.
        ExpansionCase{u"<%0>", {u"%0"}, u"<%0>"}, ExpansionCase{u"plain", {u"a"}, u"plain"},
        // Units above the digit 9 select parameters 10 and up.
        ExpansionCase{u"%:", {u"0", u"1", u"2", u"3", u"4", u"5", u"6", u"7", u"8", u"9", u"ten"}, u"ten"}));

class ParamUStringRefusal : public testing::TestWithParam<std::u16string>
{};

TEST_P(ParamUStringRefusal, ThrowsWhenAPercentSignSelectsNoParameter)
{
    const ParamUString text(U(GetParam()), U(u"a"), U(u"b"));
    EXPECT_THROW(text.GetString(), std::out_of_range);
}

INSTANTIATE_TEST_SUITE_P(ParamUStringTest, ParamUStringRefusal,
                         testing::Values(u"trailing %", u"% space", u"%2", u"%/", u"%:"));

TEST(ParamUStringTest, SettingAnIndexFillsTheGapWithEmptyParameters)
{
    ParamUString text(U(u"[%0|%1|%3]"));
    text.SetParameterAtIndex(3, U(u"x"));
    EXPECT_EQ(text.GetString(), U(u"[||x]"));
    text.SetParameterAtIndex(1, U(u"y"));
    EXPECT_EQ(text.GetString(), U(u"[|y|x]"));
}

TEST(ParamUStringTest, SetParametersReplacesAll)
{
    ParamUString text(U(u"%0 %1"), U(u"a"), U(u"b"), U(u"c"));
    text.SetParameters(U(u"z"));
    EXPECT_THROW(text.GetString(), std::out_of_range);
    text.SetParameters(U(u"1"), U(u"2"), U(u"3"), U(u"4"), U(u"5"), U(u"6"));
    EXPECT_EQ(text.GetString(), U(u"1 2"));
    const ParamUString copy(text);
    EXPECT_EQ(copy.GetString(), U(u"1 2"));
}

} // namespace
