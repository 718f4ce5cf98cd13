#pragma once

// Lets any thread hand work to the thread that owns a CFRunLoop, and lets that thread run one-shot
// and periodic timed work. The dispatcher binds to the run loop of the thread that constructs it.
// Other threads post messages into its lock-free queue and signal its source; the owner drains the
// queue from a wake timer 100 microseconds after the first signal, at most max(10, waiting)
// messages per pass, and hands each to the executor. Posts come in three strengths: blocking
// (waits while the queue is full), non-blocking (fails instead) and synchronous (returns after the
// message has run). The posting path takes no lock.
//
// Once stopped, the dispatcher takes nothing more: posts of every kind return at once, and
// posters waiting for room or for a synchronous message that has not started are released.

#include <AutoCFRef.h>
#include <CountingSemaphore.h>
#include <LocklessQueue.h>

#include <CoreFoundation/CFDate.h>
#include <CoreFoundation/CFRunLoop.h>

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <variant>
#include <vector>

namespace vork {

template <typename Msg, std::size_t N>
class RunLoopDispatcher
{
public:
    struct Timer
    {
        Msg fMessage;
        std::chrono::milliseconds fInterval;
        bool fPeriodic;
    };

    // Must run on the thread whose run loop the dispatcher serves.
    explicit RunLoopDispatcher(std::function<void(const Msg&)> executor)
        : fRunLoop(CFRunLoopGetCurrent(), typename auto_cfref<CFRunLoopRef>::Retain()),
          fExecutor(std::move(executor)), fQueue(std::make_unique<Queue>())
    {
        CFRunLoopSourceContext sourceContext{};
        sourceContext.info = this;
        sourceContext.cancel = &RunLoopSourceCanceled;
        sourceContext.perform = &RunLoopSourcePerform;
        fSource.reset(CFRunLoopSourceCreate(nullptr, 0, &sourceContext));
        CFRunLoopAddSource(fRunLoop, fSource, kCFRunLoopCommonModes);

        CFRunLoopTimerContext timerContext{};
        timerContext.info = this;
        const CFAbsoluteTime never = CFAbsoluteTimeGetCurrent() + DBL_MAX;
        fWakeTimer.reset(
            CFRunLoopTimerCreate(nullptr, never, DBL_MAX, 0, 0, &RunLoopTimerCallback, &timerContext));
        fUserTimer.reset(
            CFRunLoopTimerCreate(nullptr, never, DBL_MAX, 0, 0, &ServiceUserTimersCallback, &timerContext));
        CFRunLoopAddTimer(fRunLoop, fWakeTimer, kCFRunLoopCommonModes);
        CFRunLoopAddTimer(fRunLoop, fUserTimer, kCFRunLoopCommonModes);
    }

    RunLoopDispatcher(const RunLoopDispatcher&) = delete;
    RunLoopDispatcher& operator=(const RunLoopDispatcher&) = delete;

    // Posting after destruction has begun is the owner's error.
    ~RunLoopDispatcher() { stop(); }

    // Queues the message. On a full queue a foreign thread waits for room; the owning thread drains
    // its queue itself instead, so it never waits for itself.
    void post(const Msg& message) { postImpl<kMessage>(message); }

    // Queues the message unless the queue is full, the dispatcher is stopped or other writers wait
    // (it never overtakes them).
    bool tryPost(const Msg& message)
    {
        if (stopped() || writersWaiting()) {
            return false;
        }
        return tryPostInternal<kMessage>(message);
    }

    // Returns once the message has run; an exception from it is rethrown here. On the owning
    // thread the message runs at once, without queueing.
    void postSync(const Msg& message)
    {
        if (stopped()) {
            return;
        }
        if (onOwnThread()) {
            fExecutor(message);
            return;
        }
        Completion completion;
        if (postImpl<kSynchronous>(SynchronousMessage{message, &completion})) {
            waitFor(completion);
        }
    }

    // Timers keep themselves alive in the dispatcher's list: dropping the returned pointer does not
    // cancel them. Requests from a foreign thread take effect when the owner takes them.
    std::shared_ptr<Timer> postTimed(std::chrono::milliseconds delay, const Msg& message)
    {
        auto timer = std::make_shared<Timer>(Timer{message, delay, false});
        startTimer(timer);
        return timer;
    }

