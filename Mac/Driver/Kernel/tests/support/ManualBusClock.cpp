#include "ManualBusClock.h"

#include <KernelIOKitTesting/KernelIOKitTesting.h>

#include <Darwin/Clock.h>
#include <SimUSB/Bus.h>

#include <chrono>

namespace KextTesting {

ManualBusClock::ManualBusClock()
{
    SimUSB::Bus::shared().frameClock().restart(DarwinClock::hostNow() - 1000 * kFrame);
    KernelIOKitTesting::setFrameReadHook([this](uint64_t, uint64_t) {
        fClock.advance(std::chrono::microseconds(1));
        if (std::this_thread::get_id() != fOwner) {
            fLoopReads.fetch_add(1);
        }
    });
}

ManualBusClock::~ManualBusClock()
{
    KernelIOKitTesting::setFrameReadHook({});
}

uint64_t ManualBusClock::frameStart(uint64_t frame)
{
    return SimUSB::Bus::shared().frameClock().microframeStart(frame * 8);
}

} // namespace KextTesting
