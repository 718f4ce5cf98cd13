// Everything at once on the real clock, then an unplug in the middle of it, and an isochronous
// endpoint held and released while it streams; run under ThreadSanitizer by the tsan preset.

#include "BusTestSupport.h"

#include <DarwinTesting/Eventually.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

using SimUSB::IsochronousFrame;
using SimUSBTesting::EchoDevice;

namespace {

constexpr uint32_t kMaxPacket = EchoDevice::kIsochronousMaxPacket;
// Longer than any transfer of the readers lies queued ahead.
constexpr uint64_t kHeldMicroframes = 64;

// Interrupt reads that queue themselves again from their completions.
struct InterruptReader
{
    SimUSB::HostDevice* device;
    std::atomic<int>* received;
    uint8_t buffer[8];

    static void completed(void* context, const SimUSB::TransferResult& result)
    {
        auto* self = static_cast<InterruptReader*>(context);
        if (result.status != SimUSB::kSuccess) {
            return;
        }
        self->received->fetch_add(1);
        self->device->submit(EchoDevice::kInterruptIn, self->buffer, 8, 0,
                             {&InterruptReader::completed, self});
    }
};

// One frame of isochronous IN that queues itself again four frames on.
struct IsochronousReader
{
    SimUSB::HostDevice* device;
    std::atomic<int>* completed;
    uint8_t* data;
    IsochronousFrame frames[8];
    uint64_t frame = 0;

    SimUSB::Status submit(uint64_t first)
    {
        frame = first;
        for (auto& entry : frames) {
            entry = {0, kMaxPacket, 0, 0, 0};
        }
        return device->submitIsochronous(EchoDevice::kIsochronousIn, data, 8 * kMaxPacket, frames, 8, first,
                                         {&IsochronousReader::done, this});
    }

    static void done(void* context, const SimUSB::TransferResult& result)
    {
        auto* self = static_cast<IsochronousReader*>(context);
        if (result.status == SimUSB::kAborted || result.status == SimUSB::kNoDevice) {
            return;
        }
        self->completed->fetch_add(1);
        if (self->submit(self->frame + 4) == SimUSB::kIsoTooOld) {
            self->submit(self->device->readFrame().frame + 2);
        }
    }
};

// Four readers on consecutive frames, each on its own frame of `ring`; whether all were queued.
bool StartIsochronousReaders(SimUSB::HostDevice* device, std::atomic<int>* completed,
                             std::vector<uint8_t>& ring, std::vector<IsochronousReader>& readers)
{
    ring.assign(4 * 8 * kMaxPacket, 0);
    readers.resize(4);
    // Far enough ahead that a thread the sanitizer slows down queues all four in time.
    const uint64_t start = device->readFrame().frame + 50;
    for (size_t i = 0; i < readers.size(); ++i) {
        readers[i].device = device;
        readers[i].completed = completed;
        readers[i].data = ring.data() + i * 8 * kMaxPacket;
        if (readers[i].submit(start + i) != SimUSB::kSuccess) {
            return false;
        }
    }
    return true;
}

TEST(BusStress, TransfersOfEveryKindThenAnUnplug)
{
    SimUSBTests::EchoBus echoBus;
    echoBus.selectStreaming();
    SimUSB::HostDevice* device = echoBus.device.get();
    std::atomic<bool> stop{false};

    std::atomic<int> interrupts{0};
    std::vector<InterruptReader> interruptReaders(4, InterruptReader{device, &interrupts, {}});
    for (auto& reader : interruptReaders) {
        device->submit(EchoDevice::kInterruptIn, reader.buffer, 8, 0, {&InterruptReader::completed, &reader});
    }

    std::atomic<int> isochronous{0};
    std::vector<uint8_t> ring;
    std::vector<IsochronousReader> isoReaders;
    ASSERT_TRUE(StartIsochronousReaders(device, &isochronous, ring, isoReaders));

    std::vector<std::thread> threads;
    // Readers of the ring acquire each packet's start as the rings' readers do.
    threads.emplace_back([&] {
        uint64_t seen = 0;
        while (!stop.load()) {
            for (size_t slot = 0; slot < 32; ++slot) {
                const uint8_t* packet = ring.data() + slot * kMaxPacket;
                const uint64_t microframe =
                    __atomic_load_n(reinterpret_cast<const uint64_t*>(packet), __ATOMIC_ACQUIRE);
                if (microframe != 0) {
                    seen += packet[63] == uint8_t(microframe) ? 1 : 0;
                }
            }
        }
        EXPECT_GT(seen, 0u);
    });
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            uint8_t data[4] = {uint8_t(t), 1, 2, 3};
            uint8_t back[64];
            while (!stop.load()) {
                if (device->control({0x40, 1, 0, 0, 4}, data, 500).status == SimUSB::kNoDevice ||
                    device->control({0xC0, 1, 0, 0, 64}, back, 500).status == SimUSB::kNoDevice) {
                    break;
                }
            }
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; !stop.load(); ++i) {
            echoBus.echo->postInterrupt({uint8_t(i)});
            std::this_thread::yield();
        }
    });

    EXPECT_TRUE(
        DarwinTesting::eventually([&] { return interrupts.load() >= 200 && isochronous.load() >= 100; }));
    echoBus.bus.detach(1);
    stop.store(true);
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_FALSE(device->connected());
    uint8_t buffer[8];
    EXPECT_EQ(device->submit(EchoDevice::kInterruptIn, buffer, 8, 0, {}), SimUSB::kNoDevice);
}

TEST(BusStress, AnIsochronousEndpointHeldAndReleasedWhileItStreams)
{
    SimUSBTests::EchoBus echoBus;
    echoBus.selectStreaming();
    SimUSB::HostDevice* device = echoBus.device.get();
    std::atomic<int> isochronous{0};
    std::vector<uint8_t> ring;
    std::vector<IsochronousReader> readers;
    ASSERT_TRUE(StartIsochronousReaders(device, &isochronous, ring, readers));
    ASSERT_TRUE(DarwinTesting::eventually([&] { return isochronous.load() >= 4; }));
    auto lastServed = [&] {
        const auto served = echoBus.echo->isochronousInMicroframes();
        return served.empty() ? 0 : served.back();
    };
    const SimUSB::Fault hold{SimUSB::Fault::Kind::Hold, SimUSB::Fault::Trigger::FromNow};
    for (int round = 0; round < 50; ++round) {
        echoBus.bus.injectFault(1, EchoDevice::kIsochronousIn, hold);
        // Held once the bus serves the queued transfers no more while the frames go by.
        ASSERT_TRUE(DarwinTesting::eventually([&] {
            return lastServed() + kHeldMicroframes < echoBus.bus.frameClock().currentFrame() * 8;
        })) << "round "
            << round;
        const uint64_t released = echoBus.bus.frameClock().currentFrame() * 8;
        echoBus.bus.clearFaults(1);
        ASSERT_TRUE(DarwinTesting::eventually([&] { return lastServed() >= released; })) << "round " << round;
    }
    EXPECT_GT(isochronous.load(), 50 * 4);
    echoBus.bus.detach(1);
    EXPECT_FALSE(device->connected());
}

} // namespace
