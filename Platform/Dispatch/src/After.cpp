// Dispatch time and blocks queued when the clock reaches a deadline.

#include "Queue.h"
#include "Work.h"

#include <Darwin/Clock.h>
#include <dispatch/dispatch.h>

using Dispatch::Work;

namespace {

// The clock's alarm hands the work to its queue with an activity, so that a manual-clock advance
// waits until the queue has run it. The alarm holds a reference to the queue until then.
void queueAtDeadline(dispatch_time_t when, dispatch_queue_t queue, Work* work)
{
    if (when == DISPATCH_TIME_FOREVER) {
        delete work;
        return;
    }
    // The manual clock runs alarms only while a test advances it; a time it has reached is due now.
    if (DarwinClock::isManual() && when <= DarwinClock::hostNow()) {
        queue->push(work);
        return;
    }
    queue->retain();
    DarwinClock::scheduleAlarm(
        when,
        [queue, work] {
            work->activity = DarwinClock::Activity(queue->label(), queue->performer());
            queue->push(work);
            queue->release();
        },
        queue->label());
}

} // namespace

dispatch_time_t dispatch_time(dispatch_time_t when, int64_t delta)
{
    if (when == DISPATCH_TIME_FOREVER) {
        return DISPATCH_TIME_FOREVER;
    }
    const uint64_t base = when == DISPATCH_TIME_NOW ? DarwinClock::hostNow() : when;
    if (delta >= 0) {
        return DarwinClock::addSaturating(base, static_cast<uint64_t>(delta));
    }
    const uint64_t back = 0 - static_cast<uint64_t>(delta);
    // A time before the clock's start stays a past time; 0 would read as DISPATCH_TIME_NOW.
    return base > back ? base - back : 1;
}

void dispatch_after(dispatch_time_t when, dispatch_queue_t queue, dispatch_block_t block)
{
    Dispatch::requireQueue(queue, "dispatch_after");
    queueAtDeadline(when, queue, new Work(std::move(block)));
}

void dispatch_after_f(dispatch_time_t when, dispatch_queue_t queue, void* context, dispatch_function_t work)
{
    Dispatch::requireQueue(queue, "dispatch_after_f");
    queueAtDeadline(when, queue, new Work(context, work));
}
