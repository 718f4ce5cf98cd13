#include "PortSpace.h"

#include "Names.h"

namespace Darwin {

PortSpace& PortSpace::instance()
{
    static auto* space = new PortSpace;
    return *space;
}

mach_port_t PortSpace::allocate()
{
    mach_port_t name = newName();
    std::lock_guard lock(fLock);
    fEntries.emplace(name, Entry{std::make_shared<Port>(name), 0});
    return name;
}

std::shared_ptr<Port> PortSpace::find(mach_port_t name)
{
    std::lock_guard lock(fLock);
    auto entry = fEntries.find(name);
    return entry == fEntries.end() ? nullptr : entry->second.fPort;
}

kern_return_t PortSpace::insertSendRight(mach_port_t name)
{
    std::lock_guard lock(fLock);
    auto entry = fEntries.find(name);
    if (entry == fEntries.end()) {
        return KERN_INVALID_NAME;
    }
    if (!entry->second.fPort) {
        return KERN_INVALID_RIGHT;
    }
    ++entry->second.fSendRights;
    return KERN_SUCCESS;
}

kern_return_t PortSpace::deallocate(mach_port_t name)
{
    std::lock_guard lock(fLock);
    auto entry = fEntries.find(name);
    if (entry == fEntries.end()) {
        return KERN_INVALID_NAME;
    }
    if (entry->second.fSendRights == 0) {
        return KERN_INVALID_RIGHT;
    }
    if (--entry->second.fSendRights == 0 && !entry->second.fPort) {
        fEntries.erase(entry);
    }
    return KERN_SUCCESS;
}

kern_return_t PortSpace::modifyReferences(mach_port_t name, mach_port_right_t right, mach_port_delta_t delta)
{
    std::shared_ptr<Port> destroyed;
    {
        std::lock_guard lock(fLock);
        auto entry = fEntries.find(name);
        if (entry == fEntries.end()) {
            return KERN_INVALID_NAME;
        }
        Entry& rights = entry->second;
        switch (right) {
        case MACH_PORT_RIGHT_RECEIVE:
            if (!rights.fPort) {
                return KERN_INVALID_RIGHT;
            }
            if (delta < -1 || delta > 0) {
                return KERN_INVALID_VALUE;
            }
            if (delta == -1) {
                destroyed = dropReceiveRight(entry);
            }
            break;
        case MACH_PORT_RIGHT_SEND:
        case MACH_PORT_RIGHT_DEAD_NAME:
            if (right == MACH_PORT_RIGHT_SEND ? !rights.fPort : bool(rights.fPort)) {
                return KERN_INVALID_RIGHT;
            }
            if (rights.fSendRights + delta < 0) {
                return KERN_INVALID_VALUE;
            }
            rights.fSendRights += delta;
            if (rights.fSendRights == 0 && !rights.fPort) {
                fEntries.erase(entry);
            }
            break;
        default:
            return KERN_INVALID_VALUE;
        }
    }
    if (destroyed) {
        destroyed->destroy();
    }
    return KERN_SUCCESS;
}

kern_return_t PortSpace::destroy(mach_port_t name)
{
    std::shared_ptr<Port> destroyed;
    {
        std::lock_guard lock(fLock);
        auto entry = fEntries.find(name);
        if (entry == fEntries.end()) {
            return KERN_INVALID_NAME;
        }
        destroyed = std::move(entry->second.fPort);
        fEntries.erase(entry);
    }
    if (destroyed) {
        destroyed->destroy();
    }
    return KERN_SUCCESS;
}

std::shared_ptr<Port> PortSpace::dropReceiveRight(std::unordered_map<mach_port_t, Entry>::iterator entry)
{
    std::shared_ptr<Port> port = std::move(entry->second.fPort);
    if (entry->second.fSendRights == 0) {
        fEntries.erase(entry);
    }
    return port;
}

} // namespace Darwin
