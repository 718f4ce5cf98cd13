// Which log lines a run counts as faults: the time-out of a start only where the run expects it, and
// never a missed look at the frame clock, which it counts apart.

#include <LogScan.h>

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

constexpr const char* kTimeOut = "TIMEOUT STARTING OUTPUT";

struct ScanCase
{
    const char* name;
    std::vector<std::string> lines;
    bool dropsExpected;
    std::vector<std::string> expected;
    std::vector<std::string> unexpected;
    size_t missedSnapshots = 0;
};

void PrintTo(const ScanCase& c, std::ostream* out)
{
    *out << c.name;
}

class LogScan : public testing::TestWithParam<ScanCase>
{};

TEST_P(LogScan, FlagsTheFaultLinesTheRunDoesNotExpect)
{
    const ScanCase& c = GetParam();
    const Demo::LogScanResult result = Demo::ScanLog(c.lines, c.dropsExpected, c.expected);
    EXPECT_EQ(result.unexpected, c.unexpected);
    EXPECT_EQ(result.missedSnapshots, c.missedSnapshots);
}

const ScanCase kCases[] = {
    {"TimeOutUnlessExpected", {"StartAudio begin", kTimeOut}, false, {}, {kTimeOut}},
    {"TimeOutExpected", {"StartAudio begin", kTimeOut}, false, {kTimeOut}, {}},
    {"OtherFaultsStayWhenTheTimeOutIsExpected",
     {kTimeOut, "!! Isoc stalled!", "USB IN ERR 3"},
     false,
     {kTimeOut},
     {"!! Isoc stalled!", "USB IN ERR 3"}},
    {"InputErrorsExplainedByDrops", {"USB IN ERR 3", kTimeOut}, true, {kTimeOut}, {}},
    {"MissedSnapshotsOfBothDriversCountedApart",
     {"DoGetFrameSnapshot FAIL (FrameClock.cpp:84)", "UpdateFrameTimestamps FAIL", "!! Isoc stalled!"},
     false,
     {},
     {"!! Isoc stalled!"},
     2},
};

INSTANTIATE_TEST_SUITE_P(Lines, LogScan, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<ScanCase>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
