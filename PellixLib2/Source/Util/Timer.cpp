#include "Timer.h"

#include "Util/WorkLoop/WorkLoopThread.h"

#include <atomic>
#include <climits>
#include <condition_variable>
#include <mutex>

namespace Pellix {

struct Timer::TimerData
{
    std::unique_ptr<WorkLoopThread2> fThread = std::make_unique<WorkLoopThread2>();
    std::unique_ptr<WorkLoopTimer> fWorkLoopTimer = std::make_unique<WorkLoopTimer>();
    Timer* fOwner;
    // Guards the interval and the starting and stopping; the ticks take no lock.
    std::mutex fLock;
    std::condition_variable fSettled;
    double fInterval = 0;
    // A Start or Stop from another thread is under way; they wait for each other.
    bool fChanging = false;
    std::atomic<bool> fStarted{false};
};

namespace {

// The timer whose DoTimerCallback runs on this thread, if any.
thread_local const void* tTicking = nullptr;

// The interval in whole milliseconds, within what AddTimer takes.
unsigned int Milliseconds(double seconds)
{
    double ms = seconds * 1000.0;
    if (!(ms > 0)) {
        return 0;
    }
    return ms >= double(UINT_MAX) ? UINT_MAX : unsigned(ms);
}

} // namespace

bool Timer::Tick(WorkLoopItem*, void* userData)
{
    auto* data = static_cast<TimerData*>(userData);
    // A tick taken just before a Stop from another thread does nothing.
    if (!data || !data->fOwner || !data->fStarted.load()) {
        return false;
    }
    const void* outer = tTicking;
    tTicking = data->fOwner;
    try {
        data->fOwner->DoTimerCallback();
    } catch (...) {
        // A tick's exception ends that tick only.
    }
    tTicking = outer;
    return true;
}

Timer::Timer() : fData(std::make_unique<TimerData>())
{
    fData->fOwner = this;
}

Timer::~Timer()
{
    Stop();
}

void Timer::Start(bool)
{
    TimerData& data = *fData;
    if (tTicking == this) {
        return;
    }
    std::unique_lock lock(data.fLock);
    data.fSettled.wait(lock, [&] { return !data.fChanging; });
    if (data.fStarted.load()) {
        return;
    }
    data.fChanging = true;
    lock.unlock();
    // Joins first a thread stopped from its own tick.
    try {
        data.fThread->Start();
    } catch (...) {
        lock.lock();
        data.fChanging = false;
        data.fSettled.notify_all();
        throw;
    }
    lock.lock();
    // Set before the first tick can look at it.
    data.fStarted.store(true);
    data.fWorkLoopTimer->Init(Tick, &data);
    data.fThread->fWorkLoop->AddTimer(data.fWorkLoopTimer.get(), Milliseconds(data.fInterval), true);
    data.fChanging = false;
    data.fSettled.notify_all();
}

void Timer::Stop()
{
    TimerData& data = *fData;
    if (tTicking == this) {
        // From its own tick: nothing waits for this thread, which the next call joins.
        std::lock_guard lock(data.fLock);
        if (data.fStarted.exchange(false)) {
            data.fThread->fWorkLoop->RemoveItem(data.fWorkLoopTimer.get());
            data.fThread->Stop();
        }
        return;
    }
    std::unique_lock lock(data.fLock);
    data.fSettled.wait(lock, [&] { return !data.fChanging; });
    data.fChanging = true;
    bool wasStarted = data.fStarted.exchange(false);
    if (wasStarted) {
        data.fThread->fWorkLoop->RemoveItem(data.fWorkLoopTimer.get());
    }
    lock.unlock();
    // Without the lock: the tick under way may still set the interval, or stop the timer itself.
    if (wasStarted) {
        data.fWorkLoopTimer->WaitForRunToComplete();
    }
    data.fThread->Stop();
    lock.lock();
    data.fChanging = false;
    data.fSettled.notify_all();
}

void Timer::SetInterval(double seconds)
{
    std::lock_guard lock(fData->fLock);
    fData->fInterval = seconds;
}

bool Timer::Started() const
{
    return fData->fStarted.load();
}

} // namespace Pellix
