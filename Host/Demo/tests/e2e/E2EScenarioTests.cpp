// The whole chain under the scenarios users of audio drivers meet: each row streams a few seconds
// on the real clock through the host, the plug-in, a driver and the simulated interface, and passes
// the run's loopback, device, timing and log checks, plus its own.

#include "E2ERun.h"

#include <DemoRun.h>
#include <SimulatedSystem.h>

#include <KorvanInterface/Identity.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Demo::DemoOptions;
using Demo::DriverChoice;
using Demo::RunResult;
using KorvanInterface::Model;

struct Row
{
    const char* name;
    DemoOptions options;
};

void PrintTo(const Row& row, std::ostream* out)
{
    *out << row.name;
}

DemoOptions Options(Model model, uint32_t rate, uint8_t headers, uint32_t seconds = 3)
{
    DemoOptions options;
    options.model = model;
    options.rate = rate;
    options.headerVersion = headers;
    options.durationSeconds = seconds;
    options.driver = DriverChoice::Dext;
    options.driftPpm = 0;
    options.dropPercent = 0;
    return options;
}

DemoOptions On(DemoOptions options, DriverChoice driver)
{
    options.driver = driver;
    return options;
}

// Four seconds hold 3 s of drops between the settled start and the last cycles.
DemoOptions WithDrops(DemoOptions options, double percent)
{
    options.dropPercent = percent;
    options.durationSeconds = 4;
    return options;
}

// Seven seconds give the second half of the run ten zero timestamps (one each 0.34 s at 48 kHz) to
// estimate the device's rate from.
DemoOptions WithDrift(DemoOptions options, int32_t devicePpm, int32_t busPpm)
{
    options.driftPpm = devicePpm;
    options.busDeviationPpm = busPpm;
    options.durationSeconds = 7;
    return options;
}

DemoOptions WithSubslot(DemoOptions options, uint8_t bytes)
{
    options.subslotBytes = bytes;
    return options;
}

// The plug-in's input channels: the model table's inputs, plus its loopback and mix pairs on the
// models that have them.
uint32_t ExpectedInputs(Model model, uint32_t rate)
{
    KorvanInterface::Family family = KorvanInterface::Family::Single;
    KorvanInterface::familyOfRate(rate, &family);
    const uint32_t device = KorvanInterface::modelInfo(model).channels[size_t(family)].in;
    const bool extra = model == Model::Brio || model == Model::Tenor || model == Model::Basso;
    return device + (extra ? 4 : 0);
}

// Rate families: safety offsets of 16, 32 and 64 frames and zero-timestamp periods of 16384, 32768
// and 65536 frames.
uint32_t ExpectedSafetyOffset(uint32_t rate)
{
    return rate <= 48000 ? 16 : (rate <= 96000 ? 32 : 64);
}
uint32_t ExpectedPeriod(uint32_t rate)
{
    return rate <= 48000 ? 16384 : (rate <= 96000 ? 32768 : 65536);
}

class E2ERun : public testing::TestWithParam<Row>
{
protected:
    RunResult Stream() { return E2E::StreamRow(GetParam().name, GetParam().options); }
};

// What the plug-in reports of the device, and what any run must show however the chain fares:
// every frame back and in order where nothing is dropped.
void ExpectTheModelTable(const DemoOptions& options, const RunResult& result)
{
    // The kernel extension drives the Wrenlet wherever it is loaded (a process keeps it once a run
    // loaded it); it never turns headers on.
    const bool kernel = options.model == Model::Wrenlet && (options.driver != DriverChoice::Dext ||
                                                            Demo::SimulatedSystem::KernelExtensionLoaded());
    EXPECT_EQ(result.driver, kernel ? "kernel extension" : "driver extension");
    EXPECT_EQ(result.throughAdapter, !kernel);
    EXPECT_EQ(result.headersOn, !kernel && options.headerVersion != 0);
    EXPECT_EQ(result.facts.rate, double(options.rate));
    EXPECT_EQ(result.facts.inputChannels, ExpectedInputs(options.model, options.rate));
    EXPECT_EQ(result.facts.inputSafetyOffset, ExpectedSafetyOffset(options.rate));
    EXPECT_EQ(result.facts.outputSafetyOffset, ExpectedSafetyOffset(options.rate));
    EXPECT_EQ(result.facts.zeroTimeStampPeriod, ExpectedPeriod(options.rate));
    EXPECT_GT(result.loopback.framesCompared, uint64_t(options.rate));
    // Alternates 1, 2 and 3 carry the 1x, 2x and 4x families; the kernel extension never asks for
    // the header version.
    KorvanInterface::Family family = KorvanInterface::Family::Single;
    KorvanInterface::familyOfRate(options.rate, &family);
    EXPECT_EQ(result.streamingAlternate, int(family) + 1);
    EXPECT_TRUE(result.interfacesIdleAtEnd);
    if (kernel) {
        EXPECT_EQ(result.headerVersionRequests, 0u);
    } else {
        EXPECT_GT(result.headerVersionRequests, 0u);
    }
    EXPECT_EQ(result.loopback.mismatchedSamples, 0u);
    EXPECT_EQ(result.loopback.mixMismatches, 0u);
    // Where packets are dropped the output mirrors what the driver repaired, not what the bus lost.
    if (result.dropPercent == 0) {
        EXPECT_EQ(result.mirrorMismatches, 0u);
        EXPECT_EQ(result.loopback.lost, 0u);
        EXPECT_EQ(result.loopback.duplicated, 0u);
        EXPECT_TRUE(result.loopback.latencyConstant);
    }
}

