#include "FileFixtures.h"

#include <CoreFoundationTesting/Preferences.h>
#include <DarwinTesting/LogCapture.h>

#include <cstdlib>
#include <limits>
#include <thread>

using namespace FileFixtures;

namespace {

constexpr const char* kApplication = "org.tide.tests.preferences";
constexpr const char* kFolderVariable = "CF_TEST_PREFERENCES_FOLDER";

const char* kSpecialText =
    "<tag> & \"quoted\" 'single' caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80";

// The settings every round-trip case stores: each type a preference may hold.
CF<CFDictionaryRef> sampleSettings()
{
    const UInt8 raw[] = {0x00, 0x01, 0x7F, 0x80, 0xFF};
    CF<CFDataRef> data(CFDataCreate(nullptr, raw, sizeof(raw)));
    CF<CFNumberRef> three = number(kCFNumberSInt32Type, 3);
    CF<CFNumberRef> half = number(kCFNumberFloat64Type, 0.5);
    CF<CFArrayRef> inner = array({half.get()});
    CF<CFArrayRef> list = array({three.get(), CFSTR("two"), inner.get()});
    CF<CFNumberRef> int32 = number(kCFNumberSInt32Type, -5);
    CF<CFNumberRef> float32 = number(kCFNumberFloat32Type, 0.1f);
    CF<CFNumberRef> int64 = number(kCFNumberSInt64Type, std::numeric_limits<int64_t>::max());
    CF<CFStringRef> text = string(kSpecialText);
    return dictionary({{"text", text.get()},
                       {"int32", int32.get()},
                       {"float32", float32.get()},
                       {"int64", int64.get()},
                       {"flag", kCFBooleanTrue},
                       {"bytes", data.get()},
                       {"list", list.get()}});
}

// The same settings as Python's plistlib reads them.
constexpr const char* kPythonSettings = R"(
import struct
expected = {
    "text": "<tag> & \"quoted\" 'single' caf\u00e9 \u65e5\u672c \U0001F600",
    "int32": -5,
    "float32": struct.unpack("f", struct.pack("f", 0.1))[0],
    "int64": 9223372036854775807,
    "flag": True,
    "bytes": bytes([0, 1, 0x7F, 0x80, 0xFF]),
    "list": [3, "two", [0.5]],
}
)";

class Preferences : public testing::Test
{
protected:
    void SetUp() override { CoreFoundationTesting::setPreferencesFolder(fFolder.path().string()); }
    void TearDown() override { CoreFoundationTesting::failPreferencesWrites(false); }

    std::filesystem::path file(const std::string& application) const
    {
        return fFolder / (application + ".plist");
    }

    // The names in the preferences folder.
    std::vector<std::string> folderContents() const
    {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(fFolder.path())) {
            names.push_back(entry.path().filename().string());
        }
        return names;
    }

    TemporaryFolder fFolder;
    CF<CFStringRef> fApplication = string(kApplication);
};

TEST_F(Preferences, SynchronisedValuesAreReadByPythonAndXmllint)
{
    CF<CFDictionaryRef> settings = sampleSettings();
    CFPreferencesSetAppValue(CFSTR("Settings"), settings.get(), fApplication.get());
    ASSERT_TRUE(CFPreferencesAppSynchronize(fApplication.get()));
    ASSERT_TRUE(std::filesystem::exists(file(kApplication)));

    auto [status, output] = runPython(std::string(kPythonSettings) + R"(
import plistlib, sys
with open(sys.argv[1], "rb") as f:
    stored = plistlib.load(f)
assert list(stored) == ["Settings"], stored
assert stored["Settings"] == expected, stored["Settings"]
print("equal")
)",
                                      file(kApplication).string());
    EXPECT_EQ(status, 0);
    EXPECT_EQ(output, "equal\n");

    std::string command = "xmllint --noout " + file(kApplication).string();
    EXPECT_EQ(std::system(command.c_str()), 0);
}

