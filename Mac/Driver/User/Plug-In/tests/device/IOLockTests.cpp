#include "IOLock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace {

bool Admits(IOLock& lock)
{
    if (!lock.TryLock()) {
        return false;
    }
    lock.Unlock();
    return true;
}

enum Step
{
    Enable,
    Disable,
    MakeDisabler,
    DropDisabler,
};

TEST(IOLock, AdmitsIOOnlyWhileEnabledAndNoDisablerLives)
{
    const struct
    {
        const char* name;
        std::vector<Step> steps;
        bool admits;
    } cases[] = {
        {"construction", {}, false},
        {"enabled", {Enable}, true},
        {"enabled then disabled", {Enable, Disable}, false},
        {"a disabler alive", {Enable, MakeDisabler}, false},
        {"a disabler gone", {Enable, MakeDisabler, DropDisabler}, true},
        {"a disabler before the enable", {MakeDisabler, Enable}, false},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        IOLock lock;
        std::unique_ptr<IOLock::Disabler> disabler;
        for (Step step : testCase.steps) {
            switch (step) {
            case Enable:
                lock.EnableIO();
                break;
            case Disable:
                lock.DisableIO();
                break;
            case MakeDisabler:
                disabler = std::make_unique<IOLock::Disabler>(lock);
                break;
            case DropDisabler:
                disabler.reset();
                break;
            }
        }
        EXPECT_EQ(Admits(lock), testCase.admits);
        disabler.reset();
    }
}

TEST(IOLock, DisableWaitsForTheCycleInside)
{
    IOLock lock;
    lock.EnableIO();
    ASSERT_TRUE(lock.TryLock());
    std::atomic<bool> disabled{false};
    std::thread configurator([&] {
        lock.DisableIO();
        disabled = true;
    });
    // The disable count rises before DisableIO waits; the cycle still holds the lock.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (Admits(lock)) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline);
        std::this_thread::yield();
    }
    EXPECT_FALSE(disabled);
    lock.Unlock();
    configurator.join();
    EXPECT_TRUE(disabled);
    EXPECT_FALSE(Admits(lock));
}

} // namespace
