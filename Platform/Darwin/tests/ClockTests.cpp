#include <Darwin/Clock.h>
#include <DarwinTesting/Eventually.h>
#include <DarwinTesting/ManualClock.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cfloat>
#include <cmath>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using DarwinClock::hostNow;
using DarwinClock::kNever;
using DarwinTesting::eventually;

namespace {

constexpr uint64_t kSecond = 1000000000ull;

// A thread blocked in a clock wait until `deadline`, recording the host time at which it returned.
class Waiter
{
public:
    explicit Waiter(uint64_t deadline)
        : fThread([this, deadline] {
              std::unique_lock lock(fMutex);
              fRegistered = true;
              while (!DarwinClock::waitUntil(lock, fCondition, deadline, "test waiter")) {
              }
              fReturnedAt = hostNow();
          })
    {}
    ~Waiter() { fThread.join(); }

    // Whether the waiter came to block in its wait: it holds the mutex from before it sets the
    // flag until the wait releases it.
    [[nodiscard]] bool waitUntilBlocked()
    {
        return eventually([this] {
            std::lock_guard lock(fMutex);
            return fRegistered;
        });
    }
    bool returned() const { return fReturnedAt.load() != 0; }
    uint64_t returnedAt() const { return fReturnedAt.load(); }

private:
    std::mutex fMutex;
    std::condition_variable fCondition;
    bool fRegistered = false;
    std::atomic<uint64_t> fReturnedAt{0};
    std::thread fThread;
};

} // namespace

TEST(ManualClock, ReadingsFreezeAndMoveTogether)
{
    DarwinTesting::ManualClock clock;
    uint64_t host = hostNow();
    double absolute = DarwinClock::absoluteNow();
    std::this_thread::sleep_for(2ms);
    EXPECT_EQ(hostNow(), host);
    EXPECT_EQ(DarwinClock::absoluteNow(), absolute);

    clock.advance(1500ms);
    EXPECT_EQ(hostNow(), host + 1500 * 1000000ull);
    EXPECT_NEAR(DarwinClock::absoluteNow() - absolute, 1.5, 1e-6);
}

TEST(ManualClock, ReadingsNeverDecreaseAcrossModes)
{
    uint64_t previousHost = hostNow();
    double previousAbsolute = DarwinClock::absoluteNow();
    auto check = [&] {
        uint64_t host = hostNow();
        double absolute = DarwinClock::absoluteNow();
        EXPECT_GE(host, previousHost);
        EXPECT_GE(absolute, previousAbsolute);
        previousHost = host;
        previousAbsolute = absolute;
    };
    {
        DarwinTesting::ManualClock clock;
        check();
        clock.advance(10s);
        check();
    }
    check();
    {
        DarwinTesting::ManualClock clock;
        check();
        clock.advance(1s);
        check();
    }
    check();
}

TEST(ManualClock, AdvanceWakesWaitsInDeadlineOrderAtTheirDeadlines)
{
    DarwinTesting::ManualClock clock;
    uint64_t start = hostNow();
    std::vector<uint64_t> offsets{3 * kSecond, 1 * kSecond, 2 * kSecond};
    std::vector<std::unique_ptr<Waiter>> waiters;
    for (uint64_t offset : offsets) {
        waiters.push_back(std::make_unique<Waiter>(start + offset));
    }
    for (auto& waiter : waiters) {
        ASSERT_TRUE(waiter->waitUntilBlocked());
    }

    clock.advance(2500ms);
    EXPECT_TRUE(waiters[1]->returned());
    EXPECT_TRUE(waiters[2]->returned());
    EXPECT_FALSE(waiters[0]->returned());
    clock.advance(500ms);
    for (size_t i = 0; i < offsets.size(); ++i) {
        EXPECT_EQ(waiters[i]->returnedAt(), start + offsets[i]) << "waiter " << i;
    }
    EXPECT_EQ(hostNow(), start + 3 * kSecond);
}

TEST(ManualClock, AlarmsRunInDeadlineOrderAndCancelledOnesNever)
{
    DarwinTesting::ManualClock clock;
    uint64_t start = hostNow();
    std::vector<std::pair<int, uint64_t>> ran;
    DarwinClock::scheduleAlarm(
        start + 2 * kSecond, [&] { ran.emplace_back(2, hostNow()); }, "two");
    DarwinClock::scheduleAlarm(
        start + 1 * kSecond, [&] { ran.emplace_back(1, hostNow()); }, "one");
    auto cancelled = DarwinClock::scheduleAlarm(
        start + 1500 * 1000000ull, [&] { ran.emplace_back(-1, 0); }, "cancelled");
    EXPECT_TRUE(DarwinClock::cancelAlarm(cancelled));
    EXPECT_FALSE(DarwinClock::cancelAlarm(cancelled));

    clock.advance(999ms);
    EXPECT_TRUE(ran.empty());
    clock.advance(5s);
    ASSERT_EQ(ran.size(), 2u);
    EXPECT_EQ(ran[0], std::make_pair(1, start + 1 * kSecond));
    EXPECT_EQ(ran[1], std::make_pair(2, start + 2 * kSecond));
}

