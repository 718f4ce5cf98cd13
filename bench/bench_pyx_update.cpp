// Pair: pyx_update/ours and pyx_update/peer, for images of 1 MiB and 16 MiB with 0 and 5 busy polls
// per block. Ours is a whole update by the engine against the simulated Pyx in recovery mode:
// read-back compare (the first block differs), download with status polls, verify, reboot request.
// The peer is the physical limit: the same request sequence replayed through DeviceRequest on one
// thread, with nothing around it. Goal: at most 1.10x the peer. Ours also prints MiB/s and the
// progress events the engine sent.

#include <DeviceWrapper.h>
#include <USBDeviceImpl.h>
#include <USBUpdater.h>
#include <UpdateDevice.h>
#include <UpdateSource.h>

#include <PyxTesting/PyxBusSupport.h>

#include <Pyx/PyxUnit.h>
#include <Pyx/RunImage.h>

#include <KorvanDeviceIdentities.h>
#include <RunLoop.h>

#include <CoreFoundation/CFRunLoop.h>
#include <SimUSB/Bus.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr uint8_t kPort = 15;
constexpr size_t kBlock = Pyx::kBlockSize;

struct Case
{
    size_t size;
    unsigned busyPolls;
    const char* name;
};

constexpr Case kCases[] = {{1u << 20, 0, "1MiB_busy0"},
                           {1u << 20, 5, "1MiB_busy5"},
                           {16u << 20, 0, "16MiB_busy0"},
                           {16u << 20, 5, "16MiB_busy5"}};

std::vector<uint8_t> image(size_t size, uint32_t minor)
{
    return Pyx::buildRunImage({.major = 1, .minor = minor, .patch = 0, .build = "bench", .size = size});
}

// The unit, held in recovery mode so that each update's closing reboot brings it back there, and
// the device as the updater opens it, on a USB thread of its own.
class Bench
{
public:
    Bench()
    {
        DriverKitPlatform::startUSB();
        fUnit = Pyx::PyxUnit::create(SimUSB::Bus::shared(), kPort,
                                     {.vendorID = KorvanDeviceIdentities::kVendorID,
                                      .rebootDelay = 1'000'000,
                                      .reEnumerationDelay = 1'000'000,
                                      .flashCapacity = 32u << 20});
        fUnit->holdBack(true);
        fUnit->powerOn();
    }

    Pyx::PyxUnit& unit() { return *fUnit; }

    // Waits for the unit to come back from the last update's closing reboot and opens it again.
    std::shared_ptr<UpdateDevice> reopen()
    {
        close();
        const bool back = DarwinTesting::eventually([&] {
            const auto present = SimUSB::Bus::shared().device(kPort);
            return present && present != fLastSeen;
        });
        fLastSeen = SimUSB::Bus::shared().device(kPort);
        if (!back || !PyxTests::appears(kPort, Pyx::kRecoveryProductID))
            return nullptr;
        const io_service_t nub = PyxTests::UserDevice::copyNub(kPort);
        fUSBDevice = std::make_shared<USBDevice>();
        fUSBThread.dispatcher().postSync(
            [&] { fUSBDevice->setImpl(std::make_unique<USBDevice::Impl>(fUSBThread.dispatcher(), nub)); });
        IOObjectRelease(nub);
        return std::make_shared<UpdateDevice>(DeviceWrapper(fUSBDevice));
    }

    void close()
    {
        if (fUSBDevice)
            fUSBThread.dispatcher().postSync([&] { fUSBDevice->setImpl(nullptr); });
        fUSBDevice.reset();
    }

private:
    std::shared_ptr<Pyx::PyxUnit> fUnit;
    std::shared_ptr<SimUSB::HostDevice> fLastSeen;
    vork::RunLoop fUSBThread{[] {}};
    std::shared_ptr<USBDevice> fUSBDevice;
};

Bench& bench()
{
    static Bench* shared = new Bench;
    return *shared;
}

class Delegate : public USBUpdater::Delegate
{
public:
    void HandleUpdaterEvent(USBUpdater::Event event) override
    {
        if (event == USBUpdater::Finished)
            fFinished.fetch_add(1);
        if (event == USBUpdater::Progress)
            fProgress.fetch_add(1);
    }
    void AsyncEventCompleted(bool ok, unsigned short transferred) override
    {
        fEngine->AsyncRequestCallback(ok, transferred);
    }

    USBUpdater* fEngine = nullptr;
    std::atomic<int> fFinished{0};
    std::atomic<uint64_t> fProgress{0};
};

void ours(benchmark::State& state, Case c)
{
    Bench& b = bench();
    b.unit().setBusyPolls(c.busyPolls);
    Delegate delegate;
    USBUpdater engine(delegate);
    delegate.fEngine = &engine;
    uint32_t minor = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const auto bytes = image(c.size, ++minor);
        auto source = std::make_shared<UpdateSource>(
            Pellix::FileSpecification(UString("/bench/pyx.update", UString::kUTF8)),
            [bytes](const std::string&) {
                return UpdateSource::FileRead{bytes.size(), bytes};
            });
        engine.setUpdateSource(source);
        auto device = b.reopen();
        if (!device) {
            state.SkipWithError("the unit did not come back");
            break;
        }
        engine.DeviceConnected(device);
        const int finished = delegate.fFinished.load();
        state.ResumeTiming();
        engine.Update();
        // The engine asks for the image on this thread's loop.
        while (delegate.fFinished.load() == finished || !engine.isIdle())
            CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.0001, true);
        if (!engine.result() || engine.result()->index() != 0) {
            state.SkipWithError("the update did not succeed");
            break;
        }
    }
    engine.stop();
    b.close();
    state.counters["MiB/s"] = benchmark::Counter(double(c.size) / (1 << 20) * double(state.iterations()),
                                                 benchmark::Counter::kIsRate);
    state.counters["progress_events"] =
        benchmark::Counter(double(delegate.fProgress.load()), benchmark::Counter::kAvgIterations);
}

void peer(benchmark::State& state, Case c)
{
    Bench& b = bench();
    b.unit().setBusyPolls(c.busyPolls);
    uint32_t minor = 1000;
    for (auto _ : state) {
        state.PauseTiming();
        const auto bytes = image(c.size, ++minor);
        if (!b.reopen()) {
            state.SkipWithError("the unit did not come back");
            break;
        }
        b.close();
        PyxTests::UserDevice device(kPort);
        state.ResumeTiming();
        // Compare: the first block differs.
        device.in(0xA1, 0x02, 0, 0, kBlock);
        uint16_t block = 0;
        for (size_t offset = 0;; offset += kBlock, ++block) {
            const size_t length = std::min(kBlock, bytes.size() - offset);
            device.request(0x21, 0x01, block, 0,
                           {bytes.begin() + ptrdiff_t(offset), bytes.begin() + ptrdiff_t(offset + length)});
            while (device.in(0xA1, 0x03, 0, 0, 6).bytes.at(4) != Pyx::kStateIdle) {
            }
            if (length < kBlock)
                break;
        }
        for (uint16_t verify = 0; device.in(0xA1, 0x02, verify, 0, kBlock).bytes.size() == kBlock; ++verify) {
        }
        device.request(0x21, 0xF0, 0, 0, {});
    }
}

} // namespace

int main(int argc, char** argv)
{
    for (const Case& c : kCases) {
        benchmark::RegisterBenchmark((std::string("pyx_update/ours/") + c.name).c_str(), ours, c)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
        benchmark::RegisterBenchmark((std::string("pyx_update/peer/") + c.name).c_str(), peer, c)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
