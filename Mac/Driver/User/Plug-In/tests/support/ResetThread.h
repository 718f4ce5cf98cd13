#pragma once

// The plug-in object's use of the re-enumeration timer: started when its work-loop thread starts,
// stopped when it stops.

#include "ResetUACDevicesTimer.h"
#include "WorkLoopThread.h"

namespace PlugInTesting {

class ResetThread : public WorkLoopThread
{
public:
    ~ResetThread() override { Stop(); }

    void WorkLoopThreadStarted() override { fTimer.Start(fWorkLoop.get()); }
    void WorkLoopThreadStopped() override { fTimer.Stop(); }

    ResetUACDevicesTimer fTimer;
};

} // namespace PlugInTesting
