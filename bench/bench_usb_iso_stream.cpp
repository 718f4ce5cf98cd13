// The bus and the Korvan model streaming IN and OUT at 192 kHz with the largest packets the
// descriptor rules allow (30 channels each way, 4-byte subslots, 3005-byte IN packets), headers on,
// for 10 simulated seconds on the manual clock: CPU per simulated second, next to glibc's memcpy of
// the same bytes both ways in the same run. And the controller's per-packet copy against memcpy of
// the same bytes.

#include <KorvanInterface/KorvanDevice.h>
#include <SimUSB/Bus.h>
#include <SimUSB/PacketStore.h>

#include <Darwin/Clock.h>
#include <DarwinTesting/ManualClock.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <mutex>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr uint32_t kEntries = 160;
constexpr uint32_t kInPacket = 3005;
constexpr uint32_t kOutPacket = 3000;
constexpr uint32_t kBytesPerFrame = 30 * 4;
constexpr uint32_t kFramesPerMicroframe = 24;
constexpr uint32_t kMicroframesPerSecond = 8000;
constexpr int kInRequests = 4;
constexpr int kOutRequests = 20;
constexpr uint16_t kVendor = 0x3A1C;

class Arrival : public SimUSB::HostListener
{
public:
    void deviceArrived(const std::shared_ptr<SimUSB::HostDevice>& device) override
    {
        std::lock_guard lock(fLock);
        fDevice = device;
    }
    void deviceLeft(const std::shared_ptr<SimUSB::HostDevice>&) override {}
    std::shared_ptr<SimUSB::HostDevice> device()
    {
        std::lock_guard lock(fLock);
        return fDevice;
    }

private:
    std::mutex fLock;
    std::shared_ptr<SimUSB::HostDevice> fDevice;
};

// What a driver does: input requests back to back, and per completed input an output request
// sized by the frames that came in, scheduled 300 frames on.
class Streamer
{
public:
    explicit Streamer(SimUSB::HostDevice& device) : fDevice(device)
    {
        for (auto& request : fIn) {
            request.data.assign(size_t(kEntries) * kInPacket, 0xAA);
            request.frames.resize(kEntries);
            request.owner = this;
        }
        for (auto& request : fOut) {
            request.data.assign(size_t(kEntries) * kOutPacket, 0);
            request.frames.resize(kEntries);
            request.owner = this;
        }
    }

    void start(uint64_t firstFrame)
    {
        for (int i = 0; i < kInRequests; ++i) {
            submitIn(fIn[size_t(i)], firstFrame + uint64_t(i) * 20);
        }
    }

    void stop()
    {
        fStopping.store(true);
        fDevice.abort(0x82, SimUSB::kAborted);
        fDevice.abort(0x01, SimUSB::kAborted);
    }

private:
    struct Request
    {
        Streamer* owner;
        std::vector<uint8_t> data;
        std::vector<SimUSB::IsochronousFrame> frames;
        uint64_t first = 0;
    };

    void submitIn(Request& request, uint64_t first)
    {
        for (auto& frame : request.frames) {
            frame = {0, kInPacket, 0, 0, 0};
        }
        request.first = first;
        fDevice.submitIsochronous(0x82, request.data.data(), request.data.size(), request.frames.data(),
                                  kEntries, first, {&Streamer::inDone, &request});
    }

    static void inDone(void* context, const SimUSB::TransferResult& result)
    {
        auto& request = *static_cast<Request*>(context);
        Streamer& self = *request.owner;
        if (result.status == SimUSB::kAborted || self.fStopping.load()) {
            return;
        }
        Request& out = self.fOut[self.fNextOut++ % kOutRequests];
        for (uint32_t i = 0; i < kEntries; ++i) {
            const uint32_t complete = request.frames[i].completeCount;
            const uint32_t frames = complete > 5 ? (complete - 5) / kBytesPerFrame : 0;
            out.frames[i] = {0, frames * kBytesPerFrame, 0, 0, 0};
        }
        self.fDevice.submitIsochronous(0x01, out.data.data(), out.data.size(), out.frames.data(), kEntries,
                                       request.first + 300, {nullptr, nullptr});
        self.submitIn(request, request.first + kInRequests * 20);
    }

    SimUSB::HostDevice& fDevice;
    Request fIn[kInRequests];
    Request fOut[kOutRequests];
    uint32_t fNextOut = 0;
    std::atomic<bool> fStopping{false};
};

