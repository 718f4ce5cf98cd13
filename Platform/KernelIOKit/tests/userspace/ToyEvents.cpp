#include "ToyEvents.h"

#include <mutex>

namespace KernelIOKitTestSupport {

namespace {

struct Events
{
    std::mutex fMutex;
    std::vector<std::string> fEvents;
};

Events& events()
{
    static Events recorded;
    return recorded;
}

} // namespace

void recordToyEvent(std::string event)
{
    std::lock_guard lock(events().fMutex);
    events().fEvents.push_back(std::move(event));
}

std::vector<std::string> toyEvents()
{
    std::lock_guard lock(events().fMutex);
    return events().fEvents;
}

void clearToyEvents()
{
    std::lock_guard lock(events().fMutex);
    events().fEvents.clear();
}

} // namespace KernelIOKitTestSupport
