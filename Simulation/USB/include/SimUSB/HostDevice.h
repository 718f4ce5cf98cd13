#pragma once

// The host side of one enumerated device: what a host layer (DriverKit, the kernel layer, the
// user-space USB interfaces) sees and calls. A handle stays valid after the device has gone; its
// calls then fail with kNoDevice.

#include <SimUSB/FrameClock.h>
#include <SimUSB/Setup.h>
#include <SimUSB/Status.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace SimUSB {

class BusCore;
struct DeviceState;

struct ControlResult
{
    Status status = kSuccess;
    uint32_t length = 0;
};

struct TransferResult
{
    Status status = kSuccess;
    uint32_t actual = 0;
    uint64_t timestamp = 0;
};

// Called on the bus's transfer worker, in completion order, without any bus lock held. It may
// submit and abort transfers.
struct Completion
{
    void (*function)(void* context, const TransferResult& result) = nullptr;
    void* context = nullptr;
};

struct EndpointInfo
{
    uint8_t address = 0;
    uint8_t interface = 0;
    TransferType type = TransferType::Control;
    uint16_t wMaxPacketSize = 0;
    uint32_t bytesPerMicroframe = 0;
    uint8_t bInterval = 0;
};

// One entry of an isochronous frame list, 24 bytes as the host layers lay it out in memory.
struct IsochronousFrame
{
    uint32_t status;
    uint32_t requestCount;
    uint32_t completeCount;
    uint32_t reserved;
    uint64_t timeStamp;
};
static_assert(sizeof(IsochronousFrame) == 24);

class HostDevice
{
public:
    HostDevice(std::shared_ptr<BusCore> bus, std::shared_ptr<DeviceState> state);
    ~HostDevice();
    HostDevice(const HostDevice&) = delete;
    HostDevice& operator=(const HostDevice&) = delete;

    uint8_t port() const;
    uint8_t address() const;
    bool connected() const;

    // What enumeration read: the device descriptor, configuration 0 in full, the language IDs.
    const std::vector<uint8_t>& deviceDescriptor() const;
    const std::vector<uint8_t>& configurationDescriptor() const;
    const std::vector<uint16_t>& languages() const;

    // The configuration and alternate settings the device has acknowledged.
    uint8_t configurationValue() const;
    uint8_t alternateSetting(uint8_t interface) const;
    // An endpoint of the current configuration and alternate settings.
    std::optional<EndpointInfo> endpoint(uint8_t address) const;

    // A control transfer on the default pipe; blocks the caller. `data` holds wLength bytes.
    // `timeoutMs` 0 waits without limit.
    ControlResult control(const SetupPacket& setup, uint8_t* data, uint32_t timeoutMs);

    // Queues an interrupt or bulk transfer; its completion comes later. A refusal is returned at once
    // and nothing is queued. It ends with kTimedOut and the bytes moved so far `timeoutMs` after the
    // submission, or `noDataTimeoutMs` after the last byte moved (the submission while none has);
    // 0 is no limit.
    Status submit(uint8_t endpoint, uint8_t* buffer, uint32_t length, uint32_t timeoutMs,
                  Completion completion, uint32_t noDataTimeoutMs = 0);

    // Queues an isochronous transfer over `frameCount` entries of `frameList`, entry i in microframe
    // 8 x firstFrame + i; packet i lies at the sum of the earlier request counts in `data`.
    Status submitIsochronous(uint8_t endpoint, uint8_t* data, size_t dataLength, IsochronousFrame* frameList,
                             uint32_t frameCount, uint64_t firstFrame, Completion completion);

    // Completes every pending transfer of the endpoint with `status`. Never waits for the completions.
    void abort(uint8_t endpoint, Status status);

    FrameReading readFrame() const;

private:
    std::shared_ptr<BusCore> fBus;
    std::shared_ptr<DeviceState> fState;
};

} // namespace SimUSB
