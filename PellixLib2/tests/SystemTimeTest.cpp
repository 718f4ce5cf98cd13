// The library's clock and its conversions, and the debug log target.

#include "Basics/SystemTime.h"
#include "Basics/DebugLog.h"
#include "Basics/DebugLogStream.h"
#include "Basics/SystemTimebase.h"

#include <DarwinTesting/ManualClock.h>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

std::string ReadFile(const std::filesystem::path& path)
{
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

// Puts the debug target back on the file it was on, so that each test leaves the library's target
// as it found it.
class DebugTarget : public testing::Test
{
protected:
    void SetUp() override
    {
        if (FILE* stream = Pellix::GetDebugLogStream()) {
            fKept = dup(fileno(stream));
        }
    }

    void TearDown() override
    {
        // Opening the kept descriptor's entry opens the same file, even one removed meanwhile.
        std::string target = fKept >= 0 ? "/proc/self/fd/" + std::to_string(fKept)
                                        : (fFolder / "no-such-folder" / "log").string();
        SetDebugLogTarget(target.c_str());
        if (fKept >= 0) {
            close(fKept);
        }
        for (FILE* stream : fOpened) {
            std::fclose(stream);
        }
    }

    // Makes `path` the target and returns its stream, which the test closes once it is replaced.
    FILE* Target(const std::filesystem::path& path)
    {
        SetDebugLogTarget(path.c_str());
        FILE* stream = Pellix::GetDebugLogStream();
        if (stream) {
            fOpened.push_back(stream);
        }
        return stream;
    }

    // A file of this process in the temporary folder.
    std::filesystem::path TempFile(const std::string& name) const
    {
        return fFolder / (name + "-" + std::to_string(getpid()) + ".log");
    }

    const std::filesystem::path fFolder = testing::TempDir();

private:
    // The target's file, open until the test has put it back.
    int fKept = -1;
    std::vector<FILE*> fOpened;
};

TEST_F(DebugTarget, TheDebugFileIsOpenFromTheStart)
{
    struct stat file;
    ASSERT_EQ(stat("/tmp/pellixlog", &file), 0);
    FILE* stream = Pellix::GetDebugLogStream();
    ASSERT_NE(stream, nullptr);
    struct stat open;
    ASSERT_EQ(fstat(fileno(stream), &open), 0);
    EXPECT_EQ(open.st_ino, file.st_ino);
}

TEST_F(DebugTarget, ADebugTargetIsOpenedForAppending)
{
    FILE* before = Pellix::GetDebugLogStream();
    SetDebugLogTarget(nullptr);
    EXPECT_EQ(Pellix::GetDebugLogStream(), before);

    std::filesystem::path path = TempFile("pellix-debug-target");
    std::ofstream(path) << "kept\n";
    FILE* stream = Target(path);
    ASSERT_NE(stream, nullptr);
    std::fputs("appended\n", stream);
    std::fflush(stream);
    EXPECT_EQ(ReadFile(path), "kept\nappended\n");

    EXPECT_EQ(Target(fFolder / "no-such-folder" / "log"), nullptr);
    std::filesystem::remove(path);
}

TEST_F(DebugTarget, TheReplacedStreamStaysOpen)
{
    std::filesystem::path first = TempFile("pellix-debug-first");
    std::filesystem::path second = TempFile("pellix-debug-second");
    std::filesystem::remove(first);
    FILE* replaced = Target(first);
    ASSERT_NE(replaced, nullptr);
    int descriptor = fileno(replaced);

    ASSERT_NE(Target(second), nullptr);

    // Whoever was handed the first stream still writes to the first file through it.
    struct stat open;
    ASSERT_EQ(fstat(descriptor, &open), 0);
    struct stat file;
    ASSERT_EQ(stat(first.c_str(), &file), 0);
    EXPECT_EQ(open.st_ino, file.st_ino);
    EXPECT_GE(std::fputs("still here\n", replaced), 0);
    EXPECT_EQ(std::fflush(replaced), 0);
    EXPECT_EQ(ReadFile(first), "still here\n");
    std::filesystem::remove(first);
    std::filesystem::remove(second);
}

TEST(SystemTime, TheAutoNewLineFlagIsOnAtStartAndFollowsItsSetter)
{
    EXPECT_TRUE(GetAutoNewLine());
    SetAutoNewLine(false);
    EXPECT_FALSE(GetAutoNewLine());
    SetAutoNewLine(true);
    EXPECT_TRUE(GetAutoNewLine());
    EnableDebugTimestamps(true);
}

TEST(SystemTime, FollowsTheManualClock)
{
    DarwinTesting::ManualClock clock;
    unsigned long long start = Pellix::GetSystemTime();
    EXPECT_EQ(Pellix::GetSystemTime(), start);
    clock.advance(16ms);
    EXPECT_EQ(Pellix::GetSystemTime() - start, 16000000u);
}

TEST(SystemTime, NeverGoesBackwardsAcrossThreads)
{
    std::atomic<unsigned long long> latest{0};
    std::atomic<int> backwards{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                unsigned long long seen = latest.load();
                unsigned long long now = Pellix::GetSystemTime();
                if (now < seen) {
                    ++backwards;
                }
                while (seen < now && !latest.compare_exchange_weak(seen, now)) {
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(backwards.load(), 0);
}

TEST(SystemTime, ConversionsUseTheHostTimebase)
{
    EXPECT_EQ(Pellix::NanosecondsToSystemTime(16000000), 16000000u);
    EXPECT_EQ(Pellix::SystemTimeToNanoseconds(16000000), 16000000u);
    EXPECT_EQ(Pellix::GetSystemTicksPerSecond(), 1e9);
}

TEST(SystemTime, ConversionsFollowAnyTimebase)
{
    // Ticks of 125/3 ns, at 24 MHz.
    Pellix::SystemTimebase timebase{125, 3};
    EXPECT_EQ(Pellix::TicksToNanoseconds(24000000, timebase), 1000000000u);
    EXPECT_EQ(Pellix::NanosecondsToTicks(1000000000, timebase), 24000000u);
    EXPECT_EQ(Pellix::TicksPerSecond(timebase), 24e6);
    EXPECT_EQ(Pellix::TicksToNanoseconds(std::numeric_limits<unsigned long long>::max(), timebase),
              std::numeric_limits<unsigned long long>::max());
}

} // namespace
