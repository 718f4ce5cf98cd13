#include "FileFixtures.h"

#include <CoreFoundationTesting/MainBundle.h>

#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <link.h>

using namespace FileFixtures;

namespace {

std::string infoPlist(const std::string& identifier)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
           "\t<key>CFBundleIdentifier</key>\n\t<string>" +
           identifier +
           "</string>\n"
           "\t<key>Version</key>\n\t<integer>7</integer>\n"
           "</dict>\n</plist>\n";
}

// A bundle folder with an Info.plist and a few resources.
std::filesystem::path makeBundle(const std::filesystem::path& folder, const std::string& identifier)
{
    std::filesystem::create_directories(folder / "Contents/Resources/Sounds");
    std::filesystem::create_directories(folder / "Contents/MacOS");
    writeFile(folder / "Contents/Info.plist", infoPlist(identifier));
    writeFile(folder / "Contents/Resources/readme.txt", "read me");
    writeFile(folder / "Contents/Resources/Sounds/beep.wav", "beep");
    return folder;
}

CF<CFURLRef> folderURL(const std::filesystem::path& folder)
{
    return CF<CFURLRef>(
        CFURLCreateWithFileSystemPath(nullptr, string(folder.string()).get(), kCFURLPOSIXPathStyle, true));
}

std::string pathOf(CFURLRef url)
{
    CF<CFURLRef> absolute(CFURLCopyAbsoluteURL(url));
    CF<CFStringRef> path(CFURLCopyFileSystemPath(absolute.get(), kCFURLPOSIXPathStyle));
    return text(path.get());
}

class BundleFixture : public testing::Test
{
protected:
    // The process keeps every bundle it has met, so an identifier names this run's folder: a
    // repeated test must not find the bundle of the run before.
    std::string identifier(const std::string& name) const
    {
        return "org.tide.tests." + name + "." + fFolder.path().filename().string();
    }

    TemporaryFolder fFolder;
};

TEST_F(BundleFixture, IsFoundByFolderAndThenByIdentifier)
{
    const std::string fixture = identifier("fixture");
    std::filesystem::path folder = makeBundle(fFolder / "Fixture.bundle", fixture);
    CF<CFBundleRef> bundle(CFBundleCreate(nullptr, folderURL(folder).get()));
    ASSERT_TRUE(bundle);
    EXPECT_EQ(CFGetTypeID(bundle.get()), CFBundleGetTypeID());
    EXPECT_EQ(text(CFBundleGetIdentifier(bundle.get())), fixture);
    EXPECT_EQ(CFBundleGetBundleWithIdentifier(string(fixture).get()), bundle.get());
    EXPECT_EQ(CFBundleGetBundleWithIdentifier(CFSTR("org.tide.tests.unknown")), nullptr);

    // One folder, one bundle.
    CF<CFBundleRef> again(CFBundleCreate(nullptr, folderURL(folder).get()));
    EXPECT_EQ(again.get(), bundle.get());

    int32_t version = 0;
    auto value =
        static_cast<CFNumberRef>(CFBundleGetValueForInfoDictionaryKey(bundle.get(), CFSTR("Version")));
    ASSERT_TRUE(value);
    EXPECT_TRUE(CFNumberGetValue(value, kCFNumberSInt32Type, &version));
    EXPECT_EQ(version, 7);
    EXPECT_EQ(CFDictionaryGetCount(CFBundleGetInfoDictionary(bundle.get())), 2);

    CF<CFURLRef> bundleURL(CFBundleCopyBundleURL(bundle.get()));
    EXPECT_EQ(pathOf(bundleURL.get()), folder.string());
}

