#include "bench_e2e_chain.h"

#include <DemoRun.h>
#include <PlugInDevice.h>
#include <SimulatedSystem.h>

#include <AudioServerHost.h>
#include <DarwinTesting/LogCapture.h>
#include <DriverKitTesting/DriverKitTesting.h>
#include <KorvanRequestRing.h>
#include <SimUSB/Bus.h>

#include <IOKit/IOKitLib.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fstream>
#include <map>
#include <set>
#include <thread>
#include <unistd.h>

namespace E2EBench {

namespace {

using KorvanDeviceIO::USBRequestBlock;

constexpr uint8_t kPort = 3;
constexpr UInt32 kClientID = 1;
constexpr const char* kSerial = "BENCH001";
constexpr const char* kUID = "bench001";
constexpr double kDeviceWaitSeconds = 5;
constexpr double kRateChangeSeconds = 10;
constexpr auto kSettling = std::chrono::seconds(1);
// The plug-in stops the device 2000 ms after the last client stopped.
constexpr auto kStopWait = std::chrono::milliseconds(2500);
constexpr auto kRingPoll = std::chrono::milliseconds(4);
constexpr uint32_t kTestClientType = 0x54455354; // 'TEST'
constexpr uint32_t kSubslotBytes = 4;
constexpr uint64_t kRequestNs = 20'000'000;
// A snapshot is one frame number and one host time.
constexpr size_t kSnapshotBytes = 16;
constexpr size_t kMaxSnapshotThreads = 8;

pid_t ThisThread()
{
    return pid_t(gettid());
}

uint64_t ThreadCpuNs(pid_t thread)
{
    std::ifstream stat("/proc/self/task/" + std::to_string(thread) + "/schedstat");
    uint64_t running = 0;
    stat >> running;
    return running;
}

std::string ThreadName(pid_t thread)
{
    std::ifstream comm("/proc/self/task/" + std::to_string(thread) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

std::set<pid_t> Threads()
{
    std::set<pid_t> threads;
    if (DIR* tasks = opendir("/proc/self/task")) {
        while (const dirent* entry = readdir(tasks)) {
            if (entry->d_name[0] != '.') {
                threads.insert(pid_t(std::stol(entry->d_name)));
            }
        }
        closedir(tasks);
    }
    return threads;
}

std::set<pid_t> Added(const std::set<pid_t>& after, const std::set<pid_t>& before)
{
    std::set<pid_t> added;
    std::set_difference(after.begin(), after.end(), before.begin(), before.end(),
                        std::inserter(added, added.end()));
    return added;
}

std::map<pid_t, uint64_t> CpuOf(const std::set<pid_t>& threads)
{
    std::map<pid_t, uint64_t> cpu;
    for (const pid_t thread : threads) {
        cpu[thread] = ThreadCpuNs(thread);
    }
    return cpu;
}

// The threads the bus and the plug-in started, once per process: both live as long as it does.
struct ProcessThreads
{
    std::set<pid_t> bus;
    std::set<pid_t> plugIn;
};

const ProcessThreads& StartedWithTheProcess()
{
    static const ProcessThreads threads = [] {
        ProcessThreads result;
        const std::set<pid_t> before = Threads();
        SimUSB::Bus::shared();
        const std::set<pid_t> withBus = Threads();
        result.bus = Added(withBus, before);
        Demo::SharedAudioServer();
        result.plugIn = Added(Threads(), withBus);
        return result;
    }();
    return threads;
}

// The threads that read the bus's frame counter through the driver extension's platform.
class FrameReaders
{
public:
    FrameReaders() { DriverKitTesting::observeFrameReads(&FrameReaders::read, this); }
    ~FrameReaders() { DriverKitTesting::observeFrameReads(nullptr, nullptr); }
    FrameReaders(const FrameReaders&) = delete;
    FrameReaders& operator=(const FrameReaders&) = delete;

    bool contains(pid_t thread) const
    {
        return std::any_of(fThreads.begin(), fThreads.end(),
                           [&](const std::atomic<pid_t>& t) { return t == thread; });
    }

private:
    static void read(void* context, uint64_t, uint64_t)
    {
        auto& self = *static_cast<FrameReaders*>(context);
        const pid_t thread = ThisThread();
        for (std::atomic<pid_t>& slot : self.fThreads) {
            pid_t seen = slot.load(std::memory_order_relaxed);
            if (seen == thread || (seen == 0 && slot.compare_exchange_strong(seen, thread))) {
                return;
            }
        }
    }

    std::array<std::atomic<pid_t>, kMaxSnapshotThreads> fThreads{};
};

// A thread woken every `period` that copies `bytes`, and times each copy into `copies` when given.
class FloorThread
{
public:
    FloorThread(std::chrono::nanoseconds period, size_t bytes, std::vector<double>* copies)
        : fPeriod(period), fSource(bytes, 0x5A), fTarget(bytes), fCopies(copies)
    {
        if (fCopies != nullptr) {
            fCopies->clear();
        }
        fThread = std::thread([this] { run(); });
    }
    FloorThread(const FloorThread&) = delete;
    FloorThread& operator=(const FloorThread&) = delete;

    // Stops the thread and returns its CPU seconds.
    double stop()
    {
        fStopping = true;
        fThread.join();
        return fSeconds;
    }

    pid_t thread() const
    {
        while (fId.load() == 0) {
            std::this_thread::yield();
        }
        return fId.load();
    }

private:
    void run()
    {
        fId = ThisThread();
        timespec next{};
        clock_gettime(CLOCK_MONOTONIC, &next);
        while (!fStopping) {
            const int64_t nanoseconds = next.tv_nsec + fPeriod.count();
            next.tv_sec += time_t(nanoseconds / 1'000'000'000);
            next.tv_nsec = long(nanoseconds % 1'000'000'000);
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
            const auto begin = std::chrono::steady_clock::now();
            std::memcpy(fTarget.data(), fSource.data(), fSource.size());
            benchmark::DoNotOptimize(fTarget.data());
            benchmark::ClobberMemory();
            const auto end = std::chrono::steady_clock::now();
            if (fCopies != nullptr && fCopies->size() < fCopies->capacity()) {
                fCopies->push_back(
                    double(std::chrono::duration_cast<std::chrono::nanoseconds>(end - begin).count()));
            }
        }
        timespec cpu{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
        fSeconds = double(cpu.tv_sec) + double(cpu.tv_nsec) * 1e-9;
    }

    std::chrono::nanoseconds fPeriod;
    std::vector<uint8_t> fSource;
    std::vector<uint8_t> fTarget;
    std::vector<double>* fCopies;
    std::atomic<bool> fStopping{false};
    std::atomic<pid_t> fId{0};
    double fSeconds = 0;
    std::thread fThread;
};

// What the host's IO thread hands over, kept in storage allocated before the stream starts.
class CycleLog
{
public:
    CycleLog(AudioServerPlugInDriverRef driver, size_t capacity) : fDriver(driver)
    {
        fTimings.resize(capacity);
        fCostNs.resize(capacity);
    }

    void setDevice(AudioObjectID device) { fDevice = device; }

    IOCallback callback()
    {
        return [this](const AudioServerPlugInIOCycleInfo&, const std::vector<IOBuffer>&,
                      std::vector<IOBuffer>& outputs) {
            const uint64_t begin = mach_absolute_time();
            fIOThread.store(ThisThread(), std::memory_order_relaxed);
            // The zero-timestamp query the host made before this cycle, made again to time it.
            Float64 sampleTime = 0;
            UInt64 hostTime = 0;
            UInt64 seed = 0;
            (**fDriver).GetZeroTimeStamp(fDriver, fDevice, kClientID, &sampleTime, &hostTime, &seed);
            const uint64_t queried = mach_absolute_time();
            for (IOBuffer& output : outputs) {
                std::memset(output.fBytes.data(), 0, output.fBytes.size());
            }
            fZeroTimeStampNs = queried - begin;
            fCallbackNs = mach_absolute_time() - begin;
        };
    }

    IOCycleObserver observer()
    {
        return [this](const IOCycleTiming& timing) {
            const size_t index = fCount.load(std::memory_order_relaxed);
            if (index >= fTimings.size()) {
                return;
            }
            fTimings[index] = timing;
            fCostNs[index] =
                double(timing.fWritten - timing.fWoke) - double(fCallbackNs) + double(fZeroTimeStampNs);
            fCount.store(index + 1, std::memory_order_release);
        };
    }

    pid_t ioThread() const { return fIOThread.load(); }
    size_t count() const { return fCount.load(std::memory_order_acquire); }
    const IOCycleTiming& timing(size_t index) const { return fTimings[index]; }
    double costNs(size_t index) const { return fCostNs[index]; }

private:
    AudioServerPlugInDriverRef fDriver;
    AudioObjectID fDevice = 0;
    std::vector<IOCycleTiming> fTimings;
    std::vector<double> fCostNs;
    std::atomic<size_t> fCount{0};
    std::atomic<pid_t> fIOThread{0};
    uint64_t fZeroTimeStampNs = 0;
    uint64_t fCallbackNs = 0;
};

// The driver's output ring, mapped through a test connection of the control service.
class OutputRing
{
public:
    OutputRing()
    {
        io_iterator_t services = 0;
        if (IOServiceGetMatchingServices(kIOMainPortDefault,
                                         IOServiceMatching("com_vork_driver_tide_control_interface"),
                                         &services) != kIOReturnSuccess) {
            return;
        }
        const io_service_t service = IOIteratorNext(services);
        IOObjectRelease(services);
        if (service == 0) {
            return;
        }
        const kern_return_t opened = IOServiceOpen(service, mach_task_self(), kTestClientType, &fConnection);
        IOObjectRelease(service);
        if (opened != KERN_SUCCESS) {
            fConnection = 0;
            return;
        }
        mach_vm_address_t address = 0;
        mach_vm_size_t size = 0;
        if (IOConnectMapMemory64(fConnection, KorvanDeviceIO::kOutputRingMemoryType, mach_task_self(),
                                 &address, &size, kIOMapAnywhere) == KERN_SUCCESS &&
            size >= KorvanDeviceIO::kRequestRingSizeBytes) {
            fBlocks = reinterpret_cast<USBRequestBlock*>(address);
        }
    }

    ~OutputRing()
    {
        if (fBlocks != nullptr) {
            IOConnectUnmapMemory64(fConnection, KorvanDeviceIO::kOutputRingMemoryType, mach_task_self(),
                                   reinterpret_cast<mach_vm_address_t>(fBlocks));
        }
        if (fConnection != 0) {
            IOServiceClose(fConnection);
        }
    }
    OutputRing(const OutputRing&) = delete;
    OutputRing& operator=(const OutputRing&) = delete;

    bool mapped() const { return fBlocks != nullptr; }

    // The blocks written since the last look.
    void collect(double bytesPerFrame, std::vector<OutputBlock>& blocks)
    {
        for (size_t index = 0; index < KorvanDeviceIO::kRequestBlockCount; ++index) {
            const KorvanDeviceIO::BlockHeader header = KorvanDeviceIO::ReadBlockHeader(fBlocks[index]);
            if (header.fHostTime != 0 && header.fHostTime != fSeen[index]) {
                fSeen[index] = header.fHostTime;
                blocks.push_back({double(header.fStartByteCount) / bytesPerFrame,
                                  double(header.fEndByteCount) / bytesPerFrame, header.fHostTime});
            }
        }
    }

private:
    io_connect_t fConnection = 0;
    USBRequestBlock* fBlocks = nullptr;
    std::array<uint64_t, KorvanDeviceIO::kRequestBlockCount> fSeen{};
};

KorvanInterface::ChannelCounts DeviceChannels(KorvanInterface::Model model, uint32_t rate)
{
    KorvanInterface::Family family = KorvanInterface::Family::Single;
    KorvanInterface::familyOfRate(rate, &family);
    return KorvanInterface::modelInfo(model).channels[size_t(family)];
}

// The kernel extension's snapshot work loop: the one work loop it makes itself, for its stream,
// after the platform made its service's.
pid_t KernelSnapshotThread(const std::set<pid_t>& threads, const std::set<pid_t>& beforeDevice)
{
    pid_t newest = 0;
    for (const pid_t thread : threads) {
        if (beforeDevice.count(thread) == 0 && ThreadName(thread) == "IOWorkLoop") {
            newest = std::max(newest, thread);
        }
    }
    return newest;
}

// Sorts each measured thread's CPU seconds into the chain's groups.
ChainSeconds Group(const std::map<pid_t, uint64_t>& before, const std::set<pid_t>& beforeDevice,
                   const std::set<pid_t>& floors, pid_t ioThread, const FrameReaders& readers)
{
    const ProcessThreads& process = StartedWithTheProcess();
    const std::set<pid_t> threads = Threads();
    const pid_t kernelSnapshot = KernelSnapshotThread(threads, beforeDevice);
    ChainSeconds seconds;
    for (const pid_t thread : threads) {
        if (floors.count(thread) != 0) {
            continue;
        }
        const auto earlier = before.find(thread);
        const double spent =
            double(ThreadCpuNs(thread) - (earlier == before.end() ? 0 : earlier->second)) * 1e-9;
        if (thread == ioThread) {
            seconds.hostIO += spent;
        } else if (readers.contains(thread) || thread == kernelSnapshot) {
            seconds.snapshot += spent;
        } else if (process.bus.count(thread) != 0) {
            seconds.busAndDevice += spent;
        } else if (process.plugIn.count(thread) != 0) {
            seconds.plugIn += spent;
        } else if (beforeDevice.count(thread) == 0) {
            seconds.deviceThreads += spent;
        } else {
            seconds.other += spent;
        }
    }
    return seconds;
}

} // namespace

double Percentile(std::vector<double> values, double fraction)
{
    if (values.empty()) {
        return 0;
    }
    const auto nth = values.begin() + std::ptrdiff_t(fraction * double(values.size() - 1));
    std::nth_element(values.begin(), nth, values.end());
    return *nth;
}

ChainRun RunChain(const ChainCase& chainCase, double seconds, bool readOutputRing)
{
    ChainRun run;
    // The chain's log lines stay out of the benchmark's output.
    const DarwinTesting::LogCapture log;
    StartedWithTheProcess();
    AudioServerHost& host = Demo::SharedAudioServer();
    SimUSB::Bus::shared().frameClock().setReadJitter(chainCase.readJitterNs);
    const std::set<pid_t> beforeDevice = Threads();

    Demo::SimulatedSystem system(chainCase.driver);
    system.setBusDeviationPpm(chainCase.busDeviationPpm);
    Demo::SimulatedSystem::DeviceSettings settings;
    settings.model = chainCase.model;
    settings.serial = kSerial;
    settings.driftPpm = chainCase.driftPpm;
    system.plugIn(kPort, settings);
    const std::optional<AudioObjectID> device = Demo::WaitForDevice(host, kUID, kDeviceWaitSeconds);
    if (!device) {
        run.failure = "no driver claimed the device";
        return run;
    }
    if (!Demo::SetNominalRate(host, *device, chainCase.rate, kRateChangeSeconds)) {
        run.failure = "the device did not change its rate";
        return run;
    }
    const Demo::DeviceFacts facts = Demo::ReadDeviceFacts(host, *device);
    const KorvanInterface::ChannelCounts channels = DeviceChannels(chainCase.model, chainCase.rate);
    run.cycleSeconds = double(chainCase.bufferFrames) / chainCase.rate;
    run.zeroTimeStampPeriod = facts.zeroTimeStampPeriod;
    run.nanosecondsPerFrame =
        1e9 * (1 + chainCase.busDeviationPpm * 1e-6) / (chainCase.rate * (1 + chainCase.driftPpm * 1e-6));

    const auto cycles = size_t((seconds + 10) / run.cycleSeconds);
    CycleLog cycleLog(host.Driver(), cycles);
    cycleLog.setDevice(*device);
    std::unique_ptr<OutputRing> ring;
    if (readOutputRing) {
        ring = std::make_unique<OutputRing>();
        if (!ring->mapped()) {
            run.failure = "the output ring could not be mapped";
            return run;
        }
    }
    const double outBytesPerFrame = double(channels.out) * kSubslotBytes;
    auto poll = [&](std::chrono::steady_clock::time_point until) {
        while (std::chrono::steady_clock::now() < until) {
            if (ring) {
                ring->collect(outBytesPerFrame, run.outputBlocks);
            }
            std::this_thread::sleep_for(ring ? kRingPoll : until - std::chrono::steady_clock::now());
        }
    };

    if (host.StartIO(*device, kClientID, chainCase.bufferFrames, cycleLog.callback(), cycleLog.observer()) !=
        kAudioHardwareNoError) {
        run.failure = "StartIO failed";
        return run;
    }
    poll(std::chrono::steady_clock::now() + kSettling);
    // Watched from here on, when the stream's first frame readings are over.
    const FrameReaders readers;
    const size_t firstCycle = cycleLog.count();

    // The floors: the IO cycle's bytes (ring bytes consumed, floats handed to the host and taken
    // from it, bytes written to the output block), a request's bytes both ways per driver
    // completion, and a snapshot per snapshot poll.
    const size_t cycleBytes =
        size_t(chainCase.bufferFrames) * ((channels.in + channels.out) * kSubslotBytes +
                                          (facts.inputChannels + facts.outputChannels) * sizeof(float));
    const auto requestBytes = size_t(double(chainCase.rate) * kRequestNs * 1e-9 *
                                     double((channels.in + channels.out) * kSubslotBytes));
    run.copyNs.reserve(cycles);
    const std::map<pid_t, uint64_t> before = CpuOf(Threads());
    const auto begin = std::chrono::steady_clock::now();
    FloorThread ioFloor(std::chrono::nanoseconds(uint64_t(run.cycleSeconds * 1e9)), cycleBytes, &run.copyNs);
    FloorThread driverFloor(std::chrono::nanoseconds(kRequestNs), requestBytes, nullptr);
    FloorThread snapshotFloor(std::chrono::nanoseconds(kRequestNs), kSnapshotBytes, nullptr);
    const std::set<pid_t> floors{ioFloor.thread(), driverFloor.thread(), snapshotFloor.thread()};
    poll(begin + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                     std::chrono::duration<double>(seconds)));
    run.chain = Group(before, beforeDevice, floors, cycleLog.ioThread(), readers);
    run.floor = {ioFloor.stop(), driverFloor.stop(), snapshotFloor.stop()};
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    const size_t lastCycle = cycleLog.count();

    host.StopIO(*device, kClientID);
    ring.reset();
    std::this_thread::sleep_for(kStopWait);
    system.unplug(kPort);
    Demo::WaitForDeviceGone(host, *device, kDeviceWaitSeconds);

    for (size_t index = 0; index < lastCycle; ++index) {
        run.cycles.push_back(cycleLog.timing(index));
        if (index >= firstCycle) {
            run.cycleNs.push_back(cycleLog.costNs(index));
        }
    }
    run.streamed = lastCycle > firstCycle;
    if (!run.streamed) {
        run.failure = "no IO cycle ran";
    }
    return run;
}

} // namespace E2EBench
