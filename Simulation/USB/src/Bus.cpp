#include "BusCore.h"

#include <SimUSB/Bus.h>

namespace SimUSB {

Bus& Bus::shared()
{
    // Never destroyed: host layers may still hold devices while the process exits.
    static Bus* bus = new Bus;
    return *bus;
}

Bus::Bus() : fCore(std::make_shared<BusCore>())
{
    fCore->startThreads();
}

Bus::~Bus()
{
    fCore->resetAll();
    fCore->stopThreads();
}

void Bus::attach(uint8_t port, std::shared_ptr<Device> model, uint64_t delay)
{
    if (port == 0 || port > kPortCount || !model) {
        return;
    }
    fCore->attachLater(port, std::move(model), delay);
}

void Bus::detach(uint8_t port)
{
    if (port != 0 && port <= kPortCount) {
        fCore->detachPort(port);
    }
}

void Bus::reEnumerate(uint8_t port, uint64_t delay)
{
    if (port != 0 && port <= kPortCount) {
        fCore->reEnumerate(port, nullptr, delay, nullptr, true);
    }
}

void Bus::reset()
{
    fCore->resetAll();
}

void Bus::settle()
{
    fCore->settle();
}

std::shared_ptr<HostDevice> Bus::device(uint8_t port) const
{
    return fCore->device(port);
}

void Bus::addListener(HostListener* listener)
{
    fCore->addListener(listener);
}

void Bus::removeListener(HostListener* listener)
{
    fCore->removeListener(listener);
}

FrameClock& Bus::frameClock()
{
    return fCore->fFrameClock;
}

void Bus::injectFault(uint8_t port, uint8_t endpoint, const Fault& fault)
{
    fCore->injectFault(port, endpoint, fault);
}

void Bus::clearFaults(uint8_t port)
{
    fCore->clearFaults(port);
}

void Bus::setCompletionLatency(uint64_t ns)
{
    std::lock_guard lock(fCore->fLock);
    fCore->fCompletionLatency = ns;
}

void Bus::setPromptBulk(bool prompt)
{
    std::lock_guard lock(fCore->fLock);
    fCore->fPromptBulk = prompt;
}

uint64_t Bus::transferThreadWaits() const
{
    return fCore->transferThreadWaits();
}

bool Bus::startCapture(const std::string& path, bool isochronous)
{
    return fCore->fCapture.open(path, isochronous);
}

void Bus::stopCapture()
{
    fCore->fCapture.close();
}

} // namespace SimUSB