TEST_F(BundleFixture, FindsResourcesByNameTypeAndSubfolder)
{
    std::filesystem::path folder = makeBundle(fFolder / "Resources.bundle", "org.tide.tests.resources");
    CF<CFBundleRef> bundle(CFBundleCreate(nullptr, folderURL(folder).get()));
    ASSERT_TRUE(bundle);

    CF<CFURLRef> beep(CFBundleCopyResourceURL(bundle.get(), CFSTR("beep"), CFSTR("wav"), CFSTR("Sounds")));
    EXPECT_EQ(pathOf(beep.get()), (folder / "Contents/Resources/Sounds/beep.wav").string());
    CF<CFURLRef> readme(CFBundleCopyResourceURL(bundle.get(), CFSTR("readme"), CFSTR("txt"), nullptr));
    EXPECT_EQ(pathOf(readme.get()), (folder / "Contents/Resources/readme.txt").string());
    CF<CFURLRef> withoutType(CFBundleCopyResourceURL(bundle.get(), CFSTR("readme.txt"), nullptr, nullptr));
    EXPECT_EQ(pathOf(withoutType.get()), (folder / "Contents/Resources/readme.txt").string());

    EXPECT_EQ(CFBundleCopyResourceURL(bundle.get(), CFSTR("missing"), CFSTR("txt"), nullptr), nullptr);
    EXPECT_EQ(CFBundleCopyResourceURL(bundle.get(), CFSTR("beep"), CFSTR("wav"), nullptr), nullptr);
    EXPECT_EQ(CFBundleCopyResourceURL(bundle.get(), CFSTR("readme"), CFSTR("txt"), CFSTR("Sounds")), nullptr);
}

TEST_F(BundleFixture, ResourcesFolderIsRelativeToTheBundle)
{
    std::filesystem::path folder = makeBundle(fFolder / "Relative.bundle", "org.tide.tests.relative");
    CF<CFBundleRef> bundle(CFBundleCreate(nullptr, folderURL(folder).get()));
    CF<CFURLRef> resources(CFBundleCopyResourcesDirectoryURL(bundle.get()));
    ASSERT_TRUE(resources);
    CF<CFURLRef> bundleURL(CFBundleCopyBundleURL(bundle.get()));
    EXPECT_TRUE(CFEqual(CFURLGetBaseURL(resources.get()), bundleURL.get()));
    EXPECT_EQ(pathOf(resources.get()), (folder / "Contents/Resources").string());
}

TEST_F(BundleFixture, NoBundleForAMissingFolderOrAFile)
{
    EXPECT_EQ(CFBundleCreate(nullptr, folderURL(fFolder / "missing.bundle").get()), nullptr);
    writeFile(fFolder / "file.bundle", "");
    EXPECT_EQ(CFBundleCreate(nullptr, folderURL(fFolder / "file.bundle").get()), nullptr);
    CF<CFURLRef> web(CFURLCreateWithString(nullptr, CFSTR("http://host/x.bundle/"), nullptr));
    EXPECT_EQ(CFBundleCreate(nullptr, web.get()), nullptr);

    // A folder without Info.plist is a bundle without identifier.
    std::filesystem::create_directories(fFolder / "Bare.bundle/Contents");
    CF<CFBundleRef> bare(CFBundleCreate(nullptr, folderURL(fFolder / "Bare.bundle").get()));
    ASSERT_TRUE(bare);
    EXPECT_EQ(CFBundleGetIdentifier(bare.get()), nullptr);
    EXPECT_EQ(CFDictionaryGetCount(CFBundleGetInfoDictionary(bare.get())), 0);
}

// The path of a small shared library the process has loaded, to stand in for a plug-in.
std::string loadedLibrary(const char* name)
{
    std::string found;
    std::pair<const char*, std::string*> search(name, &found);
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* context) {
            auto* wanted = static_cast<std::pair<const char*, std::string*>*>(context);
            if (std::strstr(info->dlpi_name, wanted->first)) {
                *wanted->second = info->dlpi_name;
            }
            return 0;
        },
        &search);
    return found;
}

