#include "SimulatedSystem.h"

#include <DarwinTesting/RealTimeClass.h>
#include <DriverKitTesting/DriverKitTesting.h>
#include <IOKit/platform/KernelNumbering.h>
#include <KernelIOKitTesting/KernelExtensionLoading.h>
#include <KorvanInterface/Descriptors.h>
#include <SimUSB/Bus.h>

#include <CoreFoundation/CoreFoundation.h>
#include <mach/mach_time.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <thread>

namespace Demo {

namespace {

constexpr const char* kControlServiceClass = "com_vork_driver_tide_control_interface";
std::atomic<bool> sKernelExtensionLoaded{false};
constexpr CFTimeInterval kMainLoopSlice = 0.005;

// Power messages reach user space on the main queue, which the main thread serves while it runs its
// loop, as the audio server's does: `change` runs on a thread of its own meanwhile.
void ServingMainQueue(void (*change)())
{
    std::atomic<bool> done{false};
    std::thread changing([&] {
        change();
        done = true;
    });
    while (!done) {
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, kMainLoopSlice, true);
    }
    changing.join();
}

} // namespace

uint16_t KorvanVendorID()
{
    return TIDE_KORVAN_VENDOR_ID;
}

SimulatedSystem::SimulatedSystem(DriverChoice driver)
{
    // As on a Mac, the kernel, the drivers and the hardware are not held up by other programs.
    DarwinTesting::setDriverThreadsRealTime(true);
    if (driver != DriverChoice::Dext && KernelIOKitTesting::loadKernelExtension(TIDE_KEXT_BUNDLE)) {
        sKernelExtensionLoaded = true;
    }
    if (driver != DriverChoice::Kext) {
        IOKitPlatform::useKernelNumbering(kControlServiceClass);
        DriverKitTesting::loadDriverBundle(TIDE_DEXT_BUNDLE);
    }
}

bool SimulatedSystem::KernelExtensionLoaded()
{
    return sKernelExtensionLoaded;
}

SimulatedSystem::~SimulatedSystem()
{
    for (const uint8_t port : fPorts) {
        SimUSB::Bus::shared().clearFaults(port);
        SimUSB::Bus::shared().detach(port);
    }
    SimUSB::Bus::shared().frameClock().setDeviationPpm(0);
}

std::shared_ptr<KorvanInterface::KorvanDevice> SimulatedSystem::plugIn(uint8_t port,
                                                                       const DeviceSettings& settings)
{
    KorvanInterface::DescriptorOptions options(settings.model, KorvanVendorID());
    options.serial = settings.serial;
    options.subslotSize = settings.subslotBytes;
    auto device = std::make_shared<KorvanInterface::KorvanDevice>(options);
    device->setHeaderVersion(settings.headerVersion);
    device->setDriftPpm(settings.driftPpm);
    device->setLoopback(true);
    SimUSB::Bus::shared().attach(port, device);
    if (std::find(fPorts.begin(), fPorts.end(), port) == fPorts.end()) {
        fPorts.push_back(port);
    }
    return device;
}

void SimulatedSystem::unplug(uint8_t port)
{
    SimUSB::Bus::shared().detach(port);
}

void SimulatedSystem::setBusDeviationPpm(int32_t ppm)
{
    SimUSB::Bus::shared().frameClock().setDeviationPpm(ppm);
}

void SimulatedSystem::dropInputPackets(KorvanInterface::KorvanDevice& device, uint64_t from,
                                       uint64_t microframes, double percent, uint64_t seed)
{
    std::mt19937_64 random(seed);
    std::bernoulli_distribution drop(percent / 100);
    for (uint64_t microframe = from; microframe < from + microframes; ++microframe) {
        if (drop(random)) {
            dropInputBurst(device, microframe, 1);
        }
    }
}

void SimulatedSystem::dropInputBurst(KorvanInterface::KorvanDevice& device, uint64_t first, uint64_t count)
{
    device.injectRecordFault({KorvanInterface::KorvanDevice::RecordFault::Kind::Drop, first, count});
    for (uint64_t microframe = first; microframe < first + count; ++microframe) {
        fDropped.push_back(microframe);
    }
}

std::vector<DroppedPacket> SimulatedSystem::droppedPackets(const KorvanInterface::KorvanDevice& device) const
{
    std::vector<DroppedPacket> packets;
    const auto log = device.recordFrames();
    for (const uint64_t microframe : fDropped) {
        const auto found = std::lower_bound(log.begin(), log.end(), std::make_pair(microframe, uint32_t(0)));
        if (found != log.end() && found->first == microframe) {
            packets.push_back({microframe, found->second});
        }
    }
    return packets;
}

void SimulatedSystem::holdInputEndpoint(uint8_t port, bool held)
{
    if (held) {
        SimUSB::Bus::shared().injectFault(port, KorvanInterface::Endpoint::kRecord,
                                          {SimUSB::Fault::Kind::Hold, SimUSB::Fault::Trigger::FromNow});
    } else {
        SimUSB::Bus::shared().clearFaults(port);
    }
}

void SimulatedSystem::sleepSystem()
{
    ServingMainQueue(DriverKitTesting::sleepSystem);
}

void SimulatedSystem::wakeSystem()
{
    ServingMainQueue(DriverKitTesting::wakeSystem);
}

uint64_t SimulatedSystem::currentMicroframe() const
{
    return SimUSB::Bus::shared().frameClock().microframeAt(mach_absolute_time());
}

uint64_t SimulatedSystem::microframeStart(uint64_t microframe) const
{
    return SimUSB::Bus::shared().frameClock().microframeStart(microframe);
}

bool SimulatedSystem::startCapture(const std::string& path, bool isochronous)
{
    return SimUSB::Bus::shared().startCapture(path, isochronous);
}

void SimulatedSystem::stopCapture()
{
    SimUSB::Bus::shared().stopCapture();
}

} // namespace Demo