// The run's verdict: no sample lost or duplicated beyond what a drop explains, every repair as long
// as its drop, zero timestamps on the device's pace, no fault in the log.
void ExpectTheVerdict(const DemoOptions& options, const RunResult& result)
{
    EXPECT_EQ(result.loopback.lost, result.skippedFrames);
    EXPECT_EQ(result.loopback.duplicated, 0u);
    EXPECT_EQ(result.unexplainedSilence, 0u);
    EXPECT_EQ(result.loopback.stoppedInputFrames, 0u);
    EXPECT_EQ(result.loopback.loopbackMismatches, 0u);
    EXPECT_EQ(result.loopback.playedChecksums, result.loopback.recordedChecksums);
    EXPECT_TRUE(result.unexpectedLogLines.empty()) << result.unexpectedLogLines.front();
    if (options.driftPpm == 0 && options.busDeviationPpm == 0) {
        EXPECT_LE(result.timing.jitterMaxUs, 100);
    } else {
        EXPECT_GT(result.timing.estimatedRate, 0);
        EXPECT_LE(std::abs(result.timing.rateErrorPpm), 5);
    }
    if (result.headersOn) {
        EXPECT_EQ(result.repairedFrames + result.readBeforeRepairFrames, result.droppedFrames);
    }
    EXPECT_TRUE(result.pass) << result.reason;
}

class E2EVerdict : public E2ERun
{};

TEST_P(E2EVerdict, DeviceAppearsAsTheModelTableSaysAndTheRunPassesEveryCheck)
{
    const RunResult result = Stream();
    ASSERT_TRUE(result.deviceAppeared);
    ExpectTheModelTable(GetParam().options, result);
    ExpectTheVerdict(GetParam().options, result);
}

const Row kRows[] = {
    {"Baseline", Options(Model::Brio, 48000, 2)},
    {"Rate44100", Options(Model::Brio, 44100, 2)},
    {"Rate88200", Options(Model::Brio, 88200, 2)},
    {"Rate96000", Options(Model::Brio, 96000, 2)},
    {"Rate176400", Options(Model::Brio, 176400, 2)},
    {"Rate192000", Options(Model::Brio, 192000, 2)},
    {"HeadersV1", Options(Model::Brio, 48000, 1)},
    {"HeadersOff", Options(Model::Brio, 48000, 0)},
    {"HeadersOffThreeByteSubslots", WithSubslot(Options(Model::Brio, 48000, 0), 3)},
    {"Tenor", Options(Model::Tenor, 48000, 2)},
    {"Basso", Options(Model::Basso, 48000, 2)},
    {"Wrenlet", Options(Model::Wrenlet, 48000, 2)},
    {"Pyx", Options(Model::Pyx, 48000, 2)},
    {"KextWrenlet", On(Options(Model::Wrenlet, 48000, 2), DriverChoice::Kext)},
    {"KextRate44100", On(Options(Model::Wrenlet, 44100, 2), DriverChoice::Kext)},
    {"KextRate96000", On(Options(Model::Wrenlet, 96000, 2), DriverChoice::Kext)},
    {"KextRate192000", On(Options(Model::Wrenlet, 192000, 2), DriverChoice::Kext)},
    {"AutoWrenlet", On(Options(Model::Wrenlet, 48000, 2), DriverChoice::Auto)},
    {"AutoBrio", On(Options(Model::Brio, 48000, 2), DriverChoice::Auto)},
    {"KextDrift", WithDrift(On(Options(Model::Wrenlet, 48000, 2), DriverChoice::Kext), 100, 0)},
    {"KextDropsTenth", WithDrops(On(Options(Model::Wrenlet, 48000, 2), DriverChoice::Kext), 0.1)},
    {"DeviceDriftPlus100", WithDrift(Options(Model::Brio, 48000, 2), 100, 0)},
    {"DeviceDriftMinus100", WithDrift(Options(Model::Brio, 48000, 2), -100, 0)},
    {"BusClockPlus100", WithDrift(Options(Model::Brio, 48000, 2), 0, 100)},
    {"BusClockMinus100", WithDrift(Options(Model::Brio, 48000, 2), 0, -100)},
    {"DropsV2Tenth", WithDrops(Options(Model::Brio, 48000, 2), 0.1)},
    {"DropsV2OnePercent", WithDrops(Options(Model::Brio, 48000, 2), 1)},
    {"DropsV2FivePercent", WithDrops(Options(Model::Brio, 48000, 2), 5)},
    {"DropsV1OnePercent", WithDrops(Options(Model::Brio, 48000, 1), 1)},
};

std::string RowName(const testing::TestParamInfo<Row>& info)
{
    return info.param.name;
}

// The plug-in's zero-time filter follows a drifting device only after some 9 s, and the rate is
// judged over the second half of a run: rows with drift stream 20 s.
std::vector<Row> JudgedRows()
{
    std::vector<Row> rows;
    for (Row row : kRows) {
        if (row.options.driftPpm != 0 || row.options.busDeviationPpm != 0) {
            row.options.durationSeconds = 20;
        }
        rows.push_back(row);
    }
    return rows;
}

INSTANTIATE_TEST_SUITE_P(Rows, E2EVerdict, testing::ValuesIn(JudgedRows()), RowName);

} // namespace
