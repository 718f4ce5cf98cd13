#include <CoreFoundationTesting/Home.h>
#include <Foundation/Foundation.h>
#include <FoundationTesting/SearchPaths.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string Text(CFStringRef string)
{
    char buffer[4096] = {};
    CFStringGetCString(string, buffer, sizeof buffer, kCFStringEncodingUTF8);
    return buffer;
}

class Files : public testing::Test
{
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "nsfiles-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        fRoot = pattern;
    }
    void TearDown() override { fs::remove_all(fRoot); }

    CFURLRef url(const std::string& relative, bool folder = false)
    {
        std::string path = (fRoot / relative).string();
        CFURLRef made = CFURLCreateFromFileSystemRepresentation(
            nullptr, reinterpret_cast<const UInt8*>(path.data()), static_cast<CFIndex>(path.size()), folder);
        fURLs.push_back(made);
        return made;
    }
    CFStringRef path(const std::string& relative)
    {
        CFStringRef made =
            CFStringCreateWithCString(nullptr, (fRoot / relative).c_str(), kCFStringEncodingUTF8);
        fStrings.push_back(made);
        return made;
    }
    void write(const std::string& relative, const std::string& content)
    {
        std::ofstream((fRoot / relative).string(), std::ios::binary) << content;
    }

    ~Files() override
    {
        for (CFURLRef made : fURLs) {
            CFRelease(made);
        }
        for (CFStringRef made : fStrings) {
            CFRelease(made);
        }
    }

    fs::path fRoot;
    std::vector<CFURLRef> fURLs;
    std::vector<CFStringRef> fStrings;
    NS::FileManager* fManager = NS::FileManager::defaultManager();
};

TEST_F(Files, ExistenceAndKind)
{
    write("file", "x");
    fs::create_directory(fRoot / "folder");
    struct Case
    {
        const char* name;
        bool exists;
        bool folder;
    };
    for (const Case& c :
         {Case{"file", true, false}, Case{"folder", true, true}, Case{"missing", false, false}}) {
        bool isFolder = !c.folder;
        EXPECT_EQ(fManager->fileExistsAtPath(path(c.name), &isFolder), c.exists) << c.name;
        if (c.exists) {
            EXPECT_EQ(isFolder, c.folder) << c.name;
        }
    }
}

TEST_F(Files, CopiesFilesAndFoldersButNeverOverAnExistingItem)
{
    fs::create_directories(fRoot / "tree/sub");
    write("tree/a", "alpha");
    write("tree/sub/.hidden", "beta");
    NS::Error error = nullptr;
    ASSERT_TRUE(fManager->copyItemAtURL(url("tree", true), url("copy", true), &error));
    EXPECT_TRUE(fs::exists(fRoot / "copy/sub/.hidden"));
    EXPECT_TRUE(fs::exists(fRoot / "copy/a"));

    write("target", "old");
    EXPECT_FALSE(fManager->copyItemAtURL(url("tree/a"), url("target"), &error));
    ASSERT_NE(error, nullptr);
    EXPECT_TRUE(CFEqual(CFErrorGetDomain(error), kCFErrorDomainPOSIX));
    EXPECT_EQ(CFErrorGetCode(error), EEXIST);
    CFRelease(error);
    std::ifstream in((fRoot / "target").string());
    std::string content;
    in >> content;
    EXPECT_EQ(content, "old");
    EXPECT_FALSE(fManager->copyItemAtURL(url("missing"), url("other")));
}

TEST_F(Files, CreatesFoldersWithOrWithoutTheirParents)
{
    NS::Error error = nullptr;
    EXPECT_FALSE(fManager->createDirectoryAtURL(url("a/b", true), false, nullptr, &error));
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(CFErrorGetCode(error), ENOENT);
    CFRelease(error);
    EXPECT_FALSE(fs::exists(fRoot / "a"));
    EXPECT_TRUE(fManager->createDirectoryAtURL(url("a/b", true), true, nullptr, nullptr));
    EXPECT_TRUE(fs::is_directory(fRoot / "a/b"));
    EXPECT_TRUE(fManager->createDirectoryAtURL(url("a/c", true), false, nullptr, nullptr));
    EXPECT_FALSE(fManager->createDirectoryAtURL(url("a/c", true), false, nullptr, nullptr));
}

