#include <DarwinTesting/ManualWait.h>

#include <Darwin/Clock.h>
#include <DarwinTesting/ManualClock.h>

#include <atomic>
#include <thread>

namespace DarwinTesting {

ManualWaitOutcome observeManualWait(const std::function<int(std::chrono::nanoseconds)>& wait,
                                    std::chrono::nanoseconds timeout)
{
    ManualClock clock;
    ManualWaitOutcome outcome{};
    outcome.fDeadline = DarwinClock::addSaturating(DarwinClock::hostNow(), uint64_t(timeout.count()));
    std::atomic<bool> ended{false};
    std::thread waiter([&] {
        // Serves the clock until the outcome is recorded, so the advance waits for that too.
        DarwinClock::ServiceScope scope("observed wait");
        outcome.fResult = wait(timeout);
        outcome.fEndedAt = DarwinClock::hostNow();
        ended = true;
    });
    while (clock.nextDeadline() != outcome.fDeadline) {
        std::this_thread::yield();
    }
    clock.advance(timeout - std::chrono::microseconds(1));
    outcome.fEndedBeforeDeadline = ended;
    clock.advance(std::chrono::microseconds(1));
    outcome.fEndedAtDeadline = ended;
    waiter.join();
    return outcome;
}

} // namespace DarwinTesting
