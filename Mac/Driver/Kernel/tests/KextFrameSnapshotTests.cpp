#include "FrameSnapshots.h"

#include <Darwin/Clock.h>
#include <DarwinTesting/LogCapture.h>
#include <DarwinTesting/ManualClock.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr uint64_t kBase = 5'000'000'000;

// Frame readings from a script, times as offsets from kBase; each read first moves the manual
// clock on by `step`, and past the script's end a read sees frame 0 at time 0.
struct ScriptedReader
{
    static uint64_t read(void* context, AbsoluteTime* time)
    {
        auto* self = static_cast<ScriptedReader*>(context);
        self->clock->advance(self->step);
        if (self->next == self->readings.size()) {
            *time = 0;
            return 0;
        }
        const auto [frame, offset] = self->readings[self->next++];
        *time = kBase + offset;
        return frame;
    }

    DarwinTesting::ManualClock* clock;
    std::chrono::nanoseconds step;
    std::vector<std::pair<uint64_t, uint64_t>> readings;
    size_t next = 0;
};

class KextFrameSnapshots : public testing::Test
{
protected:
    bool take(std::vector<std::pair<uint64_t, uint64_t>> readings, std::chrono::nanoseconds step = 1us)
    {
        ScriptedReader reader{&fClock, step, std::move(readings)};
        const bool caught = fSnapshots.Take(&ScriptedReader::read, &reader);
        fReadsLeft = reader.readings.size() - reader.next;
        return caught;
    }
    // One try that catches the start of `frame` at `offset`.
    bool takeBoundary(uint64_t frame, uint64_t offset)
    {
        return take({{frame - 1, offset - 100}, {frame, offset}});
    }
    size_t count(const std::string& line) const
    {
        const auto lines = fLog.texts(DarwinTesting::LogSource::OSLog);
        return size_t(std::count(lines.begin(), lines.end(), line));
    }
    // The snapshot the predictions follow, seen through them at a period of `period`.
    void expectCurrent(uint64_t frame, uint64_t offset, uint64_t period = 1'000'000)
    {
        EXPECT_EQ(fSnapshots.Period(), period);
        EXPECT_EQ(fSnapshots.FrameToHostTime(frame), kBase + offset);
        EXPECT_EQ(fSnapshots.FrameToHostTime(frame + 20), kBase + offset + 20 * period);
    }

    DarwinTesting::ManualClock fClock;
    DarwinTesting::LogCapture fLog;
    FrameSnapshots fSnapshots;
    size_t fReadsLeft = 0;
};

struct TryCase
{
    const char* name;
    std::vector<std::pair<uint64_t, uint64_t>> readings;
    std::chrono::nanoseconds step;
    // The snapshot taken; readings the tries left unread; "read timestamp skipped a frame" lines.
    std::pair<uint64_t, uint64_t> snapshot;
    size_t left;
    size_t skipped;
};

void PrintTo(const TryCase& c, std::ostream* out)
{
    *out << c.name;
}

class KextFrameSnapshotTries : public KextFrameSnapshots, public testing::WithParamInterface<TryCase>
{};