TEST_F(Files, ListsEveryItemButDotAndDotDot)
{
    write(".hidden", "");
    write("plain", "");
    fs::create_directory(fRoot / "folder");
    CFArrayRef items = fManager->contentsOfDirectoryAtURL(url("", true), nullptr, 0, nullptr);
    ASSERT_NE(items, nullptr);
    std::set<std::string> names;
    for (CFIndex i = 0; i < CFArrayGetCount(items); ++i) {
        auto item = static_cast<CFURLRef>(CFArrayGetValueAtIndex(items, i));
        CFStringRef name = CFURLCopyLastPathComponent(item);
        names.insert(Text(name) + (CFURLHasDirectoryPath(item) ? "/" : ""));
        CFRelease(name);
    }
    CFRelease(items);
    EXPECT_EQ(names, (std::set<std::string>{".hidden", "plain", "folder/"}));
    NS::Error error = nullptr;
    EXPECT_EQ(fManager->contentsOfDirectoryAtURL(url("missing", true), nullptr, 0, &error), nullptr);
    ASSERT_NE(error, nullptr);
    CFRelease(error);
}

TEST_F(Files, StandardFoldersLieUnderTheReRootedDomains)
{
    CoreFoundationTesting::setHomeFolder((fRoot / "home").string());
    FoundationTesting::setLocalDomainRoot((fRoot / "local").string());
    struct Case
    {
        NS::SearchPathDirectory directory;
        unsigned long domains;
        bool expand;
        std::vector<std::string> paths;
    };
    const std::string home = (fRoot / "home").string();
    const std::string local = (fRoot / "local").string();
    const Case cases[] = {
        {NS::DocumentDirectory, NS::UserDomainMask, true, {home + "/Documents"}},
        {NS::ApplicationSupportDirectory, NS::UserDomainMask, true, {home + "/Library/Application Support"}},
        {NS::LibraryDirectory, NS::LocalDomainMask, true, {local + "/Library"}},
        {NS::DocumentDirectory, NS::UserDomainMask, false, {"~/Documents"}},
        {NS::LibraryDirectory,
         NS::UserDomainMask | NS::LocalDomainMask,
         true,
         {home + "/Library", local + "/Library"}},
        {NS::DocumentDirectory, NS::LocalDomainMask, true, {}},
    };
    for (const Case& c : cases) {
        CFArrayRef paths = NSSearchPathForDirectoriesInDomains(c.directory, c.domains, c.expand);
        std::vector<std::string> texts;
        for (CFIndex i = 0; i < CFArrayGetCount(paths); ++i) {
            texts.push_back(Text(static_cast<CFStringRef>(CFArrayGetValueAtIndex(paths, i))));
        }
        CFRelease(paths);
        EXPECT_EQ(texts, c.paths) << c.directory << " " << c.domains;
    }
    FoundationTesting::setLocalDomainRoot("");
    CoreFoundationTesting::setHomeFolder("");
}

TEST(FileTypes, FourCharacterCodesInQuotes)
{
    for (auto [code, text] :
         {std::pair<uint32_t, const char*>{0x54455854, "'TEXT'"}, {0, "''"}, {0x41420000, "'AB'"}}) {
        CFStringRef type = NSFileTypeForHFSTypeCode(code);
        EXPECT_EQ(Text(type), text);
        CFRelease(type);
    }
}

TEST(Exceptions, CarryNameAndReason)
{
    try {
        throw NS::Exception("NSInternalInconsistencyException", "broken");
    } catch (const NS::Exception& exception) {
        EXPECT_EQ(exception.name(), "NSInternalInconsistencyException");
        EXPECT_EQ(exception.reason(), "broken");
    }
}

} // namespace
