#pragma once

// The asynchronous side of one open USB interface: transfers queued on the bus, whose completions
// come on the bus's transfer worker and are handed to the interface's notification port, so their
// callbacks run on the run loop that holds its event source. Closing withdraws every callback not
// yet run and aborts what is still on the bus.

#include "NotificationPort.h"

#include <IOKit/usb/IOUSBLib.h>
#include <SimUSB/HostDevice.h>

#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace IOKit {

class PipeSession : public std::enable_shared_from_this<PipeSession>
{
public:
    PipeSession(std::shared_ptr<SimUSB::HostDevice> device, std::vector<uint8_t> endpoints);
    ~PipeSession();
    PipeSession(const PipeSession&) = delete;
    PipeSession& operator=(const PipeSession&) = delete;

    CFRunLoopSourceRef eventSource();
    bool isOpen() const;
    void open();
    void close();

    IOReturn submit(uint8_t endpoint, void* buffer, UInt32 size, UInt32 noDataTimeout,
                    UInt32 completionTimeout, IOAsyncCallback1 callback, void* refcon);

private:
    struct Transfer;

    static void busCompleted(void* context, const SimUSB::TransferResult& result);
    void completed(Transfer* transfer, const SimUSB::TransferResult& result);
    void delivered(Transfer* transfer);

    const std::shared_ptr<SimUSB::HostDevice> fDevice;
    const std::vector<uint8_t> fEndpoints;
    mutable std::mutex fLock;
    bool fOpen = false;
    std::shared_ptr<NotificationPort> fPort;
    std::map<Transfer*, std::shared_ptr<Transfer>> fLive;
};

} // namespace IOKit
