#pragma once

// The machine the demo runs on: the simulated bus, the driver bundles loaded as the system loads
// activated drivers, and Korvan interfaces plugged into ports, with the knobs that make them
// misbehave as real ones do.

#include "DemoOptions.h"

#include <KorvanInterface/KorvanDevice.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Demo {

// A packet the bus dropped, and the frames the device had put into it.
struct DroppedPacket
{
    uint64_t microframe;
    uint32_t frames;
};

class SimulatedSystem
{
public:
    // Loads the drivers `driver` names; with both, matching decides by probe score. Driver-extension
    // services are reached through the kernel-numbering adapter, as the plug-in speaks the kernel
    // extension's numbering. A process keeps what it loaded: a later system with fewer drivers
    // still has the others.
    explicit SimulatedSystem(DriverChoice driver);
    // Unplugs every device it plugged in.
    ~SimulatedSystem();
    // Whether a system of this process loaded the kernel extension.
    static bool KernelExtensionLoaded();
    SimulatedSystem(const SimulatedSystem&) = delete;
    SimulatedSystem& operator=(const SimulatedSystem&) = delete;

    struct DeviceSettings
    {
        KorvanInterface::Model model = KorvanInterface::Model::Brio;
        std::string serial = "DEMO0001";
        uint8_t headerVersion = 2;
        int32_t driftPpm = 0;
        uint8_t subslotBytes = 4;
    };
    // Plugs a model with its device loopback on into `port`.
    std::shared_ptr<KorvanInterface::KorvanDevice> plugIn(uint8_t port, const DeviceSettings& settings);
    void unplug(uint8_t port);

    // The bus frame clock runs `ppm` off its nominal period.
    void setBusDeviationPpm(int32_t ppm);

    // Loses input packets of `device` from `from` (a microframe) for `microframes`: each with
    // `percent` chance, drawn from `seed`. The device has sent them, so its frame counter and its
    // loopback move on as for any packet; they never reach the host.
    void dropInputPackets(KorvanInterface::KorvanDevice& device, uint64_t from, uint64_t microframes,
                          double percent, uint64_t seed);
    // Loses `count` consecutive input packets from microframe `first` on.
    void dropInputBurst(KorvanInterface::KorvanDevice& device, uint64_t first, uint64_t count);
    const std::vector<uint64_t>& droppedMicroframes() const { return fDropped; }
    // The dropped packets the device's log still knows, with their frames.
    std::vector<DroppedPacket> droppedPackets(const KorvanInterface::KorvanDevice& device) const;

    // The device's record endpoint never completes while `held`: the bus takes its transfers but
    // neither serves nor completes them; released, it goes on from the microframe under way. Other
    // injected bus faults of the port end with the hold.
    void holdInputEndpoint(uint8_t port, bool held);

    // The computer sleeps, then wakes, through the platform's hook: user-space power messages and
    // the drivers' power states in the platform's order. Called on the main thread, which serves
    // the main queue meanwhile.
    void sleepSystem();
    void wakeSystem();

    uint64_t currentMicroframe() const;
    // Host time at which a microframe starts.
    uint64_t microframeStart(uint64_t microframe) const;

    bool startCapture(const std::string& path, bool isochronous);
    void stopCapture();

private:
    std::vector<uint8_t> fPorts;
    std::vector<uint64_t> fDropped;
};

// The vendor id the drivers' personalities match.
uint16_t KorvanVendorID();

} // namespace Demo
