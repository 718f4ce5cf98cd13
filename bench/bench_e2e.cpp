// The whole chain on the real clock: host, plug-in, driver and simulated interface in one process.
// - e2e_cpu: CPU seconds per second of audio of the host's IO thread, the plug-in's and the
//   driver's threads (the snapshot thread apart), beside their floor: threads woken at the chain's
//   pace that only copy the bytes their stage moves. The simulated bus and device are printed, not
//   counted.
// - e2e_io_cycle: GetZeroTimeStamp, 'read' and 'rite' of each IO cycle in the live chain, p50 and
//   p99, beside glibc memcpy of the bytes such a cycle moves.
// - e2e_zero_timestamps: the RMS error of the plug-in's zero timestamps against the simulated
//   device's truth, with drift, bus deviation and frame-read jitter, beside a delay-locked loop
//   (PipeWire's SPA DLL) fed the same output-block observations and used as its drivers use it.

#include "bench_e2e_chain.h"

#include <TimingCheck.h>

#include <spa/utils/dll.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

using namespace E2EBench;
using Demo::DriverChoice;
using KorvanInterface::Model;

constexpr double kCpuSeconds = 30;
constexpr double kZeroTimeStampSeconds = 60;
constexpr int32_t kBusDeviationPpm = 50;
constexpr uint64_t kReadJitterNs = 20'000;

const std::vector<ChainCase> kCpuCases{
    {"brio_48k_512_dext", Model::Brio, 48000, 512, DriverChoice::Dext},
    {"wrenlet_48k_512_kext", Model::Wrenlet, 48000, 512, DriverChoice::Kext},
    {"wrenlet_192k_64_kext", Model::Wrenlet, 192000, 64, DriverChoice::Kext},
};

const std::vector<ChainCase> kZeroTimeStampCases{
    {"dext", Model::Brio, 48000, 512, DriverChoice::Dext, 100, kBusDeviationPpm, kReadJitterNs},
    {"kext", Model::Wrenlet, 48000, 512, DriverChoice::Kext, -100, kBusDeviationPpm, kReadJitterNs},
};

// One run per case, shared by every pair that measures it.
const ChainRun& RunOf(const ChainCase& chainCase, double seconds, bool readOutputRing)
{
    static std::map<std::string, ChainRun> runs;
    auto found = runs.find(chainCase.name);
    if (found == runs.end()) {
        found = runs.emplace(chainCase.name, RunChain(chainCase, seconds, readOutputRing)).first;
    }
    return found->second;
}

// A figure taken from the run as the case's time; false when the run did not stream.
bool Measure(benchmark::State& state, const ChainRun& run, double seconds)
{
    if (!run.streamed) {
        state.SkipWithError(run.failure.c_str());
        return false;
    }
    for (auto _ : state) {
        state.SetIterationTime(seconds);
    }
    return true;
}

double Counted(const ChainSeconds& chain)
{
    return chain.hostIO + chain.plugIn + chain.deviceThreads;
}

void CpuChainOurs(benchmark::State& state, const ChainCase& chainCase)
{
    const ChainRun& run = RunOf(chainCase, kCpuSeconds, false);
    if (Measure(state, run, Counted(run.chain) / run.seconds)) {
        state.counters["core_share"] = Counted(run.chain) / run.seconds;
        state.counters["host_io"] = run.chain.hostIO / run.seconds;
        state.counters["plugin"] = run.chain.plugIn / run.seconds;
        state.counters["device_threads"] = run.chain.deviceThreads / run.seconds;
        state.counters["bus_and_device"] = run.chain.busAndDevice / run.seconds;
        state.counters["other"] = run.chain.other / run.seconds;
    }
}

void CpuChainFloor(benchmark::State& state, const ChainCase& chainCase)
{
    const ChainRun& run = RunOf(chainCase, kCpuSeconds, false);
    const double floor = run.floor.io + run.floor.driver;
    if (Measure(state, run, floor / run.seconds)) {
        state.counters["core_share"] = floor / run.seconds;
    }
}

void CpuSnapshotOurs(benchmark::State& state, const ChainCase& chainCase)
{
    const ChainRun& run = RunOf(chainCase, kCpuSeconds, false);
    if (Measure(state, run, run.chain.snapshot / run.seconds)) {
        state.counters["core_share"] = run.chain.snapshot / run.seconds;
    }
}

void CpuSnapshotFloor(benchmark::State& state, const ChainCase& chainCase)
{
    const ChainRun& run = RunOf(chainCase, kCpuSeconds, false);
    if (Measure(state, run, run.floor.snapshot / run.seconds)) {
        state.counters["core_share"] = run.floor.snapshot / run.seconds;
    }
}

void IOCycle(benchmark::State& state, const ChainCase& chainCase, double fraction, bool ours)
{
    const ChainRun& run = RunOf(chainCase, kCpuSeconds, false);
    const double seconds = Percentile(ours ? run.cycleNs : run.copyNs, fraction) * 1e-9;
    if (Measure(state, run, seconds)) {
        state.counters["cycle_share"] = seconds / run.cycleSeconds;
    }
}