// A try reads frame i, then polls for 3,000,000 units at most: i + 1 within 10,000 units of the
// reading before it is the snapshot, a later frame ends the try with a log line, a wider gap ends it
// silently, and i again is the new earlier reading.
INSTANTIATE_TEST_SUITE_P(
    Readings, KextFrameSnapshotTries,
    testing::Values(
        TryCase{"TheNextFrameAtOnce", {{100, 0}, {101, 1'000}, {300, 0}}, 1us, {101, 1'000}, 1, 0},
        TryCase{"AGapOf10000Succeeds", {{100, 0}, {101, 10'000}}, 1us, {101, 10'000}, 0, 0},
        TryCase{"AGapOf10001FailsTheTry", {{100, 0}, {101, 10'001}, {200, 0}, {201, 5}}, 1us, {201, 5}, 0, 0},
        TryCase{"ARepeatedFrameUpdatesTheTime",
                {{100, 0}, {100, 5'000}, {100, 9'000}, {101, 19'000}},
                1us,
                {101, 19'000},
                0,
                0},
        TryCase{"ASkippedFrameFailsTheTry", {{100, 0}, {102, 100}, {103, 0}, {104, 5}}, 1us, {104, 5}, 0, 1},
        // Read at 2,999,999 units, still before the deadline: one more reading belongs to the try.
        TryCase{"PollingGoesOnUntilTheDeadline",
                {{100, 0}, {100, 1}, {100, 2}, {300, 0}, {301, 5}},
                2'999'999ns,
                {301, 5},
                0,
                0},
        // Read at 3,000,000 units: the try ends there, and the next one starts with a new frame.
        TryCase{"TheDeadlineEndsATry", {{100, 0}, {100, 1}, {300, 0}, {301, 5}}, 3ms, {301, 5}, 0, 0}),
    [](const testing::TestParamInfo<TryCase>& info) { return std::string(info.param.name); });

TEST_P(KextFrameSnapshotTries, TheSnapshotIsTheBoundaryATryCaught)
{
    const TryCase& c = GetParam();
    ASSERT_TRUE(take(c.readings, c.step));
    fSnapshots.Update();
    expectCurrent(c.snapshot.first, c.snapshot.second);
    EXPECT_EQ(fReadsLeft, c.left);
    EXPECT_EQ(count("read timestamp skipped a frame\n"), c.skipped);
    EXPECT_EQ(count("UpdateFrameTimestamps FAIL\n"), 0u);
}

// Ten failed tries give up with one line and leave nothing to fold in; nine leave the tenth.
TEST_F(KextFrameSnapshots, TenFailedTriesGiveUp)
{
    std::vector<std::pair<uint64_t, uint64_t>> skipping;
    for (int i = 0; i < 9; ++i) {
        skipping.insert(skipping.end(), {{100, 0}, {102, 0}});
    }
    std::vector<std::pair<uint64_t, uint64_t>> lastCatches = skipping;
    lastCatches.insert(lastCatches.end(), {{200, 0}, {201, 7}});
    ASSERT_TRUE(take(lastCatches));
    fSnapshots.Update();
    expectCurrent(201, 7);

    skipping.insert(skipping.end(), {{300, 0}, {302, 0}, {400, 0}, {401, 7}});
    EXPECT_FALSE(take(skipping));
    EXPECT_EQ(fReadsLeft, 2u);
    EXPECT_EQ(count("read timestamp skipped a frame\n"), 19u);
    EXPECT_EQ(count("UpdateFrameTimestamps FAIL\n"), 1u);
    fSnapshots.Update();
    expectCurrent(201, 7);
}

// Three snapshots wait for the bus side, a fourth is dropped, and each update folds in the oldest
// one only.
TEST_F(KextFrameSnapshots, ThreeSnapshotsWaitAndEachUpdateFoldsInOne)
{
    EXPECT_FALSE(fSnapshots.HasCurrent());
    for (uint64_t frame = 101; frame <= 104; ++frame) {
        ASSERT_TRUE(takeBoundary(frame, (frame - 100) * 1'000'000));
    }
    for (uint64_t frame = 101; frame <= 103; ++frame) {
        fSnapshots.Update();
        expectCurrent(frame, (frame - 100) * 1'000'000);
    }
    fSnapshots.Update();
    expectCurrent(103, 3'000'000);
}

// A boundary caught again for the frame of the latest snapshot is not queued.
TEST_F(KextFrameSnapshots, TheLatestFrameAgainIsNotQueued)
{
    ASSERT_TRUE(takeBoundary(101, 1'000'000));
    fSnapshots.Update();
    ASSERT_TRUE(takeBoundary(101, 1'004'000));
    fSnapshots.Update();
    expectCurrent(101, 1'000'000);
    ASSERT_TRUE(takeBoundary(102, 2'000'000));
    fSnapshots.Update();
    expectCurrent(102, 2'000'000);
}

// The period is the mean of the last four samples: one of 1,000,500 units a frame moves it from
// 1,000,000 to 1,000,125, and four of them to 1,000,500.
TEST_F(KextFrameSnapshots, ThePeriodIsTheMeanOfTheLastFourSamples)
{
    ASSERT_TRUE(takeBoundary(100, 0));
    fSnapshots.Update();
    ASSERT_TRUE(takeBoundary(110, 10'005'000));
    fSnapshots.Update();
    expectCurrent(110, 10'005'000, 1'000'125);
    for (uint64_t frame = 111; frame <= 113; ++frame) {
        ASSERT_TRUE(takeBoundary(frame, 10'005'000 + (frame - 110) * 1'000'500));
        fSnapshots.Update();
    }
    expectCurrent(113, 10'005'000 + 3 * 1'000'500, 1'000'500);
}

} // namespace