    std::shared_ptr<Timer> postPeriodic(std::chrono::milliseconds period, const Msg& message)
    {
        auto timer = std::make_shared<Timer>(Timer{message, period, true});
        startTimer(timer);
        return timer;
    }

    // Lists the timer, due one interval from now. A timer already listed keeps its schedule.
    void startTimer(std::shared_ptr<Timer> timer)
    {
        if (stopped()) {
            return;
        }
        if (onOwnThread()) {
            addTimer(std::move(timer));
            armUserTimer();
        } else {
            postImpl<kEnqueueTimer>(EnqueueTimerMessage{std::move(timer)});
        }
    }

    // When this returns, the timer does not fire again. From inside the timer's own message it is
    // removed at once too; the running message finishes.
    void stopTimer(std::shared_ptr<Timer> timer)
    {
        if (stopped()) {
            return;
        }
        if (onOwnThread()) {
            removeTimer(timer);
            armUserTimer();
            return;
        }
        Completion completion;
        if (postImpl<kDequeueTimer>(DequeueTimerMessage{std::move(timer), &completion})) {
            waitFor(completion);
        }
    }

    void stop()
    {
        if (fStopped.exchange(true)) {
            return;
        }
        for (int64_t blocked = fBlockedWriters.load(); blocked > 0; --blocked) {
            fWriterSemaphore.release();
        }
        {
            std::lock_guard lock(fMutex);
            fCompletions.notify_all();
        }
        // The source object stays until destruction, so that a poster racing this signals a
        // detached source, which does nothing.
        fSourceDetached.store(true);
        CFRunLoopRemoveSource(fRunLoop, fSource, kCFRunLoopCommonModes);
        CFRunLoopRemoveTimer(fRunLoop, fWakeTimer, kCFRunLoopCommonModes);
        CFRunLoopRemoveTimer(fRunLoop, fUserTimer, kCFRunLoopCommonModes);
        std::unique_lock lock(fMutex);
        fCompletions.wait(lock, [&] { return fCancelled; });
    }

    bool stopped() const { return fStopped.load(); }
    bool writersWaiting() const { return fBlockedWriters.load() > 0; }

    // Wakes the owner's loop. Once signalled, the source stays signalled until the next pass
    // begins, so a burst of posts costs one wake-up.
    void signal()
    {
        if (fSourceDetached.load() || fSignalled.exchange(true)) {
            return;
        }
        CFRunLoopSourceSignal(fSource);
        CFRunLoopWakeUp(fRunLoop);
    }

private:
    // What a synchronous poster waits for, on its own stack. The owner marks it taken before the
    // message runs: from then on the poster waits for it even if the dispatcher stops.
    struct Completion
    {
        bool fTaken = false;
        bool fDone = false;
        std::exception_ptr fError;
    };

    struct SynchronousMessage
    {
        Msg fMessage;
        Completion* fCompletion;
    };

    struct EnqueueTimerMessage
    {
        std::shared_ptr<Timer> fTimer;
    };

    struct DequeueTimerMessage
    {
        std::shared_ptr<Timer> fTimer;
        Completion* fCompletion;
    };

    // A listed timer. The serial tells a timer restarted during its own message from the entry
    // that fired.
    struct TimerData
    {
        std::shared_ptr<Timer> fTimer;
        CFAbsoluteTime fStart;
        CFAbsoluteTime fNext;
        uint64_t fSerial;
    };

    enum : std::size_t
    {
        kMessage,
        kSynchronous,
        kEnqueueTimer,
        kDequeueTimer
    };
    using Element = std::variant<Msg, SynchronousMessage, EnqueueTimerMessage, DequeueTimerMessage>;
    using Queue = LocklessQueue<Element, N>;

    static constexpr CFTimeInterval kWakeDelay = 0.0001;
    // Dates closer than the clock's resolution count as the same instant: the run loop rounds
    // fire dates to the microsecond, so a timer may fire a fraction of one early.
    static constexpr CFTimeInterval kResolution = 1e-6;

    static void RunLoopSourcePerform(void* info) { static_cast<RunLoopDispatcher*>(info)->wake(); }

    static void RunLoopSourceCanceled(void* info, CFRunLoopRef, CFRunLoopMode)
    {
        static_cast<RunLoopDispatcher*>(info)->cancel();
    }

    static void RunLoopTimerCallback(CFRunLoopTimerRef, void* info)
    {
        static_cast<RunLoopDispatcher*>(info)->perform();
    }