TEST_F(Preferences, AFileWrittenByPythonReadsBackEqual)
{
    auto [status, output] = runPython(std::string(kPythonSettings) + R"(
import datetime, plistlib, sys
expected["when"] = datetime.datetime(2020, 5, 17, 10, 30, 5)
expected["nested"] = {"empty": {}, "none": [], "false": False, "real": -1.25e-7}
with open(sys.argv[1], "wb") as f:
    plistlib.dump({"Settings": expected}, f)
)",
                                      file(kApplication).string());
    ASSERT_EQ(status, 0) << output;

    CF<CFDateRef> when(CFDateCreate(nullptr, 611404205.0));
    CF<CFDictionaryRef> empty = dictionary({});
    CF<CFArrayRef> none = array({});
    CF<CFNumberRef> real = number(kCFNumberFloat64Type, -1.25e-7);
    CF<CFDictionaryRef> nested = dictionary(
        {{"empty", empty.get()}, {"none", none.get()}, {"false", kCFBooleanFalse}, {"real", real.get()}});
    CF<CFMutableDictionaryRef> expected(CFDictionaryCreateMutableCopy(nullptr, 0, sampleSettings().get()));
    CFDictionarySetValue(expected.get(), CFSTR("when"), when.get());
    CFDictionarySetValue(expected.get(), CFSTR("nested"), nested.get());

    CF<CFPropertyListRef> stored(CFPreferencesCopyAppValue(CFSTR("Settings"), fApplication.get()));
    ASSERT_TRUE(stored);
    EXPECT_TRUE(CFEqual(stored.get(), expected.get()));

    // Reading back as the narrower types the values were made from loses nothing.
    auto values = static_cast<CFDictionaryRef>(stored.get());
    float single = 0;
    EXPECT_TRUE(CFNumberGetValue(static_cast<CFNumberRef>(CFDictionaryGetValue(values, CFSTR("float32"))),
                                 kCFNumberFloat32Type, &single));
    EXPECT_EQ(single, 0.1f);
    int32_t integer = 0;
    EXPECT_TRUE(CFNumberGetValue(static_cast<CFNumberRef>(CFDictionaryGetValue(values, CFSTR("int32"))),
                                 kCFNumberSInt32Type, &integer));
    EXPECT_EQ(integer, -5);
}

// Run by ASecondProcessSeesWhatWasSynchronised in a child process.
TEST(PreferencesChild, DISABLED_SeesSynchronisedValues)
{
    const char* folder = std::getenv(kFolderVariable);
    ASSERT_NE(folder, nullptr);
    CoreFoundationTesting::setPreferencesFolder(folder);
    CF<CFPropertyListRef> stored(CFPreferencesCopyAppValue(CFSTR("Settings"), string(kApplication).get()));
    EXPECT_TRUE(CFEqual(stored.get(), sampleSettings().get()));
    EXPECT_EQ(CFPreferencesCopyAppValue(CFSTR("Removed"), string(kApplication).get()), nullptr);
}

TEST_F(Preferences, ASecondProcessSeesWhatWasSynchronised)
{
    CFPreferencesSetAppValue(CFSTR("Removed"), kCFBooleanTrue, fApplication.get());
    ASSERT_TRUE(CFPreferencesAppSynchronize(fApplication.get()));
    CFPreferencesSetAppValue(CFSTR("Settings"), sampleSettings().get(), fApplication.get());
    CFPreferencesSetAppValue(CFSTR("Removed"), nullptr, fApplication.get());
    ASSERT_TRUE(CFPreferencesAppSynchronize(fApplication.get()));
    EXPECT_EQ(runTestCase(testExecutable(), "PreferencesChild.DISABLED_SeesSynchronisedValues",
                          kFolderVariable, fFolder.path().string()),
              0);
}

TEST_F(Preferences, AFailedWriteAnswersFalseAndLeavesTheOldFile)
{
    CFPreferencesSetAppValue(CFSTR("Volume"), number(kCFNumberSInt32Type, 1).get(), fApplication.get());
    ASSERT_TRUE(CFPreferencesAppSynchronize(fApplication.get()));
    std::string before = readFile(file(kApplication));

    CFPreferencesSetAppValue(CFSTR("Volume"), number(kCFNumberSInt32Type, 2).get(), fApplication.get());
    CoreFoundationTesting::failPreferencesWrites(true);
    {
        DarwinTesting::LogCapture capture;
        EXPECT_FALSE(CFPreferencesAppSynchronize(fApplication.get()));
        EXPECT_EQ(capture.texts(DarwinTesting::LogSource::OSLog).size(), 1u);
    }
    EXPECT_EQ(readFile(file(kApplication)), before);
    EXPECT_EQ(folderContents(), std::vector<std::string>{std::string(kApplication) + ".plist"});

    // The change is still pending and is written once writing works again.
    CoreFoundationTesting::failPreferencesWrites(false);
    EXPECT_TRUE(CFPreferencesAppSynchronize(fApplication.get()));
    CoreFoundationTesting::setPreferencesFolder(fFolder.path().string());
    CF<CFPropertyListRef> volume(CFPreferencesCopyAppValue(CFSTR("Volume"), fApplication.get()));
    EXPECT_TRUE(CFEqual(volume.get(), number(kCFNumberSInt32Type, 2).get()));
}

