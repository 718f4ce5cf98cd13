#pragma once

// Writes URB events as a pcap of link type 220 (LINKTYPE_USB_LINUX_MMAPPED): a 64-byte usbmon
// header per event, then the isochronous descriptors, then the data.

#include <SimUSB/Setup.h>
#include <SimUSB/Status.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>

struct pcap;
struct pcap_dumper;

namespace SimUSB {

class Capture
{
public:
    struct IsoDescriptor
    {
        int32_t status;
        uint32_t offset;
        uint32_t length;
        uint32_t padding;
    };

    struct Event
    {
        uint64_t id = 0;
        bool submit = true;
        TransferType type = TransferType::Control;
        uint8_t endpoint = 0; // with the direction bit
        uint8_t device = 0;
        const SetupPacket* setup = nullptr;
        Status status = kSuccess;
        uint32_t length = 0;
        std::span<const uint8_t> data;
        uint32_t interval = 0;
        int32_t startFrame = 0;
        std::span<const IsoDescriptor> iso;
        int32_t errorCount = 0;
    };

    ~Capture();

    bool open(const std::string& path, bool isochronous);
    void close();
    bool active() const;
    bool capturesIsochronous() const;
    void write(const Event& event);

private:
    void closeLocked();

    mutable std::mutex fLock;
    pcap* fPcap = nullptr;
    pcap_dumper* fDumper = nullptr;
    bool fIsochronous = false;
    std::string fRecord;
};

// The usbmon status of a bus outcome (0 or a negative errno).
int32_t usbmonStatus(Status status);

} // namespace SimUSB
