#include <AutoCFRef.h>
#include <DoOnExit.h>
#include <FileData.h>
#include <IOCFComPtr.h>
#include <ScopedObjc.h>
#include <StrongOrWeak.h>

#include <CoreFoundation/CFNumber.h>
#include <CoreFoundation/CFPlugInCOM.h>
#include <CoreFoundation/CFRunLoop.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

struct FileCase
{
    const char* fName;
    std::optional<std::string> fContents; // no file at all when empty
    bool fDirectory;
    int fConsumedFirst;
    std::optional<std::string> fExpected; // BadFileException when empty
};

class FileData : public testing::TestWithParam<FileCase>
{
protected:
    void SetUp() override
    {
        fFolder = std::filesystem::path(testing::TempDir()) / ("vork-file-data-" + std::to_string(getpid()));
        std::filesystem::create_directories(fFolder);
    }

    void TearDown() override { std::filesystem::remove_all(fFolder); }

    std::filesystem::path fFolder;
};

TEST_P(FileData, Reads)
{
    const FileCase& test = GetParam();
    std::string path = (fFolder / "firmware.bin").string();
    if (test.fDirectory) {
        std::filesystem::create_directory(path);
    } else if (test.fContents) {
        std::ofstream(path, std::ios::binary) << *test.fContents;
    }

    if (!test.fExpected) {
        try {
            vork::FileData file(path);
            FAIL() << "opened " << path;
        } catch (const vork::FileData::BadFileException& error) {
            EXPECT_EQ(error.message, "Bad file: " + path);
            EXPECT_STREQ(error.what(), error.message.c_str());
        }
        return;
    }
    vork::FileData file(path);
    for (int i = 0; i < test.fConsumedFirst; ++i) {
        file.stream().get();
    }
    std::vector<uint8_t> bytes = file.readEntirety();
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), *test.fExpected);
}

INSTANTIATE_TEST_SUITE_P(Files, FileData,
                         testing::Values(FileCase{"Missing", std::nullopt, false, 0, std::nullopt},
                                         FileCase{"Directory", std::nullopt, true, 0, std::nullopt},
                                         FileCase{"Empty", "", false, 0, ""},
                                         FileCase{"Whole", std::string("\x00\xff image", 8), false, 0,
                                                  std::string("\x00\xff image", 8)},
                                         FileCase{"RestAfterConsumedPart", "abcdef", false, 2, "cdef"}),
                         [](const testing::TestParamInfo<FileCase>& info) { return info.param.fName; });

CFNumberRef makeNumber()
{
    int value = 42;
    return CFNumberCreate(nullptr, kCFNumberIntType, &value);
}

// The holder keeps the only reference, and the source's context tells when the source is freed.
TEST(Holders, AutoCFRefResetToHeldObjectKeepsItAlive)
{
    bool freed = false;
    CFRunLoopSourceContext context{};
    context.info = &freed;
    context.release = [](const void* info) { *static_cast<bool*>(const_cast<void*>(info)) = true; };
    auto_cfref<CFRunLoopSourceRef> holder(CFRunLoopSourceCreate(nullptr, 0, &context));
    const CFRunLoopSourceRef source = holder.get();
    holder.reset(source, auto_cfref<CFRunLoopSourceRef>::Retain());
    EXPECT_FALSE(freed);
    EXPECT_EQ(holder.get(), source);
    EXPECT_EQ(CFGetRetainCount(source), 1);
    holder.reset();
    EXPECT_TRUE(freed);
}

TEST(Holders, AutoCFRefRetainFormKeepsCallersReference)
{
    CFNumberRef number = makeNumber();
    {
        auto_cfref<CFNumberRef> holder(number, auto_cfref<CFNumberRef>::Retain());
        EXPECT_EQ(CFGetRetainCount(number), 2);
        auto_cfref<CFNumberRef> moved(std::move(holder));
        EXPECT_FALSE(holder);
        EXPECT_EQ(CFGetRetainCount(number), 2);
    }
    EXPECT_EQ(CFGetRetainCount(number), 1);
    CFRelease(number);
}