TEST_F(Preferences, AMalformedFileReadsAsEmptyWithOneLogLine)
{
    writeFile(file(kApplication), "<?xml version=\"1.0\"?><plist><dict><key>Volume</key>");
    DarwinTesting::LogCapture capture;
    EXPECT_EQ(CFPreferencesCopyAppValue(CFSTR("Volume"), fApplication.get()), nullptr);
    EXPECT_EQ(CFPreferencesCopyAppValue(CFSTR("Other"), fApplication.get()), nullptr);
    std::vector<std::string> lines = capture.texts(DarwinTesting::LogSource::OSLog);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(file(kApplication).string()), std::string::npos) << lines[0];

    // A file holding another property list than a dictionary is no better.
    writeFile(file("org.tide.tests.array"), "<?xml version=\"1.0\"?><plist><array/></plist>");
    EXPECT_EQ(CFPreferencesCopyAppValue(CFSTR("Volume"), CFSTR("org.tide.tests.array")), nullptr);
    EXPECT_EQ(capture.texts(DarwinTesting::LogSource::OSLog).size(), 2u);
}

TEST_F(Preferences, CurrentApplicationIsTheExecutableWithoutABundleIdentifier)
{
    CFPreferencesSetAppValue(CFSTR("Key"), CFSTR("value"), kCFPreferencesCurrentApplication);
    ASSERT_TRUE(CFPreferencesAppSynchronize(kCFPreferencesCurrentApplication));
    std::string executable = std::filesystem::path(testExecutable()).filename().string();
    EXPECT_TRUE(std::filesystem::exists(file(executable)));
    CF<CFPropertyListRef> value(CFPreferencesCopyAppValue(CFSTR("Key"), string(executable).get()));
    EXPECT_TRUE(CFEqual(value.get(), CFSTR("value")));
}

TEST_F(Preferences, ApplicationIdsThatCannotNameAFileHaveNoPreferences)
{
    for (const char* id : {"", ".", "..", "../escape", "a/b"}) {
        CF<CFStringRef> application = string(id);
        CFPreferencesSetAppValue(CFSTR("Key"), kCFBooleanTrue, application.get());
        EXPECT_EQ(CFPreferencesCopyAppValue(CFSTR("Key"), application.get()), nullptr) << id;
        EXPECT_FALSE(CFPreferencesAppSynchronize(application.get())) << id;
    }
    EXPECT_TRUE(folderContents().empty());
    EXPECT_FALSE(std::filesystem::exists(fFolder.path().parent_path() / "escape.plist"));
}

TEST_F(Preferences, StoredValuesAreImmutableCopiesOfPropertyLists)
{
    CF<CFMutableArrayRef> list(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks));
    CFArrayAppendValue(list.get(), CFSTR("first"));
    CFPreferencesSetAppValue(CFSTR("List"), list.get(), fApplication.get());
    CFArrayAppendValue(list.get(), CFSTR("second"));
    CF<CFPropertyListRef> stored(CFPreferencesCopyAppValue(CFSTR("List"), fApplication.get()));
    ASSERT_TRUE(stored);
    EXPECT_EQ(CFArrayGetCount(static_cast<CFArrayRef>(stored.get())), 1);

    // What the file cannot carry is refused, and the old value stays.
    CF<CFURLRef> url(CFURLCreateWithString(nullptr, CFSTR("http://host/"), nullptr));
    CFPreferencesSetAppValue(CFSTR("List"), url.get(), fApplication.get());
    CFPreferencesSetAppValue(CFSTR("Control"), CFSTR("bell\a"), fApplication.get());
    CF<CFPropertyListRef> kept(CFPreferencesCopyAppValue(CFSTR("List"), fApplication.get()));
    EXPECT_TRUE(CFEqual(kept.get(), stored.get()));
    EXPECT_EQ(CFPreferencesCopyAppValue(CFSTR("Control"), fApplication.get()), nullptr);
    EXPECT_TRUE(CFPreferencesAppSynchronize(fApplication.get()));
}

TEST_F(Preferences, ThreadsSettingAndSynchronisingTogether)
{
    constexpr int kThreads = 4;
    constexpr int kRounds = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            CF<CFStringRef> key = string("thread" + std::to_string(t));
            for (int round = 0; round < kRounds; ++round) {
                CFPreferencesSetAppValue(key.get(), number(kCFNumberSInt32Type, round).get(),
                                         fApplication.get());
                CF<CFPropertyListRef> value(CFPreferencesCopyAppValue(key.get(), fApplication.get()));
                EXPECT_TRUE(CFEqual(value.get(), number(kCFNumberSInt32Type, round).get()));
                if (round % 50 == 0) {
                    EXPECT_TRUE(CFPreferencesAppSynchronize(fApplication.get()));
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    ASSERT_TRUE(CFPreferencesAppSynchronize(fApplication.get()));
    CoreFoundationTesting::setPreferencesFolder(fFolder.path().string());
    for (int t = 0; t < kThreads; ++t) {
        CF<CFPropertyListRef> value(
            CFPreferencesCopyAppValue(string("thread" + std::to_string(t)).get(), fApplication.get()));
        EXPECT_TRUE(CFEqual(value.get(), number(kCFNumberSInt32Type, kRounds - 1).get()));
    }
}

} // namespace
