// The kernel extension on a Wrenlet, as the system matches it from its bundle.
//
// kext_completion: the bus work-loop work per input completion (the completion, the re-queue
// source, the output request with its zero fill, the 160-entry loop and the snapshot fold, and the
// next input request), while it streams on the real clock against a Wrenlet: at 192 kHz with the
// largest legal packets (30 channels each way, 4-byte subslots) and at 48 kHz with 20 and 22
// channels. Peers: memset of one block's data area, the zero fill every completion must do (goal
// 3x), the 20 ms a completion may take at most (goal 1/100), and the driver extension's work per
// completion on the same streams, which does more (goal 1x). Both drivers' classes bear the same
// names, so the driver extension's figures come from its own benchmark, run in a process of its own.
//
// kext_snapshot: the snapshot work loop's CPU per 20 ms period over ten seconds of streaming at
// 192 kHz, next to its floor, the time from each snapshot's first frame read to the frame boundary
// it catches, which the polling must spend (goal 1.2x).
//
// kext_start: the time from the control service's registerService to its UID property, next to
// the 100 ms after which the plug-in reads a missing UID once more. Printed without a goal: the
// margin is what matters.

#include <com_vork_driver_tide_control_interface.h>

#include <KernelIOKitTesting/KernelIOKitTesting.h>

#include <IOKit/IOEventSource.h>

#include <KorvanDeviceIdentities.h>
#include <KorvanInterface/KorvanDevice.h>
#include <KorvanInterface/Variants.h>
#include <KorvanRequestRing.h>
#include <SimUSB/Bus.h>

#include <benchmark/benchmark.h>

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace KorvanDeviceIO;
using KorvanInterface::Family;

constexpr uint8_t kPort = 11;
constexpr double kPeriodSeconds = 0.020;

// Reads the CPU time of the work loop's thread on that thread.
class ThreadClockSource : public IOEventSource
{
    OSDeclareDefaultStructors(ThreadClockSource)

        public : double cpuSeconds()
    {
        std::unique_lock lock(fMutex);
        fRead = false;
        lock.unlock();
        signalWorkAvailable();
        lock.lock();
        fDone.wait(lock, [&] { return fRead; });
        return fSeconds;
    }

protected:
    bool checkForWork() override
    {
        timespec spent{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &spent);
        std::lock_guard lock(fMutex);
        fSeconds = double(spent.tv_sec) + double(spent.tv_nsec) * 1e-9;
        fRead = true;
        fDone.notify_one();
        return false;
    }

private:
    std::mutex fMutex;
    std::condition_variable fDone;
    bool fRead = false;
    double fSeconds = 0;
};

OSDefineMetaClassAndStructors(ThreadClockSource, IOEventSource)

    constexpr const char* kUIDProperty = "com_vork_driver_tide_device_UID";

