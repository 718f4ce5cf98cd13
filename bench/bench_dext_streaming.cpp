// The driver's bus-queue work per input completion (the completion, the queueing procedure, the
// output request with sanitising, zero fill, the 160-entry loop and the frame clock, and the next
// input request), while it streams on the real clock against the Korvan model: at 192 kHz with the
// largest legal packets (30 channels each way, 4-byte subslots, headers v2), with and without dropped
// packets to repair, and at 48 kHz with 20 and 22 channels. Peers: memset of one block's data area,
// the zero fill every completion must do (goal 3x), and the 20 ms a completion may take at most
// (goal 1/100). And the frame snapshot queue's CPU per 20 ms period over ten seconds of streaming,
// next to its floor, the time from each snapshot's start to the frame boundary it catches (goal 1.2x).

#include "SnapshotFloor.h"

#include <com_vork_driver_tide_control_interface.h>
#include <com_vork_driver_tide_usb_io_stream.h>
#include <com_vork_driver_tide_usb_provider.h>

#include <DriverKit/OSNumber.h>
#include <DriverKit/OSString.h>
#include <DriverKit/platform/Drivers.h>
#include <DriverKitTesting/DriverKitTesting.h>
#include <KorvanInterface/KorvanDevice.h>
#include <KorvanRequestRing.h>
#include <SimUSB/Bus.h>

#include <IOKit/IOKitLib.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <thread>
#include <vector>

