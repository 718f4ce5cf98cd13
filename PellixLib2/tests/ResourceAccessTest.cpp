#include "ResourceAccess/ResourceAccess.h"
#include "FixtureBundle.h"
#include "ResourceAccess/MemMappedResourceFile.h"
#include "Utf8Text.h"

#include <DarwinTesting/LogCapture.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

using DarwinTesting::LogCapture;
using DarwinTesting::LogSource;
using Pellix::FileSpecification;
using Pellix::MemMappedResourceFile;
using Pellix::ResourceAccess;

namespace {

size_t OpenDescriptors()
{
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                             std::filesystem::directory_iterator()));
}

// A mapping of nothing, to map files into with Init.
MemMappedResourceFile Unmapped()
{
    return MemMappedResourceFile(U("no such resource"), U("none"), 4);
}

TEST(ResourceAccessTest, NoIdentifierUntilOneIsSet)
{
    ResourceAccess access;
    UString id = U("untouched");
    EXPECT_FALSE(access.GetBundleID(id));
    EXPECT_EQ(id, U("untouched"));
    access.SetBundleID(U("org.tide.pellix.tests.unknown"));
    ASSERT_TRUE(access.GetBundleID(id));
    EXPECT_EQ(id, U("org.tide.pellix.tests.unknown"));
    EXPECT_EQ(access.GetResourcesFolder().GetURL(), nullptr);
    EXPECT_EQ(access.GetFile(U("anything"), U("txt")).GetURL(), nullptr);
    EXPECT_EQ(access.GetFile(U("anything"), U("txt"), U("sub")).GetURL(), nullptr);
}

TEST(ResourceAccessTest, FindsResourcesOfTheChosenBundle)
{
    FixtureBundle bundle("org.tide.pellix.tests.lookup",
                         {{"Sounds/beep.wav", "beep"}, {"readme.txt", "read"}});
    ResourceAccess access;
    access.SetBundleID(U(bundle.identifier()));
    EXPECT_EQ(access.GetResourcesFolder().GetPOSIXPath(), bundle.resources());
    EXPECT_EQ(access.GetFile(U("beep"), U("wav"), U("Sounds")).GetPOSIXPath(),
              bundle.resources() + "/Sounds/beep.wav");
    EXPECT_EQ(access.GetFile(U("readme"), U("txt")).GetPOSIXPath(), bundle.resources() + "/readme.txt");
    EXPECT_EQ(access.GetFile(U("beep"), U("wav")).GetURL(), nullptr);
    EXPECT_EQ(access.GetFile(U("missing"), U("txt")).GetURL(), nullptr);
}

TEST(ResourceAccessTest, MapsAtMostTheMaximumLength)
{
    TempFolder folder;
    std::string file = folder.write("ten", "0123456789");
    MemMappedResourceFile mapped = Unmapped();
    mapped.Init(FileSpecification(U(file)), 4);
    ASSERT_NE(mapped.GetAddress(), nullptr);
    EXPECT_EQ(mapped.GetLength(), 4u);
    EXPECT_EQ(std::memcmp(mapped.GetAddress(), "0123", 4), 0);
    mapped.Init(FileSpecification(U(file)), 100);
    EXPECT_EQ(mapped.GetLength(), 10u);
}

TEST(ResourceAccessTest, EmptyFileCannotBeMapped)
{
    TempFolder folder;
    std::string file = folder.write("empty", "");
    LogCapture capture;
    MemMappedResourceFile mapped = Unmapped();
    mapped.Init(FileSpecification(U(file)), 4);
    EXPECT_EQ(mapped.GetAddress(), nullptr);
    EXPECT_EQ(capture.texts(LogSource::OSLog),
              std::vector<std::string>{"Error " + std::to_string(EINVAL) + " returned from mmap"});
}

TEST(ResourceAccessTest, MissingResourceHasNoMappingAndNoDescriptor)
{
    MemMappedResourceFile mapped(U("Sounds"), U("missing"), U("wav"), 4);
    EXPECT_EQ(mapped.GetAddress(), nullptr);
    EXPECT_EQ(mapped.GetDescriptor(), -1);
}

TEST(ResourceAccessTest, DestructionUnmapsAndCloses)
{
    TempFolder folder;
    std::string file = folder.write("ten", "0123456789");
    size_t before = OpenDescriptors();
    {
        MemMappedResourceFile mapped = Unmapped();
        mapped.Init(FileSpecification(U(file)), 10);
        EXPECT_EQ(OpenDescriptors(), before + 1);
        MemMappedResourceFile moved(std::move(mapped));
        EXPECT_EQ(mapped.GetAddress(), nullptr);
        EXPECT_NE(moved.GetAddress(), nullptr);
    }
    EXPECT_EQ(OpenDescriptors(), before);
}

} // namespace
