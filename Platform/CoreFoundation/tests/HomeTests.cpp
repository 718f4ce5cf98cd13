#include <CoreFoundation/CoreFoundation.h>
#include <CoreFoundationTesting/Home.h>
#include <CoreFoundationTesting/Preferences.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <pwd.h>
#include <string>
#include <unistd.h>

namespace {

std::string PathOf(CFURLRef url)
{
    char path[4096];
    EXPECT_TRUE(CFURLGetFileSystemRepresentation(url, true, reinterpret_cast<UInt8*>(path), sizeof path));
    return path;
}

std::string AccountHome()
{
    const passwd* entry = getpwuid(getuid());
    return entry ? entry->pw_dir : "";
}

// Re-roots the home for one test and puts the account's home back afterwards.
class Home : public testing::Test
{
protected:
    void TearDown() override { CoreFoundationTesting::setHomeFolder(""); }
};

TEST_F(Home, ComesFromTheAccountNotTheEnvironment)
{
    const char* saved = getenv("HOME");
    std::string previous = saved ? saved : "";
    setenv("HOME", "/nonexistent-home", 1);
    CFURLRef url = CFCopyHomeDirectoryURL();
    if (saved) {
        setenv("HOME", previous.c_str(), 1);
    } else {
        unsetenv("HOME");
    }
    ASSERT_NE(url, nullptr);
    EXPECT_TRUE(CFURLHasDirectoryPath(url));
    EXPECT_EQ(PathOf(url), AccountHome());
    CFRelease(url);
}

TEST_F(Home, TestsReRootIt)
{
    CoreFoundationTesting::setHomeFolder("/tmp/some home");
    CFURLRef url = CFCopyHomeDirectoryURL();
    ASSERT_NE(url, nullptr);
    EXPECT_EQ(PathOf(url), "/tmp/some home");
    CFRelease(url);
    CoreFoundationTesting::setHomeFolder("");
    url = CFCopyHomeDirectoryURL();
    EXPECT_EQ(PathOf(url), AccountHome());
    CFRelease(url);
}

// Preferences live under the home unless a test put them elsewhere.
TEST_F(Home, PreferencesFollowIt)
{
    std::string pattern = (std::filesystem::temp_directory_path() / "cfhome-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    CoreFoundationTesting::setHomeFolder(pattern);
    CoreFoundationTesting::setPreferencesFolder(pattern + "/elsewhere");
    CoreFoundationTesting::setPreferencesFolder("");
    CFPreferencesSetAppValue(CFSTR("k"), CFSTR("v"), CFSTR("org.tide.tests.home"));
    EXPECT_TRUE(CFPreferencesAppSynchronize(CFSTR("org.tide.tests.home")));
    EXPECT_TRUE(std::filesystem::exists(pattern + "/Library/Preferences/org.tide.tests.home.plist"));
    EXPECT_FALSE(std::filesystem::exists(pattern + "/elsewhere"));
    std::filesystem::remove_all(pattern);
}

} // namespace
