#pragma once

#include "Port.h"

#include <mach/port.h>

#include <memory>
#include <mutex>
#include <unordered_map>

namespace Darwin {

// The port names of the task and the rights they hold. A name holds the receive right of a live
// port and any number of send rights; once the receive right is dropped it is a dead name until
// its send rights are released too.
class PortSpace
{
public:
    static PortSpace& instance();

    mach_port_t allocate();
    // The live port of a name, or nullptr.
    std::shared_ptr<Port> find(mach_port_t name);

    kern_return_t insertSendRight(mach_port_t name);
    kern_return_t deallocate(mach_port_t name);
    kern_return_t modifyReferences(mach_port_t name, mach_port_right_t right, mach_port_delta_t delta);
    kern_return_t destroy(mach_port_t name);

private:
    struct Entry
    {
        std::shared_ptr<Port> fPort;
        int64_t fSendRights = 0;
    };

    PortSpace() = default;
    // Drops the receive right; the caller destroys the returned port without the lock held.
    std::shared_ptr<Port> dropReceiveRight(std::unordered_map<mach_port_t, Entry>::iterator entry);

    std::mutex fLock;
    std::unordered_map<mach_port_t, Entry> fEntries;
};

} // namespace Darwin