// The published control service, retained, once `ready` holds for it; polled without pause when
// `spin`, so the moment it is published is seen.
template <typename Ready>
com_vork_driver_tide_control_interface* publishedControl(Ready ready, bool spin)
{
    OSDictionary* matching = IOService::serviceMatching("com_vork_driver_tide_control_interface");
    com_vork_driver_tide_control_interface* found = nullptr;
    while (!found) {
        OSIterator* services = IOService::getMatchingServices(matching);
        found = OSDynamicCast(com_vork_driver_tide_control_interface, services->getNextObject());
        if (found && ready(found)) {
            found->retain();
        } else {
            found = nullptr;
        }
        services->release();
        if (!found && !spin) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    matching->release();
    return found;
}

void plugIn(const KorvanInterface::DescriptorOptions& options)
{
    if (!KernelIOKitTesting::loadKernelExtension(KEXT_BUNDLE)) {
        std::abort();
    }
    SimUSB::Bus::shared().attach(kPort, std::make_shared<KorvanInterface::KorvanDevice>(options));
}

void unplug()
{
    SimUSB::Bus::shared().detach(kPort);
    while (KernelIOKitTesting::liveObjects("com_vork_driver_tide_base_interface") != 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

KorvanInterface::DescriptorOptions wrenlet()
{
    return KorvanInterface::variantOptions(KorvanInterface::Model::Wrenlet, KorvanDeviceIdentities::kVendorID,
                                           KorvanInterface::Variant::Standard);
}

uint64_t lastOutputHostTime(IOMemoryDescriptor* ring)
{
    const auto* blocks = static_cast<const uint8_t*>(ring->getKernelAddress());
    uint64_t last = 0;
    for (size_t index = 0; index < kRequestBlockCount; ++index) {
        last = std::max(last, ReadBlockHeader(*reinterpret_cast<const USBRequestBlock*>(
                                                  blocks + RequestBlockOffset(index)))
                                  .fHostTime);
    }
    return last;
}

struct Stream
{
    uint32_t rate;
    Family family;
    uint8_t inChannels;
    uint8_t outChannels;
};

// Streams `s` on the real clock against a Wrenlet and, once it has settled, runs `measure` with the
// control service and the output ring.
template <typename Measure>
void whileStreaming(const Stream& s, Measure&& measure)
{
    KorvanInterface::DescriptorOptions options = wrenlet();
    options.channels[size_t(s.family)] = {s.inChannels, s.outChannels};
    plugIn(options);
    com_vork_driver_tide_control_interface* control = publishedControl(
        [](IOService* service) { return service->getProperty(kUIDProperty) != nullptr; }, false);
    com_vork_driver_tide_provider* provider = control->GetProvider();
    IOWorkLoop* bus = control->getWorkLoop();

    USBUACControlRequest rate{1, 1, KorvanInterface::Entity::kClockSource, 4, {}};
    std::memcpy(rate.fData, &s.rate, 4);
    USBControlResponse response{};
    const uint32_t alternate = uint32_t(s.family) + 1;
    bus->closeGate();
    provider->SendUACControlRequest(&rate, &response);
    provider->StartAudioDMA(KorvanInterface::kRecordInterface, alternate, s.inChannels * 4u,
                            KorvanInterface::kPlaybackInterface, alternate, s.outChannels * 4u);
    bus->openGate();
    IOMemoryDescriptor* out = provider->GetBufferDesc(2);

    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    measure(control, out);

    bus->closeGate();
    provider->StopAudioDMA();
    bus->openGate();
    out->release();
    control->release();
    unplug();
}

// Streams for two seconds and gives the bus work loop's CPU seconds per input completion.
double secondsPerCompletion(const Stream& s)
{
    double seconds = 0;
    whileStreaming(s, [&](com_vork_driver_tide_control_interface* control, IOMemoryDescriptor* out) {
        IOWorkLoop* bus = control->getWorkLoop();
        auto* clock = new ThreadClockSource;
        clock->init(control);
        bus->addEventSource(clock);
        const double cpuBefore = clock->cpuSeconds();
        const uint64_t before = lastOutputHostTime(out);
        std::this_thread::sleep_for(std::chrono::seconds(2));
        const double cpuAfter = clock->cpuSeconds();
        const uint64_t after = lastOutputHostTime(out);
        bus->removeEventSource(clock);
        clock->release();
        const uint64_t completions = (after - before) / uint64_t(kPeriodSeconds * 1e9);
        seconds = completions == 0 ? 0 : (cpuAfter - cpuBefore) / double(completions);
    });
    return seconds;
}

// The snapshot polling, told of each frame-number read, which only the snapshot work loop makes while
// streaming: that thread's CPU clock, and the floor, for each snapshot the time from its first
// read to the start of the frame its last read saw, the boundary it caught. Reads more than 5 ms
// apart belong to different snapshots.
class SnapshotPolling
{
public:
    void read(uint64_t frame, uint64_t time)
    {
        if (!fStarted.load(std::memory_order_relaxed)) {
            pthread_getcpuclockid(pthread_self(), &fThreadClock);
            fCPUStart = threadSeconds();
            fStarted.store(true, std::memory_order_release);
        }
        if (fStart == 0 || time - fLastTime > 5'000'000) {
            close();
            fStart = time;
        }
        fLastFrame = frame;
        fLastTime = time;
    }

    // The snapshot thread's CPU seconds since its first read; from another thread once it has read.
    double cpuSeconds() const
    {
        return fStarted.load(std::memory_order_acquire) ? threadSeconds() - fCPUStart : 0;
    }
    // Once no more reads come.
    double floorSeconds()
    {
        close();
        return double(fFloor) * 1e-9;
    }

private:
    double threadSeconds() const
    {
        timespec spent{};
        clock_gettime(fThreadClock, &spent);
        return double(spent.tv_sec) + double(spent.tv_nsec) * 1e-9;
    }
    void close()
    {
        if (fStart == 0) {
            return;
        }
        const uint64_t boundary = SimUSB::Bus::shared().frameClock().microframeStart(fLastFrame * 8);
        fFloor += boundary > fStart ? boundary - fStart : 0;
        fStart = 0;
    }

    std::atomic<bool> fStarted{false};
    clockid_t fThreadClock{};
    double fCPUStart = 0;
    uint64_t fStart = 0;
    uint64_t fLastFrame = 0;
    uint64_t fLastTime = 0;
    uint64_t fFloor = 0;
};

constexpr double kSnapshotSeconds = 10;
// The floor of the last measured run, which its peer row prints.
double gSnapshotFloorPerPeriod = 0;

// The snapshot work loop's CPU seconds per 20 ms period over ten seconds of the stream.
double snapshotSecondsPerPeriod(const Stream& s)
{
    SnapshotPolling polling;
    double cpu = 0;
    whileStreaming(s, [&](com_vork_driver_tide_control_interface*, IOMemoryDescriptor*) {
        KernelIOKitTesting::setFrameReadHook(
            [&polling](uint64_t frame, uint64_t time) { polling.read(frame, time); });
        std::this_thread::sleep_for(std::chrono::duration<double>(kSnapshotSeconds));
        cpu = polling.cpuSeconds();
    });
    // The stream has stopped: no snapshot is under way any more.
    KernelIOKitTesting::setFrameReadHook({});
    const double periods = kSnapshotSeconds / kPeriodSeconds;
    gSnapshotFloorPerPeriod = polling.floorSeconds() / periods;
    return cpu / periods;
}

const Stream kQuadLargest{192000, Family::Quad, 30, 30};
const Stream kSingleWrenlet{48000, Family::Single, 20, 22};

void completionOurs(benchmark::State& state, Stream stream)
{
    for (auto _ : state) {
        state.SetIterationTime(secondsPerCompletion(stream));
    }
}

// What a benchmark run printed for one of its cases, in seconds; 0 when it printed nothing for it.
double reportedSeconds(const std::string& json, const std::string& name)
{
    const size_t at = json.find("\"name\": \"" + name + "/");
    const size_t time = json.find("\"real_time\": ", at);
    const size_t unit = json.find("\"time_unit\": \"", at);
    if (at == std::string::npos || time == std::string::npos || unit == std::string::npos) {
        return 0;
    }
    const std::map<std::string, double> scale{{"ns", 1e-9}, {"us", 1e-6}, {"ms", 1e-3}, {"s", 1}};
    const size_t unitStart = unit + std::strlen("\"time_unit\": \"");
    const auto found = scale.find(json.substr(unitStart, json.find('"', unitStart) - unitStart));
    return found == scale.end()
               ? 0
               : std::stod(json.substr(time + std::strlen("\"real_time\": "))) * found->second;
}

// The driver extension's work per completion on the same streams, from one run of its benchmark.
double dextSecondsPerCompletion(const std::string& argument)
{
    static const std::string json = [] {
        const std::string command = std::string(DEXT_BENCH) +
                                    " --benchmark_format=json"
                                    " --benchmark_filter='^dext_completion/ours/(192k|48k)/' 2>/dev/null";
        std::string output;
        if (FILE* pipe = popen(command.c_str(), "r")) {
            char buffer[4096];
            size_t count = 0;
            while ((count = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) {
                output.append(buffer, count);
            }
            pclose(pipe);
        }
        return output;
    }();
    return reportedSeconds(json, "dext_completion/ours/" + argument);
}

void completionDext(benchmark::State& state, std::string argument)
{
    for (auto _ : state) {
        state.SetIterationTime(dextSecondsPerCompletion(argument));
    }
}

void snapshotOurs(benchmark::State& state)
{
    for (auto _ : state) {
        state.SetIterationTime(snapshotSecondsPerPeriod(kQuadLargest));
    }
}

void snapshotFloor(benchmark::State& state)
{
    for (auto _ : state) {
        state.SetIterationTime(gSnapshotFloorPerPeriod);
    }
}

// One block's zero fill, the mean of a thousand, reported as one iteration so that the row pairs
// with the streaming case beside it.
void blockZeroFill(benchmark::State& state)
{
    constexpr int kFills = 1000;
    std::vector<uint8_t> block(kRequestDataSizeBytes, 1);
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        for (int fill = 0; fill < kFills; ++fill) {
            std::memset(block.data(), 0, block.size());
            benchmark::ClobberMemory();
        }
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(elapsed.count() / kFills);
    }
}

void period(benchmark::State& state)
{
    for (auto _ : state) {
        state.SetIterationTime(kPeriodSeconds);
    }
}

// From the moment the control service is published to its UID.
double secondsToUID()
{
    plugIn(wrenlet());
    com_vork_driver_tide_control_interface* control = publishedControl([](IOService*) { return true; }, true);
    const auto published = std::chrono::steady_clock::now();
    while (!control->getProperty(kUIDProperty)) {
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - published;
    control->release();
    unplug();
    return elapsed.count();
}

void startOurs(benchmark::State& state)
{
    for (auto _ : state) {
        state.SetIterationTime(secondsToUID());
    }
}

void uidRetryWindow(benchmark::State& state)
{
    for (auto _ : state) {
        state.SetIterationTime(0.100);
    }
}

} // namespace

BENCHMARK(startOurs)->Name("kext_start/ours/wrenlet")->UseManualTime()->Iterations(5);
BENCHMARK(uidRetryWindow)->Name("kext_start/peer/wrenlet")->UseManualTime()->Iterations(1);
BENCHMARK_CAPTURE(completionOurs, quad, kQuadLargest)
    ->Name("kext_completion/ours/192k")
    ->UseManualTime()
    ->Iterations(1);
BENCHMARK(blockZeroFill)->Name("kext_completion/peer/192k")->UseManualTime()->Iterations(1);
BENCHMARK_CAPTURE(completionOurs, single, kSingleWrenlet)
    ->Name("kext_completion/ours/48k")
    ->UseManualTime()
    ->Iterations(1);
BENCHMARK(blockZeroFill)->Name("kext_completion/peer/48k")->UseManualTime()->Iterations(1);
BENCHMARK_CAPTURE(completionOurs, period, kQuadLargest)
    ->Name("kext_completion_period/ours/192k")
    ->UseManualTime()
    ->Iterations(1);
BENCHMARK(period)->Name("kext_completion_period/peer/192k")->UseManualTime()->Iterations(1);
BENCHMARK_CAPTURE(completionOurs, dext_quad, kQuadLargest)
    ->Name("kext_completion_dext/ours/192k")
    ->UseManualTime()
    ->Iterations(1);
BENCHMARK_CAPTURE(completionDext, quad, "192k")
    ->Name("kext_completion_dext/peer/192k")
    ->UseManualTime()
    ->Iterations(1);
BENCHMARK_CAPTURE(completionOurs, dext_single, kSingleWrenlet)
    ->Name("kext_completion_dext/ours/48k")
    ->UseManualTime()
    ->Iterations(1);
BENCHMARK_CAPTURE(completionDext, single, "48k")
    ->Name("kext_completion_dext/peer/48k")
    ->UseManualTime()
    ->Iterations(1);
BENCHMARK(snapshotOurs)->Name("kext_snapshot/ours/192k")->UseManualTime()->Iterations(1);
BENCHMARK(snapshotFloor)->Name("kext_snapshot/peer/192k")->UseManualTime()->Iterations(1);

BENCHMARK_MAIN();
