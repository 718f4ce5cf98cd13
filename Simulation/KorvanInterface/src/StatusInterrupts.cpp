// Interrupt-IN status messages: one per queued read, waiting (up to 32) while no read is queued.

#include <KorvanInterface/KorvanDevice.h>

#include <cstring>

namespace KorvanInterface {

void KorvanDevice::queueStatus(std::vector<uint8_t> message)
{
    if (fStatusQueue.size() >= kStatusQueueLimit) {
        ++fStatusOverflows;
        return;
    }
    fStatusQueue.push_back(std::move(message));
}

SimUSB::InPacket KorvanDevice::in(uint8_t endpoint, std::span<uint8_t> space)
{
    std::lock_guard lock(fLock);
    if (endpoint != Endpoint::kStatus || fOptions.statusPacketSize == 0 || fStatusQueue.empty()) {
        return SimUSB::InPacket::none();
    }
    std::vector<uint8_t> message = std::move(fStatusQueue.front());
    fStatusQueue.pop_front();
    const size_t length = std::min(message.size(), space.size());
    std::memcpy(space.data(), message.data(), length);
    fStatusLog.push(std::move(message));
    return SimUSB::InPacket::bytes(length);
}

void KorvanDevice::changeRateFromDevice(uint32_t rate)
{
    std::lock_guard lock(fLock);
    fRate = rate;
    checkFamily(kPlaybackInterface);
    checkFamily(kRecordInterface);
    // CUR of the sampling-frequency control (CS 1, CN 0) of the clock source, interface 0.
    queueStatus({0x00, 0x01, 0x00, 0x01, kControlInterface, Entity::kClockSource});
}

void KorvanDevice::sendVendorStatus()
{
    std::lock_guard lock(fLock);
    queueStatus({0x01, 0x01, 0x00, 0x00, kControlInterface, 0x00});
}

void KorvanDevice::sendEndpointStatus()
{
    std::lock_guard lock(fLock);
    queueStatus({0x02, 0x01, 0x00, 0x00, Endpoint::kRecord, 0x00});
}

void KorvanDevice::sendSevenByteStatus()
{
    std::lock_guard lock(fLock);
    queueStatus({0x00, 0x01, 0x00, 0x01, kControlInterface, Entity::kClockSource, 0x00});
}

void KorvanDevice::sendStatus(std::vector<uint8_t> payload)
{
    std::lock_guard lock(fLock);
    queueStatus(std::move(payload));
}

} // namespace KorvanInterface