TEST_F(BundleFixture, OfALoadedExecutableIsFoundByIdentifier)
{
    std::string library = loadedLibrary("libuuid.so");
    ASSERT_FALSE(library.empty());
    CF<CFStringRef> plugin = string(identifier("loaded-plugin"));
    std::filesystem::path folder = makeBundle(fFolder / "Plugin.bundle", text(plugin.get()));
    std::filesystem::copy_file(library, folder / "Contents/MacOS/Plugin");
    EXPECT_EQ(CFBundleGetBundleWithIdentifier(plugin.get()), nullptr);

    void* handle = dlopen((folder / "Contents/MacOS/Plugin").c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    CFBundleRef bundle = CFBundleGetBundleWithIdentifier(plugin.get());
    ASSERT_NE(bundle, nullptr);
    CF<CFURLRef> url(CFBundleCopyBundleURL(bundle));
    EXPECT_EQ(pathOf(url.get()), folder.string());
    dlclose(handle);
}

TEST(MainBundle, OfABareExecutableIsItsOwnFolder)
{
    std::filesystem::path executable = testExecutable();
    CFBundleRef main = CFBundleGetMainBundle();
    ASSERT_TRUE(main);
    EXPECT_EQ(CFBundleGetMainBundle(), main);
    CF<CFURLRef> url(CFBundleCopyBundleURL(main));
    EXPECT_EQ(pathOf(url.get()), executable.parent_path().string());
    EXPECT_EQ(CFBundleGetIdentifier(main), nullptr);

    // Resources are looked up in that folder.
    CF<CFURLRef> resources(CFBundleCopyResourcesDirectoryURL(main));
    EXPECT_EQ(pathOf(resources.get()), executable.parent_path().string());
    CF<CFURLRef> itself(
        CFBundleCopyResourceURL(main, string(executable.filename().string()).get(), nullptr, nullptr));
    EXPECT_EQ(pathOf(itself.get()), executable.string());
}

constexpr const char* kBundledIdentifier = "org.tide.tests.bundled-app";

// Run by OfAnExecutableInsideABundleIsThatBundle in a copy of this binary placed in a bundle.
TEST(MainBundle, DISABLED_InsideABundle)
{
    const char* expectedFolder = std::getenv("CF_TEST_BUNDLE_FOLDER");
    ASSERT_NE(expectedFolder, nullptr);
    CFBundleRef main = CFBundleGetMainBundle();
    EXPECT_EQ(text(CFBundleGetIdentifier(main)), kBundledIdentifier);
    CF<CFURLRef> url(CFBundleCopyBundleURL(main));
    EXPECT_EQ(pathOf(url.get()), expectedFolder);
    EXPECT_EQ(CFBundleGetBundleWithIdentifier(string(kBundledIdentifier).get()), main);
    CF<CFURLRef> readme(CFBundleCopyResourceURL(main, CFSTR("readme"), CFSTR("txt"), nullptr));
    EXPECT_TRUE(readme);
}

TEST_F(BundleFixture, OfAnExecutableInsideABundleIsThatBundle)
{
    std::filesystem::path folder = makeBundle(fFolder / "Bundled.app", kBundledIdentifier);
    std::filesystem::path copy = folder / "Contents/MacOS/CoreFoundationTests";
    std::filesystem::copy_file(testExecutable(), copy);
    EXPECT_EQ(runTestCase(copy.string(), "MainBundle.DISABLED_InsideABundle", "CF_TEST_BUNDLE_FOLDER",
                          folder.string()),
              0);
}

} // namespace

TEST_F(BundleFixture, MainBundleCanBeNamedByATestAndGivenBack)
{
    CFBundleRef running = CFBundleGetMainBundle();
    const std::filesystem::path folder = makeBundle(fFolder.path() / "Named.app", identifier("named"));

    CoreFoundationTesting::setMainBundle(folder.string());
    EXPECT_EQ(text(CFBundleGetIdentifier(CFBundleGetMainBundle())), identifier("named"));
    CF<CFURLRef> resources(CFBundleCopyResourcesDirectoryURL(CFBundleGetMainBundle()));
    EXPECT_EQ(pathOf(resources.get()), (folder / "Contents/Resources").string());

    CoreFoundationTesting::resetMainBundle();
    EXPECT_EQ(CFBundleGetMainBundle(), running);
}
