#include "Util/Preference.h"
#include "ChildProcess.h"
#include "ResourceAccess/ResourceAccess.h"
#include "TempFolder.h"
#include "Utf8Text.h"

#include <CoreFoundationTesting/Preferences.h>

#include <gtest/gtest.h>

#include <filesystem>

using Pellix::Preference;

namespace {

// The preferences kept in a temporary folder for each test.
class PreferenceTest : public testing::Test
{
protected:
    void SetUp() override { CoreFoundationTesting::setPreferencesFolder(fFolder.path().string()); }
    void TearDown() override { CoreFoundationTesting::setPreferencesFolder(""); }

    // The value stored for the current application under `name`, as the next process would read it.
    CFPropertyListRef Stored(const char* name)
    {
        CoreFoundationTesting::setPreferencesFolder(fFolder.path().string());
        CFStringRef key = CFStringCreateWithCString(nullptr, name, kCFStringEncodingUTF8);
        CFPropertyListRef value = CFPreferencesCopyAppValue(key, kCFPreferencesCurrentApplication);
        CFRelease(key);
        return value;
    }

    TempFolder fFolder;
};

TEST_F(PreferenceTest, NewNameHasNoPropertiesAndStoresAnEmptyDictionary)
{
    {
        Preference preference(U("fresh"));
        UString text = U("untouched");
        int integer = 9;
        float number = 9;
        EXPECT_FALSE(preference.GetStringProperty(U("k"), text));
        EXPECT_FALSE(preference.GetNumericProperty(U("k"), integer));
        EXPECT_FALSE(preference.GetFloatProperty(U("k"), number));
        EXPECT_EQ(text, U("untouched"));
    }
    CFPropertyListRef stored = Stored("fresh");
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(CFGetTypeID(stored), CFDictionaryGetTypeID());
    EXPECT_EQ(CFDictionaryGetCount(static_cast<CFDictionaryRef>(stored)), 0);
    CFRelease(stored);
}

TEST_F(PreferenceTest, NumbersConvertOnlyWhenExact)
{
    Preference preference(U("numbers"));
    preference.SetNumericProperty(U("n"), 5);
    float number = 0;
    EXPECT_TRUE(preference.GetFloatProperty(U("n"), number));
    EXPECT_EQ(number, 5.0f);
    preference.SetFloatProperty(U("f"), 5.5f);
    int integer = 0;
    EXPECT_FALSE(preference.GetNumericProperty(U("f"), integer));
    EXPECT_EQ(integer, 5);
    preference.SetStringProperty(U("s"), U("x"));
    EXPECT_FALSE(preference.GetNumericProperty(U("s"), integer));
    UString text;
    EXPECT_FALSE(preference.GetStringProperty(U("n"), text));
    EXPECT_TRUE(preference.GetStringProperty(U("s"), text));
    EXPECT_EQ(text, U("x"));
    preference.SetNumericProperty(U("s"), 3);
    EXPECT_TRUE(preference.GetNumericProperty(U("s"), integer));
    EXPECT_EQ(integer, 3);
}

TEST_F(PreferenceTest, StoredValueOfAnotherTypeBecomesADictionary)
{
    CFPreferencesSetAppValue(CFSTR("odd"), CFSTR("a string"), kCFPreferencesCurrentApplication);
    CFPreferencesAppSynchronize(kCFPreferencesCurrentApplication);
    {
        Preference preference(U("odd"));
        preference.SetStringProperty(U("k"), U("v"));
    }
    CFPropertyListRef stored = Stored("odd");
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(CFGetTypeID(stored), CFDictionaryGetTypeID());
    CFRelease(stored);
}

TEST_F(PreferenceTest, TheOneDestroyedLastWins)
{
    {
        auto first = std::make_unique<Preference>(U("shared"));
        Preference second(U("shared"));
        first->SetNumericProperty(U("n"), 1);
        second.SetNumericProperty(U("n"), 2);
        first.reset();
    }
    Preference reread(U("shared"));
    int value = 0;
    EXPECT_TRUE(reread.GetNumericProperty(U("n"), value));
    EXPECT_EQ(value, 2);
}

TEST_F(PreferenceTest, ValueIsReadBackByAnotherProcess)
{
    {
        Preference preference(U("window"));
        preference.SetStringProperty(U("title"), U("Mixer \xE2\x80\x94 1"));
        preference.SetFloatProperty(U("scale"), 1.25f);
    }
    std::string folder = fFolder.path().string();
    EXPECT_EXIT(
        {
            CoreFoundationTesting::setPreferencesFolder(folder);
            Preference preference(U("window"));
            UString title;
            float scale = 0;
            bool read = preference.GetStringProperty(U("title"), title) &&
                        preference.GetFloatProperty(U("scale"), scale);
            std::exit(read && title == U("Mixer \xE2\x80\x94 1") && scale == 1.25f ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

TEST_F(PreferenceTest, BundleIdentifierNamesTheApplication)
{
    RunInChildProcess([this] {
        Pellix::ResourceAccess::Instance().SetBundleID(U("org.tide.pellix.tests.preferences"));
        {
            Preference preference(U("p"));
            preference.SetNumericProperty(U("n"), 1);
        }
        return std::filesystem::exists(fFolder.path() / "org.tide.pellix.tests.preferences.plist");
    });
}

} // namespace
