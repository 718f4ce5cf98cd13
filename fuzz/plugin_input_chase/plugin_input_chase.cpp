// Packets as a device may write them, headers, lengths and stale patterns included, into the input
// ring of a running device, chased and read as the IO cycle does. The device runs on the scripted
// driver with streaming headers of the version the first input byte chooses (none, 1 or 2). Then
// each step is: a byte choosing the operation, two bytes of packet position, and its bytes:
//   0: write up to a packet's bytes at that packet of the ring;
//   1: write a packet header {count, frames} there;
//   2: fill the packet with the stale pattern;
//   3: an IO cycle's read of up to 4096 frames at a sample time.

#include "FakeKernelUserClient.h"
#include "KorvanRequestRing.h"
#include "Log.h"
#include "SA_DeviceUSB.h"
#include "SA_Host.h"
#include "SA_ObjectMap.h"

#include <KorvanInterface/Variants.h>
#include <mach/mach_time.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

using namespace KorvanDeviceIO;

namespace {

class Input
{
public:
    Input(const uint8_t* data, size_t size) : fData(data), fSize(size) {}

    bool Empty() const { return fSize == 0; }

    template <typename T>
    T Take()
    {
        T value{};
        const size_t count = std::min(fSize, sizeof(T));
        std::memcpy(&value, fData, count);
        fData += count;
        fSize -= count;
        return value;
    }

    size_t TakeInto(uint8_t* out, size_t most)
    {
        const size_t count = std::min(fSize, most);
        std::memcpy(out, fData, count);
        fData += count;
        fSize -= count;
        return count;
    }

private:
    const uint8_t* fData;
    size_t fSize;
};

// One running Wrenlet per header mode, made at the first input that asks for it.
struct Running
{
    explicit Running(std::optional<uint8_t> headers)
    {
        const auto options = KorvanInterface::variantOptions(KorvanInterface::Model::Wrenlet, 0x2B3C,
                                                             KorvanInterface::Variant::Standard);
        fService.setDescriptors(KorvanInterface::buildDescriptors(options).configuration);
        fService.setCurValue(KorvanInterface::Entity::kClockSelector, 1, {1});
        fService.setCurValue(KorvanInterface::Entity::kClockSource, 1, {0x80, 0xBB, 0, 0});
        fService.setStreamingHeadersVersion(headers);
        fService.publish();
        const AudioObjectID id = SA_ObjectMap::GetNextObjectID();
        const io_service_t handle = fService.copyHandle();
        fDevice = new SA_DeviceUSB(id, KorvanService(handle, KorvanService::kBusTypeUSB), nullptr);
        SA_ObjectMap::MapObject(id, fDevice);
        fDevice->Activate();
        auto* output = reinterpret_cast<USBRequestBlock*>(fService.ring(kOutputRingMemoryType));
        WriteBlockHeader(output[0], {mach_absolute_time(), 0, 0, 480 * 88});
        if (fDevice->StartAudio() != 0) {
            std::abort();
        }
        fRing = reinterpret_cast<USBRequestBlock*>(fService.ring(kInputRingMemoryType));
        fStride = fDevice->GetInIsocInfo().fFamily[0].fMaxPacket;
    }

    PlugInTesting::FakeKernelService fService{"chase001"};
    SA_DeviceUSB* fDevice = nullptr;
    USBRequestBlock* fRing = nullptr;
    uint32_t fStride = 0;
};

Running& RunningFor(uint8_t choice)
{
    static Running* sRunning[3] = {};
    const int mode = choice % 3;
    if (sRunning[mode] == nullptr) {
        sRunning[mode] = new Running(mode == 0 ? std::nullopt : std::optional<uint8_t>(uint8_t(mode)));
    }
    return *sRunning[mode];
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    Log::SetLevel(Log::None);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Input input(data, size);
    Running& running = RunningFor(input.Take<uint8_t>());
    SA_DeviceUSB& device = *running.fDevice;
    const UInt32 channels = device.GetInputChannels();
    static std::vector<float> buffer(size_t(4096) * 32);
    while (!input.Empty()) {
        const uint8_t operation = input.Take<uint8_t>() % 4;
        const uint16_t position = input.Take<uint16_t>() % kPacketsPerRing;
        uint8_t* packet = running.fRing[position / kPacketsPerBlock].fBuffer +
                          size_t(position % kPacketsPerBlock) * running.fStride;
        switch (operation) {
        case 0: {
            uint8_t bytes[kMaxPacketStrideBytes];
            const size_t count =
                input.TakeInto(bytes, std::min<size_t>(input.Take<uint16_t>(), running.fStride));
            std::memcpy(packet, bytes, count);
            break;
        }
        case 1:
            WritePacketHeader(packet, {input.Take<uint32_t>(), input.Take<uint8_t>()});
            break;
        case 2:
            std::memset(packet, kStalePacketByte, running.fStride);
            break;
        default: {
            const UInt32 frames = input.Take<uint16_t>() % 4097;
            const Float64 sampleTime = Float64(input.Take<uint32_t>());
            device.ReadInputData(device.GetInputStreamID(), frames, sampleTime, buffer.data(), channels);
            break;
        }
        }
    }
    return 0;
}
