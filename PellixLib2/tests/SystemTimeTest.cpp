// The library's clock and its conversions, and the debug log target.

#include "Basics/SystemTime.h"
#include "Basics/DebugLog.h"
#include "Basics/DebugLogStream.h"
#include "Basics/SystemTimebase.h"

#include <DarwinTesting/ManualClock.h>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

// Runs first in the binary, before any test moves the target.
TEST(SystemTime, TheDebugFileIsOpenFromTheStart)
{
    struct stat file;
    ASSERT_EQ(stat("/tmp/pellixlog", &file), 0);
    FILE* stream = Pellix::GetDebugLogStream();
    ASSERT_NE(stream, nullptr);
    struct stat open;
    ASSERT_EQ(fstat(fileno(stream), &open), 0);
    EXPECT_EQ(open.st_ino, file.st_ino);
}

TEST(SystemTime, ADebugTargetIsOpenedForAppending)
{
    FILE* before = Pellix::GetDebugLogStream();
    SetDebugLogTarget(nullptr);
    EXPECT_EQ(Pellix::GetDebugLogStream(), before);

    std::filesystem::path folder = testing::TempDir();
    std::filesystem::path path = folder / "pellix-debug-target.log";
    std::ofstream(path) << "kept\n";
    SetDebugLogTarget(path.c_str());
    FILE* stream = Pellix::GetDebugLogStream();
    ASSERT_NE(stream, nullptr);
    std::fputs("appended\n", stream);
    std::fflush(stream);
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    EXPECT_EQ(text.str(), "kept\nappended\n");

    SetDebugLogTarget((folder / "no-such-folder" / "log").c_str());
    EXPECT_EQ(Pellix::GetDebugLogStream(), nullptr);
    std::filesystem::remove(path);
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
