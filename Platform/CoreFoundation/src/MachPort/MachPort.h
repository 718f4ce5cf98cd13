#pragma once

#include <CFPlatform/Object.h>
#include <CoreFoundation/CFMachPort.h>

#include <atomic>
#include <mutex>

namespace CFPlatform {

class Source;

// A CFMachPort. Its source is signalled when a message arrives (the port's arrival observer, on
// the sending thread) and serves one message per pass on its loop's thread, so messages not yet
// handed over stay in the port's queue and count against its limit. The source holds the port and
// the port its source until invalidation, as on the platform.
class MachPort final : public Object
{
public:
    MachPort(mach_port_t port, CFMachPortCallBack callout, const CFMachPortContext* context);

    static CFTypeID staticTypeID();
    CFTypeID typeID() const override { return staticTypeID(); }

    mach_port_t port() const { return fPort; }
    const CFMachPortContext& context() const { return fContext; }
    bool isValid() const { return fValid.load(std::memory_order_acquire); }

    // The port's source, retained for the caller; null once invalid.
    Source* createSource(CFIndex order);
    void invalidate();

private:
    ~MachPort() override;

    static bool serveOne(void* info);
    void messageArrived();
    void handOver(mach_msg_header_t* message);

    const mach_port_t fPort;
    const CFMachPortCallBack fCallout;
    CFMachPortContext fContext{};
    std::atomic<bool> fValid{true};
    std::mutex fLock;
    Source* fSource = nullptr;
};

} // namespace CFPlatform