// A plug-in interface in the IOKit style, counting the calls of its Release entry.
struct ProbeInterface
{
    IUNKNOWN_C_GUTS;
};

struct ProbeObject
{
    ProbeInterface* fTable;
    int fReleases = 0;
};

ULONG releaseProbe(void* thisPointer)
{
    return static_cast<ULONG>(++static_cast<ProbeObject*>(thisPointer)->fReleases);
}

ProbeInterface gProbeTable{nullptr, nullptr, nullptr, releaseProbe};

TEST(Holders, IOCFComPtrReleasesOnceThroughTable)
{
    ProbeObject first{&gProbeTable};
    ProbeObject second{&gProbeTable};
    {
        vork::IOCFComPtr<ProbeInterface> pointer(&first.fTable);
        pointer.reset(&second.fTable);
        EXPECT_EQ(first.fReleases, 1);
        EXPECT_EQ(second.fReleases, 0);
        vork::IOCFComPtr<ProbeInterface> moved(std::move(pointer));
        EXPECT_EQ(moved.get(), &second.fTable);
    }
    EXPECT_EQ(first.fReleases, 1);
    EXPECT_EQ(second.fReleases, 1);

    vork::IOCFComPtr<ProbeInterface> empty;
    empty.reset();
    EXPECT_FALSE(empty);
}

// An object with the retain and release of the Cocoa root class.
struct Counted
{
    Counted* retain()
    {
        ++fRetains;
        return this;
    }
    void release() { ++fReleases; }
    int fRetains = 0;
    int fReleases = 0;
};

TEST(Holders, ScopedAndSharedObjcBalanceRetainAndRelease)
{
    Counted object;
    Counted other;
    {
        Cocoa::scoped_objc<Counted> scoped(&object, Cocoa::Retain());
        scoped.reset(&object, Cocoa::Retain());
        Cocoa::shared_objc<Counted> shared(&other, Cocoa::Retain());
        Cocoa::shared_objc<Counted> copy(shared);
        Cocoa::shared_objc<Counted> assigned;
        assigned = copy;
        auto& alias = assigned;
        assigned = alias;
        Cocoa::shared_objc<Counted> moved(std::move(copy));
        EXPECT_EQ(moved.get(), &other);
    }
    EXPECT_EQ(object.fRetains, 2);
    EXPECT_EQ(object.fReleases, 2);
    EXPECT_EQ(other.fRetains, 4);
    EXPECT_EQ(other.fReleases, 4);
}

int gFunctionRuns = 0;

void countRun()
{
    ++gFunctionRuns;
}

TEST(Holders, DoOnExitRunsOnceOnEveryWayOut)
{
    int lambdaRuns = 0;
    gFunctionRuns = 0;
    {
        DoOnExit lambda([&] { ++lambdaRuns; });
        DoOnExit function(countRun);
    }
    EXPECT_EQ(lambdaRuns, 1);
    EXPECT_EQ(gFunctionRuns, 1);

    EXPECT_THROW(
        {
            DoOnExit lambda([&] { ++lambdaRuns; });
            DoOnExit function(&countRun);
            throw std::runtime_error("leaving");
        },
        std::runtime_error);
    EXPECT_EQ(lambdaRuns, 2);
    EXPECT_EQ(gFunctionRuns, 2);
}

TEST(HoldersDeathTest, DoOnExitActionThatThrowsEndsProcess)
{
    EXPECT_DEATH({ DoOnExit failing([] { throw std::runtime_error("clean-up failed"); }); }, "");
}

TEST(Holders, StrongOrWeakLocksToEmptyOnceObjectIsGone)
{
    auto object = std::make_shared<int>(7);
    strong_or_weak<int> strong(object);
    strong_or_weak<int> weak{std::weak_ptr<int>(object)};
    EXPECT_EQ(weak.lock(), object);
    object.reset();
    EXPECT_NE(strong.lock(), nullptr);
    EXPECT_NE(weak.lock(), nullptr);
    strong = std::shared_ptr<int>();
    EXPECT_EQ(weak.lock(), nullptr);
    EXPECT_EQ(strong.lock(), nullptr);
}

} // namespace