namespace {

using namespace KorvanDeviceIO;
using KorvanInterface::Family;

constexpr uint16_t kBenchVendor = 0x3A1E;
constexpr uint8_t kPort = 9;
constexpr double kPeriodSeconds = 0.020;

std::atomic<com_vork_driver_tide_usb_provider*> gProvider{nullptr};

// The driver's control service, keeping a pointer to its USB provider for the measurement.
class MeasuredControl : public com_vork_driver_tide_control_interface
{
protected:
    com_vork_driver_tide_provider* CreateProvider(IOUSBHostInterface* interface) override
    {
        auto* provider = com_vork_driver_tide_control_interface::CreateProvider(interface);
        gProvider.store(static_cast<com_vork_driver_tide_usb_provider*>(provider));
        return provider;
    }
};

void registerMeasuredControl()
{
    static bool done = [] {
        if (!DriverKitTesting::loadDriverBundle(DEXT_BUNDLE)) {
            std::abort();
        }
        OSDictionary* personality = OSDictionary::withCapacity(8);
        auto setString = [&](const char* key, const char* value) {
            OSSharedPtr<OSString> string(OSString::withCString(value), OSNoRetain);
            personality->setObject(key, string.get());
        };
        auto setNumber = [&](const char* key, uint64_t value) {
            OSSharedPtr<OSNumber> number(OSNumber::withNumber(value, 32), OSNoRetain);
            personality->setObject(key, number.get());
        };
        setString("IOProviderClass", "IOUSBHostInterface");
        setString("IOUserClass", "MeasuredControl");
        setNumber("IOProbeScore", 1000);
        setNumber("idVendor", kBenchVendor);
        setNumber("bInterfaceClass", 1);
        setNumber("bInterfaceSubClass", 1);
        OSSharedPtr<OSDictionary> client(OSDictionary::withCapacity(1), OSNoRetain);
        OSSharedPtr<OSString> clientClass(OSString::withCString("com_vork_driver_tide_userClient"),
                                          OSNoRetain);
        client->setObject("IOUserClass", clientClass.get());
        personality->setObject("UserClientProperties", client.get());
        DriverKitPlatform::registerDriver({{"MeasuredControl", "com_vork_driver_tide_control_interface",
                                            []() -> OSObject* { return new MeasuredControl; }}},
                                          {personality});
        personality->release();
        return true;
    }();
    (void)done;
}

double queueThreadSeconds(IODispatchQueue* queue)
{
    timespec spent{};
    queue->DispatchSync([&] { clock_gettime(CLOCK_THREAD_CPUTIME_ID, &spent); });
    return double(spent.tv_sec) + double(spent.tv_nsec) * 1e-9;
}

uint64_t lastOutputMicroframe(const USBRequestBlock* ring)
{
    uint64_t last = 0;
    for (size_t block = 0; block < kRequestBlockCount; ++block) {
        last = std::max(last, ReadBlockHeader(ring[block]).fMicroframe);
    }
    return last;
}

struct Stream
{
    uint32_t rate;
    Family family;
    uint8_t inChannels;
    uint8_t outChannels;
    bool drops;
};

// Streams `s` on the real clock against the model and, once it has settled, runs `measure` with the
// driver's USB provider and the mapped output ring.
template <typename Measure>
void whileStreaming(const Stream& s, Measure&& measure)
{
    registerMeasuredControl();
    gProvider.store(nullptr);
    KorvanInterface::DescriptorOptions options(KorvanInterface::Model::Pyx, kBenchVendor);
    options.channels[size_t(s.family)] = {s.inChannels, s.outChannels};
    auto model = std::make_shared<KorvanInterface::KorvanDevice>(options);
    model->setHeaderVersion(2);
    SimUSB::Bus::shared().attach(kPort, model);
    io_service_t service = 0;
    while (service == 0) {
        io_iterator_t iterator = 0;
        IOServiceGetMatchingServices(kIOMainPortDefault, IOServiceMatching("MeasuredControl"), &iterator);
        service = IOIteratorNext(iterator);
        IOObjectRelease(iterator);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    io_connect_t connect = 0;
    IOServiceOpen(service, mach_task_self(), 0x494F494F, &connect);
    USBUACControlRequest rate{1, 1, KorvanInterface::Entity::kClockSource, 4, {}};
    std::memcpy(rate.fData, &s.rate, 4);
    std::vector<uint8_t> response(4113);
    size_t size = response.size();
    IOConnectCallStructMethod(connect, 4, &rate, sizeof(rate), response.data(), &size);
    const EnableStreamingHeadersRequest enable{2, 1};
    size = 0;
    IOConnectCallStructMethod(connect, 10, &enable, sizeof(enable), nullptr, &size);
    mach_vm_address_t outAddress = 0;
    mach_vm_size_t mapped = 0;
    IOConnectMapMemory64(connect, 2, mach_task_self(), &outAddress, &mapped, 1);
    const auto* out = reinterpret_cast<const USBRequestBlock*>(outAddress);
    const uint32_t alternate = uint32_t(s.family) + 1;
    const USBAudioRunStateRequest start{1,
                                        KorvanInterface::kRecordInterface,
                                        alternate,
                                        s.inChannels * 4u,
                                        KorvanInterface::kPlaybackInterface,
                                        alternate,
                                        s.outChannels * 4u};
    std::vector<uint8_t> status(4100);
    size = status.size();
    IOConnectCallStructMethod(connect, 6, &start, sizeof(start), status.data(), &size);

    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    measure(*gProvider.load(), out);

    const USBAudioRunStateRequest stop{};
    size = status.size();
    IOConnectCallStructMethod(connect, 6, &stop, sizeof(stop), status.data(), &size);
    IOConnectUnmapMemory64(connect, 2, mach_task_self(), outAddress);
    IOServiceClose(connect);
    IOObjectRelease(service);
    SimUSB::Bus::shared().detach(kPort);
}

// Streams for two seconds and gives the bus queue's CPU seconds per input completion.
double secondsPerCompletion(const Stream& s)
{
    double seconds = 0;
    whileStreaming(s, [&](com_vork_driver_tide_usb_provider& provider, const USBRequestBlock* out) {
        IODispatchQueue* bus = provider.GetBusWorkLoop();
        if (s.drops) {
            // A dropped packet every 50 microframes over the measurement.
            const uint64_t from = SimUSB::Bus::shared().frameClock().currentFrame() * 8;
            for (uint64_t microframe = from; microframe < from + 2 * 8000 + 4000; microframe += 50) {
                SimUSB::Fault drop;
                drop.trigger = SimUSB::Fault::Trigger::Microframes;
                drop.first = microframe;
                SimUSB::Bus::shared().injectFault(kPort, KorvanInterface::Endpoint::kRecord, drop);
            }
        }
        const double cpuBefore = queueThreadSeconds(bus);
        const uint64_t before = lastOutputMicroframe(out);
        std::this_thread::sleep_for(std::chrono::seconds(2));
        const double cpuAfter = queueThreadSeconds(bus);
        const uint64_t after = lastOutputMicroframe(out);
        const uint64_t completions = (after - before) / kPacketsPerBlock;
        seconds = completions == 0 ? 0 : (cpuAfter - cpuBefore) / double(completions);
    });
    return seconds;
}

constexpr double kSnapshotSeconds = 10;
// The floor of the last measured run, which its peer row prints.
double gSnapshotFloorPerPeriod = 0;

// The snapshot queue's CPU seconds per 20 ms period over ten seconds of the stream.
double snapshotSecondsPerPeriod(const Stream& s)
{
    double seconds = 0;
    whileStreaming(s, [&](com_vork_driver_tide_usb_provider& provider, const USBRequestBlock*) {
        IODispatchQueue* snapshots = provider.getStream()->GetFrameSnapshotQueue();
        SnapshotFloor floor;
        const double cpuBefore = queueThreadSeconds(snapshots);
        DriverKitTesting::observeFrameReads(&SnapshotFloor::read, &floor);
        std::this_thread::sleep_for(std::chrono::duration<double>(kSnapshotSeconds));
        DriverKitTesting::observeFrameReads(nullptr, nullptr);
        const double cpuAfter = queueThreadSeconds(snapshots);
        const double periods = kSnapshotSeconds / kPeriodSeconds;
        seconds = (cpuAfter - cpuBefore) / periods;
        gSnapshotFloorPerPeriod = floor.seconds() / periods;
    });
    return seconds;
}

const Stream kQuadLargest{192000, Family::Quad, 30, 30, false};
const Stream kQuadLargestWithDrops{192000, Family::Quad, 30, 30, true};
const Stream kSingleWrenlet{48000, Family::Single, 20, 22, false};

void completionOurs(benchmark::State& state, Stream stream)
{
    for (auto _ : state) {
        state.SetIterationTime(secondsPerCompletion(stream));
    }
}

void blockZeroFill(benchmark::State& state)
{
    std::vector<uint8_t> block(kRequestDataSizeBytes, 1);
    for (auto _ : state) {
        std::memset(block.data(), 0, block.size());
        benchmark::ClobberMemory();
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

void period(benchmark::State& state)
{
    for (auto _ : state) {
        state.SetIterationTime(kPeriodSeconds);
    }
}

} // namespace

BENCHMARK_CAPTURE(completionOurs, quad, kQuadLargest)
    ->Name("dext_completion/ours/192k")
    ->UseManualTime()
    ->Iterations(1);
BENCHMARK(blockZeroFill)->Name("dext_completion/peer/192k");
BENCHMARK_CAPTURE(completionOurs, drops, kQuadLargestWithDrops)
    ->Name("dext_completion/ours/192k_repair")
    ->UseManualTime()
    ->Iterations(1);
BENCHMARK(blockZeroFill)->Name("dext_completion/peer/192k_repair");
BENCHMARK_CAPTURE(completionOurs, single, kSingleWrenlet)
    ->Name("dext_completion/ours/48k")
    ->UseManualTime()
    ->Iterations(1);
BENCHMARK(blockZeroFill)->Name("dext_completion/peer/48k");
BENCHMARK_CAPTURE(completionOurs, period, kQuadLargest)
    ->Name("dext_completion_period/ours/192k")
    ->UseManualTime()
    ->Iterations(1);
BENCHMARK(period)->Name("dext_completion_period/peer/192k")->UseManualTime()->Iterations(1);
BENCHMARK(snapshotOurs)->Name("dext_snapshot/ours/192k")->UseManualTime()->Iterations(1);
BENCHMARK(snapshotFloor)->Name("dext_snapshot/peer/192k")->UseManualTime()->Iterations(1);

BENCHMARK_MAIN();