TEST(ManualClock, AdvanceWaitsForActivitiesHandedOn)
{
    DarwinTesting::ManualClock clock;
    std::atomic<bool> performed{false};
    std::mutex mutex;
    std::condition_variable queued;
    std::optional<DarwinClock::Activity> handedOn;
    std::thread worker([&] {
        std::unique_lock lock(mutex);
        queued.wait(lock, [&] { return handedOn.has_value(); });
        lock.unlock();
        std::this_thread::sleep_for(20ms);
        performed = true;
        lock.lock();
        handedOn.reset();
    });
    DarwinClock::scheduleAlarm(
        hostNow() + kSecond,
        [&] {
            std::lock_guard lock(mutex);
            handedOn.emplace("worker", worker.get_id());
            queued.notify_all();
        },
        "hand on");

    clock.advance(1s);
    EXPECT_TRUE(performed);
    worker.join();
}

// A run loop keeps its own deadline registered while a callout blocks in a wait of its own: when
// that deadline falls due the loop cannot serve it, and the advance goes on without it.
TEST(ManualClock, ALoopBlockedInACalloutsWaitIsNotAwaitedAtItsOwnDeadline)
{
    DarwinTesting::ManualClock clock;
    const uint64_t start = hostNow();
    std::mutex mutex;
    std::condition_variable released;
    bool blocked = false;
    bool release = false;
    std::thread loop([&] {
        DarwinClock::ServiceScope pass("test loop");
        DarwinClock::WaitRegistration ownDeadline(
            start + kSecond, "test loop", +[](void*) {}, nullptr);
        std::unique_lock lock(mutex);
        blocked = true;
        while (!release) {
            DarwinClock::waitUntil(lock, released, kNever, "test callout");
        }
    });
    ASSERT_TRUE(eventually([&] {
        std::lock_guard lock(mutex);
        return blocked;
    }));

    clock.advance(2s);
    EXPECT_EQ(hostNow(), start + 2 * kSecond);
    {
        std::lock_guard lock(mutex);
        release = true;
    }
    released.notify_all();
    loop.join();
}

// A loop registers its deadline again before it sleeps. When the advance wakes it between its last
// look at the clock and that registration, the new registration is already due: the loop does not
// sleep but goes on serving, and the advance waits for it.
TEST(ManualClock, AWaitRegisteredAfterItsDeadlineCameIsServedBeforeTheAdvanceReturns)
{
    DarwinTesting::ManualClock clock;
    const uint64_t deadline = hostNow() + kSecond;
    struct Handshake
    {
        std::atomic<bool> fWoken{false};
        std::atomic<bool> fRegisteredAgain{false};
    } handshake;
    std::atomic<bool> served{false};
    std::thread loop([&] {
        DarwinClock::ServiceScope pass("test loop");
        std::optional<DarwinClock::WaitRegistration> sleep;
        sleep.emplace(
            deadline, "test loop",
            +[](void* context) {
                auto* handshake = static_cast<Handshake*>(context);
                handshake->fWoken = true;
                EXPECT_TRUE(eventually([handshake] { return handshake->fRegisteredAgain.load(); }));
            },
            &handshake);
        EXPECT_TRUE(eventually([&] { return handshake.fWoken.load(); }));
        {
            DarwinClock::WaitRegistration again(
                deadline, "test loop", +[](void*) {}, nullptr);
        }
        handshake.fRegisteredAgain = true;
        sleep.reset();
        std::this_thread::sleep_for(50ms);
        served = true;
    });
    ASSERT_TRUE(eventually([&] { return clock.nextDeadline() == deadline; }));

    clock.advance(1s);
    EXPECT_TRUE(served);
    loop.join();
}

TEST(ManualClock, DatesBecomeDeadlinesToTheMicrosecond)
{
    DarwinTesting::ManualClock clock;
    uint64_t now = hostNow();
    EXPECT_EQ(DarwinClock::deadlineForDate(DarwinClock::absoluteNow() + 0.75), now + 750000000ull);
    EXPECT_EQ(DarwinClock::deadlineForDate(DarwinClock::absoluteNow() + DBL_MAX), kNever);
    EXPECT_EQ(DarwinClock::deadlineForDate(DBL_MAX), kNever);
    EXPECT_EQ(DarwinClock::deadlineAfterSeconds(std::nan("")), kNever);
    EXPECT_LE(DarwinClock::deadlineForDate(0.0), now);
    EXPECT_EQ(DarwinClock::deadlineForDate(-DBL_MAX), 0u);
    EXPECT_EQ(DarwinClock::addSaturating(kNever - 5, 10), kNever);
}

