#include <CoreGraphics/CoreGraphics.h>
#include <CoreGraphicsTesting/DataProvider.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

class DataProvider : public testing::Test
{
protected:
    void SetUp() override
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "cgdata-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        fFolder = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(fFolder); }

    // The data of a provider on `path`; empty when the provider answers NULL.
    std::optional<std::string> dataOf(const std::string& path)
    {
        CFURLRef url = CFURLCreateFromFileSystemRepresentation(
            nullptr, reinterpret_cast<const UInt8*>(path.data()), static_cast<CFIndex>(path.size()), false);
        CGDataProviderRef provider = CGDataProviderCreateWithURL(url);
        CFRelease(url);
        EXPECT_NE(provider, nullptr);
        CFDataRef data = CGDataProviderCopyData(provider);
        CGDataProviderRelease(provider);
        if (!data) {
            return std::nullopt;
        }
        std::string bytes(reinterpret_cast<const char*>(CFDataGetBytePtr(data)),
                          static_cast<size_t>(CFDataGetLength(data)));
        CFRelease(data);
        return bytes;
    }

    std::filesystem::path fFolder;
};

TEST_F(DataProvider, GivesTheWholeFile)
{
    std::string content(200000, '\0');
    for (size_t i = 0; i < content.size(); ++i) {
        content[i] = static_cast<char>(i * 7);
    }
    std::ofstream((fFolder / "file").string(), std::ios::binary) << content;
    std::ofstream((fFolder / "empty").string(), std::ios::binary);
    EXPECT_EQ(dataOf((fFolder / "file").string()), content);
    EXPECT_EQ(dataOf((fFolder / "empty").string()), std::string());
}

TEST_F(DataProvider, NothingForAMissingFileOrAFolder)
{
    EXPECT_EQ(dataOf((fFolder / "missing").string()), std::nullopt);
    EXPECT_EQ(dataOf(fFolder.string()), std::nullopt);
    EXPECT_EQ(CGDataProviderCreateWithURL(nullptr), nullptr);
}

TEST_F(DataProvider, IsACoreFoundationObjectAndCountsCopies)
{
    std::string path = (fFolder / "file").string();
    std::ofstream(path) << "x";
    CFURLRef url = CFURLCreateFromFileSystemRepresentation(
        nullptr, reinterpret_cast<const UInt8*>(path.data()), static_cast<CFIndex>(path.size()), false);
    CGDataProviderRef provider = CGDataProviderCreateWithURL(url);
    CFRelease(url);
    CFRetain(provider);
    EXPECT_EQ(CFGetRetainCount(provider), 2);
    CFRelease(provider);
    unsigned long before = CoreGraphicsTesting::dataProviderCopyDataCalls();
    CFRelease(CGDataProviderCopyData(provider));
    EXPECT_EQ(CoreGraphicsTesting::dataProviderCopyDataCalls(), before + 1);
    CGDataProviderRelease(provider);
}

} // namespace