// The zero timestamps the plug-in reported, as (sample time, host time) pairs, each once.
std::vector<std::pair<double, uint64_t>> Reported(const ChainRun& run)
{
    std::vector<std::pair<double, uint64_t>> stamps;
    for (const IOCycleTiming& cycle : run.cycles) {
        if (cycle.fZeroHostTime != 0 && (stamps.empty() || stamps.back().second != cycle.fZeroHostTime)) {
            stamps.emplace_back(cycle.fZeroSampleTime, cycle.fZeroHostTime);
        }
    }
    return stamps;
}

Demo::TimingResult PlugInZeroTimeStamps(const ChainRun& run)
{
    Demo::TimingCheck check;
    // Only the zero timestamps are judged here, not what the cycles wrote.
    for (const IOCycleTiming& cycle : run.cycles) {
        check.add(cycle, 0, 0);
    }
    return check.result(run.nanosecondsPerFrame);
}

// The DLL's prediction of the host time of each sample the plug-in reported a zero timestamp for.
// It learns, once per zero-time period, the host time the output block holding that sample gives
// it (the observation the plug-in's filter takes), and predicts the next from its own prediction
// and rate correction, as a PipeWire driver paces its cycles.
Demo::TimingResult LoopZeroTimeStamps(const ChainRun& run, uint32_t rate)
{
    const double nominal = 1e9 / rate;
    spa_dll dll;
    spa_dll_init(&dll);
    spa_dll_set_bw(&dll, SPA_DLL_BW_MIN, run.zeroTimeStampPeriod, rate);
    Demo::TimingCheck check;
    bool started = false;
    double correction = 1;
    double predicted = 0;
    double previous = 0;
    for (const auto& [sample, reported] : Reported(run)) {
        const auto block =
            std::find_if(run.outputBlocks.begin(), run.outputBlocks.end(),
                         [&](const OutputBlock& b) { return b.start <= sample && sample < b.end; });
        if (block == run.outputBlocks.end()) {
            continue;
        }
        const double observed = double(block->hostTime) + (sample - block->start) * nominal;
        predicted = started ? predicted + (sample - previous) * nominal / correction : observed;
        started = true;
        previous = sample;
        IOCycleTiming stamp{};
        stamp.fZeroSampleTime = sample;
        stamp.fZeroHostTime = uint64_t(std::llround(predicted));
        check.add(stamp, 0, 0);
        correction = spa_dll_update(&dll, (observed - predicted) / nominal);
    }
    return check.result(run.nanosecondsPerFrame);
}

void ZeroTimeStamps(benchmark::State& state, const ChainCase& chainCase, bool ours)
{
    const ChainRun& run = RunOf(chainCase, kZeroTimeStampSeconds, true);
    const Demo::TimingResult result =
        ours ? PlugInZeroTimeStamps(run) : LoopZeroTimeStamps(run, chainCase.rate);
    if (Measure(state, run, result.jitterRmsUs * 1e-6)) {
        state.counters["max_error_us"] = result.jitterMaxUs;
        state.counters["window_us"] = 100;
        state.counters["stamps"] = double(result.zeroTimeStamps);
    }
}

void Register(const std::string& name, benchmark::TimeUnit unit, std::function<void(benchmark::State&)> body)
{
    benchmark::RegisterBenchmark(name.c_str(), [body](benchmark::State& state) { body(state); })
        ->UseManualTime()
        ->Iterations(1)
        ->Unit(unit);
}

void RegisterAll()
{
    for (const ChainCase& c : kCpuCases) {
        Register("e2e_cpu/ours/chain/" + c.name, benchmark::kMillisecond,
                 [&c](benchmark::State& s) { CpuChainOurs(s, c); });
        Register("e2e_cpu/peer/chain/" + c.name, benchmark::kMillisecond,
                 [&c](benchmark::State& s) { CpuChainFloor(s, c); });
        Register("e2e_cpu/ours/snapshot/" + c.name, benchmark::kMillisecond,
                 [&c](benchmark::State& s) { CpuSnapshotOurs(s, c); });
        Register("e2e_cpu/peer/snapshot/" + c.name, benchmark::kMillisecond,
                 [&c](benchmark::State& s) { CpuSnapshotFloor(s, c); });
        for (const auto& [percentile, fraction] : {std::pair{"p50", 0.5}, std::pair{"p99", 0.99}}) {
            const std::string row = std::string(percentile) + "/" + c.name;
            const double at = fraction;
            Register("e2e_io_cycle/ours/" + row, benchmark::kMicrosecond,
                     [&c, at](benchmark::State& s) { IOCycle(s, c, at, true); });
            Register("e2e_io_cycle/peer/" + row, benchmark::kMicrosecond,
                     [&c, at](benchmark::State& s) { IOCycle(s, c, at, false); });
        }
    }
    for (const ChainCase& c : kZeroTimeStampCases) {
        Register("e2e_zero_timestamps/ours/" + c.name, benchmark::kMicrosecond,
                 [&c](benchmark::State& s) { ZeroTimeStamps(s, c, true); });
        Register("e2e_zero_timestamps/peer/" + c.name, benchmark::kMicrosecond,
                 [&c](benchmark::State& s) { ZeroTimeStamps(s, c, false); });
    }
}

} // namespace

int main(int argc, char** argv)
{
    RegisterAll();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
