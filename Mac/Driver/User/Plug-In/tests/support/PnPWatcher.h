#pragma once

// A work-loop thread that watches for driver services as the plug-in object does, and records
// what it is told.

#include "KorvanServicePnP.h"
#include "WorkLoopThread.h"

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace PlugInTesting {

struct ServiceReport
{
    bool fRegistered;
    io_service_t fService;
    std::string fUID;
};

class PnPWatcher : public WorkLoopThread, public KorvanServicePnP
{
public:
    ~PnPWatcher() override;

    void WorkLoopThreadStarted() override;
    void WorkLoopThreadStopped() override;
    void ServiceRegistered(const KorvanService& service) override;
    void ServiceTerminated(const KorvanService& service) override;

    // Ends the watch on the loop's thread and waits until it has.
    void Disable();

    std::vector<ServiceReport> Reports() const;
    // Waits (real time, 30 s at most) until `count` reports have come.
    bool WaitForReports(size_t count) const;

private:
    void Record(bool registered, const KorvanService& service);

    mutable std::mutex fMutex;
    mutable std::condition_variable fChanged;
    std::vector<ServiceReport> fReports;
};

} // namespace PlugInTesting
