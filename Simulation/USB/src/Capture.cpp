#include "Capture.h"

#include "Dma.h"

#include <Darwin/Clock.h>

#include <pcap/pcap.h>

#include <cerrno>
#include <cstring>

namespace SimUSB {

namespace {

constexpr int kLinkTypeUsbLinuxMmapped = 220;
constexpr int kSnapLength = 1 << 22;

// The usbmon binary header (64 bytes, host byte order).
struct UsbmonHeader
{
    uint64_t id;
    uint8_t type;
    uint8_t transferType;
    uint8_t endpoint;
    uint8_t device;
    uint16_t bus;
    char flagSetup;
    char flagData;
    int64_t seconds;
    int32_t microseconds;
    int32_t status;
    uint32_t length;
    uint32_t capturedLength;
    uint8_t setup[8];
    int32_t interval;
    int32_t startFrame;
    uint32_t transferFlags;
    uint32_t descriptorCount;
};
static_assert(sizeof(UsbmonHeader) == 64);

// usbmon numbers transfer types differently from endpoint descriptors.
uint8_t usbmonTransferType(TransferType type)
{
    switch (type) {
    case TransferType::Isochronous:
        return 0;
    case TransferType::Interrupt:
        return 1;
    case TransferType::Control:
        return 2;
    case TransferType::Bulk:
        return 3;
    }
    return 2;
}

} // namespace

int32_t usbmonStatus(Status status)
{
    switch (status) {
    case kSuccess:
        return 0;
    case kStalled:
        return -EPIPE;
    case kTimedOut:
    case kAborted:
        return -ENOENT;
    case kNoDevice:
        return -ESHUTDOWN;
    case kOverrun:
        return -EOVERFLOW;
    case kUnderrun:
        return -EREMOTEIO;
    case kNotResponding:
        return -EPROTO;
    case kNotSent:
        return -EXDEV;
    default:
        return -EIO;
    }
}

Capture::~Capture()
{
    close();
}

bool Capture::open(const std::string& path, bool isochronous)
{
    std::lock_guard lock(fLock);
    closeLocked();
    fPcap = pcap_open_dead(kLinkTypeUsbLinuxMmapped, kSnapLength);
    if (fPcap == nullptr) {
        return false;
    }
    fDumper = pcap_dump_open(fPcap, path.c_str());
    if (fDumper == nullptr) {
        pcap_close(fPcap);
        fPcap = nullptr;
        return false;
    }
    fIsochronous = isochronous;
    return true;
}

void Capture::close()
{
    std::lock_guard lock(fLock);
    closeLocked();
}

void Capture::closeLocked()
{
    if (fDumper != nullptr) {
        pcap_dump_close(fDumper);
        pcap_close(fPcap);
    }
    fDumper = nullptr;
    fPcap = nullptr;
}

bool Capture::active() const
{
    std::lock_guard lock(fLock);
    return fDumper != nullptr;
}

bool Capture::capturesIsochronous() const
{
    std::lock_guard lock(fLock);
    return fDumper != nullptr && fIsochronous;
}

void Capture::write(const Event& event)
{
    std::lock_guard lock(fLock);
    if (fDumper == nullptr || (event.type == TransferType::Isochronous && !fIsochronous)) {
        return;
    }
    const uint64_t now = DarwinClock::hostNow();
    UsbmonHeader header{};
    header.id = event.id;
    header.type = event.submit ? 'S' : 'C';
    header.transferType = usbmonTransferType(event.type);
    header.endpoint = event.endpoint;
    header.device = event.device;
    header.bus = 1;
    header.flagSetup = '-';
    if (event.setup != nullptr) {
        header.flagSetup = 0;
        const auto bytes = event.setup->bytes();
        std::memcpy(header.setup, bytes.data(), bytes.size());
    } else if (event.type == TransferType::Isochronous) {
        std::memcpy(header.setup, &event.errorCount, 4);
        const int32_t count = int32_t(event.iso.size());
        std::memcpy(header.setup + 4, &count, 4);
    }
    header.flagData = event.data.empty() ? (event.endpoint & 0x80 ? '<' : '>') : 0;
    header.seconds = int64_t(now / 1'000'000'000);
    header.microseconds = int32_t(now % 1'000'000'000 / 1000);
    header.status = event.submit ? -EINPROGRESS : usbmonStatus(event.status);
    header.length = event.length;
    header.capturedLength = uint32_t(event.data.size());
    header.interval = int32_t(event.interval);
    header.startFrame = event.startFrame;
    header.descriptorCount = uint32_t(event.iso.size());

    const size_t isoBytes = event.iso.size() * sizeof(IsoDescriptor);
    fRecord.resize(sizeof(header) + isoBytes + event.data.size());
    std::memcpy(fRecord.data(), &header, sizeof(header));
    if (isoBytes != 0) {
        std::memcpy(fRecord.data() + sizeof(header), event.iso.data(), isoBytes);
    }
    // The data may be a ring that the host reads and writes meanwhile, as the controller's DMA does.
    dmaRead(fRecord.data() + sizeof(header) + isoBytes, event.data.data(), event.data.size());

    pcap_pkthdr record{};
    record.ts.tv_sec = time_t(header.seconds);
    record.ts.tv_usec = header.microseconds;
    record.caplen = uint32_t(fRecord.size());
    record.len = uint32_t(fRecord.size());
    pcap_dump(reinterpret_cast<u_char*>(fDumper), &record, reinterpret_cast<const u_char*>(fRecord.data()));
    pcap_dump_flush(fDumper);
}

} // namespace SimUSB
