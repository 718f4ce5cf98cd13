#include "WorkThread.h"

namespace Pellix {

namespace {

constexpr int kCancelRequested = 0;
constexpr int kIdle = 1;
constexpr int kStopping = 2;
constexpr int kWorking = 3;
constexpr double kPollSeconds = 0.1;

// Holds a Mutex for a scope.
class Locked
{
public:
    Locked(Mutex& mutex, const char* caller) : fMutex(mutex) { fMutex.Lock(caller); }
    ~Locked() { fMutex.Unlock(); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    Mutex& fMutex;
};

} // namespace

WorkThread::WorkThread(Thread::ThreadPriority priority) : fPriority(priority) {}

WorkThread::~WorkThread()
{
    // Before the members go, and before the Timer part, whose tick calls into this object.
    StopWork();
}

bool WorkThread::StartWork()
{
    {
        Locked locked(fLock, "WorkThread::StartWork");
        if (fThread || (fState != kCancelRequested && fState != kIdle)) {
            return false;
        }
        fState = kWorking;
        try {
            fThread = std::make_unique<Thread>(this, fPriority);
        } catch (...) {
            fState = kIdle;
            throw;
        }
    }
    // Outside the lock: starting the poll may wait for a previous poll thread, whose last tick
    // may be in StopWork.
    SetInterval(kPollSeconds);
    Start();
    return true;
}

void WorkThread::StopWork()
{
    std::unique_ptr<Thread> job;
    {
        Locked locked(fLock, "WorkThread::StopWork");
        fState = kStopping;
        // Taken out under the lock, so exactly one caller deletes it.
        job = std::move(fThread);
    }
    // Deleted outside the lock, so the job can still read its state meanwhile.
    job.reset();
    // From the poll itself this stops the poll without joining its own thread.
    Stop();
    Locked locked(fLock, "WorkThread::StopWork");
    fState = kIdle;
}

void WorkThread::CancelWork()
{
    Locked locked(fLock, "WorkThread::CancelWork");
    fState = kCancelRequested;
}

int WorkThread::GetState()
{
    Locked locked(fLock, "WorkThread::GetState");
    return fState;
}

void WorkThread::DoTimerCallback()
{
    if (GetState() == kCancelRequested) {
        StopWork();
    }
}

} // namespace Pellix
