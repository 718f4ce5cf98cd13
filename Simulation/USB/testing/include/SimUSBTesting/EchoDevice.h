#pragma once

// A small device for platform tests. Interface 0 (vendor class): bulk OUT 0x01 and bulk IN 0x81 that
// echo, interrupt IN 0x82 (8 bytes, bInterval 4) that sends what `postInterrupt` queued.
// Interface 1: alternate 0 without endpoints, alternate 1 with isochronous OUT 0x03 and IN 0x83 of
// 512 bytes. Vendor requests: 0x40/1 stores up to 64 bytes, 0xC0/1 reads them back, 0xC0/2 answers
// as `setVendorAnswer` says; everything else the standard requests do not cover STALLs.

#include <SimUSB/Device.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

namespace SimUSBTesting {

class EchoDevice : public SimUSB::Device
{
public:
    static constexpr uint16_t kVendor = 0x1209;
    static constexpr uint16_t kProduct = 0x0001;
    static constexpr uint8_t kBulkOut = 0x01;
    static constexpr uint8_t kBulkIn = 0x81;
    static constexpr uint8_t kInterruptIn = 0x82;
    static constexpr uint8_t kIsochronousOut = 0x03;
    static constexpr uint8_t kIsochronousIn = 0x83;
    static constexpr uint16_t kIsochronousMaxPacket = 512;

    explicit EchoDevice(uint16_t product = kProduct);

    std::vector<uint8_t> deviceDescriptor() override;
    std::vector<uint8_t> configurationDescriptor(uint8_t index) override;
    std::optional<std::vector<uint8_t>> stringDescriptor(uint8_t index, uint16_t language) override;
    SimUSB::ControlAnswer control(const SimUSB::SetupPacket& setup, std::span<const uint8_t> data) override;
    SimUSB::InPacket in(uint8_t endpoint, std::span<uint8_t> space) override;
    void out(uint8_t endpoint, std::span<const uint8_t> bytes) override;
    SimUSB::InPacket isochronousIn(uint8_t endpoint, uint64_t microframe, std::span<uint8_t> space) override;
    void isochronousOut(uint8_t endpoint, uint64_t microframe, std::span<const uint8_t> bytes) override;
    void interfaceSet(uint8_t interface, uint8_t alternate) override;

    // The class interface 1 announces in alternate 1 alone (before it is attached); by default
    // both alternates announce 0xFF.
    void setAlternateOneClass(uint8_t interfaceClass);
    // How the device answers 0xC0/2 from now on.
    void setVendorAnswer(SimUSB::ControlAnswer answer);
    // Queues an interrupt-IN message; a message longer than 8 bytes is babble.
    void postInterrupt(std::vector<uint8_t> message);
    // The length of each isochronous IN packet: 8 bytes of microframe number, then (microframe & 0xFF).
    void setIsochronousInLength(size_t length);

    struct OutPacket
    {
        uint64_t microframe;
        std::vector<uint8_t> bytes;
    };
    std::vector<SimUSB::SetupPacket> setups() const;
    std::vector<std::pair<uint8_t, uint8_t>> interfaceSettings() const;
    std::vector<OutPacket> isochronousOutPackets() const;
    std::vector<uint64_t> isochronousInMicroframes() const;

    // Asks the bus to detach it, or to enumerate it again after `delay` (as `replacement` if given).
    void unplug();
    void restart(uint64_t delay, std::shared_ptr<SimUSB::Device> replacement = nullptr);

private:
    mutable std::mutex fLock;
    uint16_t fProduct;
    std::atomic<uint8_t> fAlternateOneClass{0xFF};
    std::vector<uint8_t> fStored;
    SimUSB::ControlAnswer fVendorAnswer = SimUSB::ControlAnswer::withData({0x2A});
    std::deque<uint8_t> fEcho;
    std::deque<std::vector<uint8_t>> fInterrupts;
    size_t fIsochronousInLength = 64;
    std::vector<SimUSB::SetupPacket> fSetups;
    std::vector<std::pair<uint8_t, uint8_t>> fInterfaceSettings;
    std::vector<OutPacket> fOutPackets;
    std::vector<uint64_t> fInMicroframes;
};

} // namespace SimUSBTesting
