#include "StopAtExit.h"

#include <cstdlib>
#include <mutex>
#include <set>

namespace NSPlatform {

namespace {

struct Registry
{
    std::mutex lock;
    std::set<StoppedAtExit*> workers;
    bool exiting = false;
};

// Never destroyed: sessions may still be released by other exit handlers after this one has run.
Registry& registry()
{
    static Registry* registry = new Registry;
    return *registry;
}

void stopEveryWorker()
{
    Registry& current = registry();
    std::lock_guard lock(current.lock);
    current.exiting = true;
    // Stopped workers stay listed, so what they keep stays reachable to leak checkers.
    for (StoppedAtExit* worker : current.workers) {
        worker->stopForExit();
    }
}

} // namespace

void stopAtExit(StoppedAtExit& worker)
{
    static const bool installed = std::atexit(stopEveryWorker) == 0;
    (void)installed;
    Registry& current = registry();
    std::lock_guard lock(current.lock);
    current.workers.insert(&worker);
    if (current.exiting) {
        worker.stopForExit();
    }
}

void noLongerStopAtExit(StoppedAtExit& worker)
{
    Registry& current = registry();
    std::lock_guard lock(current.lock);
    current.workers.erase(&worker);
}

} // namespace NSPlatform