    static void ServiceUserTimersCallback(CFRunLoopTimerRef, void* info)
    {
        static_cast<RunLoopDispatcher*>(info)->serviceOneUserTimer();
    }

    bool onOwnThread() const { return CFRunLoopGetCurrent() == fRunLoop.get(); }

    void wake()
    {
        if (!fWakePending) {
            CFRunLoopTimerSetNextFireDate(fWakeTimer, CFAbsoluteTimeGetCurrent() + kWakeDelay);
            fWakePending = true;
        }
    }

    void cancel()
    {
        std::lock_guard lock(fMutex);
        fCancelled = true;
        fCompletions.notify_all();
    }

    template <std::size_t Index, typename T>
    bool tryPostInternal(const T& value)
    {
        typename Queue::WriteTransaction transaction(*fQueue);
        if (!transaction.reserved() || !transaction.emplace(std::in_place_index<Index>, value) ||
            !transaction.commit()) {
            return false;
        }
        signal();
        return true;
    }

    // Blocking post: false when the dispatcher stopped before the element was queued.
    template <std::size_t Index, typename T>
    bool postImpl(const T& value)
    {
        if (stopped()) {
            return false;
        }
        if (!writersWaiting() && tryPostInternal<Index>(value)) {
            return true;
        }
        const bool own = onOwnThread();
        for (;;) {
            if (own) {
                perform();
            } else {
                waitAsBlockedWriter();
            }
            if (stopped()) {
                return false;
            }
            if (tryPostInternal<Index>(value)) {
                return true;
            }
        }
    }

    void waitAsBlockedWriter()
    {
        // Counted before the stopped flag is read again: either stop() sees this writer and
        // releases it, or this writer sees the flag.
        fBlockedWriters.fetch_add(1);
        if (!stopped()) {
            signal();
            fWriterSemaphore.acquire();
        }
        fBlockedWriters.fetch_sub(1);
    }

    void waitFor(Completion& completion)
    {
        std::unique_lock lock(fMutex);
        fCompletions.wait(lock, [&] { return completion.fDone || (stopped() && !completion.fTaken); });
        if (completion.fError) {
            std::rethrow_exception(completion.fError);
        }
    }

    void complete(Completion& completion, std::exception_ptr error)
    {
        std::lock_guard lock(fMutex);
        completion.fError = std::move(error);
        completion.fDone = true;
        fCompletions.notify_all();
    }

    void perform()
    {
        // Posts committed from here on signal again; those before are served by this pass. Clearing
        // by an exchange reads the last poster's setting, so its commit is visible to the reads
        // below: a post either finds the flag cleared or is seen by this pass.
        fSignalled.exchange(false);
        for (std::size_t budget = std::max<std::size_t>(fQueue->size(), 10); budget > 0; --budget) {
            if (stopped()) {
                return;
            }
            std::optional<Element> element = typename Queue::ReadTransaction(*fQueue).readAndCommit();
            if (!element) {
                break;
            }
            dispatch(*element);
        }
        if (stopped()) {
            return;
        }
        if (fTimersDirty) {
            armUserTimer();
        }
        // Blocked writers' messages wait too. The next pass comes one wake delay after this one
        // ends, so that even after a long pass the loop has time for its other sources.
        const bool waiting = !fQueue->empty() || writersWaiting();
        CFRunLoopTimerSetNextFireDate(fWakeTimer,
                                      waiting ? CFAbsoluteTimeGetCurrent() + kWakeDelay : DBL_MAX);
        fWakePending = waiting;
        // Leaves one permit: a blocked writer, if any, wakes and tries again.
        fWriterSemaphore.try_acquire();
        fWriterSemaphore.release();
    }

    void dispatch(Element& element)
    {
        switch (element.index()) {
        case kMessage:
            run(std::get<kMessage>(element));
            break;
        case kSynchronous: {
            auto& synchronous = std::get<kSynchronous>(element);
            {
                std::lock_guard lock(fMutex);
                synchronous.fCompletion->fTaken = true;
            }
            std::exception_ptr error;
            try {
                fExecutor(synchronous.fMessage);
            } catch (...) {
                error = std::current_exception();
            }
            complete(*synchronous.fCompletion, std::move(error));
            break;
        }
        case kEnqueueTimer:
            addTimer(std::move(std::get<kEnqueueTimer>(element).fTimer));
            break;
        case kDequeueTimer: {
            auto& dequeue = std::get<kDequeueTimer>(element);
            removeTimer(dequeue.fTimer);
            complete(*dequeue.fCompletion, nullptr);
            break;
        }
        }
    }