TEST(ManualClock, WaitOnTheManualClockEndsOnlyOnceAdvancePassesItsDeadline)
{
    DarwinTesting::ManualClock clock;
    uint64_t deadline = hostNow() + 2 * kSecond;
    Waiter waiter(deadline);
    ASSERT_TRUE(waiter.waitUntilBlocked());
    // An advance waits for what it woke to return, so a wait it ended early shows at once.
    clock.advance(1999ms);
    EXPECT_FALSE(waiter.returned());
    EXPECT_EQ(clock.nextDeadline(), deadline);
    clock.advance(1ms);
    EXPECT_TRUE(waiter.returned());
    EXPECT_EQ(waiter.returnedAt(), deadline);
}

TEST(RealClock, WaitEndsNeverBeforeItsDeadline)
{
    uint64_t deadline = hostNow() + 30 * 1000000ull;
    Waiter waiter(deadline);
    // The destructor joins once the wait has returned.
    ASSERT_TRUE(eventually([&] { return waiter.returned(); }));
    EXPECT_GE(waiter.returnedAt(), deadline);
}

TEST(RealClock, AlarmRunsOnTheRealClock)
{
    std::atomic<uint64_t> ranAt{0};
    uint64_t deadline = hostNow() + 20 * 1000000ull;
    DarwinClock::scheduleAlarm(
        deadline, [&] { ranAt = hostNow(); }, "real alarm");
    ASSERT_TRUE(eventually([&] { return ranAt.load() != 0; }));
    EXPECT_GE(ranAt.load(), deadline);
}

// A periodic job re-arms itself from its own alarm.
void scheduleChain(uint64_t first, std::vector<uint64_t>& ranAt, std::atomic<int>& ran)
{
    DarwinClock::scheduleAlarm(
        first,
        [&ranAt, &ran, first] {
            ranAt[0] = hostNow();
            DarwinClock::scheduleAlarm(
                first + 1000000ull,
                [&ranAt, &ran] {
                    ranAt[1] = hostNow();
                    ran = 2;
                },
                "second alarm");
            ran = 1;
        },
        "first alarm");
}

TEST(RealClock, AnAlarmSchedulesTheNextFromItsCallback)
{
    std::vector<uint64_t> ranAt(2);
    std::atomic<int> ran{0};
    const uint64_t first = hostNow() + 5 * 1000000ull;
    scheduleChain(first, ranAt, ran);
    ASSERT_TRUE(eventually([&] { return ran.load() == 2; }));
    EXPECT_GE(ranAt[0], first);
    EXPECT_GE(ranAt[1], first + 1000000ull);
}

TEST(ManualClock, AnAlarmSchedulesTheNextFromItsCallback)
{
    DarwinTesting::ManualClock clock;
    std::vector<uint64_t> ranAt(2);
    std::atomic<int> ran{0};
    const uint64_t first = hostNow() + 5 * 1000000ull;
    scheduleChain(first, ranAt, ran);
    clock.advance(1s);
    EXPECT_EQ(ran.load(), 2);
    EXPECT_EQ(ranAt, (std::vector<uint64_t>{first, first + 1000000ull}));
}

TEST(ManualClockDeathTest, LeavingManualTimeWithAPendingDeadlineIsReported)
{
    EXPECT_DEATH(
        {
            auto* clock = new DarwinTesting::ManualClock;
            std::thread([] {
                std::mutex mutex;
                std::condition_variable cv;
                std::unique_lock lock(mutex);
                DarwinClock::waitUntil(lock, cv, hostNow() + kSecond, "pending sleeper");
            }).detach();
            // Should the sleeper never register, the clock goes without dying and the test fails.
            (void)eventually([clock] { return clock->nextDeadline() != kNever; });
            delete clock;
        },
        "pending sleeper");
}

TEST(ManualClock, AnAlarmAtNeverDoesNotHoldManualTime)
{
    auto clock = std::make_unique<DarwinTesting::ManualClock>();
    DarwinClock::AlarmId never = DarwinClock::scheduleAlarm(
        kNever, [] {}, "never");
    clock.reset();
    EXPECT_TRUE(DarwinClock::cancelAlarm(never));
}

TEST(ManualClock, AnAlarmAlreadyDueRunsWithoutAnAdvance)
{
    DarwinTesting::ManualClock clock;
    std::atomic<uint64_t> ranAt{0};
    uint64_t now = hostNow();
    DarwinClock::scheduleAlarm(
        now, [&] { ranAt = hostNow(); }, "due now");
    ASSERT_TRUE(eventually([&] { return ranAt.load() != 0; }));
    EXPECT_EQ(ranAt.load(), now);
}
