// Rows whose device changes under the stream: rates changed by an application or by the device
// itself, and packets the bus loses in bursts, with and without streaming headers. Each row
// streams a few seconds per segment on the real clock through the whole chain.

#include "E2ERun.h"

#include <DemoRun.h>
#include <SimulatedSystem.h>

#include <KorvanInterface/Identity.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <string>

namespace {

using Demo::DemoOptions;
using Demo::DriverChoice;
using Demo::RunResult;
using Demo::Scenario;
using KorvanInterface::Model;

DemoOptions Options(Model model, DriverChoice driver, uint8_t headers, uint32_t seconds = 3)
{
    DemoOptions options;
    options.model = model;
    options.rate = 48000;
    options.headerVersion = headers;
    options.durationSeconds = seconds;
    options.driver = driver;
    options.driftPpm = 0;
    options.dropPercent = 0;
    return options;
}

RunResult Stream(const std::string& name, const DemoOptions& options, const Scenario& scenario)
{
    RunResult result = E2E::StreamRow(name, options, scenario);
    for (size_t index = 0; index < result.segments.size(); ++index) {
        const Demo::SegmentResult& segment = result.segments[index];
        std::printf("segment %zu: %u Hz, %u inputs, %llu frames compared, %llu lost, %llu duplicated, "
                    "jitter max %.1f µs\n",
                    index + 1, segment.rate, segment.inputChannels,
                    (unsigned long long)segment.loopback.framesCompared,
                    (unsigned long long)segment.loopback.lost,
                    (unsigned long long)segment.loopback.duplicated, segment.timing.jitterMaxUs);
    }
    return result;
}

uint32_t DeviceInputs(Model model, uint32_t rate)
{
    KorvanInterface::Family family = KorvanInterface::Family::Single;
    KorvanInterface::familyOfRate(rate, &family);
    return KorvanInterface::modelInfo(model).channels[size_t(family)].in;
}

// Rate changes: each passes through one configuration change, and the audio that starts again at
// the new rate passes on its own.
struct RateRow
{
    const char* name;
    DemoOptions options;
    Scenario scenario;
};

void PrintTo(const RateRow& row, std::ostream* out)
{
    *out << row.name;
}

class E2ERateChange : public testing::TestWithParam<RateRow>
{};

TEST_P(E2ERateChange, EachRateStartsAgainAndPassesOnTheDevicesPace)
{
    const RateRow& row = GetParam();
    const RunResult result = Stream(row.name, row.options, row.scenario);
    ASSERT_TRUE(result.deviceAppeared);
    std::vector<uint32_t> rates{row.options.rate};
    if (row.scenario.deviceRate != 0) {
        rates.push_back(row.scenario.deviceRate);
    }
    rates.insert(rates.end(), row.scenario.hostRates.begin(), row.scenario.hostRates.end());
    ASSERT_EQ(result.segments.size(), rates.size()) << result.reason;
    EXPECT_EQ(result.configurationChanges, rates.size() - 1);
    const bool loopbackPair = row.options.model == Model::Brio;
    for (size_t index = 0; index < rates.size(); ++index) {
        SCOPED_TRACE(rates[index]);
        const Demo::SegmentResult& segment = result.segments[index];
        EXPECT_EQ(segment.rate, rates[index]);
        EXPECT_EQ(segment.inputChannels,
                  DeviceInputs(row.options.model, rates[index]) + (loopbackPair ? 4 : 0));
        EXPECT_GT(segment.loopback.framesCompared, rates[index]);
        EXPECT_EQ(segment.loopback.lost, 0u);
        EXPECT_EQ(segment.loopback.duplicated, 0u);
        EXPECT_EQ(segment.loopback.mismatchedSamples, 0u);
        EXPECT_GE(segment.timing.zeroTimeStamps, 2u);
        EXPECT_LE(segment.timing.jitterMaxUs, 100);
        // What an application asked for reached the device as the clock's rate; a rate the device
        // chose by itself is only read back. The device starts at the first rate.
        if (index != 0) {
            const bool asked = row.scenario.deviceRate == 0 || index > 1;
            EXPECT_EQ(std::count(result.ratesSet.begin(), result.ratesSet.end(), rates[index]) > 0, asked);
        }
    }
    EXPECT_EQ(result.statusPackets, row.scenario.deviceRate != 0 ? 1u : 0u);
    EXPECT_TRUE(result.interfacesIdleAtEnd);
}

Scenario HostRates()
{
    Scenario scenario;
    scenario.hostRates = {96000, 192000, 44100};
    return scenario;
}

Scenario DeviceRate(uint32_t rate)
{
    Scenario scenario;
    scenario.deviceRate = rate;
    return scenario;
}

const RateRow kRateRows[] = {
    {"HostRateChange", Options(Model::Brio, DriverChoice::Dext, 2), HostRates()},
    {"KextHostRateChange", Options(Model::Wrenlet, DriverChoice::Kext, 0), HostRates()},
    {"DeviceRateChange", Options(Model::Brio, DriverChoice::Dext, 2), DeviceRate(96000)},
    {"KextDeviceRateChange", Options(Model::Wrenlet, DriverChoice::Kext, 0), DeviceRate(96000)},
};

std::string RateRowName(const testing::TestParamInfo<RateRow>& info)
{
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Rows, E2ERateChange, testing::ValuesIn(kRateRows), RateRowName);

// Packets the bus loses in bursts. With streaming headers the plug-in repairs each
// stretch with as much silence as was lost; without them it skips the lost frames at
// once; a header whose running total jumped makes the repair fail, and the chase
// passes over the lost frames without repeating one; beyond the plug-in's search the
// chase holds until the ring is written again, and the stream goes on.
enum class DropOutcome
{
    Repaired,
    Skipped,
    FailedRepair,
    Held,
};

struct DropRow
{
    const char* name;
    DemoOptions options;
    Scenario scenario;
    DropOutcome outcome;
};

void PrintTo(const DropRow& row, std::ostream* out)
{
    *out << row.name;
}

class E2EDropBursts : public testing::TestWithParam<DropRow>
{};

TEST_P(E2EDropBursts, LostPacketsCostWhatTheyCarried)
{
    const DropRow& row = GetParam();
    const RunResult result = Stream(row.name, row.options, row.scenario);
    ASSERT_TRUE(result.deviceAppeared);
    ASSERT_EQ(result.dropsInjected,
              size_t(std::accumulate(row.scenario.dropBursts.begin(), row.scenario.dropBursts.end(), 0u)));
    EXPECT_GT(result.droppedFrames, 0u);
    // IO never stalled: most of the run came back, as played frames or, during a
    // hold, as frames the plug-in's buffer still held.
    EXPECT_GT(result.loopback.framesCompared + result.lateBusFrames,
              uint64_t(row.options.rate) * row.options.durationSeconds / 2);
    EXPECT_TRUE(result.interfacesIdleAtEnd);
    switch (row.outcome) {
    case DropOutcome::Repaired:
        EXPECT_TRUE(result.headersOn);
        EXPECT_EQ(result.loopback.lost, 0u);
        EXPECT_EQ(result.loopback.duplicated, 0u);
        // A stretch's newest frames an IO cycle read before the bus's late write let the repair
        // reach the plug-in come back one period old, counted with the stretch; read early whole, a
        // stretch leaves no silence.
        EXPECT_EQ(result.repairedFrames + result.readBeforeRepairFrames, result.droppedFrames);
        EXPECT_LE(result.repairedStretches, row.scenario.dropBursts.size());
        EXPECT_EQ(result.dropReports, row.scenario.dropBursts.size());
        break;
    case DropOutcome::Skipped:
        EXPECT_FALSE(result.headersOn);
        EXPECT_EQ(result.loopback.lost, result.droppedFrames);
        EXPECT_EQ(result.skippedFrames, result.droppedFrames);
        EXPECT_EQ(result.loopback.duplicated, 0u);
        EXPECT_EQ(result.repairedFrames, 0u);
        // The OUT microframes that mirror the lost packets leave empty, and no
        // others differ.
        EXPECT_EQ(result.mirrorMismatches, result.dropsInjected);
        break;
    case DropOutcome::FailedRepair:
        EXPECT_GT(result.calculationErrors, 0u);
        EXPECT_EQ(result.loopback.duplicated, 0u);
        // The chase passed over the lost packet: its frames are gone, no more.
        EXPECT_EQ(result.loopback.lost, result.droppedFrames);
        std::printf("failed repair: %llu frames lost\n", (unsigned long long)result.loopback.lost);
        break;
    case DropOutcome::Held:
        // The hold is measured: what it cost is printed, and the stream went on
        // after it.
        std::printf("beyond the search: %llu frames lost, %llu replayed, %llu read "
                    "before written, latency "
                    "now %lld\n",
                    (unsigned long long)result.loopback.lost, (unsigned long long)result.loopback.duplicated,
                    (unsigned long long)result.lateBusFrames, (long long)result.loopback.latencyFrames);
        EXPECT_GE(result.loopback.lost + result.loopback.duplicated + result.lateBusFrames +
                      result.repairedFrames + result.unexplainedSilence,
                  result.droppedFrames);
        break;
    }
}

Scenario Bursts(std::vector<uint32_t> bursts, uint32_t counterJump = 0)
{
    Scenario scenario;
    scenario.dropBursts = std::move(bursts);
    scenario.counterJump = counterJump;
    return scenario;
}

const DropRow kDropRows[] = {
    {"BurstsOf3", Options(Model::Brio, DriverChoice::Dext, 2), Bursts({3, 3}), DropOutcome::Repaired},
    {"BurstsOf8", Options(Model::Brio, DriverChoice::Dext, 2), Bursts({8, 8}), DropOutcome::Repaired},
    {"HeadersOffOneDrop", Options(Model::Brio, DriverChoice::Dext, 0), Bursts({1}), DropOutcome::Skipped},
    {"KextOneDrop", Options(Model::Wrenlet, DriverChoice::Kext, 0), Bursts({1}), DropOutcome::Skipped},
    {"KextBurstOf3", Options(Model::Wrenlet, DriverChoice::Kext, 0), Bursts({3}), DropOutcome::Skipped},
    {"FailedRepair", Options(Model::Brio, DriverChoice::Dext, 2), Bursts({1}, 1000),
     DropOutcome::FailedRepair},
    {"BurstOf12", Options(Model::Brio, DriverChoice::Dext, 2), Bursts({12}), DropOutcome::Held},
    {"KextBurstOf12", Options(Model::Wrenlet, DriverChoice::Kext, 0), Bursts({12}), DropOutcome::Held},
};

std::string DropRowName(const testing::TestParamInfo<DropRow>& info)
{
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Rows, E2EDropBursts, testing::ValuesIn(kDropRows), DropRowName);

} // namespace
