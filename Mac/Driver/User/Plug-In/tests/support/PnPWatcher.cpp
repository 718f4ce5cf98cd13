#include "PnPWatcher.h"

#include "RunOnLoop.h"
#include "WorkLoop.h"

#include <chrono>

namespace PlugInTesting {

PnPWatcher::~PnPWatcher()
{
    Stop();
}

void PnPWatcher::WorkLoopThreadStarted()
{
    EnableServicePnPNotifications(true, fWorkLoop.get());
}

void PnPWatcher::WorkLoopThreadStopped()
{
    EnableServicePnPNotifications(false, fWorkLoop.get());
}

void PnPWatcher::ServiceRegistered(const KorvanService& service)
{
    Record(true, service);
}

void PnPWatcher::ServiceTerminated(const KorvanService& service)
{
    Record(false, service);
}

void PnPWatcher::Disable()
{
    RunOnLoop(*fWorkLoop, [this] { EnableServicePnPNotifications(false, nullptr); });
}

std::vector<ServiceReport> PnPWatcher::Reports() const
{
    std::lock_guard<std::mutex> lock(fMutex);
    return fReports;
}

bool PnPWatcher::WaitForReports(size_t count) const
{
    std::unique_lock<std::mutex> lock(fMutex);
    return fChanged.wait_for(lock, std::chrono::seconds(30), [&] { return fReports.size() >= count; });
}

void PnPWatcher::Record(bool registered, const KorvanService& service)
{
    std::lock_guard<std::mutex> lock(fMutex);
    fReports.push_back({registered, service.GetService(), service.GetUID()});
    fChanged.notify_all();
}

} // namespace PlugInTesting
