#include "DemoRun.h"

#include "DropAttribution.h"
#include "LogScan.h"
#include "Plot.h"
#include "Recorder.h"
#include "SegmentRecorders.h"
#include "SimulatedSystem.h"
#include "TestSignal.h"

#include <AudioServerHost.h>
#include <PlugInBundle.h>

#include <DarwinTesting/LogCapture.h>
#include <IOKit/IOKitLib.h>
#include <KorvanInterface/Descriptors.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>
#include <unistd.h>

namespace Demo {

namespace {

using KorvanInterface::Model;

constexpr uint8_t kPort = 1;
constexpr UInt32 kClientID = 1;
constexpr double kDeviceWaitSeconds = 5;
constexpr double kRateChangeSeconds = 10;
constexpr auto kStopWait = std::chrono::milliseconds(5000);
constexpr auto kIdlePoll = std::chrono::milliseconds(5);
// Drops start after the stream settled and end before the last cycles.
constexpr uint64_t kDropMarginMicroframes = 4000;
// An OUT microframe carries the frames of the input microframe this many before it.
constexpr uint64_t kMirrorDelayMicroframes = 2400;
constexpr uint32_t kPlugInExtraInputs = 4;
constexpr uint32_t kResidentCheckSeconds = 10;
constexpr const char* kCalculationError = "!! Calculation error";
constexpr const char* kMissedFrameClock = "DoGetFrameSnapshot FAIL";

std::string Lowercase(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

bool HasLoopbackChannels(Model model)
{
    return model == Model::Brio || model == Model::Tenor || model == Model::Basso;
}

KorvanInterface::ChannelCounts DeviceChannels(Model model, uint32_t rate)
{
    KorvanInterface::Family family = KorvanInterface::Family::Single;
    KorvanInterface::familyOfRate(rate, &family);
    return KorvanInterface::modelInfo(model).channels[size_t(family)];
}

// Which driver serves the control interface: driver-extension services carry the user class
// their personality named.
std::string ServingDriver()
{
    io_iterator_t services = 0;
    if (IOServiceGetMatchingServices(kIOMainPortDefault,
                                     IOServiceMatching("com_vork_driver_tide_control_interface"),
                                     &services) != kIOReturnSuccess) {
        return "no driver";
    }
    const io_service_t service = IOIteratorNext(services);
    IOObjectRelease(services);
    if (service == 0) {
        return "no driver";
    }
    CFTypeRef userClass = IORegistryEntryCreateCFProperty(service, CFSTR("IOUserClass"), nullptr, 0);
    IOObjectRelease(service);
    if (userClass != nullptr) {
        CFRelease(userClass);
        return "driver extension";
    }
    return "kernel extension";
}

std::string ModelProduct(Model model)
{
    return KorvanInterface::modelInfo(model).product;
}

std::string NoDriverExplanation(const DemoOptions& options)
{
    const std::string product = ModelProduct(options.model);
    if (options.driver == DriverChoice::Kext && options.model != Model::Wrenlet) {
        return "No driver claimed the simulated " + product +
               ": the kernel extension drives only the Wrenlet (USB product 12). Use --driver auto or dext, "
               "or "
               "--model wrenlet.";
    }
    return "No driver claimed the simulated " + product + ".";
}

void Judge(RunResult& result)
{
    const LoopbackResult& loopback = result.loopback;
    const bool drift = result.options.driftPpm != 0 || result.options.busDeviationPpm != 0;
    auto fail = [&](std::string reason) {
        if (result.reason.empty()) {
            result.reason = std::move(reason);
        }
    };
    if (!result.deviceAppeared) {
        fail("the device never appeared");
    } else if (loopback.framesCompared == 0) {
        fail("no played frame came back");
    }
    if (loopback.duplicated != 0) {
        fail(std::to_string(loopback.duplicated) + " samples duplicated");
    }
    if (loopback.lost > result.skippedFrames) {
        fail(std::to_string(loopback.lost - result.skippedFrames) + " samples lost");
    }
    if (result.headersOn && result.repairedFrames + result.readBeforeRepairFrames != result.droppedFrames) {
        fail("repaired " + std::to_string(result.repairedFrames) + " frames (and " +
             std::to_string(result.readBeforeRepairFrames) + " read before their repair) for " +
             std::to_string(result.droppedFrames) + " dropped");
    }
    if (loopback.stoppedInputFrames != 0) {
        fail(std::to_string(loopback.stoppedInputFrames) +
             " recorded frames two or more input periods old: the input had stopped");
    }
    if (result.unexplainedSilence != 0) {
        fail(std::to_string(result.unexplainedSilence) +
             " recorded frames replaced by silence no drop explains");
    }
    if (loopback.mismatchedSamples != 0) {
        fail(std::to_string(loopback.mismatchedSamples) + " samples differ from what was played");
    }
    if (loopback.mixMismatches != 0) {
        fail(std::to_string(loopback.mixMismatches) + " frames of the plug-in's mix channels differ");
    }
    if (loopback.loopbackMismatches != 0) {
        fail(std::to_string(loopback.loopbackMismatches) +
             " frames of the plug-in's loopback channels differ");
    }
    if (!drift && result.timing.jitterMaxUs > 100) {
        fail("a zero timestamp strayed " + std::to_string(int(result.timing.jitterMaxUs)) + " µs");
    }
    if (drift && result.timing.estimatedRate > 0 && std::abs(result.timing.rateErrorPpm) > 5) {
        fail("the zero timestamps' rate is " + std::to_string(result.timing.rateErrorPpm) +
             " ppm off the device's");
    }
    if (!result.unexpectedLogLines.empty()) {
        fail("unexpected log line: " + result.unexpectedLogLines.front());
    }
    // Every start after the first, at its own rate, passes as the first does without drops.
    for (size_t index = 1; index < result.segments.size(); ++index) {
        const SegmentResult& segment = result.segments[index];
        const std::string name =
            "segment " + std::to_string(index + 1) + " at " + std::to_string(segment.rate) + " Hz";
        if (segment.loopback.framesCompared == 0) {
            fail(name + ": no played frame came back");
        } else if (segment.loopback.lost != 0 || segment.loopback.duplicated != 0) {
            fail(name + ": " + std::to_string(segment.loopback.lost) + " samples lost, " +
                 std::to_string(segment.loopback.duplicated) + " duplicated");
        } else if (segment.loopback.mismatchedSamples != 0) {
            fail(name + ": " + std::to_string(segment.loopback.mismatchedSamples) + " samples differ");
        } else if (!drift && segment.timing.jitterMaxUs > 100) {
            fail(name + ": a zero timestamp strayed " + std::to_string(int(segment.timing.jitterMaxUs)) +
                 " µs");
        }
    }
    result.pass = result.reason.empty();
}

void ReadDeviceSide(const KorvanInterface::KorvanDevice& device, RunResult& result)
{
    for (const auto& [interface, alternate] : device.interfaceLog()) {
        if (interface == KorvanInterface::kRecordInterface && alternate != 0) {
            result.streamingAlternate = alternate;
        }
    }
    result.interfacesIdleAtEnd = device.alternate(KorvanInterface::kRecordInterface) == 0 &&
                                 device.alternate(KorvanInterface::kPlaybackInterface) == 0;
    constexpr uint8_t kVendor = 2;
    constexpr uint8_t kHeaderVersionRequest = 2;
    constexpr uint8_t kClassSetToInterface = 0x21;
    constexpr uint8_t kCurrent = 1;
    for (const auto& record : device.controlLog()) {
        result.headerVersionRequests +=
            record.setup.type() == kVendor && record.setup.bRequest == kHeaderVersionRequest ? 1 : 0;
        // SET CUR of the clock source's rate: four bytes, little-endian.
        if (record.setup.bmRequestType == kClassSetToInterface && record.setup.bRequest == kCurrent &&
            (record.setup.wIndex >> 8) == KorvanInterface::Entity::kClockSource && record.data.size() == 4) {
            result.ratesSet.push_back(uint32_t(record.data[0]) | uint32_t(record.data[1]) << 8 |
                                      uint32_t(record.data[2]) << 16 | uint32_t(record.data[3]) << 24);
        }
    }
    result.statusPackets = device.statusLog().size();
}

uint64_t ResidentBytes()
{
    std::ifstream statm("/proc/self/statm");
    uint64_t pages = 0;
    uint64_t resident = 0;
    statm >> pages >> resident;
    return resident * uint64_t(sysconf(_SC_PAGESIZE));
}

uint32_t InputChannels(const IOConfiguration& configuration)
{
    uint32_t channels = 0;
    for (const IOStream& stream : configuration.fStreams) {
        channels += stream.fInput ? stream.fBytesPerFrame / uint32_t(sizeof(float)) : 0;
    }
    return channels;
}

// The bursts, evenly spaced over the run's middle, the first after the stream settled.
void DropBursts(SimulatedSystem& system, KorvanInterface::KorvanDevice& device, const Scenario& scenario,
                uint64_t totalMicroframes)
{
    if (scenario.dropBursts.empty() || totalMicroframes <= 2 * kDropMarginMicroframes) {
        return;
    }
    const uint64_t spacing = (totalMicroframes - 2 * kDropMarginMicroframes) / scenario.dropBursts.size();
    uint64_t first = system.currentMicroframe() + kDropMarginMicroframes;
    for (const uint32_t packets : scenario.dropBursts) {
        system.dropInputBurst(device, first, packets);
        if (scenario.counterJump != 0) {
            device.injectRecordFault({KorvanInterface::KorvanDevice::RecordFault::Kind::CounterJump,
                                      first + packets, 1, scenario.counterJump});
        }
        first += spacing;
    }
}

// The change that starts segment `segment` (1 on): the device's own first, then the host's rates.
bool ChangeRate(AudioServerHost& host, AudioObjectID id, KorvanInterface::KorvanDevice& device,
                const Scenario& scenario, size_t segment, const SegmentRecorders& recording)
{
    const size_t hostIndex = segment - 1 - (scenario.deviceRate != 0 ? 1 : 0);
    if (scenario.deviceRate != 0 && segment == 1) {
        device.changeRateFromDevice(scenario.deviceRate);
    } else if (!SetNominalRate(host, id, scenario.hostRates[hostIndex], kRateChangeSeconds)) {
        return false;
    }
    return recording.waitForCount(segment + 1, kRateChangeSeconds);
}

// The plug-in stops the device 2000 ms after the last client stopped; the run waits for both
// streaming interfaces to be back at alternate 0 before it unplugs, so the capture ends there.
void WaitUntilIdle(const KorvanInterface::KorvanDevice& device)
{
    const auto deadline = std::chrono::steady_clock::now() + kStopWait;
    while (std::chrono::steady_clock::now() < deadline &&
           (device.alternate(KorvanInterface::kRecordInterface) != 0 ||
            device.alternate(KorvanInterface::kPlaybackInterface) != 0)) {
        std::this_thread::sleep_for(kIdlePoll);
    }
}

} // namespace

// The audio server loads the plug-in once and keeps it for the life of the process; so do the runs
// of one process.
AudioServerHost& SharedAudioServer()
{
    struct Server
    {
        Server() : bundle(PlugInBundle::Load(TIDE_PLUGIN_BUNDLE)), host(bundle->Driver())
        {
            host.Initialize();
        }
        std::unique_ptr<PlugInBundle> bundle;
        AudioServerHost host;
    };
    static Server server;
    return server.host;
}

RunResult RunDemo(const DemoOptions& options, const Scenario& scenario)
{
    RunResult result;
    result.options = options;
    result.serial = "DEMO0001";
    std::filesystem::create_directories(options.outputFolder);
    const std::filesystem::path folder(options.outputFolder);
    result.wavPath = (folder / "recorded.wav").string();
    result.pngPath = (folder / "plot.png").string();
    result.capturePath = (folder / "capture.pcap").string();

    DarwinTesting::LogCapture log;
    // The host outlives the system: unplugging tells the plug-in, which tells its host.
    AudioServerHost& host = SharedAudioServer();
    SimulatedSystem system(options.driver);
    system.startCapture(result.capturePath, options.isochronousCaptureSeconds != 0);

    SimulatedSystem::DeviceSettings settings;
    settings.model = options.model;
    settings.serial = result.serial;
    settings.headerVersion = options.headerVersion;
    settings.driftPpm = options.driftPpm;
    settings.subslotBytes = options.subslotBytes;
    system.setBusDeviationPpm(options.busDeviationPpm);
    auto device = system.plugIn(kPort, settings);

    const std::optional<AudioObjectID> found =
        WaitForDevice(host, Lowercase(result.serial), kDeviceWaitSeconds);
    result.deviceAppeared = found.has_value();
    if (!found) {
        result.reason = NoDriverExplanation(options);
        system.unplug(kPort);
        system.stopCapture();
        return result;
    }
    result.driver = ServingDriver();
    result.throughAdapter = result.driver == "driver extension";
    if (!SetNominalRate(host, *found, options.rate, kRateChangeSeconds)) {
        result.reason = "the device did not change to " + std::to_string(options.rate) + " Hz";
    }
    SetOutputVolumesToFullScale(host, *found);
    result.facts = ReadDeviceFacts(host, *found);
    const size_t requestsBefore = host.ConfigurationRequests().size();

    SegmentRecorders recording(
        [&](const IOConfiguration& configuration) {
            const auto rate = uint32_t(configuration.fNominalRate);
            const uint32_t channels = InputChannels(configuration);
            const uint32_t deviceChannels = uint32_t(DeviceChannels(options.model, rate).in);
            UInt32 period = 0;
            host.GetUInt32(*found,
                           {kAudioDevicePropertyZeroTimeStampPeriod, kAudioObjectPropertyScopeGlobal, 0},
                           period);
            return InputLayout{rate, channels, deviceChannels,
                               HasLoopbackChannels(options.model) &&
                                   channels >= deviceChannels + kPlugInExtraInputs,
                               period};
        },
        result.wavPath);

    std::vector<DroppedPacket> droppedPackets;
    const ClientStart started = StartClientIO(
        host, *found, kClientID, options.bufferFrames, recording.callback(), recording.observer(),
        recording.startObserver(), [&] { recording.forgetRefusedStart(); });
    result.refusedStarts = started.refused;
    const size_t linesBeforeAudio = log.texts(DarwinTesting::LogSource::OSLog).size();
    if (started.status != kAudioHardwareNoError) {
        result.reason = "StartIO failed with " + std::to_string(started.status);
    } else {
        result.headersOn = device->headerMode();
        const size_t segments = 1 + scenario.hostRates.size() + (scenario.deviceRate != 0 ? 1 : 0);
        const uint64_t totalMicroframes = uint64_t(options.durationSeconds) * 8000;
        result.dropPercent = options.effectiveDropPercent(result.headersOn);
        if (result.dropPercent > 0 && totalMicroframes > 2 * kDropMarginMicroframes) {
            system.dropInputPackets(*device, system.currentMicroframe() + kDropMarginMicroframes,
                                    totalMicroframes - 2 * kDropMarginMicroframes, result.dropPercent,
                                    options.seed);
        }
        DropBursts(system, *device, scenario, totalMicroframes);
        // The device's log of frames per packet reaches back 10 s: dropped packets are read from it
        // as the run goes.
        auto collectDrops = [&] {
            for (const DroppedPacket& packet : system.droppedPackets(*device)) {
                if (std::none_of(
                        droppedPackets.begin(), droppedPackets.end(),
                        [&](const DroppedPacket& known) { return known.microframe == packet.microframe; })) {
                    droppedPackets.push_back(packet);
                }
            }
        };
        for (size_t segment = 0; segment < segments; ++segment) {
            if (segment != 0 && !ChangeRate(host, *found, *device, scenario, segment, recording)) {
                result.reason = "audio did not start again after rate change " + std::to_string(segment);
                break;
            }
            for (uint32_t second = 0; second < options.durationSeconds; ++second) {
                std::this_thread::sleep_for(std::chrono::seconds(1));
                if (segment == 0 && second + 1 == kResidentCheckSeconds) {
                    result.residentAfter10s = ResidentBytes();
                }
                if (segment == 0 && (second % 5 == 4 || second + 1 == options.durationSeconds)) {
                    collectDrops();
                }
            }
        }
        if (result.residentAfter10s != 0) {
            result.residentAtEnd = ResidentBytes();
        }
        // Asked once the IO thread has run a while: right after the start it may not have set its
        // class yet.
        if (const IORunner* runner = host.Runner(*found, kClientID)) {
            result.realTimePriority = runner->RanAtRealTimePriority();
        }
        host.StopIO(*found, kClientID);
        WaitUntilIdle(*device);
        result.dropsInjected = system.droppedMicroframes().size();
        for (const DroppedPacket& packet : droppedPackets) {
            result.droppedFrames += packet.frames;
        }
    }
    result.configurationChanges = host.ConfigurationRequests().size() - requestsBefore;
    result.mirrorMismatches = device->mirrorMismatches().size();
    result.protocolErrors = device->protocolErrors();
    ReadDeviceSide(*device, result);
    system.stopCapture();
    system.unplug(kPort);
    WaitForDeviceGone(host, *found, kDeviceWaitSeconds);
    if (recording.count() == 0) {
        Judge(result);
        return result;
    }

    // Without headers each dropped input packet leaves its OUT mirror, 2400 microframes later, empty.
    std::vector<ShortOutput> shortOutputs;
    if (!result.headersOn) {
        for (const DroppedPacket& packet : droppedPackets) {
            shortOutputs.push_back(
                {system.microframeStart(packet.microframe + kMirrorDelayMicroframes), packet.frames});
        }
    }
    for (size_t index = 0; index < recording.count(); ++index) {
        const InputLayout layout = recording.layout(index);
        const double nanosecondsPerFrame =
            1e9 * (1 + options.busDeviationPpm * 1e-6) / (layout.rate * (1 + options.driftPpm * 1e-6));
        result.segments.push_back({layout.rate, layout.channels, recording.recorder(index).loopback(),
                                   recording.recorder(index).timing(nanosecondsPerFrame, shortOutputs)});
    }
    Recorder& recorder = recording.recorder(0);
    result.loopback = result.segments.front().loopback;
    result.timing = result.segments.front().timing;
    // Without headers nothing is repaired: a dropped packet's frames are skipped, and no silence
    // stands for them.
    std::vector<ExpectedDrop> drops;
    for (const DroppedPacket& packet : droppedPackets) {
        const std::optional<double> time = recorder.sampleTimeAt(system.microframeStart(packet.microframe));
        if (result.headersOn && time) {
            drops.push_back({*time, int64_t(packet.frames)});
        }
    }
    const std::vector<CyclePoint> cycles = recorder.cycles();
    const Attribution attribution = AttributeSilences(result.loopback, drops, cycles);
    result.repairedFrames = attribution.repairedFrames;
    result.readBeforeRepairFrames = attribution.readBeforeRepairFrames;
    result.repairedStretches = attribution.repairedStretches;
    result.unexplainedSilence = attribution.unexplainedFrames;
    result.lateBusFrames = result.loopback.lateBusFrames + attribution.unwrittenFrames;
    result.skippedFrames = result.headersOn ? 0 : std::min(result.loopback.lost, result.droppedFrames);
    result.lateFrames = result.timing.lateCycles * options.bufferFrames;
    result.xrunSilenceFrames = attribution.xrunFrames;
    result.overruns = recorder.overruns();

    std::vector<std::string> logLines = log.texts(DarwinTesting::LogSource::OSLog);
    if (result.refusedStarts != 0) {
        // The refused starts' own word of the missed boundary, reported above instead.
        logLines.erase(std::remove_if(logLines.begin(), logLines.begin() + std::ptrdiff_t(linesBeforeAudio),
                                      [](const std::string& line) {
                                          return line.find(kMissedFrameClock) != std::string::npos;
                                      }),
                       logLines.begin() + std::ptrdiff_t(linesBeforeAudio));
    }
    result.calculationErrors =
        size_t(std::count_if(logLines.begin(), logLines.end(), [](const std::string& line) {
            return line.find(kCalculationError) != std::string::npos;
        }));
    const LogScanResult scan = ScanLog(logLines, result.dropsInjected != 0);
    result.unexpectedLogLines = scan.unexpected;
    result.dropReports = scan.dropReports;
    result.missedSnapshots = scan.missedSnapshots;

    DrawPlot(result.pngPath, PlotInput{result, recorder.sineTrace(), cycles});
    Judge(result);
    return result;
}

} // namespace Demo