    // A message's failure stays on this thread: it is discarded.
    void run(const Msg& message) noexcept
    {
        try {
            fExecutor(message);
        } catch (...) {
        }
    }

    typename std::vector<TimerData>::iterator findTimer(const std::shared_ptr<Timer>& timer)
    {
        return std::find_if(fTimers.begin(), fTimers.end(),
                            [&](const TimerData& entry) { return entry.fTimer == timer; });
    }

    void addTimer(std::shared_ptr<Timer> timer)
    {
        if (findTimer(timer) != fTimers.end()) {
            return;
        }
        const CFAbsoluteTime now = CFAbsoluteTimeGetCurrent();
        const CFAbsoluteTime next = now + seconds(*timer);
        fTimers.push_back(TimerData{std::move(timer), now, next, ++fTimerSerial});
        fTimersDirty = true;
    }

    void removeTimer(const std::shared_ptr<Timer>& timer)
    {
        auto entry = findTimer(timer);
        if (entry != fTimers.end()) {
            fTimers.erase(entry);
            fTimersDirty = true;
        }
    }

    static CFTimeInterval seconds(const Timer& timer)
    {
        return std::chrono::duration<double>(timer.fInterval).count();
    }

    // The first start + k * interval after now: missed periods are skipped and the phase stays
    // that of the start.
    static CFAbsoluteTime nextFireDate(const TimerData& entry, CFAbsoluteTime now)
    {
        const CFTimeInterval interval = seconds(*entry.fTimer);
        if (interval <= 0) {
            return now;
        }
        CFAbsoluteTime next = entry.fStart + std::floor((now - entry.fStart) / interval) * interval;
        while (next < now + kResolution) {
            next += interval;
        }
        return next;
    }

    CFAbsoluteTime getNextUserTimerTimeout()
    {
        if (fTimersDirty) {
            std::sort(fTimers.begin(), fTimers.end(),
                      [](const TimerData& a, const TimerData& b) { return a.fNext > b.fNext; });
            fTimersDirty = false;
        }
        return fTimers.empty() ? DBL_MAX : fTimers.back().fNext;
    }

    void armUserTimer() { CFRunLoopTimerSetNextFireDate(fUserTimer, getNextUserTimerTimeout()); }

    // Fires the soonest timer if it is due; when several are due, the re-armed timer fires again
    // at once for the next.
    void serviceOneUserTimer()
    {
        if (fServicing) {
            return;
        }
        fServicing = true;
        const CFAbsoluteTime now = CFAbsoluteTimeGetCurrent();
        getNextUserTimerTimeout();
        if (!fTimers.empty() && fTimers.back().fNext < now + kResolution) {
            const std::shared_ptr<Timer> timer = fTimers.back().fTimer;
            const uint64_t serial = fTimers.back().fSerial;
            run(timer->fMessage);
            // The message may have started, stopped or restarted timers, this one too.
            auto entry = findTimer(timer);
            if (entry != fTimers.end() && entry->fSerial == serial) {
                if (timer->fPeriodic) {
                    entry->fNext = nextFireDate(*entry, now);
                    fTimersDirty = true;
                } else {
                    removeTimer(timer);
                }
            }
        }
        fServicing = false;
        if (!stopped()) {
            armUserTimer();
        }
    }

    auto_cfref<CFRunLoopRef> fRunLoop;
    auto_cfref<CFRunLoopSourceRef> fSource;
    auto_cfref<CFRunLoopTimerRef> fWakeTimer;
    auto_cfref<CFRunLoopTimerRef> fUserTimer;
    bool fWakePending = false;
    std::function<void(const Msg&)> fExecutor;
    std::unique_ptr<Queue> fQueue;
    std::vector<TimerData> fTimers;
    uint64_t fTimerSerial = 0;
    bool fTimersDirty = false;
    bool fServicing = false;
    std::condition_variable fCompletions;
    std::mutex fMutex;
    bool fCancelled = false;
    counting_semaphore<2147483646> fWriterSemaphore;
    std::atomic<int64_t> fBlockedWriters{0};
    std::atomic<bool> fStopped{false};
    std::atomic<bool> fSourceDetached{false};
    std::atomic<bool> fSignalled{false};
};

} // namespace vork