double processSeconds()
{
    timespec now;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

void isoStreamOurs(benchmark::State& state)
{
    DarwinTesting::ManualClock clock;
    KorvanInterface::DescriptorOptions options(KorvanInterface::Model::Pyx, kVendor);
    options.channels[int(KorvanInterface::Family::Quad)] = {30, 30};
    auto model = std::make_shared<KorvanInterface::KorvanDevice>(options);
    SimUSB::Bus bus;
    Arrival arrival;
    bus.addListener(&arrival);
    bus.attach(1, model);
    bus.settle();
    auto device = arrival.device();
    // 192 kHz, headers on, both streams at the 4x alternate.
    uint8_t rate[4] = {0x00, 0xEE, 0x02, 0x00};
    const bool started =
        device && device->control({0x21, 1, 0x0100, 0x1000, 4}, rate, 500).status == SimUSB::kSuccess &&
        device->control({0x41, 2, 1, 0, 0}, nullptr, 500).status == SimUSB::kSuccess &&
        device->control({0x01, 11, 3, 2, 0}, nullptr, 500).status == SimUSB::kSuccess &&
        device->control({0x01, 11, 3, 1, 0}, nullptr, 500).status == SimUSB::kSuccess;
    if (!started) {
        state.SkipWithError("the device did not start streaming");
        bus.reset();
        bus.removeListener(&arrival);
        return;
    }
    Streamer streamer(*device);
    streamer.start(bus.frameClock().currentFrame() + 2);
    clock.advance(100ms);
    for (auto _ : state) {
        const double before = processSeconds();
        clock.advance(10s);
        state.SetIterationTime((processSeconds() - before) / 10);
    }
    streamer.stop();
    clock.advance(10ms);
    const auto frames = model->recordFrames();
    if (!model->protocolErrors().empty() || frames.empty() || frames.back().second != 24 ||
        !model->mirrorMismatches().empty()) {
        state.SkipWithError("the device did not stream 24 frames per microframe each way");
    }
    bus.reset();
    bus.removeListener(&arrival);
}

// What the stream moves per simulated second, each packet copied once with glibc's memcpy: IN packets
// into slots of the input requests' buffers, OUT packets out of the output requests' contiguous data.
void isoStreamPeer(benchmark::State& state)
{
    const uint32_t inLength = 5 + kFramesPerMicroframe * kBytesPerFrame;
    const uint32_t outLength = kFramesPerMicroframe * kBytesPerFrame;
    std::vector<uint8_t> inPacket(inLength, 0x5A);
    std::vector<uint8_t> outPacket(outLength);
    std::vector<uint8_t> inRings(size_t(kInRequests) * kEntries * kInPacket);
    std::vector<uint8_t> outRings(size_t(kOutRequests) * kEntries * kOutPacket, 0x33);
    // Lengths the compiler cannot see, so that glibc's memcpy does the copies rather than inline code.
    size_t inCopy = inLength;
    size_t outCopy = outLength;
    benchmark::DoNotOptimize(inCopy);
    benchmark::DoNotOptimize(outCopy);
    const size_t inSlots = size_t(kInRequests) * kEntries;
    const size_t outSlots = size_t(kOutRequests) * kEntries;
    size_t microframe = 0;
    for (auto _ : state) {
        const double before = processSeconds();
        for (uint32_t i = 0; i < 10 * kMicroframesPerSecond; ++i, ++microframe) {
            std::memcpy(inRings.data() + (microframe % inSlots) * kInPacket, inPacket.data(), inCopy);
            std::memcpy(outPacket.data(), outRings.data() + (microframe % outSlots) * outLength, outCopy);
            benchmark::ClobberMemory();
        }
        state.SetIterationTime((processSeconds() - before) / 10);
    }
}

void isoCopyOurs(benchmark::State& state)
{
    std::vector<uint8_t> packet(kInPacket, 0x5A);
    std::vector<uint8_t> ring(size_t(kEntries) * kInPacket);
    size_t slot = 0;
    for (auto _ : state) {
        SimUSB::storePacket(ring.data() + slot * kInPacket, packet.data(), kInPacket,
                            ring.size() - slot * kInPacket);
        slot = (slot + 1) % kEntries;
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kInPacket);
}

void isoCopyPeer(benchmark::State& state)
{
    std::vector<uint8_t> packet(kInPacket, 0x5A);
    std::vector<uint8_t> ring(size_t(kEntries) * kInPacket);
    size_t slot = 0;
    // A length the compiler cannot see, so that glibc's memcpy does the copy rather than inline code.
    size_t length = kInPacket;
    benchmark::DoNotOptimize(length);
    for (auto _ : state) {
        std::memcpy(ring.data() + slot * kInPacket, packet.data(), length);
        slot = (slot + 1) % kEntries;
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kInPacket);
}

} // namespace

BENCHMARK(isoStreamOurs)
    ->Name("usb_iso_stream/ours")
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(isoStreamPeer)
    ->Name("usb_iso_stream/peer")
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(isoCopyOurs)->Name("usb_iso_copy/ours");
BENCHMARK(isoCopyPeer)->Name("usb_iso_copy/peer");

BENCHMARK_MAIN();
