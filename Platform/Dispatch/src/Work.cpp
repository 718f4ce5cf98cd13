#include "Work.h"

namespace Dispatch {

void SyncCompletion::signal()
{
    // Notified under the lock: the waiter may free this object as soon as it sees the flag.
    std::lock_guard<std::mutex> lock(fLock);
    fSignalled = true;
    fDone.notify_one();
}

void SyncCompletion::wait()
{
    std::unique_lock<std::mutex> lock(fLock);
    fDone.wait(lock, [this] { return fSignalled; });
}

} // namespace Dispatch
