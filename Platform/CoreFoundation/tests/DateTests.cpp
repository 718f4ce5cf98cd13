#include <CoreFoundation/CoreFoundation.h>
#include <Darwin/Clock.h>
#include <DarwinTesting/ManualClock.h>

#include <gtest/gtest.h>

#include <regex>
#include <string>

namespace {

using namespace std::chrono_literals;

// The formatted text in UTF-8, with ICU's no-break spaces made plain so a pattern can match them.
std::string plainText(CFStringRef string)
{
    std::u16string units(static_cast<size_t>(CFStringGetLength(string)), u'\0');
    CFStringGetCharacters(string, CFRangeMake(0, static_cast<CFIndex>(units.size())),
                          reinterpret_cast<UniChar*>(units.data()));
    for (char16_t& unit : units) {
        if (unit == u'\u00A0' || unit == u'\u202F') {
            unit = u' ';
        }
    }
    CFStringRef plain = CFStringCreateWithCharacters(nullptr, reinterpret_cast<const UniChar*>(units.data()),
                                                     static_cast<CFIndex>(units.size()));
    std::string text(static_cast<size_t>(
                         CFStringGetMaximumSizeForEncoding(CFStringGetLength(plain), kCFStringEncodingUTF8)) +
                         1,
                     '\0');
    EXPECT_TRUE(
        CFStringGetCString(plain, text.data(), static_cast<CFIndex>(text.size()), kCFStringEncodingUTF8));
    CFRelease(plain);
    return text.c_str();
}

std::string format(CFDateFormatterStyle dateStyle, CFDateFormatterStyle timeStyle, CFAbsoluteTime at)
{
    CFLocaleRef locale = CFLocaleCreate(nullptr, CFSTR("en_US"));
    CFDateFormatterRef formatter = CFDateFormatterCreate(nullptr, locale, dateStyle, timeStyle);
    CFStringRef string = CFDateFormatterCreateStringWithAbsoluteTime(nullptr, formatter, at);
    std::string text = plainText(string);
    CFRelease(string);
    CFRelease(formatter);
    CFRelease(locale);
    return text;
}

// 2001-07-01 12:00 UTC: the first of July or the second in every time zone.
constexpr CFAbsoluteTime kJulyFirstNoon = 181.5 * 86400.0;

TEST(DateFormatter, ShortDateAndFullTimeForEnglishUS)
{
    std::string text = format(kCFDateFormatterShortStyle, kCFDateFormatterFullStyle, kJulyFirstNoon);
    EXPECT_TRUE(std::regex_match(text, std::regex(R"(7/[12]/01,? (at )?\d{1,2}:\d{2}:\d{2} [AP]M \S.*)")))
        << text;
}

TEST(DateFormatter, StylesSelectTheParts)
{
    EXPECT_TRUE(std::regex_match(format(kCFDateFormatterNoStyle, kCFDateFormatterShortStyle, kJulyFirstNoon),
                                 std::regex(R"(\d{1,2}:\d{2} [AP]M)")));
    EXPECT_TRUE(std::regex_match(format(kCFDateFormatterShortStyle, kCFDateFormatterNoStyle, kJulyFirstNoon),
                                 std::regex(R"(7/[12]/01)")));
    EXPECT_EQ(CFDateFormatterCreate(nullptr, nullptr, 9, kCFDateFormatterNoStyle), nullptr);
}

TEST(DateFormatter, LocaleKeepsItsIdentifier)
{
    CFLocaleRef locale = CFLocaleCreate(nullptr, CFSTR("en_US"));
    EXPECT_TRUE(CFEqual(CFLocaleGetIdentifier(locale), CFSTR("en_US")));
    CFRelease(locale);
}

TEST(AbsoluteTime, FollowsTheProcessClock)
{
    DarwinTesting::ManualClock clock;
    CFAbsoluteTime start = CFAbsoluteTimeGetCurrent();
    EXPECT_EQ(start, DarwinClock::absoluteNow());
    EXPECT_EQ(CFAbsoluteTimeGetCurrent(), start);
    clock.advance(2500ms);
    EXPECT_DOUBLE_EQ(CFAbsoluteTimeGetCurrent() - start, 2.5);
}

TEST(Date, KeepsItsAbsoluteTime)
{
    CFDateRef date = CFDateCreate(nullptr, kJulyFirstNoon);
    EXPECT_EQ(CFDateGetAbsoluteTime(date), kJulyFirstNoon);
    CFRelease(date);
}

} // namespace
