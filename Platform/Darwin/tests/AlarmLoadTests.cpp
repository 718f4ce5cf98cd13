#include <Darwin/Clock.h>
#include <DarwinTesting/Eventually.h>
#include <DarwinTesting/ManualClock.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using DarwinClock::hostNow;

namespace {

constexpr int kBatch = 1000;
constexpr uint64_t kStep = 1000;

// A thousand alarms scheduled at once from one alarm's callback, in scrambled order, and a chain of a
// thousand more, each scheduled by its predecessor's callback, half a step after the batch's.
class AlarmLoad
{
public:
    explicit AlarmLoad(uint64_t base) : fBase(base)
    {
        DarwinClock::scheduleAlarm(
            base,
            [this] {
                for (int i = 0; i < kBatch; ++i) {
                    const uint64_t slot = uint64_t(i) * 389 % kBatch + 1;
                    schedule(fBase + slot * kStep);
                }
                chain(1);
            },
            "batch");
    }

    std::vector<uint64_t> ran()
    {
        std::lock_guard lock(fLock);
        return fRan;
    }
    size_t count()
    {
        std::lock_guard lock(fLock);
        return fRan.size();
    }
    static constexpr size_t kTotal = 2 * kBatch;
    uint64_t end() const { return fBase + (kBatch + 1) * kStep; }

private:
    void schedule(uint64_t deadline)
    {
        DarwinClock::scheduleAlarm(
            deadline,
            [this, deadline] {
                std::lock_guard lock(fLock);
                fRan.push_back(deadline);
            },
            "batch member");
    }

    void chain(int link)
    {
        const uint64_t deadline = fBase + uint64_t(link) * kStep + kStep / 2;
        DarwinClock::scheduleAlarm(
            deadline,
            [this, link, deadline] {
                {
                    std::lock_guard lock(fLock);
                    fRan.push_back(deadline);
                }
                if (link < kBatch) {
                    chain(link + 1);
                }
            },
            "chain link");
    }

    uint64_t fBase;
    std::mutex fLock;
    std::vector<uint64_t> fRan;
};

void expectDeadlineOrder(const std::vector<uint64_t>& ran)
{
    ASSERT_EQ(ran.size(), AlarmLoad::kTotal);
    EXPECT_TRUE(std::is_sorted(ran.begin(), ran.end()));
    EXPECT_EQ(std::adjacent_find(ran.begin(), ran.end()), ran.end()) << "each alarm runs once";
}

TEST(ManualClockAlarms, ThousandsScheduledFromCallbacksRunInDeadlineOrder)
{
    DarwinTesting::ManualClock clock;
    AlarmLoad load(hostNow() + 1'000'000);
    clock.advanceTo(load.end());
    expectDeadlineOrder(load.ran());
}

TEST(RealClockAlarms, ThousandsScheduledFromCallbacksRunInDeadlineOrder)
{
    AlarmLoad load(hostNow() + 1'000'000);
    ASSERT_TRUE(DarwinTesting::eventually([&] { return load.count() == AlarmLoad::kTotal; }));
    expectDeadlineOrder(load.ran());
}

TEST(ManualClockAlarms, StressScheduledAndCancelledDuringAnAdvance)
{
    constexpr int kAlarms = 3000;
    DarwinTesting::ManualClock clock;
    const uint64_t start = hostNow();
    const uint64_t end = start + 200'000'000;
    auto runs = std::make_unique<std::atomic<int>[]>(kAlarms);
    std::vector<char> cancelled(kAlarms);
    std::atomic<bool> scheduled{false};
    std::thread scheduler([&] {
        // Once the advance is under way.
        while (hostNow() == start) {
            std::this_thread::yield();
        }
        for (int i = 0; i < kAlarms; ++i) {
            const uint64_t deadline = hostNow() + uint64_t(i) * 37 % 1000 * 50'000;
            const DarwinClock::AlarmId id = DarwinClock::scheduleAlarm(
                deadline, [&runs, i] { ++runs[size_t(i)]; }, "stress alarm");
            if (i % 3 == 0) {
                cancelled[size_t(i)] = DarwinClock::cancelAlarm(id);
            }
        }
        scheduled = true;
    });
    // Alarms come due, and run on this thread, while the others are scheduled and cancelled.
    while (!scheduled.load() && hostNow() + 50'000'000 < end) {
        clock.advance(20us);
    }
    scheduler.join();
    clock.advanceTo(end);

    for (int i = 0; i < kAlarms; ++i) {
        EXPECT_EQ(runs[size_t(i)].load(), cancelled[size_t(i)] ? 0 : 1) << "alarm " << i;
    }
}

} // namespace
